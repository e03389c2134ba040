// SPDX-License-Identifier: Apache-2.0
// The transmitter program: one object owns the settings, the scene and its brushes,
// the send counters, the transmission and the main window with its rows, and runs
// the menu commands. main() makes one; tests make as many as they need, aimed at
// receivers on any ports, with short waits.
#pragma once

#include <QObject>
#include <QRgb>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/bar_scale.h"
#include "core/clock.h"
#include "core/json_lines.h"
#include "core/rate.h"
#include "core/scene.h"
#include "metrics/metrics.h"
#include "transmitter/app/kelbo_picture.h"
#include "transmitter/app/settings.h"
#include "transmitter/app/transmit_loop.h"

namespace kelbos {

class RateViews;
struct RowRate;
class TransmitterWindow;

// The transmission as its row shows it, held from its start: the figures its JSON
// lines, Rate History line and metrics are written from.
struct SendFigures {
    std::string name;              // the receiver's
    const char* protocol = "";     // the transport's name
    std::uint32_t kelbo_bits = 0;  // bits per kelbo
    double rate = 0;               // Mbits/s at the last tick
};

struct TransmitterOptions {
    Ports ports{};                                    // where the receivers listen
    std::chrono::milliseconds link_wait = LINK_WAIT;  // bound of the link's waits
    std::chrono::milliseconds slice = LoopOptions{}.slice;  // back to back: between returns to the loop
    std::chrono::milliseconds row_period{1000};       // the value row's rate tick
    bool headless = false;  // with go: end the program when the transmission is over
    bool json = false;      // rate lines on json_out
    std::FILE* json_out = stdout;
    bool go = false;                     // start a transmission once the window is up
    std::optional<double> time_seconds;  // halt (when transmitting) and end after this long
    std::uint64_t start_ms = now_ms();   // the program's start, for the JSON times
    BarScaleChoice bar_scale{};          // the bar scale the window starts with
    bool rate_history = false;           // open the Rate History window with the main window
    SendPath send_path = SendPath::copy;  // how TCP links hand their messages to the system
    SocketChoices sockets{};              // local address, congestion control, DSCP of every link
    // Ends the event loop with an exit status; QCoreApplication::exit when empty.
    std::function<void(int)> quit;
    // Given: the figures go there at each tick and at each end, for the metrics
    // exporter.
    std::shared_ptr<MetricsSnapshot> metrics;
};

class TransmitterProgram : public QObject, private TransmitShell {
    Q_OBJECT
public:
    // The defaults of every run.
    explicit TransmitterProgram(TransmitterOptions options = {});
    ~TransmitterProgram() override;

    // Before start_up, the command line may change these.
    CommSettings& settings() { return settings_; }
    void set_kelbo_colour(Rgb colour);

    // The rest of the start-up: the scene named by the command-line words (a
    // malformed point line ends the process with status -1), the own host name, the
    // main window with its rows.
    void start_up(const std::vector<std::string>& words);
    // Shows the window; then, from the event loop, --go starts and --time is armed.
    void show();

    // The menu commands by id; false for ids that do nothing.
    bool do_command(int id);
    void open_scene_file();
    void choose_kelbo_color();
    void show_settings();
    // "&Exit": ends the event loop; a transmission stops at once without a
    // ShutdownRequest, and a Go or a halt under way is dropped.
    void quit_app();
    // 1 when the transmission started by --go could not start, ended by itself or
    // failed to halt; else 0.
    int exit_status() const { return go_failed_ ? 1 : 0; }

    TransmitterWindow& window() const { return *window_; }

private:
    friend struct TransmitterProgramPeer;  // the tests' door

    // TransmitShell
    void set_transmitting(bool transmitting) override;
    void rearm_picture() override;
    void take_kelbos(std::uint64_t count) override;
    void row_start() override;
    void row_stop() override;
    void open_started() override;
    void start_refused() override;
    void transmission_started() override;
    void halt_started() override;
    void transmission_ended(End how) override;

    void create_window();
    void go_now();
    void time_up();
    void resume_time_up();
    // The row's rate tick: the meter's rate, shown and written out.
    void tick();
    RowRate history_rate(double rate) const;
    void publish_metrics(double rate);
    std::uint64_t program_ms() const;
    // A UDP transmission's datagrams sent, for its JSON lines; nothing for TCP.
    std::optional<DatagramFigures> datagrams_sent() const;
    // A paced transmission's target rate, for its JSON lines.
    std::optional<double> target_mbits() const;

    TransmitterOptions options_;
    CommSettings settings_;
    KelboBrushes brushes_;
    Scene scene_;
    std::string local_host_;
    ByteCounters counters_;
    std::array<QRgb, 16> custom_colours_{};  // the colour dialog's, kept for the run
    JsonLines json_;
    std::unique_ptr<TransmitLoop> loop_;
    std::unique_ptr<TransmitterWindow> window_;
    QTimer tick_timer_;  // the row's rate tick while transmitting
    RateMeter meter_;
    SendFigures sent_;
    RateViews* views_ = nullptr;       // owned by the window
    std::uint64_t transmissions_ = 0;  // one history line per transmission
    bool ticked_ = false;              // the transmission's row has ticked
    bool save_was_enabled_ = false;    // Save settings' state before a Go grayed it

    bool go_running_ = false;  // the transmission started by --go is opening or on
    bool go_failed_ = false;
    bool quitting_ = false;
    bool quit_after_halt_ = false;  // the time ran out: end once the halt is over
    bool time_up_after_go_ = false;  // the time ran out while a Go was opening the link
    TransmitterFigures figures_;
};

}  // namespace kelbos
