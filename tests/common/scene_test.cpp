// SPDX-License-Identifier: Apache-2.0
#include "core/scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "core/kelbo_geometry.h"
#include "scene_test_support.h"

using namespace kelbos;
using namespace kelbos::testing;

namespace {

const std::string WORKED_EXAMPLE = HEADER + "300, 100, 0, 4, 3, 2\n400,150,24\n";

// Reads the text and returns what went to standard output.
std::string read_capturing_stdout(Scene& scene, const std::string& text, ReadResult& result) {
    ::testing::internal::CaptureStdout();
    result = read_init_bytes(scene, text);
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(SceneReader, WorkedExample) {
    TempDir dir;
    const std::string path = dir.write("example.klx", WORKED_EXAMPLE);
    MessageRecorder recorder;
    Scene scene;
    scene.next_point = 7;
    scene.points[3].slot = 4;

    const ReadResult result = open_init_file(scene, {"ignored", path});
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(scene.scene_loaded);
    EXPECT_TRUE(recorder.messages.empty());

    EXPECT_DOUBLE_EQ(scene.rot_a, 30 * 0.017453292519943278);
    EXPECT_DOUBLE_EQ(scene.rot_b, 150 * 0.017453292519943278);
    EXPECT_DOUBLE_EQ(scene.rot_c, 60 * 0.017453292519943278);
    EXPECT_EQ(shape_of(scene), (std::array{17, 8, -17, 8, 5}));
    EXPECT_EQ((std::array{scene.space_width, scene.space_depth, scene.space_height}),
              (std::array{22, 22, 12}));

    ASSERT_EQ(scene.point_count, 25);
    EXPECT_EQ(scene.kelbo_countdown, 24);
    EXPECT_EQ(scene.next_point, 7);  // the reader leaves the receiver's counter alone
    // Point 12 is the first of the second level.
    for (const auto& [i, x, y] : {std::array{0, 173, 173}, {1, 192, 163}, {2, 211, 154}, {3, 154, 163},
                                  {12, 173, 179}, {24, 216, 250}})
        EXPECT_EQ(std::pair(scene.points[i].x, scene.points[i].y), std::pair(x, y)) << i;
    EXPECT_EQ(scene.points[3].slot, 4);  // slots belong to the drawing, not the reader

    // A stream and bytes in memory read the same as the file.
    const Scene& from_file = scene;
    Scene from_stream, from_memory;
    std::istringstream in(WORKED_EXAMPLE);
    ASSERT_TRUE(read_init_stream(from_stream, in).ok());
    ASSERT_TRUE(read_init_bytes(from_memory, WORKED_EXAMPLE).ok());
    for (const Scene* s : {&from_stream, &from_memory}) {
        ASSERT_EQ(s->point_count, from_file.point_count);
        for (int i = 0; i < s->point_count; ++i) {
            EXPECT_EQ(s->points[i].x, from_file.points[i].x);
            EXPECT_EQ(s->points[i].y, from_file.points[i].y);
        }
    }
}

TEST(SceneFailures, EveryHeaderAndEndFailureShowsItsMessage) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"", "End Of Init File when looking for set kelbo"},
        {"set kelbos\nrot 1,2,3\n",
         "Problem parsing set command\nExpected 'set kelbo', but found\n'set kelbos\n'"},
        {"set kelbos", "Problem parsing set command\nExpected 'set kelbo', but found\n'set kelbos'"},
        {"set kelbo\n", "EOF while reading kelbo rotation"},
        {"set kelbo\nrot 30 150 60\n",
         "problem parsing kelbo rotation\nExpected: 'rot degrees degrees degrees'\nBuf found: 'rot 30 150 "
         "60\n'"},
        {"set kelbo\nrot 30, 150, 60\n", "EOF while reading kelbo size"},
        {"set kelbo\nrot 30, 150, 60\nsize 20, 20\n",
         "problem parsing kelbo size\nExpected: 'size width, depth, height'\nBut found: 'size 20, 20\n'"},
        {"set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\n", "EOF while reading kelbo space"},
        {"set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, x, 12\n",
         "problem parsing kelbo space\nExpected: 'space width, depth, height'\nBut found: 'space 22, x, "
         "12\n'"},
        {"set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\n",
         "End Of Init File when looking for set points"},
        {"set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\nset point\n1,1,1\n",
         "Problem parsing set command\nExpected 'set points', but found\n'set point\n'"},
        {HEADER, "init file contains no points"},
        {HEADER + "1, 2, 3, 0, 5, 5\n", "init file contains no points"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        for (bool from_file : {true, false}) {
            MessageRecorder recorder;
            Scene scene;
            const ReadResult result = from_file ? read_init_file(scene, dir.write("case.init", c.text))
                                                : read_init_bytes(scene, c.text);
            EXPECT_EQ(result.outcome, ReadOutcome::failed) << c.text;
            EXPECT_EQ(recorder.messages, std::vector<std::string>{c.message}) << c.text;
        }
    }
}

TEST(SceneFailures, UnopenableFileNamesThePathAndOpeningStoresTheResult) {
    TempDir dir;
    MessageRecorder recorder;
    Scene scene;
    scene.scene_loaded = true;
    const std::string missing = dir.path() + "/missing.init";
    EXPECT_EQ(read_init_file(scene, missing).outcome, ReadOutcome::failed);
    EXPECT_EQ(read_init_file(scene, dir.path()).outcome, ReadOutcome::failed);
    EXPECT_EQ(recorder.messages, (std::vector<std::string>{
                                     "Unable to open init file\n'" + missing + "'\nNo such file or directory",
                                     "Unable to open init file\n'" + dir.path() + "'\nIs a directory"}));

    // open_init_file stores the result, of a bad point line too.
    EXPECT_EQ(open_init_file(scene, {"x", missing}).outcome, ReadOutcome::failed);
    EXPECT_FALSE(scene.scene_loaded);
    scene.scene_loaded = true;
    ::testing::internal::CaptureStdout();
    dir.write("bad.init", HEADER + "1,2,3\n4\n");
    const ReadResult result = open_init_file(scene, {dir.path() + "/bad.klx"});
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Problem reading point #2\n");
    EXPECT_EQ(result.outcome, ReadOutcome::fatal_point_error);
    EXPECT_FALSE(scene.scene_loaded);
}

TEST(SceneFailures, BadPointLineIsFatalAndNamesThePointNumber) {
    struct Case {
        std::string points;
        std::string text;
        int stored;
    };
    const Case cases[] = {
        {"300, 100, 0, 4, 3, 2\n1, 2, 3, 4\n", "Problem reading point #25\n", 24},
        {"1, 2\n", "Problem reading point #1\n", 0},
        {"1, 2, 3, 4, 5\n", "Problem reading point #1\n", 0},
        {"1, 2, 3\n\n", "Problem reading point #2\n", 1},  // a final empty line
        {"1, 2, 3\n   \n4, 5, 6\n", "Problem reading point #2\n", 1},
        {"1, 2, 3, 0, 0, 0\nx\n", "Problem reading point #1\n", 0},
        {"1 2 3\n", "Problem reading point #1\n", 0},  // a comma must follow each number
    };
    for (const Case& c : cases) {
        MessageRecorder recorder;
        Scene scene = marked_scene();
        ReadResult result;
        const std::string out = read_capturing_stdout(scene, HEADER + c.points, result);
        EXPECT_EQ(result.outcome, ReadOutcome::fatal_point_error) << c.points;
        EXPECT_EQ(result.fatal_text, c.text) << c.points;
        EXPECT_EQ(out, c.text) << c.points;
        EXPECT_TRUE(recorder.messages.empty()) << c.points;
        EXPECT_EQ(scene.point_count, c.stored) << c.points;
    }
}

TEST(SceneFailures, AcceptedValuesStayAndHeaderFailuresKeepThePoints) {
    MessageRecorder recorder;
    Scene scene = marked_scene();
    // The rotation is accepted, the size line is not.
    EXPECT_FALSE(read_init_bytes(scene, "set kelbo\nrot 90, 0, 90\nsize 1, 2\n").ok());
    EXPECT_DOUBLE_EQ(scene.rot_a, 90 * DEGREES_TO_RADIANS);
    EXPECT_DOUBLE_EQ(scene.rot_c, 90 * DEGREES_TO_RADIANS);
    EXPECT_EQ(shape_of(scene), (std::array{1, 2, 3, 4, 5}));  // previous shape kept
    EXPECT_EQ(scene.space_width, 7);
    EXPECT_EQ(scene.point_count, 42);
    EXPECT_EQ(scene.kelbo_countdown, 17);
    EXPECT_EQ(scene.points[41].x, 41);

    // Everything but the last header line accepted.
    scene = marked_scene();
    EXPECT_FALSE(
        read_init_bytes(scene, "set kelbo\nrot 0, 0, 0\nsize 20, 30, 40\nspace 1, 2, 3\nset pts\n1,1,1\n")
            .ok());
    EXPECT_EQ(shape_of(scene), (std::array{20, 0, 30, 0, 40}));
    EXPECT_EQ(scene.space_height, 3);
    EXPECT_EQ(scene.point_count, 42);
    EXPECT_EQ(scene.kelbo_countdown, 17);
    EXPECT_EQ(scene.points[0].x, 0);
    EXPECT_EQ(scene.points[1].x, 1);

    // A points section without points ends it: no points, countdown below 0.
    scene = marked_scene();
    EXPECT_FALSE(read_init_bytes(scene, HEADER).ok());
    EXPECT_EQ(scene.point_count, 0);
    EXPECT_EQ(scene.kelbo_countdown, -1);
    EXPECT_EQ(scene.next_point, 5);
}

TEST(SceneMatching, HeaderLineShapes) {
    auto accepted = [](const std::string& text) {
        MessageRecorder recorder;
        Scene scene;
        return read_init_bytes(scene, text + "1,2,3\n").ok();
    };
    const std::string rot = "rot 30, 150, 60\n", rest = "size 20, 20, 10\nspace 22, 22, 12\nset points\n";
    // The blank of "set %s" may be empty.
    for (const char* head : {"set kelbo\n", "set  kelbo  further words\n", "setkelbo\n", "set\tkelbo\r\n"})
        EXPECT_TRUE(accepted(head + rot + rest)) << head;
    for (const char* head : {" set kelbo\n", "Set kelbo\n", "set kelbos\n", "set kelbo,\n", "set\n"})
        EXPECT_FALSE(accepted(head + rot + rest)) << head;
    EXPECT_FALSE(accepted("set kelbo\n" + rot + "size 20, 20, 10\nspace 22, 22, 12\nset pointsx\n"));
    EXPECT_FALSE(
        accepted("set kelbo\n" + rot + "size 20, 20, 10\nspace 22, 22, 12\nset points_and_more_than_19\n"));

    for (const char* r : {"rot30,150,60\n", "rot 30,\t150,   60 and then anything\n", "rot +30, -150, 60\n"})
        EXPECT_TRUE(accepted("set kelbo\n" + std::string(r) + rest)) << r;
    // "rot 30 , ..." has a blank before a comma.
    for (const char* r : {"rot 30 , 150, 60\n", " rot 30, 150, 60\n", "rot 30, 150\n", "rot 30, +, 60\n",
                          "ROT 30, 150, 60\n", "rot 30; 150; 60\n"})
        EXPECT_FALSE(accepted("set kelbo\n" + std::string(r) + rest)) << r;
}

TEST(SceneMatching, PointLinesAndCountsUpToTheFirstThousand) {
    auto read_points = [](const std::string& points, Scene& scene) {
        MessageRecorder recorder;
        const ReadResult result = read_init_bytes(scene, HEADER + points);
        EXPECT_TRUE(recorder.messages.empty()) << points;
        return result;
    };
    Scene scene;
    ASSERT_TRUE(read_points("1, 2, 3, 0, 5, 5\n1, 2, 3, -1, 5, 5\n10, 10, 0\n", scene).ok());
    EXPECT_EQ(scene.point_count, 1);

    ASSERT_TRUE(read_points("1, 2, 3, 4, 5, 6, 7\n", scene).ok());
    EXPECT_EQ(scene.point_count, 120);
    EXPECT_EQ(scene.kelbo_countdown, 119);

    // Anything after the numbers is ignored; a last line without a line end reads normally.
    ASSERT_TRUE(read_points("300,100,0 trailing words\n300,\t100,  0,1,1,1,\n300, 100, 0", scene).ok());
    EXPECT_EQ(scene.point_count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(scene.points[i].x, 173);

    // Negative values in every field; the loops go towards smaller x and y, z upwards.
    ASSERT_TRUE(read_points("-100, -50, -24, 2, 2, 2\n", scene).ok());
    ASSERT_EQ(scene.point_count, 8);
    Scene expected;
    const std::string singles =
        "-100,-50,-24\n-100,-72,-24\n-122,-50,-24\n-122,-72,-24\n"
        "-100,-50,-12\n-100,-72,-12\n-122,-50,-12\n-122,-72,-12\n";
    ASSERT_TRUE(read_points(singles, expected).ok());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(scene.points[i].x, expected.points[i].x) << i;
        EXPECT_EQ(scene.points[i].y, expected.points[i].y) << i;
    }
    // (-100, -50, -24): x = trunc(-43.30) = -43, y = trunc(-64.95 - 12) = -76.
    EXPECT_EQ(scene.points[0].x, -43);
    EXPECT_EQ(scene.points[0].y, -76);

    // More than MAX_PTS points keeps the first thousand: 1500 points over two lines;
    // the line after the limit is never read.
    MessageRecorder recorder;
    const ReadResult result =
        read_init_bytes(scene, HEADER + "0, 0, 0, 10, 10, 10\n0, 0, 0, 10, 10, 5\nnot read\n");
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(scene.point_count, MAX_PTS);
    EXPECT_EQ(scene.kelbo_countdown, MAX_PTS - 1);
    EXPECT_EQ(recorder.messages,
              std::vector<std::string>{
                  "More than MAX_PTS in file - truncating\nIncrease value in kelbos and recompile"});
    // The last kept point is the last of the first line: (-198, -198, 108).
    Scene last;
    MessageRecorder quiet;
    ASSERT_TRUE(read_init_bytes(last, HEADER + "-198, -198, 108\n").ok());
    EXPECT_EQ(scene.points[MAX_PTS - 1].x, last.points[0].x);
    EXPECT_EQ(scene.points[MAX_PTS - 1].y, last.points[0].y);

    // Exactly MAX_PTS points is no truncation; a bad line after them is still fatal.
    ASSERT_TRUE(read_init_bytes(scene, HEADER + "0, 0, 0, 10, 10, 10\n1, 1, 1, 0, 1, 1\n").ok());
    EXPECT_EQ(recorder.messages.size(), 1u);
    ReadResult fatal;
    EXPECT_EQ(read_capturing_stdout(scene, HEADER + "0, 0, 0, 10, 10, 10\n1\n", fatal),
              "Problem reading point #1001\n");
}

TEST(SceneNames, ResolvedFromTheCommandLine) {
    using Args = std::vector<std::string>;
    for (const auto& [args, name] : std::vector<std::pair<Args, std::string>>{
             {{}, "kelbostx.init"}, {{""}, "kelbostx.init"}, {{"demo"}, "demo.init"},
             {{"demo.klx"}, "demo.init"}, {{"demo.old"}, "demo.init"}, {{"a.b.c"}, "a.b.init"},
             {{"dir.x\\scene"}, "dir.init"},
             {{"/home/u/my scenes/city.klx"}, "/home/u/my scenes/city.init"}, {{"a", "b"}, "b"},
             {{"a", "b.klx", "c"}, "b.klx"}})
        EXPECT_EQ(scene_file_name(args), name) << ::testing::PrintToString(args);
    // Quotes mean nothing.
    for (const auto& [line, name] : std::vector<std::pair<std::string, std::string>>{
             {"", "kelbostx.init"}, {" \t ", "kelbostx.init"}, {"demo", "demo.init"},
             {"  a.b.c  ", "a.b.init"}, {"a b", "b"}, {"\"a b\"", "b\""}, {"a\tb.klx c", "b.klx"}})
        EXPECT_EQ(scene_file_name_from_command_line(line), name) << line;
}

TEST(SceneReader, ShippedDefaultSceneReads) {
    MessageRecorder recorder;
    Scene scene;
    ASSERT_TRUE(read_init_file(scene, std::string(KELBOS_SCENES_DIR) + "/kelbostx.init").ok());
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_GT(scene.point_count, 100);
    EXPECT_LT(scene.point_count, MAX_PTS);
    // Drawn on a 640x480 area, every kelbo lies within it and below the value rows.
    for (int i = 0; i < scene.point_count; ++i) {
        const KelboBox box = kelbo_box(scene.shape, kelbo_origin(scene.points[i], 480));
        EXPECT_GE(box.left, 0) << i;
        EXPECT_LE(box.right, 640) << i;
        EXPECT_GE(box.top, 45) << i;
        EXPECT_LE(box.bottom, 480) << i;
    }
}
