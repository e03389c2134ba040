// SPDX-License-Identifier: Apache-2.0
// Pieces of the transmitter program tests: scene files, a message box recorder, a real
// receiver and a program object aimed at it.
#pragma once

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/show_message.h"
#include "pump.h"
#include "receiver/engine/link_engine.h"
#include "receiver_thread.h"
#include "transmitter/app/transmitter_program.h"
#include "transmitter/app/transmitter_window.h"

namespace kelbos {

// The tests' door into the program: its rate tick (one tick now, whether it runs) and
// the parts it keeps to itself.
struct TransmitterProgramPeer {
    static void tick(TransmitterProgram& p) { p.tick(); }
    static bool ticking(const TransmitterProgram& p) { return p.tick_timer_.isActive(); }
    static TransmitLoop& loop(TransmitterProgram& p) { return *p.loop_; }
    static Scene& scene(TransmitterProgram& p) { return p.scene_; }
    static RateViews& views(const TransmitterProgram& p) { return *p.views_; }
    static const KelboBrushes& brushes(const TransmitterProgram& p) { return p.brushes_; }
    static const ByteCounters& counters(const TransmitterProgram& p) { return p.counters_; }
    static const std::string& local_host(const TransmitterProgram& p) { return p.local_host_; }
    static const std::array<QRgb, 16>& custom_colours(const TransmitterProgram& p) { return p.custom_colours_; }
};

// The tests' door to the send loop: what runs it next, and its counts.
struct TransmitLoopPeer {
    static TransmitLoop::Wake scheduled(const TransmitLoop& l) { return l.scheduled_; }
    static bool running(const TransmitLoop& l) { return l.running_; }
    static std::uint64_t slices(const TransmitLoop& l) { return l.slices_; }
    static std::uint64_t posts(const TransmitLoop& l) { return l.posts_; }
    static std::uint64_t timer_wakes(const TransmitLoop& l) { return l.timer_wakes_; }
    static std::uint64_t writable_wakes(const TransmitLoop& l) { return l.writable_wakes_; }
};

}  // namespace kelbos

namespace kelbos::txtest {

using namespace std::chrono_literals;
using kelbos::testing::pump_until;

// Runs the event loop until the loop's Go or halt is over; true when it then transmits == `on`.
inline bool settled(const TransmitLoop& loop, bool on) {
    return pump_until([&] { return !loop.opening() && !loop.halting(); }) && loop.transmitting() == on;
}

// The five header lines with the shape of the worked example, then the points.
inline std::string scene_text(const std::string& points, const std::string& size = "20, 20, 10") {
    return "set kelbo\nrot 30, 150, 60\nsize " + size + "\nspace 22, 22, 12\nset points\n" + points;
}

// Scene files in a temporary folder.
class SceneFiles {
public:
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir_.filePath(QString::fromStdString(name)).toStdString();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

private:
    QTemporaryDir dir_;
};

// Every message box, recorded instead of shown.
class MessageLog {
public:
    std::vector<std::string> texts;

private:
    ScopedMessagePresenter presenter_{[this](const std::string& text) { texts.push_back(text); }};
};

// The receiver's link engine on its own thread (the link waits for answers without
// running the event loop), on free ports unless given; an ended ConnId is free at once.
class Receiver : public test::ReceiverThread {
public:
    explicit Receiver(Ports wanted = Ports{0, 0, 0}) : ReceiverThread(wanted) {
        EXPECT_EQ(status(), LinkStatus::ok);
        on_receiver([](LinkEngine*, test::ReceiverLog& log) { log.free_ended = true; });
    }
    // Ends the receiver: its sockets close, as when the receiver program ends.
    void stop() { destroy_engine(); }

    std::size_t chunks() {
        return on_receiver([](LinkEngine*, test::ReceiverLog& log) { return log.more_data.size(); });
    }
    std::size_t links() {
        return on_receiver([](LinkEngine*, test::ReceiverLog& log) { return log.new_links.size(); });
    }
    // The colour text of the last link set up.
    std::string colour() {
        return on_receiver([](LinkEngine*, test::ReceiverLog& log) {
            return log.new_links.empty() ? std::string() : log.new_links.back().colour_text;
        });
    }
    // (ConnId, reason) of every link end.
    std::vector<std::pair<ConnId, int>> ends() {
        return on_receiver([](LinkEngine*, test::ReceiverLog& log) {
            std::vector<std::pair<ConnId, int>> out;
            for (const test::ShutdownCall& end : log.shutdowns) out.emplace_back(end.conn_id, end.reason);
            return out;
        });
    }
};

// Menu states by id, in the order 100, 101, 102, 110, 111, 112, 113.
inline constexpr int MENU_IDS[] = {ID_OPEN, ID_SAVE_SETTINGS, ID_EXIT, ID_COLOR, ID_SETTINGS, ID_GO, ID_HALT};
inline std::string menu_state(const TransmitterProgram& p) {
    std::string s;
    for (int id : MENU_IDS) s += p.window().menu().is_enabled(id) ? '1' : '0';
    return s;
}
inline constexpr const char* MENU_AFTER_START = "1011110";
inline constexpr const char* MENU_TRANSMITTING = "0010001";
inline constexpr const char* MENU_IDLE = "1111110";

// A program object with its window up, aimed at `ports`, with short waits.
class ProgramTest : public ::testing::Test {
protected:
    std::unique_ptr<TransmitterProgram> make_program(Ports ports, const std::string& scene_path,
                                                     TransmitterOptions options = {}) {
        options.ports = ports;
        if (options.link_wait == LINK_WAIT) options.link_wait = 2s;
        options.quit = [this](int status) { quit_statuses.push_back(status); };
        auto p = std::make_unique<TransmitterProgram>(options);
        p->start_up({"kelbostx", scene_path});
        p->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&p->window()));
        return p;
    }

    // Runs the event loop until the program transmits (or stops transmitting).
    static bool wait_transmitting(TransmitterProgram& p, bool on, std::chrono::milliseconds limit = 5s) {
        return pump_until([&] { return TransmitterProgramPeer::loop(p).transmitting() == on; }, limit);
    }
    // Go (or Halt), then the event loop until it is over: true when it transmits (or not).
    static bool go(TransmitterProgram& p) { return p.do_command(ID_GO), settled(TransmitterProgramPeer::loop(p), true); }
    static bool halt(TransmitterProgram& p) { return p.do_command(ID_HALT), settled(TransmitterProgramPeer::loop(p), false); }

    SceneFiles files;
    MessageLog messages;
    std::vector<int> quit_statuses;
};

}  // namespace kelbos::txtest
