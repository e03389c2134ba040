// SPDX-License-Identifier: Apache-2.0
// A whole receiver program for tests: free ports, a recorded message presenter, a
// recorded quit, JSON lines into a temporary file, and helpers to set links up and
// feed them data through the program's own callbacks.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/show_message.h"
#include "receiver/app/receiver_program.h"

namespace kelbos {

// The program's and the strip's insides that tests look at.
struct ReceiverProgramPeer {
    static QTimer& tick_timer(ReceiverProgram& program) { return program.tick_timer_; }
    static LinkLedger& ledger(ReceiverProgram& program) { return program.ledger_; }
    static RowStrip& strip(ReceiverProgram& program) { return program.strip_; }
    static LinkEngine& engine(ReceiverProgram& program) { return *program.engine_; }
    static RateViews* views(ReceiverProgram& program) { return program.views_; }
    static bool refusal_box_open(const ReceiverProgram& program) { return program.refusal_box_open_; }
    static RefusalJournal& journal(ReceiverProgram& program) { return program.journal_; }
};
struct RowStripPeer {
    static HeaderRow* header(const RowStrip& strip) { return strip.header_; }
    static RowWidget* row(const RowStrip& strip, ConnId conn_id) { return strip.row(conn_id); }
};

}  // namespace kelbos

namespace kelbos::test {

// A scene file written for a test; removed again at the end.
class TempScene {
public:
    explicit TempScene(const std::string& text);
    ~TempScene();
    TempScene(const TempScene&) = delete;
    TempScene& operator=(const TempScene&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The scene shipped with the programs.
std::string shipped_scene();

struct RigOptions {
    std::string scene = shipped_scene();  // empty: no scene file can be read
    bool json = false;
    Ports ports{0, 0, 0};
    // The one-second tick timer as the program runs it; otherwise it never fires
    // during a test, which ticks the rows itself.
    bool timer_ticks = false;
};

class ReceiverRig {
public:
    explicit ReceiverRig(RigOptions options = {});
    ~ReceiverRig();

    // Every text shown with show_message, in order. on_message runs inside the
    // presenter, as code in a modal box's loop would.
    std::vector<std::string> messages;
    std::function<void(const std::string&)> on_message;
    std::vector<int> quits;

    ReceiverProgram& program() { return *program_; }
    LinkLedger& ledger() { return ReceiverProgramPeer::ledger(*program_); }
    ConnectionTable& table() { return ledger().table(); }
    HeaderRow* header() const { return RowStripPeer::header(ReceiverProgramPeer::strip(*program_)); }
    // A link's row, or TOTAL's for 0; null when the record has none.
    RowWidget* row(ConnId conn_id) const {
        return RowStripPeer::row(ReceiverProgramPeer::strip(*program_), conn_id);
    }

    // alloc_conn_id + new_link, as the engine calls them for a link being set up.
    ConnId link(const std::string& name, std::uint8_t transport = TRANSPORT_TCP,
                std::uint32_t kelbo_bytes = 1000, const std::string& colour = "#800000");
    // more_data as the engine calls it.
    void data(int conn_id, std::uint32_t bytes) {
        program_->more_data(static_cast<std::int8_t>(conn_id), bytes);
    }
    void ticks(int n, std::uint64_t elapsed_ms = 1000) {
        for (int i = 0; i < n; ++i) program_->tick_rows(elapsed_ms);
    }

    int header_height() const;
    int row_height() const;
    // y of a link's row, or of TOTAL for 0; -1 when the record has no row.
    int row_y(ConnId conn_id) const;

    // The JSON lines written so far.
    std::vector<std::string> json_lines();

private:
    std::unique_ptr<ScopedMessagePresenter> presenter_;
    std::FILE* json_ = nullptr;
    std::unique_ptr<ReceiverProgram> program_;
};

}  // namespace kelbos::test
