// SPDX-License-Identifier: Apache-2.0
#include "engine_recorder.h"

namespace kelbos::test {

namespace {

bool in_range(int conn_id) {
    return conn_id >= CONN_FIRST && conn_id <= CONN_LAST;
}

std::string id_text(int conn_id, EngineRecorder::Stage stage) {
    return "ConnId " + std::to_string(conn_id) + " while " + stage_name(stage);
}

}  // namespace

const char* stage_name(EngineRecorder::Stage stage) {
    static constexpr const char* names[] = {
        "unused", "held by an earlier link", "admitted", "set up", "ended", "given back"};
    return names[static_cast<int>(stage)];
}

std::string EngineCall::brief() const {
    static constexpr const char* words[] = {"alloc", "new", "data", "end", "release"};
    return std::string(words[kind]) + " " + std::to_string(conn_id);
}

std::string describe(const std::vector<EngineCall>& calls) {
    static constexpr const char* names[] = {"alloc", "new_link", "data", "end", "release"};
    std::string out;
    for (const EngineCall& r : calls) {
        out += std::string(names[r.kind]) + "(" + std::to_string(r.conn_id);
        if (r.kind == EngineCall::data) out += ", " + std::to_string(r.bytes);
        if (r.kind == EngineCall::end) out += ", " + std::to_string(r.reason) + ", '" + r.text + "'";
        out += ") ";
    }
    return out.empty() ? "nothing" : out;
}

void EngineRecorder::fault(const std::string& what) {
    ++faults;
    if (on_fault) on_fault(what);
}

EngineRecorder::Stage EngineRecorder::stage(int conn_id) const {
    return in_range(conn_id) ? stage_[conn_id] : Stage::unused;
}

EngineCallbacks EngineRecorder::callbacks() {
    EngineCallbacks cb;
    cb.alloc_conn_id = [this] {
        if (on_alloc) on_alloc();
        ++allocs;
        const ConnId c = refuse ? CONN_NONE_FREE : table.take_free();
        if (c != CONN_NONE_FREE) {
            check(in_range(c), [&] { return "take_free gave " + std::to_string(c); });
            check(stage(c) == Stage::unused || stage(c) == Stage::given_back,
                  [&] { return "handed out " + id_text(c, stage(c)); });
            stage_[c] = Stage::admitted;
        }
        calls.push_back(EngineCall::of(EngineCall::alloc, c));
        if (on_change) on_change();
        return c;
    };
    cb.new_link = [this](ConnId c, const std::string& name, const std::string& colour, std::uint8_t transport,
                         std::uint32_t kelbo_bytes) {
        new_links.push_back({c, name, colour, transport, kelbo_bytes});
        calls.push_back(EngineCall::of(EngineCall::new_link, c));
        check(in_range(c) && stage_[c] == Stage::admitted,
              [&] { return "new_link for " + id_text(c, stage(c)); });
        check(!name.empty() && name.size() <= PEER_NAME_MAX, [&] { return "peer name '" + name + "'"; });
        check(colour.size() <= SETUP_COLOUR_FIELD && colour.find('\0') == std::string::npos,
              [&] { return "colour text of " + std::to_string(colour.size()) + " bytes"; });
        if (!in_range(c)) return;
        ConnectionRecord& record = table[c];
        check(record.row_state == RowState::live,
              [&] { return std::string("new_link for a record that is not live"); });
        record.pending_bytes = record.bytes_received = record.bytes_at_tick = 0;
        record.transport = transport;
        record.kelbo_bytes = kelbo_bytes;
        set_peer_name(record, name);
        stage_[c] = Stage::set_up;
        if (on_change) on_change();
    };
    cb.more_data = [this](std::int8_t c, std::uint32_t bytes) {
        more_data.push_back({c, bytes});
        calls.push_back(EngineCall::chunk(c, bytes));
        data_bytes += bytes;
        check(bytes > 0, [&] { return std::string("more_data with an empty chunk"); });
        // As the receiver counts: chunks for no live link are ignored.
        if (in_range(c) && table[static_cast<ConnId>(c)].row_state == RowState::live) {
            table[static_cast<ConnId>(c)].bytes_received += bytes;
            table[0].bytes_received += bytes;
        }
        if (on_more_data) on_more_data(c);
        if (on_change) on_change();
    };
    cb.shutdown_rcv = [this](ConnId c, int reason, const std::string& text) {
        shutdowns.push_back({c, reason, text, link_socket ? link_socket(c) : -1});
        calls.push_back(EngineCall::ended(c, reason, text));
        check(in_range(c) && stage_[c] == Stage::set_up,
              [&] { return "shutdown_rcv for " + id_text(c, stage(c)); });
        check(reason >= 0 && reason <= 255, [&] { return "reason " + std::to_string(reason); });
        if (on_shutdown_rcv) on_shutdown_rcv(c);
        if (in_range(c)) {
            check(table[c].row_state != RowState::dirty,
                  [&] { return "a dirty record ended twice: ConnId " + std::to_string(c); });
            if (free_ended) {
                table.set_free(c);
                stage_[c] = Stage::unused;
            } else {
                table[c].row_state = RowState::dirty;
                table[c].removal_countdown = 15;
                stage_[c] = Stage::ended;
            }
        }
        if (on_change) on_change();
    };
    cb.release_conn_id = [this](ConnId c) {
        released.push_back(c);
        calls.push_back(EngineCall::of(EngineCall::release, c));
        check(in_range(c) && stage_[c] == Stage::admitted,
              [&] { return "release of " + id_text(c, stage(c)); });
        check(table.give_back(c),
              [&] { return "released ConnId " + std::to_string(c) + " was not a live record"; });
        if (in_range(c)) stage_[c] = Stage::given_back;
        if (on_change) on_change();
    };
    cb.link_stopped = [this](ConnId c) { return in_range(c) && table[c].row_state == RowState::dirty; };
    cb.remove_stopped = [this](ConnId c) {
        check(in_range(c) && table[c].row_state == RowState::dirty,
              [&] { return "removal of " + id_text(c, stage(c)); });
        if (in_range(c)) table.set_free(c), stage_[c] = Stage::unused;
    };
    return cb;
}

std::uint64_t EngineRecorder::bytes_for(int conn_id) const {
    std::uint64_t sum = 0;
    for (const MoreDataCall& call : more_data)
        if (call.conn_id == conn_id) sum += call.bytes;
    return sum;
}

std::size_t EngineRecorder::datagrams_for(int conn_id) const {
    std::size_t n = 0;
    for (const MoreDataCall& call : more_data)
        if (call.conn_id == conn_id) ++n;
    return n;
}

std::vector<std::string> EngineRecorder::order() const {
    std::vector<std::string> out;
    for (const EngineCall& call : calls) out.push_back(call.brief());
    return out;
}

int EngineRecorder::remove_dirty_rows() {
    int removed = 0;
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        if (table[static_cast<ConnId>(c)].row_state != RowState::dirty) continue;
        table.set_free(static_cast<ConnId>(c));
        stage_[c] = Stage::unused;
        ++removed;
    }
    return removed;
}

void EngineRecorder::hold_ended_records(int n) {
    for (int i = 0; i < n; ++i) {
        const ConnId c = table.take_free();
        if (c == CONN_NONE_FREE) return;
        table[c].row_state = RowState::dirty;
        stage_[c] = Stage::foreign;
    }
}

}  // namespace kelbos::test
