// SPDX-License-Identifier: Apache-2.0
// Many links of every kind between the two real ends, and what they leave behind:
// descriptors, link socket entries, ConnIds.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "clock.h"
#include "link_pair_support.h"
#include "open_fds.h"
#include "pump.h"
#include "receiver_thread.h"

namespace kelbos::test {
namespace {

using kelbos::testing::pump_until;

constexpr int CYCLES = 1000;
// The bound of the waits that are meant to run out. The receiver is held meanwhile,
// so nothing can arrive within it.
constexpr std::chrono::milliseconds SHORT_WAIT{1};
const std::string EOF_TEXT = "ZERO length message received (EOF!) on socket ";

class LinkCycles : public ::testing::Test {
protected:
    // Waits until the receiver has reported `ends_expected` link ends in all and holds
    // no link socket, then removes the rows of ended links as the rate ticks would.
    // Returns the last end reported.
    ShutdownCall settle() {
        ++ends_expected;
        ShutdownCall last{};
        const bool settled = rx.wait_for([&](LinkEngine* e, ReceiverLog& log) {
            if (log.shutdowns.size() < ends_expected) return false;
            for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
                if (e->link_socket(static_cast<ConnId>(c)) != -1) return false;
            log.remove_dirty_rows();
            last = log.shutdowns.back();
            return true;
        });
        EXPECT_TRUE(settled) << "the receiver did not report the end of link " << ends_expected;
        return last;
    }

    void open_ok(TransmitterLink& link, int transport) {
        ASSERT_EQ(open_link(link, transport, ends), LinkStatus::ok);
        ASSERT_EQ(link.conn_id(), 1);  // every earlier ConnId is free again
    }

    void normal(int transport) {
        open_ok(link, transport);
        ASSERT_EQ(link.link_send(), 1000);
        ASSERT_TRUE(
            rx.wait_for([](LinkEngine*, ReceiverLog& log) { return log.table[1].bytes_received == 1000; }));
        ASSERT_EQ(link.link_shutdown(REASON_NORMAL), LinkStatus::ok);
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_NORMAL);
        EXPECT_EQ(end.text, "Remote shutdown request");
    }

    void refused(int transport) {
        rx.on_receiver([](LinkEngine*, ReceiverLog& log) { log.refuse = true; });
        const LinkStatus status = open_link(link, transport, ends);
        rx.on_receiver([](LinkEngine*, ReceiverLog& log) { log.refuse = false; });
        ASSERT_EQ(status, LinkStatus::rejected);
    }

    // The transmitter goes away with the link open: no request, no end report on its
    // side, the end of the stream on the receiver's.
    void aborted_by_transmitter(int transport) {
        {
            TransmitterLink dropped({rx.ports(), LINK_TEST_WAIT});
            open_ok(dropped, transport);
        }
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_ABORTED);
        EXPECT_EQ(end.text.rfind(EOF_TEXT, 0), 0u) << end.text;
    }

    // The receiver closes the link's socket on an error condition.
    void aborted_by_receiver(int transport) {
        open_ok(link, transport);
        rx.on_receiver(
            [](LinkEngine* e, ReceiverLog&) { e->comm_event(e->link_socket(1), EVENT_READ, ECONNRESET); });
        ASSERT_TRUE(pump_until([&] { return !ends.calls.empty(); }));
        EXPECT_EQ(ends.calls, (std::vector<std::pair<int, int>>{{1, REASON_ABORTED}}));
        ends.calls.clear();
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_ABORTED);
        EXPECT_EQ(end.text, error_text(ECONNRESET));
    }

    // No SetupReply within the link's wait: the receiver is busy in alloc_conn_id.
    // Once free it sets the link up, finds it gone and ends it.
    void setup_timed_out(int transport) {
        rx.hold_next(Hold::alloc);
        link.set_wait(SHORT_WAIT);
        const LinkStatus status = open_link(link, transport, ends);
        link.set_wait(LINK_TEST_WAIT);
        rx.release();
        ASSERT_EQ(status, LinkStatus::setup_ack_timeout);
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_ABORTED);
    }

    // No ShutdownAck within the link's wait: the receiver is busy in more_data. Once
    // free it finds the request, acknowledges it to a closed socket and ends the link.
    void shutdown_timed_out(int transport) {
        open_ok(link, transport);
        rx.hold_next(Hold::more_data);
        ASSERT_EQ(link.link_send(), 1000);
        ASSERT_TRUE(rx.wait_held());
        link.set_wait(SHORT_WAIT);
        const LinkStatus status = link.link_shutdown(REASON_NORMAL);
        link.set_wait(LINK_TEST_WAIT);
        rx.release();
        ASSERT_EQ(status, LinkStatus::shutdown_ack_timeout);
        const ShutdownCall end = settle();
        EXPECT_EQ(end.reason, REASON_NORMAL);
        EXPECT_EQ(end.text, "Remote shutdown request");
    }

    // One link of every kind; false after the first failure.
    bool cycle(int transport) {
        for (void (LinkCycles::*kind)(int) :
             {&LinkCycles::normal, &LinkCycles::refused, &LinkCycles::aborted_by_transmitter,
              &LinkCycles::aborted_by_receiver, &LinkCycles::setup_timed_out,
              &LinkCycles::shutdown_timed_out}) {
            (this->*kind)(transport);
            if (HasFailure()) return false;
        }
        return true;
    }

    ReceiverThread rx;
    TransmitterLink link{{rx.ports(), LINK_TEST_WAIT}};
    TxEnds ends;
    std::size_t ends_expected = 0;
};

TEST_F(LinkCycles, ThousandOfEveryKindLeaveNoDescriptorEntryOrConnIdBehind) {
    ASSERT_EQ(rx.status(), LinkStatus::ok);
    // The first links start whatever the process keeps for later ones.
    ASSERT_TRUE(cycle(TRANSPORT_TCP));
    ASSERT_TRUE(cycle(TRANSPORT_UDP));
    const int fds = count_open_fds();
    const ReceiverLog before = rx.snapshot();

    const auto started = std::chrono::steady_clock::now();
    int done = 0;
    while (done < CYCLES && cycle(done % 2 ? TRANSPORT_UDP : TRANSPORT_TCP)) ++done;
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_EQ(done, CYCLES);
    std::printf("%d cycles of 6 link kinds in %lld ms\n", CYCLES, static_cast<long long>(took.count()));

    const ReceiverLog after = rx.snapshot();
    EXPECT_EQ(after.allocs - before.allocs, 6 * CYCLES);
    EXPECT_EQ(after.new_links.size() - before.new_links.size(), 5u * CYCLES);
    EXPECT_EQ(after.shutdowns.size() - before.shutdowns.size(), 5u * CYCLES);
    EXPECT_TRUE(after.released.empty());
    EXPECT_EQ(after.faults, 0);
    EXPECT_EQ(after.table.links_in_use(), 0);
    EXPECT_TRUE(rx.table_empty());
    EXPECT_TRUE(rx.wait_for([](LinkEngine* e, ReceiverLog&) {
        return e->findChildren<QSocketNotifier*>().size() == 3;  // the endpoints' only
    }));
    EXPECT_EQ(rx.on_receiver([](LinkEngine* e, ReceiverLog&) { return e->buffer_pool().buffers_made(); }),
              1u);
    // Name lookups that ran past their budget may hold a descriptor a little longer.
    EXPECT_TRUE(rx.wait_for([&](LinkEngine*, ReceiverLog&) { return count_open_fds() <= fds; }))
        << count_open_fds() << " > " << fds;
    QCoreApplication::processEvents();
    EXPECT_TRUE(ends.calls.empty());
}

}  // namespace
}  // namespace kelbos::test
