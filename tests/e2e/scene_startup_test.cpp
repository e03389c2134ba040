// SPDX-License-Identifier: Apache-2.0
// Both real programs, headless, given malformed, truncated, huge and junk scene files:
// each ends by itself with the exact message (a bad header: on standard error, then a
// run without a scene, which ends the receiver with status 1; a bad point line: on
// standard output, status 255).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "program_pair_support.h"

namespace kelbos::pairtest {
namespace {

// The header of the scenes below: 30/150/60 degrees, size 20x20x10, spacing 22x22x12.
const std::string HEADER = "set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\nset points\n";
const std::string NO_POINTS = "init file contains no points\n";
const std::string TRUNCATED =
    "More than MAX_PTS in file - truncating\nIncrease value in kelbos and recompile\n";

std::string set_kelbo_found(const std::string& line) {
    return "Problem parsing set command\nExpected 'set kelbo', but found\n'" + line + "'\n";
}
std::string rotation_found(const std::string& line) {
    return "problem parsing kelbo rotation\nExpected: 'rot degrees degrees degrees'\nBuf found: '" + line +
           "'\n";
}

struct Outcome {
    int status;
    std::string out, err;
};

// What the transmitter and the receiver, run at once with the same words after the
// headless ones, did with their scene: each must end by itself before one deadline.
std::array<Outcome, 2> run_both(const std::vector<std::string>& words) {
    std::vector<std::string> args{"--headless", "--time", "0.2"};
    args.insert(args.end(), words.begin(), words.end());
    ChildProcess tx(transmitter_binary(), args);
    ChildProcess rx(receiver_binary(), args);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    std::array<Outcome, 2> outcomes;
    for (std::size_t i = 0; i < 2; ++i) {
        ChildProcess& child = i == 0 ? tx : rx;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const std::optional<int> status = child.wait_exit(std::max(left, 1ms));
        EXPECT_TRUE(status.has_value()) << "still running at the deadline";
        outcomes[i] = {status.value_or(-1), child.out(), child.err()};
    }
    return outcomes;
}

void expect_both(const std::vector<std::string>& words, const Outcome& expected, const std::string& what) {
    const std::array<Outcome, 2> both = run_both(words);
    for (std::size_t i = 0; i < 2; ++i) {
        const char* name = i == 0 ? "kelbostx" : "kelbosrx";
        // Headless, a receiver left without a scene ends with status 1.
        const bool unloaded = expected.status == 0 && !expected.err.empty() && expected.err != TRUNCATED;
        EXPECT_EQ(both[i].status, i == 1 && unloaded ? 1 : expected.status) << name << ": " << what;
        EXPECT_EQ(both[i].out, expected.out) << name << ": " << what;
        EXPECT_EQ(both[i].err, expected.err) << name << ": " << what;
    }
}

struct Case {
    const char* what;
    std::string text;
    Outcome expected;
};

class SceneAtStartUp : public ::testing::Test {
protected:
    void SetUp() override {
        ENTER_PRIVATE_NETWORK_OR_SKIP();  // the receiver binds its well-known ports
        ASSERT_FALSE(build_dir().empty());
        ASSERT_TRUE(dir.isValid());
    }
    std::string path(const std::string& name) const {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }
    // Writes the bytes unchanged to a file of the scratch folder; its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream file(path(name), std::ios::binary);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(file.good()) << name;
        return path(name);
    }
    void expect_cases(const std::vector<Case>& cases) const {
        for (const Case& c : cases) expect_both({"first", write("case.klx", c.text)}, c.expected, c.what);
    }

    QTemporaryDir dir;
};

TEST_F(SceneAtStartUp, MissingEmptyAndBadHeaders) {
    expect_both(
        {path("absent.klx")},  // one word names its stem + ".init"
        {0, "", "Unable to open init file\n'" + path("absent.init") + "'\nNo such file or directory\n"},
        "missing file");
    const std::string folder = dir.path().toStdString();
    expect_both({"first", folder}, {0, "", "Unable to open init file\n'" + folder + "'\nIs a directory\n"},
                "a folder");
    // A named pipe that no program writes to is an empty file, not a wait for ever.
    const std::string pipe = path("pipe.init");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    expect_both({"first", pipe}, {0, "", "End Of Init File when looking for set kelbo\n"}, "a named pipe");

    expect_cases({
        {"empty file", "", 0, "", "End Of Init File when looking for set kelbo\n"},
        {"first line", "set kelbos\n" + HEADER.substr(10), 0, "", set_kelbo_found("set kelbos\n")},
        {"first line indented", " " + HEADER, 0, "", set_kelbo_found(" set kelbo\n")},
        {"blank before a comma", "set kelbo\nrot 30 ,150,60\n", 0, "", rotation_found("rot 30 ,150,60\n")},
        {"two sizes", "set kelbo\nrot 30,150,60\nsize 20, 20\n", 0, "",
         "problem parsing kelbo size\nExpected: 'size width, depth, height'\nBut found: 'size 20, 20\n'\n"},
        {"letter in space", "set kelbo\nrot 30,150,60\nsize 1,2,3\nspace 22, x, 12\n", 0, "",
         "problem parsing kelbo space\nExpected: 'space width, depth, height'\nBut found: 'space 22, x, "
         "12\n'\n"},
        {"set point", HEADER.substr(0, HEADER.size() - 7) + "point\n1,2,3\n", 0, "",
         "Problem parsing set command\nExpected 'set points', but found\n'set point\n'\n"},
        // A colour where a header expects numbers is a bad line like any other.
        {"colour for a size", "set kelbo\nrot 30,150,60\nsize #800000\n", 0, "",
         "problem parsing kelbo size\nExpected: 'size width, depth, height'\nBut found: 'size #800000\n'\n"},
        {"header only", HEADER, 0, "", NO_POINTS},
    });
}

TEST_F(SceneAtStartUp, TruncatedFilesAndCrLf) {
    const std::string example = HEADER + "300, 100, 0, 4, 3, 2\n400,150,24\n";
    const auto crlf = [](const std::string& text) {
        std::string out;
        for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    };
    // Cut at the end of each header line, inside lines, and inside the last point.
    expect_cases({
        {"cut after line 1", "set kelbo\n", 0, "", "EOF while reading kelbo rotation\n"},
        {"cut inside line 2", "set kelbo\nrot 30, 15", 0, "", rotation_found("rot 30, 15")},
        {"cut after line 2", "set kelbo\nrot 30,150,60\n", 0, "", "EOF while reading kelbo size\n"},
        {"cut after line 3", "set kelbo\nrot 30,150,60\nsize 1,2,3\n", 0, "",
         "EOF while reading kelbo space\n"},
        {"cut after line 4", HEADER.substr(0, HEADER.size() - 11), 0, "",
         "End Of Init File when looking for set points\n"},
        {"cut inside line 5", HEADER.substr(0, HEADER.size() - 4), 0, "",
         "Problem parsing set command\nExpected 'set points', but found\n'set poi'\n"},
        {"cut inside the first point", HEADER + "300, 100", 255, "Problem reading point #1\n", ""},
        {"cut inside the last point", example.substr(0, example.size() - 5), 255,
         "Problem reading point #25\n", ""},
        {"cut before the last line end", example.substr(0, example.size() - 1), 0, "", ""},
        {"whole example", example, 0, "", ""},
        // CR LF line ends are line ends; a message shows the line with "\n".
        {"CR LF example", crlf(example), 0, "", ""},
        {"CR LF bad rotation", crlf("set kelbo\nrot 30 150 60\n"), 0, "", rotation_found("rot 30 150 60\n")},
        {"CR LF bad point", crlf(HEADER + "1, 2, 3\n4, 5\n"), 255, "Problem reading point #2\n", ""},
    });
}

TEST_F(SceneAtStartUp, BadCountsAndPointLines) {
    expect_cases({
        {"four numbers", HEADER + "300, 100, 0, 4, 3, 2\n1, 2, 3, 4\n", 255, "Problem reading point #25\n",
         ""},
        {"five numbers", HEADER + "1, 2, 3, 4, 5\n", 255, "Problem reading point #1\n", ""},
        {"two numbers", HEADER + "1, 2, 3\n1, 2\n", 255, "Problem reading point #2\n", ""},
        {"blank line", HEADER + "1, 2, 3\n\n4, 5, 6\n", 255, "Problem reading point #2\n", ""},
        {"empty last line", HEADER + "1, 2, 3\n\n", 255, "Problem reading point #2\n", ""},
        {"words", HEADER + "one, two, three\n", 255, "Problem reading point #1\n", ""},
        {"no commas", HEADER + "1 2 3\n", 255, "Problem reading point #1\n", ""},
        // A colour first is a bad point line; after three numbers it is ignored.
        {"colour first", HEADER + "#800000, 1, 2\n", 255, "Problem reading point #1\n", ""},
        {"colour after three numbers", HEADER + "300, 100, 0, #800000\n", 0, "", ""},
        {"zero counts only", HEADER + "1, 2, 3, 0, 5, 5\n1, 2, 3, 5, -1, 5\n", 0, "", NO_POINTS},
        {"counts beyond the limit", HEADER + "1, 2, 3, 2000000000, 2000000000, 2000000000\n", 0, "",
         TRUNCATED},
        {"numbers beyond int", HEADER + "99999999999999999999, -99999999999999999999, 0\n", 0, "", ""},
    });
}

// Seeded random bytes, every value but those in `without`.
std::string random_bytes(std::mt19937& rng, std::size_t n, const std::string& without = {}) {
    std::string out(n, '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : out) {
        do c = static_cast<char>(byte(rng));
        while (without.find(c) != std::string::npos);
    }
    return out;
}

TEST_F(SceneAtStartUp, HugeFilesLongLinesAndJunk) {
    constexpr std::size_t TEN_MB = 10 * 1024 * 1024;
    const auto repeated = [](const std::string& line, std::size_t size) {
        std::string out;
        out.reserve(size + line.size());
        while (out.size() < size) out += line;
        return out;
    };
    std::mt19937 rng(4);
    // 100 random bytes without NUL or line ends, a NUL, then any bytes: shown up to the NUL.
    const std::string junk_line = random_bytes(rng, 100, std::string("\0\n\r", 3));
    const std::string junk = junk_line + std::string(1, '\0') + random_bytes(rng, 1 << 20);
    const std::string blanks(100000, ' ');

    expect_cases({
        // 10 MB: reading stops at 1000 kelbos or the end; long lines come in 511-character pieces.
        {"10 MB of kelbos", HEADER + repeated("300, 100, 0, 4, 3, 2\n", TEN_MB), 0, "", TRUNCATED},
        {"10 MB without a kelbo", HEADER + repeated("1, 2, 3, 0, 0, 0\n", TEN_MB), 0, "", NO_POINTS},
        {"10 MB on one line", HEADER + "1, 2, 3" + std::string(TEN_MB, ' '), 255,
         "Problem reading point #2\n", ""},
        {"long first line", std::string(100000, 'x') + "\n" + HEADER, 0, "",
         set_kelbo_found(std::string(511, 'x'))},
        {"long set line", "set kelbo" + blanks + "\nrot 30,150,60\n", 0, "",
         rotation_found(std::string(511, ' '))},
        {"long point line", HEADER + "1, 2, 3" + blanks + "\n", 255, "Problem reading point #2\n", ""},
        // NUL bytes end a line as the reader sees it.
        {"NUL first", std::string(1, '\0') + HEADER, 0, "", set_kelbo_found("")},
        {"NUL after set kelbo",
         "set kelbo" + std::string(1, '\0') + "junk\n" + HEADER.substr(10) + "1, 2, 3\n", 0, "", ""},
        {"NUL inside a point", HEADER + "300, 100" + std::string(1, '\0') + ", 0\n", 255,
         "Problem reading point #1\n", ""},
        {"binary junk", junk, 0, "", set_kelbo_found(junk_line)},
    });

    // Junk after a good header ends the same way in both: a bad point line, or a scene.
    const auto is_point_line = [](const std::string& out) {
        const std::string head = "Problem reading point #";
        return out.starts_with(head) && out.ends_with("\n") && out.size() > head.size() + 1 &&
               out.find_first_not_of("0123456789", head.size()) == out.size() - 1;
    };
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 junk_rng(seed);
        const auto [t, r] =
            run_both({"first", write("junk.klx", HEADER + random_bytes(junk_rng, 64 * 1024))});
        EXPECT_EQ(t.status, r.status) << seed;
        EXPECT_EQ(t.out, r.out) << seed;
        EXPECT_EQ(t.err, r.err) << seed;
        if (t.status == 255) {
            EXPECT_TRUE(is_point_line(t.out)) << seed << ": " << t.out;
            EXPECT_EQ(t.err, "") << seed;
        } else {
            EXPECT_EQ(t.status, 0) << seed;
            EXPECT_EQ(t.out, "") << seed;
            EXPECT_TRUE(t.err == "" || t.err == NO_POINTS || t.err == TRUNCATED) << seed << ": " << t.err;
        }
    }
}

}  // namespace
}  // namespace kelbos::pairtest
