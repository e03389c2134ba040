// SPDX-License-Identifier: Apache-2.0
// Any bytes as a scene file, read with the real reader into a scene that already
// holds an earlier picture. Afterwards the scene and the messages must agree with the
// result: a count of points in range, one message for every failure and the right
// one, a header failure that left the earlier points alone, and the same outcome
// when the same bytes come through a stream instead.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/scene.h"
#include "core/show_message.h"
#include "fuzz_support.h"

using namespace kelbos;

namespace {

constexpr std::string_view TRUNCATED =
    "More than MAX_PTS in file - truncating\nIncrease value in kelbos and recompile";
constexpr std::string_view NO_POINTS = "init file contains no points";

// Messages of a failure in the five header lines, by their beginnings.
constexpr std::string_view HEADER_FAILURES[] = {
    "End Of Init File when looking for set kelbo",
    "Problem parsing set command\nExpected 'set kelbo', but found\n'",
    "EOF while reading kelbo rotation",
    "problem parsing kelbo rotation\nExpected: 'rot degrees degrees degrees'\nBuf found: '",
    "EOF while reading kelbo size",
    "problem parsing kelbo size\nExpected: 'size width, depth, height'\nBut found: '",
    "EOF while reading kelbo space",
    "problem parsing kelbo space\nExpected: 'space width, depth, height'\nBut found: '",
    "End Of Init File when looking for set points",
    "Problem parsing set command\nExpected 'set points', but found\n'",
};

bool is_header_failure(const std::string& message) {
    return std::any_of(std::begin(HEADER_FAILURES), std::end(HEADER_FAILURES),
                       [&](std::string_view start) { return message.starts_with(start); });
}

// The messages shown during one read; the presenter is installed once.
std::vector<std::string>& shown() {
    static std::vector<std::string> messages;
    return messages;
}

// An earlier picture of three kelbos, as a successful read would have left it.
constexpr int EARLIER_POINTS = 3;
void fill_earlier(Scene& scene) {
    for (int i = 0; i < EARLIER_POINTS; ++i) scene.points[i] = ScenePoint{1000 + i, 2000 + i, 0};
    scene.point_count = EARLIER_POINTS;
    scene.kelbo_countdown = EARLIER_POINTS - 1;
    scene.scene_loaded = true;
}

bool earlier_untouched(const Scene& scene) {
    for (int i = 0; i < EARLIER_POINTS; ++i)
        if (scene.points[i].x != 1000 + i || scene.points[i].y != 2000 + i) return false;
    return scene.point_count == EARLIER_POINTS && scene.kelbo_countdown == EARLIER_POINTS - 1;
}

struct Read {
    ReadResult result;
    std::vector<std::string> messages;
};

void check(const Scene& scene, const Read& read) {
    const ReadResult& result = read.result;
    const auto& messages = read.messages;
    FUZZ_CHECK(scene.point_count >= 0 && scene.point_count <= MAX_PTS, "point_count %d", scene.point_count);
    FUZZ_CHECK(scene.scene_loaded == result.ok(), "scene_loaded %d for outcome %d", scene.scene_loaded,
               static_cast<int>(result.outcome));
    switch (result.outcome) {
        case ReadOutcome::ok:
            FUZZ_CHECK(scene.point_count >= 1, "a successful read with no points");
            FUZZ_CHECK(scene.kelbo_countdown == scene.point_count - 1, "kelbo_countdown %d, point_count %d",
                       scene.kelbo_countdown, scene.point_count);
            FUZZ_CHECK(messages.empty() ||
                           (messages.size() == 1 && messages[0] == TRUNCATED && scene.point_count == MAX_PTS),
                       "%zu messages after a successful read, the first '%s'", messages.size(),
                       messages.empty() ? "" : messages[0].c_str());
            break;
        case ReadOutcome::failed:
            FUZZ_CHECK(messages.size() == 1, "%zu messages after a failed read", messages.size());
            if (messages[0] == NO_POINTS) {
                FUZZ_CHECK(scene.point_count == 0 && scene.kelbo_countdown == -1,
                           "no points, but point_count %d, kelbo_countdown %d", scene.point_count,
                           scene.kelbo_countdown);
            } else {
                FUZZ_CHECK(is_header_failure(messages[0]), "unexpected message '%s'", messages[0].c_str());
                FUZZ_CHECK(earlier_untouched(scene), "a header failure changed the earlier points");
            }
            break;
        case ReadOutcome::fatal_point_error: {
            FUZZ_CHECK(messages.empty(), "a message '%s' before a bad point line", messages[0].c_str());
            const std::string expected =
                "Problem reading point #" + std::to_string(scene.point_count + 1) + "\n";
            FUZZ_CHECK(result.fatal_text == expected, "fatal text '%s', expected '%s'",
                       result.fatal_text.c_str(), expected.c_str());
            FUZZ_CHECK(scene.kelbo_countdown == scene.point_count - 1, "kelbo_countdown %d, point_count %d",
                       scene.kelbo_countdown, scene.point_count);
            break;
        }
        default:
            FUZZ_CHECK(false, "outcome %d", static_cast<int>(result.outcome));
    }
}

bool same_points(const Scene& a, const Scene& b) {
    if (a.point_count != b.point_count) return false;
    for (int i = 0; i < a.point_count; ++i)
        if (a.points[i].x != b.points[i].x || a.points[i].y != b.points[i].y) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A bad point line is reported on standard output; thousands of them would only
    // bury libFuzzer's own report.
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::close(null_fd);
    }
    set_message_presenter([](const std::string& text) { shown().push_back(text); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    auto scene = std::make_unique<Scene>();
    fill_earlier(*scene);
    shown().clear();
    Read read{read_init_bytes(*scene, bytes), {}};
    read.messages = shown();
    scene->scene_loaded = read.result.ok();  // as the callers store it
    check(*scene, read);

    // The same bytes through a stream: the same outcome, messages and points.
    auto again = std::make_unique<Scene>();
    fill_earlier(*again);
    shown().clear();
    std::istringstream in{std::string(bytes)};
    const ReadResult result = read_init_stream(*again, in);
    FUZZ_CHECK(result.outcome == read.result.outcome && result.fatal_text == read.result.fatal_text,
               "stream outcome %d, bytes outcome %d", static_cast<int>(result.outcome),
               static_cast<int>(read.result.outcome));
    FUZZ_CHECK(shown() == read.messages, "the stream read showed other messages");
    FUZZ_CHECK(same_points(*scene, *again), "the stream read gave other points");
    FUZZ_CHECK(std::memcmp(&scene->shape, &again->shape, sizeof scene->shape) == 0,
               "the stream read gave another kelbo shape");
    return 0;
}
