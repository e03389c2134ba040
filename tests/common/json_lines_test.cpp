// SPDX-License-Identifier: Apache-2.0
#include "core/json_lines.h"

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
    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    // TCP ticks carry their path; a row named like a field does not move its fields.
    const TickEvent tick{1, "h", 1, "TCP", 8, 1.5, 10};
    EXPECT_EQ(format_event(tick, TickPath{0.25, 3, 65536}),
              "{\"event\":\"tick\",\"time_ms\":1,\"rtt_ms\":0.250000,\"retransmits\":3,\"cwnd_bytes\":65536,"
              "\"row\":\"h\",\"conn_id\":1,\"protocol\":\"TCP\",\"kelbo_bits\":8,\"mbits_per_s\":1.500000,"
              "\"bytes\":10}");
    const TickEvent odd{1, ",\"row\":", 1, "TCP", 8, 1.5, 10};
    EXPECT_EQ(format_event(odd, TickPath{0.25, {}, {}}).substr(0, 52),
              "{\"event\":\"tick\",\"time_ms\":1,\"rtt_ms\":0.250000,\"row\":");
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
