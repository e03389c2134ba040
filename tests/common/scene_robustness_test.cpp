// SPDX-License-Identifier: Apache-2.0
// The scene reader against awkward input: line pieces, CR LF, NUL bytes, huge numbers
// and counts, big files and random bytes. None may crash, hang or go unreported.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>

#include "core/init_line_reader.h"
#include "core/scene.h"
#include "scene_test_support.h"

using namespace kelbos;
using namespace kelbos::testing;

namespace {

std::vector<std::string> all_lines(const std::string& bytes, std::size_t chunk_size) {
    std::string_view rest = bytes;
    InitLineReader reader(
        [&rest](char* buffer, std::size_t size) {
            const std::size_t n = std::min(size, rest.size());
            if (n > 0) std::memcpy(buffer, rest.data(), n);
            rest.remove_prefix(n);
            return n;
        },
        chunk_size);
    std::vector<std::string> lines;
    while (auto line = reader.next_line()) lines.push_back(*line);
    return lines;
}

}  // namespace

TEST(SceneLines, TextModeLineEndsAndPieces) {
    for (std::size_t chunk : {1u, 2u, 3u, 511u, 65536u}) {
        EXPECT_EQ(all_lines("a\r\nb\rc\r\n\r\n\n\r\rlast", chunk),
                  (std::vector<std::string>{"a\n", "b\rc\n", "\n", "\n", "\r\rlast"}))
            << chunk;
        EXPECT_EQ(all_lines(std::string("x\0y\n\0", 5), chunk),
                  (std::vector<std::string>{std::string("x\0y\n", 4), std::string(1, '\0')}));
        EXPECT_TRUE(all_lines("", chunk).empty());

        // 511 characters, line end included, is one line; one more splits it.
        const std::string a510(510, 'a');
        EXPECT_EQ(all_lines(a510 + "\n" + a510 + "\r\n", chunk),
                  (std::vector<std::string>{a510 + "\n", a510 + "\n"}));
        EXPECT_EQ(all_lines(a510 + "a\n", chunk), (std::vector<std::string>{a510 + "a", "\n"}));
        EXPECT_EQ(all_lines(a510 + "a\r\n", chunk), (std::vector<std::string>{a510 + "a", "\n"}));
        EXPECT_EQ(
            all_lines(std::string(1100, 'b'), chunk),
            (std::vector<std::string>{std::string(511, 'b'), std::string(511, 'b'), std::string(78, 'b')}));
    }
}

TEST(SceneLines, CrLfFilesLongLinesAndNulBytesInTheReader) {
    MessageRecorder recorder;
    Scene unix_scene, dos_scene;
    const std::string text = HEADER + "300, 100, 0, 4, 3, 2\n400,150,24\n";
    std::string dos;
    for (char c : text) dos += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_TRUE(read_init_bytes(unix_scene, text).ok());
    ASSERT_TRUE(read_init_bytes(dos_scene, dos).ok());
    ASSERT_EQ(dos_scene.point_count, 25);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(dos_scene.points[i].y, unix_scene.points[i].y);

    // Messages show the line with its line end as read: "\n" for CR LF.
    EXPECT_FALSE(read_init_bytes(dos_scene, "set kelbos\r\n").ok());
    EXPECT_EQ(recorder.messages.back(),
              "Problem parsing set command\nExpected 'set kelbo', but found\n'set kelbos\n'");

    // A first line of 511 characters plus its line end: the line end is line 2.
    EXPECT_FALSE(read_init_bytes(dos_scene, "set kelbo" + std::string(502, ' ') + "\nrot 1, 2, 3\n").ok());
    EXPECT_EQ(recorder.messages.back(),
              "problem parsing kelbo rotation\nExpected: 'rot degrees degrees degrees'\nBuf found: '\n'");
    recorder.messages.clear();
    Scene scene;
    ASSERT_TRUE(
        read_init_bytes(scene, "set kelbo" + std::string(501, ' ') + "\n" + HEADER.substr(10) + "1,2,3\n")
            .ok());

    // A long point line is two point lines.
    ASSERT_TRUE(
        read_init_bytes(scene, HEADER + "300, 100, 0" + std::string(500, ' ') + "300, 100, 0\n").ok());
    EXPECT_EQ(scene.point_count, 2);

    // A line of 100000 characters: the message shows its first piece.
    const std::string long_word(100000, 'x');
    EXPECT_FALSE(read_init_bytes(scene, "set kelbo" + long_word + "\n").ok());
    EXPECT_EQ(recorder.messages.back(),
              "Problem parsing set command\nExpected 'set kelbo', but found\n'set kelbo" +
                  long_word.substr(0, 502) + "'");
    ::testing::internal::CaptureStdout();
    const ReadResult result = read_init_bytes(scene, HEADER + std::string(100000, '7') + "\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Problem reading point #1\n");
    EXPECT_EQ(result.outcome, ReadOutcome::fatal_point_error);
    EXPECT_EQ(recorder.messages.size(), 1u);

    // What follows a NUL byte on its line is not seen, in the matching or in the message.
    const std::string header_with_nul = std::string("set kelbo\0junk\n", 15) + HEADER.substr(10);
    ASSERT_TRUE(read_init_bytes(scene, header_with_nul + std::string("1, 2, 3\0, 4\n", 12)).ok());
    EXPECT_EQ(scene.point_count, 1);
    EXPECT_FALSE(read_init_bytes(scene, std::string("set\0 kelbo\n", 11)).ok());
    EXPECT_EQ(recorder.messages.back(),
              "Problem parsing set command\nExpected 'set kelbo', but found\n'set'");
    EXPECT_EQ(recorder.messages.size(), 2u);
}

TEST(SceneRobustness, HugeCountsStopAtTheLimitAndExtremeNumbersAreClampedAndSaturated) {
    for (const char* line : {"0, 0, 0, 2000000000, 2000000000, 2000000000\n", "0, 0, 0, 1, 1, 2147483647\n",
                             "0, 0, 0, 2147483647, 1, 1\n"}) {
        MessageRecorder recorder;
        Scene scene;
        ASSERT_TRUE(read_init_bytes(scene, HEADER + line).ok()) << line;
        EXPECT_EQ(scene.point_count, MAX_PTS);
        EXPECT_EQ(recorder.messages.size(), 1u);
    }
    MessageRecorder recorder;
    Scene scene;
    // A zero count among huge ones: no kelbos, and no billions of empty steps.
    EXPECT_FALSE(read_init_bytes(scene, HEADER + "0, 0, 0, 2000000000, 0, 2000000000\n").ok());
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"init file contains no points"});
    recorder.messages.clear();

    // Numbers beyond the int range clamp to it.
    ASSERT_TRUE(read_init_bytes(scene,
                                "set kelbo\nrot 99999999999999999999, -99999999999999999999, 0\n"
                                "size 1, 1, 1\nspace 1, 1, 1\nset points\n1, 1, 1\n")
                    .ok());
    EXPECT_DOUBLE_EQ(scene.rot_a, INT_MAX * DEGREES_TO_RADIANS);
    EXPECT_DOUBLE_EQ(scene.rot_b, INT_MIN * DEGREES_TO_RADIANS);

    // Shape values keep their low 16 bits.
    ASSERT_TRUE(read_init_bytes(scene,
                                "set kelbo\nrot 0, 0, 0\nsize 40000, 70000, -40000\n"
                                "space 1, 1, 1\nset points\n1, 1, 1\n")
                    .ok());
    EXPECT_EQ(shape_of(scene), (std::array{-25536, 0, 4464, 0, 25536}));

    // Coordinates far beyond 32 bits: screen offsets saturate. With all angles 0,
    // x' = x + y and y' = z.
    ASSERT_TRUE(read_init_bytes(scene,
                                "set kelbo\nrot 0, 0, 0\nsize 1, 1, 1\n"
                                "space 2147483647, 2147483647, 2147483647\nset points\n"
                                "2147483647, -2147483648, 2147483647, 1, 3, 2\n")
                    .ok());
    ASSERT_EQ(scene.point_count, 6);
    EXPECT_EQ(scene.points[0].x, -1);
    EXPECT_EQ(scene.points[1].x, INT_MIN);  // exactly -2^31
    EXPECT_EQ(scene.points[2].x, INT_MIN);  // -2^32 + 1, saturated
    EXPECT_EQ(scene.points[0].y, INT_MAX);
    EXPECT_EQ(scene.points[3].y, INT_MAX);  // 2^32 - 2, saturated
    EXPECT_TRUE(recorder.messages.empty());
}

TEST(SceneRobustness, TenMegabyteFiles) {
    TempDir dir;
    std::string many;
    while (many.size() < 10'000'000) many += "1, 1, 1, 0, 0, 0\n";
    MessageRecorder recorder;
    Scene scene;
    EXPECT_FALSE(read_init_file(scene, dir.write("empty-lines.init", HEADER + many)).ok());
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"init file contains no points"});

    std::mt19937 random(12345);
    std::string junk(10'000'000, '\0');
    for (char& c : junk) c = static_cast<char>(random() & 0xFF);
    junk[0] = 's';  // past the first line's start, so the first line decides
    recorder.messages.clear();
    EXPECT_FALSE(read_init_file(scene, dir.write("junk.init", junk)).ok());
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(
        recorder.messages[0].rfind("Problem parsing set command\nExpected 'set kelbo', but found\n's", 0),
        0u);
}

TEST(SceneRobustness, RandomBytesAndMutatedScenesAreAlwaysReported) {
    const std::string valid = HEADER + "300, 100, 0, 4, 3, 2\n400,150,24\n-5, 7, 0, 30, 30, 2\n";
    static constexpr char alphabet_bytes[] = "0123456789,,,  -+\n\n\r\t\0setkelborpoints";
    const std::string alphabet(alphabet_bytes, sizeof alphabet_bytes - 1);
    std::mt19937 random(2024);
    int outcomes[3] = {0, 0, 0};
    for (int round = 0; round < 3000; ++round) {
        std::string text = valid;
        if (round % 3 == 0) {
            text.assign(random() % 300, '\0');
            for (char& c : text) c = static_cast<char>(random() & 0xFF);
        } else {
            const int edits = 1 + static_cast<int>(random() % 6);
            for (int e = 0; e < edits && !text.empty(); ++e) {
                const std::size_t at = random() % text.size();
                const char c = alphabet[random() % alphabet.size()];
                switch (random() % 3) {
                    case 0:
                        text[at] = c;
                        break;
                    case 1:
                        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
                        break;
                    default:
                        text.erase(at, 1 + random() % 4);
                        break;
                }
            }
        }
        MessageRecorder recorder;
        Scene scene = marked_scene();
        ::testing::internal::CaptureStdout();
        const ReadResult result = read_init_bytes(scene, text);
        const std::string out = ::testing::internal::GetCapturedStdout();
        ++outcomes[static_cast<int>(result.outcome)];
        switch (result.outcome) {
            case ReadOutcome::ok:
                EXPECT_GE(scene.point_count, 1);
                EXPECT_LE(scene.point_count, MAX_PTS);
                EXPECT_LE(recorder.messages.size(), 1u);  // at most the truncation
                EXPECT_TRUE(out.empty());
                break;
            case ReadOutcome::failed:
                EXPECT_EQ(recorder.messages.size(), 1u) << round;
                EXPECT_TRUE(out.empty());
                break;
            case ReadOutcome::fatal_point_error:
                EXPECT_EQ(out, result.fatal_text);
                EXPECT_EQ(result.fatal_text,
                          "Problem reading point #" + std::to_string(scene.point_count + 1) + "\n");
                break;
        }
        // Either the header failed and the old points stand, or the points section ended.
        EXPECT_TRUE(scene.kelbo_countdown == scene.point_count - 1 ||
                    (scene.point_count == 42 && scene.kelbo_countdown == 17))
            << round;
    }
    // The mutations reach every outcome.
    for (int count : outcomes) EXPECT_GT(count, 100);
}
