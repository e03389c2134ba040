// SPDX-License-Identifier: Apache-2.0
// The receiver program kelbosrx as one object: its connection records, colour slots,
// scene, value rows, picture, main window and link engine. main() makes one; tests
// make as many as they like, each with its own ports and waits.
//
// Start-up order: records reset, the default colour slot, the scene from the
// command-line words, then the main window with its header and TOTAL rows, the
// one-second tick and the link engine's endpoints. Without endpoints (they could not be
// opened) the program goes on: the window, the picture and "&Open ..." work, but no
// link can arrive.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/bar_scale.h"
#include "core/json_lines.h"
#include "core/scene.h"
#include "receiver/app/link_rows.h"
#include "receiver/app/receiver_picture.h"
#include "receiver/app/receiver_window.h"
#include "receiver/counting/colour_slots.h"
#include "receiver/engine/link_engine.h"
#include "receiver/records/connection_records.h"

namespace kelbos {

class MetricsSnapshot;
class RateViews;

struct ReceiverOptions {
    std::vector<std::string> words;  // command-line words naming the scene file
    EngineOptions engine{};          // the well-known ports unless a test says otherwise
    bool json = false;               // TickEvent and LinkEndEvent lines
    std::FILE* json_out = stdout;
    std::optional<double> time_seconds;  // exit after this long
    std::chrono::milliseconds tick_period{1000};
    BarScaleChoice bar_scale{};  // the bar scale the window starts with
    bool rate_history = false;   // open the Rate History window with the main window
    // Ends the event loop with an exit code; QCoreApplication::exit when not given.
    std::function<void(int)> quit;
    // Given: the figures go there at each tick, for the metrics exporter.
    std::shared_ptr<MetricsSnapshot> metrics;
};

class ReceiverProgram : public QObject {
    Q_OBJECT
public:
    explicit ReceiverProgram(ReceiverOptions options = {});
    ~ReceiverProgram() override;
    ReceiverProgram(const ReceiverProgram&) = delete;
    ReceiverProgram& operator=(const ReceiverProgram&) = delete;

    void show();

    // Menu commands: 100 "&Open ...", 102 "&Exit"; every other id does nothing.
    void do_command(int id);
    // "&Exit" and closing the window: ends the event loop with 0 and destroys the
    // header and TOTAL rows. No link is shut down.
    void quit_app();

    // The one-second tick: every row gets the time since the previous tick (the first
    // one since the window was made); the rate views and the metrics get the rows' ticks.
    void tick_rows();

    // A received chunk of `bytes` for conn_id, as the link engine hands it over: counted
    // into the link's record and TOTAL's, then the kelbos it completes placed in the
    // picture. Ids outside 1..10 are reported on standard output and dropped.
    void more_data(std::int8_t conn_id, std::uint32_t bytes);

    LinkStatus comm_status() const { return comm_status_; }
    // The receiver's own members of its exit line: the datagrams dropped for coming
    // from no link's host, and the datagram socket's receive buffer as the system
    // reported it (-1 without a datagram socket).
    std::string exit_fields() const;

    ConnectionTable& connections() { return connections_; }
    ColourSlots& colour_slots() { return colour_slots_; }
    Scene& scene() { return *scene_; }
    LinkRows& rows() { return rows_; }
    LinkEngine& engine() { return *engine_; }
    ReceiverWindow* window() const { return window_.get(); }
    KelboCanvas* canvas() const;
    RateViews* views() const { return views_; }

private:
    friend struct ReceiverProgramPeer;  // tests look at the tick's timer

    void create_window();
    void start_communications();
    void redraw();
    void publish_metrics();

    ReceiverOptions options_;
    std::uint64_t start_ms_;
    ConnectionTable connections_;
    ColourSlots colour_slots_;
    std::unique_ptr<Scene> scene_;
    JsonLines json_;
    LinkRows rows_;
    ReceiverPicture picture_;
    std::unique_ptr<ReceiverWindow> window_;
    std::unique_ptr<LinkEngine> engine_;
    RateViews* views_ = nullptr;  // owned by the window
    LinkStatus comm_status_ = LinkStatus::ok;
    QTimer tick_timer_;
    QTimer time_limit_;
    std::uint64_t last_tick_ms_ = 0;
};

}  // namespace kelbos
