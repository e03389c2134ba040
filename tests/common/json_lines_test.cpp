// SPDX-License-Identifier: Apache-2.0
#include "json_lines.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace kelbos;

TEST(JsonLines, EventsHaveTheirExactShape) {
    EXPECT_EQ(format_event(TickEvent{1500, "TOTAL", 0, "", 0, 20.0, 2500000}),
              "{\"event\":\"tick\",\"time_ms\":1500,\"row\":\"TOTAL\",\"conn_id\":0,\"protocol\":\"\","
              "\"kelbo_bits\":0,\"mbits_per_s\":20.000000,\"bytes\":2500000}");
    EXPECT_EQ(format_event(EndEvent{3000, 5000000000ull, 2.5, 16000.0, "halted"}),
              "{\"event\":\"end\",\"time_ms\":3000,\"bytes\":5000000000,\"seconds\":2.500000,"
              "\"mbits_per_s\":16000.000000,\"how\":\"halted\"}");
    EXPECT_EQ(format_event(LinkEndEvent{10, 3, "host", 2, 77}),
              "{\"event\":\"link_end\",\"time_ms\":10,\"conn_id\":3,\"row\":\"host\",\"reason\":2,\"bytes\":77}");
    EXPECT_EQ(format_event(RowRemovedEvent{26000, 10, "a \"b\""}),
              "{\"event\":\"row_removed\",\"time_ms\":26000,\"conn_id\":10,\"row\":\"a \\\"b\\\"\"}");
}

TEST(JsonLines, StringsAreEscaped) {
    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(JsonLines, WritesOnlyWhenEnabled) {
    std::FILE* f = std::tmpfile();
    ASSERT_TRUE(f);
    JsonLines off(false, f), on(true, f);
    off.write(LinkEndEvent{1, 1, "x", 1, 1});
    on.write(LinkEndEvent{2, 1, "x", 1, 1});
    std::rewind(f);
    char buf[256] = {};
    ASSERT_TRUE(std::fgets(buf, sizeof buf, f));
    EXPECT_EQ(std::string(buf).rfind("{\"event\":\"link_end\",\"time_ms\":2,", 0), 0u);
    EXPECT_FALSE(std::fgets(buf, sizeof buf, f));
    std::fclose(f);
}
