// SPDX-License-Identifier: Apache-2.0
// The receiver program kelbosrx as one object: its ledger of links, scene, strip of
// rows, picture, main window and link engine, and the link callbacks between them.
// main() makes one; tests make as many as they like, each with its own ports and waits.
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
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/bar_scale.h"
#include "core/json_lines.h"
#include "core/scene.h"
#include "receiver/app/receiver_picture.h"
#include "receiver/app/receiver_window.h"
#include "receiver/app/refusal_journal.h"
#include "receiver/app/row_strip.h"
#include "receiver/engine/link_engine.h"
#include "receiver/records/link_ledger.h"

namespace kelbos {

class MetricsSnapshot;
class RateViews;

// Failure boxes that wait while one is open; beyond these the oldest goes to standard
// error instead.
inline constexpr std::size_t WAITING_BOXES_MAX = 10;

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

    // The one-second tick, with the time since the previous tick (the first one since
    // the window was made): the ledger's ticks go to the strip, the JSON lines, the
    // rate views and the metrics, and the refusal journal writes what it held back.
    void tick_rows();
    void tick_rows(std::uint64_t elapsed_ms);

    // The link callbacks, as the link engine calls them: the ledger decides, the strip
    // draws what changed, the JSON line is written. A box of alloc_conn_id or
    // shutdown_rcv runs a nested event loop in which ticks, new links and removals
    // happen; every step re-reads the records after a box.
    // A ConnId for a new link, or CONN_NONE_FREE: refused while no scene is loaded,
    // with one box at a time; silently when all ten are live or dirty.
    ConnId alloc_conn_id();
    void new_link(ConnId conn_id, const std::string& peer_name, const std::string& colour_text,
                  std::uint8_t transport, std::uint32_t kelbo_bytes);
    void shutdown_rcv(ConnId conn_id, int reason, const std::string& text);
    void release_conn_id(ConnId conn_id) { ledger_.release_conn_id(conn_id); }
    // A Stopped link's row goes before its countdown ends (its host's link is taken over).
    void remove_row(ConnId conn_id);
    // A connection from `peer` was refused: counted, a JSON line, and a journal line.
    void link_refused(const std::string& peer, const char* reason);

    // A received chunk of `bytes` for conn_id, as the link engine hands it over: counted
    // into the link's record and TOTAL's, then the kelbos it completes placed in the
    // picture. Ids outside 1..10 are reported on standard output and dropped.
    void more_data(std::int8_t conn_id, std::uint32_t bytes);

    LinkStatus comm_status() const { return comm_status_; }
    // The receiver's own members of its exit line: the datagrams dropped for coming
    // from no link's host, and the datagram socket's receive buffer as the system
    // reported it (-1 without a datagram socket).
    std::string exit_fields() const;

    Scene& scene() { return *scene_; }
    ReceiverWindow* window() const { return window_.get(); }
    KelboCanvas* canvas() const;

private:
    friend struct ReceiverProgramPeer;  // tests look at the parts and the boxes

    void create_window();
    void start_communications();
    void redraw();
    void publish_metrics();
    std::uint64_t clock_ms() const;
    void row_removed(ConnId conn_id, const std::string& peer_name);
    std::optional<double> read_path(ConnId conn_id);
    void write_tick(const RowTick& tick);
    void show_failure(std::string text);

    ReceiverOptions options_;
    std::uint64_t start_ms_;
    std::unique_ptr<Scene> scene_;
    JsonLines json_;
    LinkLedger ledger_;
    RowStrip strip_;
    ReceiverPicture picture_;
    std::unique_ptr<ReceiverWindow> window_;
    std::unique_ptr<LinkEngine> engine_;
    RateViews* views_ = nullptr;  // owned by the window
    LinkStatus comm_status_ = LinkStatus::ok;
    QTimer tick_timer_;
    QTimer time_limit_;
    std::uint64_t last_tick_ms_ = 0;
    bool refusal_box_open_ = false;
    bool failure_box_open_ = false;
    std::deque<std::string> failures_waiting_;
    RefusalJournal journal_;
};

}  // namespace kelbos
