// SPDX-License-Identifier: Apache-2.0
#include "receiver/records/connection_records.h"

namespace kelbos {

void set_peer_name(ConnectionRecord& record, std::string_view name) {
    record.peer_name.assign(name.substr(0, PEER_NAME_MAX));
}

void ConnectionTable::reset() {
    for (auto& record : connections) record = ConnectionRecord{};
}

ConnId ConnectionTable::take_free() {
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c) {
        if (connections[c].row_state == RowState::free) {
            connections[c].row_state = RowState::live;
            return static_cast<ConnId>(c);
        }
    }
    return CONN_NONE_FREE;
}

bool ConnectionTable::give_back(ConnId conn_id) {
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) return false;
    ConnectionRecord& record = connections[conn_id];
    if (record.row_state != RowState::live || record.set_up) return false;
    record = ConnectionRecord{};
    return true;
}

void ConnectionTable::set_free(ConnId conn_id) {
    if (conn_id < CONN_FIRST || conn_id > CONN_LAST) return;
    connections[conn_id] = ConnectionRecord{};
}

int ConnectionTable::links_in_use() const {
    int n = 0;
    for (int c = CONN_FIRST; c <= CONN_LAST; ++c)
        if (connections[c].row_state != RowState::free) ++n;
    return n;
}

}  // namespace kelbos
