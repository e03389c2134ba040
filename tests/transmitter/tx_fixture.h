// Pieces of the transmitter program tests: scene files, a recorder of message boxes,
// a real receiver (the receiver's link engine on free ports), and a program object
// aimed at it.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "link_engine.h"
#include "pump.h"
#include "show_message.h"
#include "transmitter_program.h"
#include "transmitter_window.h"

namespace kelbos::txtest {

using namespace std::chrono_literals;
using kelbos::testing::pump_until;

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

// The receiver's link engine on ports picked by the system, counting what arrives.
class Receiver {
public:
    Receiver() : engine_(callbacks(), EngineOptions{Ports{0, 0, 0}}) {
        EXPECT_EQ(engine_.comm_init(), LinkStatus::ok);
    }
    Ports ports() const { return engine_.bound_ports(); }
    LinkEngine& engine() { return engine_; }

    ConnId next_id = 1;
    bool refuse = false;
    std::uint64_t bytes = 0;
    std::uint64_t chunks = 0;
    int links = 0;
    std::vector<std::pair<ConnId, int>> ends;
    std::function<void(std::uint32_t)> on_data;

private:
    EngineCallbacks callbacks() {
        EngineCallbacks c;
        c.alloc_conn_id = [this] { return refuse ? CONN_NONE_FREE : next_id++; };
        c.new_link = [this](ConnId, const std::string&, const std::string&, std::uint8_t, std::uint32_t) {
            ++links;
        };
        c.more_data = [this](std::int8_t, std::uint32_t n) {
            bytes += n;
            ++chunks;
            if (on_data) on_data(n);
        };
        c.shutdown_rcv = [this](ConnId id, int reason, const std::string&) { ends.emplace_back(id, reason); };
        c.release_conn_id = [](ConnId) {};
        return c;
    }

    LinkEngine engine_;
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
        return pump_until([&] { return p.loop().transmitting() == on; }, limit);
    }

    SceneFiles files;
    MessageLog messages;
    std::vector<int> quit_statuses;
};

}  // namespace kelbos::txtest
