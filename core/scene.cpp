// SPDX-License-Identifier: Apache-2.0
#include "core/scene.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "core/format_scan.h"
#include "core/init_line_reader.h"
#include "core/show_message.h"

namespace kelbos {

namespace {

// Truncates towards zero into 64 bits; NaN gives 0 and values beyond the range
// saturate, so no conversion is ever undefined.
std::int64_t truncate_to_int64(double v) {
    if (std::isnan(v)) return 0;
    constexpr double limit = 9223372036854775807.0;  // 2^63
    if (v >= limit) return std::numeric_limits<std::int64_t>::max();
    if (v <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// A screen offset: truncated towards zero, saturated to the 32-bit range.
std::int32_t truncate_to_int32(double v) {
    const std::int64_t t = truncate_to_int64(v);
    if (t > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (t < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(t);
}

// A shape value: truncated towards zero, keeping the low 16 bits.
std::int16_t truncate_to_int16(double v) {
    const auto bits = static_cast<std::uint16_t>(static_cast<std::uint64_t>(truncate_to_int64(v)) & 0xFFFFu);
    return static_cast<std::int16_t>(bits);
}

KelboShape project_shape(const Scene& scene, int w, int d, int h) {
    const double s = std::sin(scene.rot_a) * std::sin(scene.rot_c);
    KelboShape shape;
    shape.width_dx = truncate_to_int16(w * std::cos(scene.rot_a));
    shape.width_dy = truncate_to_int16(w * s);
    shape.depth_dx = truncate_to_int16(d * std::cos(scene.rot_b));
    shape.depth_dy = truncate_to_int16(d * s);
    shape.height_dy = truncate_to_int16(h * std::cos(scene.rot_c));
    return shape;
}

// Scene coordinates are 64-bit: a start near the int limits plus up to MAX_PTS
// spacings cannot overflow.
void project_point(const Scene& scene, std::int64_t x, std::int64_t y, std::int64_t z, ScenePoint& point) {
    const double sx =
        static_cast<double>(x) * std::cos(scene.rot_a) + static_cast<double>(y) * std::cos(scene.rot_b);
    const double sy = static_cast<double>(x + y) * std::sin(scene.rot_a) * std::sin(scene.rot_c) +
                      static_cast<double>(z) * std::cos(scene.rot_c);
    point.x = truncate_to_int32(sx);
    point.y = truncate_to_int32(sy);
}

// A line as the matching and the messages see it: up to its first NUL byte.
std::string as_text(const std::string& line) {
    return line.substr(0, line.find('\0'));
}

// "set %s" with the word compared whole.
bool is_set_line(const std::string& text, std::string_view keyword) {
    FormatScanner scan(text);
    std::string_view word;
    return scan.literal("set") && scan.word(word) && word == keyword;
}

// "<keyword> %d, %d, %d".
bool read_three(const std::string& text, std::string_view keyword, int (&values)[3]) {
    FormatScanner scan(text);
    return scan.literal(keyword) && scan.integer_list(values, 3) == 3;
}

ReadResult failed() {
    return ReadResult{ReadOutcome::failed, {}};
}

ReadResult parse_header_and_points(Scene& scene, InitLineReader& lines) {
    std::optional<std::string> line = lines.next_line();
    if (!line) {
        show_message({"End Of Init File when looking for set kelbo"});
        return failed();
    }
    std::string text = as_text(*line);
    if (!is_set_line(text, "kelbo")) {
        show_message(
            {"Problem parsing set command\n", "Expected 'set kelbo', but found\n'", text.c_str(), "'"});
        return failed();
    }

    int v[3];
    if (!(line = lines.next_line())) {
        show_message({"EOF while reading kelbo rotation"});
        return failed();
    }
    text = as_text(*line);
    if (!read_three(text, "rot", v)) {
        show_message({"problem parsing kelbo rotation\n", "Expected: 'rot degrees degrees degrees'\n",
                      "Buf found: '", text.c_str(), "'"});
        return failed();
    }
    scene.rot_a = v[0] * DEGREES_TO_RADIANS;
    scene.rot_b = v[1] * DEGREES_TO_RADIANS;
    scene.rot_c = v[2] * DEGREES_TO_RADIANS;

    if (!(line = lines.next_line())) {
        show_message({"EOF while reading kelbo size"});
        return failed();
    }
    text = as_text(*line);
    if (!read_three(text, "size", v)) {
        show_message({"problem parsing kelbo size\n", "Expected: 'size width, depth, height'\n",
                      "But found: '", text.c_str(), "'"});
        return failed();
    }
    scene.shape = project_shape(scene, v[0], v[1], v[2]);

    if (!(line = lines.next_line())) {
        show_message({"EOF while reading kelbo space"});
        return failed();
    }
    text = as_text(*line);
    if (!read_three(text, "space", v)) {
        show_message({"problem parsing kelbo space\n", "Expected: 'space width, depth, height'\n",
                      "But found: '", text.c_str(), "'"});
        return failed();
    }
    scene.space_width = v[0];
    scene.space_depth = v[1];
    scene.space_height = v[2];

    if (!(line = lines.next_line())) {
        show_message({"End Of Init File when looking for set points"});
        return failed();
    }
    text = as_text(*line);
    if (!is_set_line(text, "points")) {
        show_message(
            {"Problem parsing set command\n", "Expected 'set points', but found\n'", text.c_str(), "'"});
        return failed();
    }

    // Points: the new positions overwrite the old ones in file order.
    int stored = 0;
    auto finish_points = [&] {
        scene.point_count = stored;
        scene.kelbo_countdown = stored - 1;
    };
    // Appends one point; false once MAX_PTS are stored (the truncation is reported once).
    auto append = [&](std::int64_t x, std::int64_t y, std::int64_t z) {
        if (stored == MAX_PTS) {
            show_message(
                {"More than MAX_PTS in file - truncating\n", "Increase value in kelbos and recompile"});
            return false;
        }
        project_point(scene, x, y, z, scene.points[stored++]);
        return true;
    };
    auto append_line = [&](const int(&n)[6]) {
        const std::int64_t nx = n[3], ny = n[4], nz = n[5];
        // A count of 0 or less gives no kelbos; otherwise every innermost step appends
        // a point, so even huge counts end after MAX_PTS + 1 steps.
        if (nx <= 0 || ny <= 0 || nz <= 0) return true;
        for (std::int64_t iz = 0; iz < nz; ++iz) {
            const std::int64_t z = n[2] + iz * scene.space_height;
            for (std::int64_t ix = 0; ix < nx; ++ix) {
                const std::int64_t x = n[0] - ix * scene.space_width;
                for (std::int64_t iy = 0; iy < ny; ++iy) {
                    const std::int64_t y = n[1] - iy * scene.space_depth;
                    if (!append(x, y, z)) return false;
                }
            }
        }
        return true;
    };

    while ((line = lines.next_line())) {
        int n[6] = {0, 0, 0, 1, 1, 1};
        const int count = FormatScanner(as_text(*line)).integer_list(n, 6);
        if (count != 3 && count != 6) {
            finish_points();
            ReadResult result{ReadOutcome::fatal_point_error, {}};
            result.fatal_text = "Problem reading point #" + std::to_string(stored + 1) + "\n";
            std::fputs(result.fatal_text.c_str(), stdout);
            std::fflush(stdout);
            return result;
        }
        if (count == 3) n[3] = n[4] = n[5] = 1;
        if (!append_line(n)) break;
    }
    finish_points();
    if (stored == 0) {
        show_message({"init file contains no points"});
        return failed();
    }
    return ReadResult{ReadOutcome::ok, {}};
}

}  // namespace

std::string scene_file_name(const std::vector<std::string>& words) {
    std::vector<const std::string*> present;
    for (const std::string& w : words)
        if (!w.empty()) present.push_back(&w);
    if (present.empty()) return "kelbostx.init";
    if (present.size() == 1) {
        const std::string& word = *present[0];
        return word.substr(0, word.rfind('.')) + ".init";
    }
    return *present[1];
}

std::string scene_file_name_from_command_line(const std::string& text) {
    std::vector<std::string> words;
    std::size_t p = 0;
    while (p < text.size()) {
        while (p < text.size() && is_format_space(text[p])) ++p;
        const std::size_t start = p;
        while (p < text.size() && !is_format_space(text[p])) ++p;
        if (p > start) words.push_back(text.substr(start, p - start));
    }
    return scene_file_name(words);
}

namespace {

// Opens a scene file for reading. The open itself does not wait: a named pipe that no
// program writes to would otherwise hold the program there for ever; it reads as an
// empty file instead. Reads wait as they always do.
std::FILE* open_for_reading(const std::string& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        error = errno;
        ::close(fd);
    }
    return file;
}

}  // namespace

ReadResult read_init_file(Scene& scene, const std::string& path) {
    int open_error = 0;
    std::FILE* file = open_for_reading(path, open_error);
    struct stat info {};
    if (file && ::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        // A folder opens for reading here but holds no text: report it as unopenable.
        std::fclose(file);
        file = nullptr;
        open_error = EISDIR;
    }
    if (!file) {
        show_message({"Unable to open init file\n'", path.c_str(), "'\n", std::strerror(open_error)});
        return failed();
    }

    InitLineReader lines(
        [file](char* buffer, std::size_t size) { return std::fread(buffer, 1, size, file); });
    ReadResult result = parse_header_and_points(scene, lines);
    if (std::fclose(file) != 0) {
        const int close_error = errno;
        if (result.outcome == ReadOutcome::fatal_point_error) return result;
        show_message({"Error closing init file\n'", path.c_str(), "'\n", std::strerror(close_error)});
        return failed();
    }
    return result;
}

ReadResult read_init_stream(Scene& scene, std::istream& in) {
    InitLineReader lines([&in](char* buffer, std::size_t size) {
        in.read(buffer, static_cast<std::streamsize>(size));
        return static_cast<std::size_t>(in.gcount());
    });
    return parse_header_and_points(scene, lines);
}

ReadResult read_init_bytes(Scene& scene, std::string_view bytes) {
    InitLineReader lines([&bytes](char* buffer, std::size_t size) {
        const std::size_t n = bytes.size() < size ? bytes.size() : size;
        if (n > 0) std::memcpy(buffer, bytes.data(), n);
        bytes.remove_prefix(n);
        return n;
    });
    return parse_header_and_points(scene, lines);
}

ReadResult open_init_file(Scene& scene, const std::vector<std::string>& words) {
    ReadResult result = read_init_file(scene, scene_file_name(words));
    scene.scene_loaded = result.ok();
    return result;
}

}  // namespace kelbos
