// SPDX-License-Identifier: Apache-2.0
// scripts/demo.sh, the headless demonstration the run command falls back to without a
// display, run against this build.
#include <gtest/gtest.h>

#include "program_pair_support.h"

namespace kelbos::pairtest {
namespace {

// The lines one program wrote, told apart by the member the script adds.
std::vector<QJsonObject> from_program(const std::vector<QJsonObject>& events, const QString& program) {
    std::vector<QJsonObject> out;
    for (const QJsonObject& e : events)
        if (e["program"].toString() == program) out.push_back(e);
    return out;
}

TEST(DemoScript, RunsThePairHeadlessAndPrintsTheirLines) {
    ENTER_PRIVATE_NETWORK_OR_SKIP();
    ASSERT_FALSE(build_dir().empty());
    ChildProcess demo("/bin/bash", {KELBOS_SOURCE_DIR "/scripts/demo.sh", build_dir(), "3"}, {},
                      {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    ASSERT_TRUE(demo.started());
    ASSERT_EQ(demo.wait_exit(60s), 0) << demo.err() << demo.out();
    EXPECT_EQ(demo.err(), "");

    const std::vector<QJsonObject> events = json_events(demo);
    const std::vector<QJsonObject> tx = from_program(events, "kelbostx");
    const std::vector<QJsonObject> rx = from_program(events, "kelbosrx");
    EXPECT_EQ(tx.size() + rx.size(), events.size()) << demo.out();

    // The transmitter sent to localhost, ticking, and halted when its time was up.
    const auto tx_ticks = of_kind(tx, "tick", 1);
    ASSERT_FALSE(tx_ticks.empty()) << demo.out();
    EXPECT_EQ(tx_ticks[0]["row"].toString(), "localhost");
    EXPECT_GT(bytes_of(tx_ticks[0]), 0u);
    const auto tx_ends = of_kind(tx, "end");
    ASSERT_EQ(tx_ends.size(), 1u) << demo.out();
    EXPECT_EQ(tx_ends[0]["how"].toString(), "halted");
    EXPECT_EQ(of_kind(tx, "exit").size(), 1u);

    // The receiver ticked its TOTAL row and the link's, saw the link end normally,
    // and was ended by the script.
    EXPECT_FALSE(of_kind(rx, "tick", 0).empty()) << demo.out();
    const auto rx_ticks = of_kind(rx, "tick", 1);
    ASSERT_FALSE(rx_ticks.empty()) << demo.out();
    EXPECT_GT(bytes_of(rx_ticks[0]), 0u);
    const auto link_ends = of_kind(rx, "link_end", 1);
    ASSERT_EQ(link_ends.size(), 1u) << demo.out();
    EXPECT_EQ(link_ends[0]["reason"].toInt(), 1);
    EXPECT_EQ(of_kind(rx, "exit").size(), 1u);
}

}  // namespace
}  // namespace kelbos::pairtest
