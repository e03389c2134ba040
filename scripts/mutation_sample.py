#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Seeds realistic faults into the program, one at a time, to see that the test suite
catches each of them.

Usage:
  python3 scripts/mutation_sample.py list
  python3 scripts/mutation_sample.py show N
  python3 scripts/mutation_sample.py apply N TREE     # seeds fault N into the tree at TREE
  python3 scripts/mutation_sample.py restore N TREE   # takes it out again

Each fault replaces one short snippet, which must occur exactly once in its file (the
script fails loudly otherwise); `tests` names the test programs expected to catch it.
Build those, run them (through ctest, in a network namespace), and restore. Faults
1-12 are the sample; 11s, 13 and 14 are faults the suite once let through.
"""
import sys
from pathlib import Path

MUTATIONS = [
    {   # 1
        "name": "chunk rule: any link's ShutdownRequest at the end of a chunk ends the link it came on",
        "area": "chunk rule",
        "file": "receiver/engine/stream_reader.cpp",
        "function": "StreamReader::read",
        "original": "const bool ends = request && request->conn_id == conn_id;",
        "mutated": "const bool ends = request.has_value();",
        "tests": ["receiver_link_tests"],
    },
    {   # 2
        "name": "rate: a megabit taken as 1024 kbit (bytes / (ms * 128))",
        "area": "rate",
        "file": "core/rate.cpp",
        "function": "rate_mbits",
        "original": "static_cast<double>(elapsed_ms * 125u)",
        "mutated": "static_cast<double>(elapsed_ms * 128u)",
        "tests": ["common_core_tests"],
    },
    {   # 3
        "name": "scene reader: a point line of 4 or 5 numbers accepted (missing count check)",
        "area": "scene reader",
        "file": "core/scene.cpp",
        "function": "parse_header_and_points",
        "original": "if (count != 3 && count != 6) {",
        "mutated": "if (count < 3) {",
        "tests": ["scene_tests"],
    },
    {   # 4
        "name": "geometry: the top face's far corner misses the width rise (o.y - d_dy instead of o.y - d_dy - w_dy)",
        "area": "geometry",
        "file": "core/kelbo_geometry.cpp",
        "function": "kelbo_faces",
        "original": "{o.x + d_dx + w_dx, o.y - d_dy - w_dy},",
        "mutated": "{o.x + d_dx + w_dx, o.y - d_dy},",
        "tests": ["scene_tests"],
    },
    {   # 5
        "name": "ConnIds: the search for a free record stops before ConnId 10 (only nine links)",
        "area": "ConnIds",
        "file": "receiver/records/connection_records.cpp",
        "function": "ConnectionTable::take_free",
        "original": "c <= CONN_LAST; ++c) {\n        if (connections[c].row_state == RowState::free) {",
        "mutated": "c < CONN_LAST; ++c) {\n        if (connections[c].row_state == RowState::free) {",
        "tests": ["receiver_records_tests", "receiver_program_tests"],
    },
    {   # 6
        "name": "row removal: a Stopped row removed on the fifteenth tick (countdown compared with 1)",
        "area": "row removal",
        "file": "receiver/records/link_ledger.cpp",
        "function": "LinkLedger::tick",
        "original": "if (record.removal_countdown == 0) {",
        "mutated": "if (record.removal_countdown == 1) {",
        "tests": ["receiver_records_tests", "receiver_program_tests"],
    },
    {   # 7
        "name": "kelbo counting: a kelbo needs more than its size (<= instead of <), exactly kelbo_bytes gives none",
        "area": "kelbo counting",
        "file": "receiver/counting/kelbo_counting.cpp",
        "function": "count_bytes",
        "original": "link.pending_bytes < link.kelbo_bytes) return 0;",
        "mutated": "link.pending_bytes <= link.kelbo_bytes) return 0;",
        "tests": ["receiver_counting_tests", "receiver_program_tests"],
    },
    {   # 8
        "name": "colour parsing: red and blue fields swapped",
        "area": "colour parsing",
        "file": "core/kelbo_geometry.cpp",
        "function": "parse_colour_text",
        "original": "return Rgb{values[0], values[1], values[2]};",
        "mutated": "return Rgb{values[2], values[1], values[0]};",
        "tests": ["scene_tests", "receiver_counting_tests", "receiver_program_tests"],
    },
    {   # 9
        "name": "send loop: a kelbo is taken only once more than its size is pending (> instead of >=)",
        "area": "send loop",
        "file": "transmitter/app/transmit_loop.cpp",
        "function": "TransmitLoop::send_message",
        "original": "counters_.pending_bytes >= kelbo_bytes) {",
        "mutated": "counters_.pending_bytes > kelbo_bytes) {",
        "tests": ["transmitter_app_tests"],
    },
    {   # 10
        "name": "set-up reply: the reply's type byte not checked: any reply not a rejection is taken as accepted",
        "area": "set-up reply",
        "file": "core/protocol.cpp",
        "function": "parse_setup_reply",
        "original": "if (received[1] == MSG_SETUP_ACCEPTED) return {LinkStatus::ok, received[0]};",
        "mutated": "return {LinkStatus::ok, received[0]};",
        "tests": ["common_core_tests", "transmitter_link_tests"],
    },
    {   # 11
        "name": "dialog validation: the numbered-datagram size check asks about the committed transport, not the one chosen in the dialog",
        "area": "dialog validation",
        "file": "transmitter/app/settings_dialog.cpp",
        "function": "SettingsDialog::validate_and_commit",
        "original": "if (!numbers_fit(pending_transport_, numbered_->isChecked(), *msg_size)) {",
        "mutated": "if (!numbers_fit(settings_.transport, numbered_->isChecked(), *msg_size)) {",
        "tests": ["transmitter_app_tests"],
    },
    {   # 12
        "name": "datagram source check: || written as && (a datagram from another host counts for a set-up link)",
        "area": "datagram source check",
        "file": "receiver/engine/datagram_reader.cpp",
        "function": "DatagramReader::link_of",
        "original": "if (entry.phase != LinkPhase::set_up || !same_host(entry.peer, source)) return CONN_NONE;",
        "mutated": "if (entry.phase != LinkPhase::set_up && !same_host(entry.peer, source)) return CONN_NONE;",
        "tests": ["receiver_link_tests"],
    },
    # Faults the suite once let through (not part of the twelve).
    {   # 13
        "name": "metrics: a removed row's last figures stay in the receiver's snapshot "
                "(its last tick kept after the row goes)",
        "area": "metrics after removal",
        "file": "receiver/records/link_ledger.cpp",
        "function": "LinkLedger::remove",
        "original": "    table_.set_free(conn_id);\n    ticks_[conn_id].reset();\n",
        "mutated": "    table_.set_free(conn_id);\n",
        "tests": ["receiver_records_tests", "program_pair_tests (Metrics.*)"],
    },
    {   # 14
        "name": "whole-chunk guard off by one: a link with one byte short of a whole chunk still "
                "waiting after a full chunk is put on whole-chunk wake-ups, so its last part chunk "
                "(and a request ending it) waits for the sweep",
        "area": "whole-chunk guard",
        "file": "receiver/engine/stream_reader.cpp",
        "function": "StreamReader::read",
        "original": "if (waiting >= buffer.size()) wait_for_whole_chunks(conn_id);",
        "mutated": "if (waiting + 1 >= buffer.size()) wait_for_whole_chunks(conn_id);",
        "tests": ["receiver_link_tests", "link_pair_tests", "program_pair_tests"],
    },
]

# A second fault in area 11, once let through; `apply 11s TREE`.
SURVIVORS = {
    "11s": {
        "name": "dialog validation: the smallest kelbo size (8) refused (<= instead of <)",
        "area": "dialog validation",
        "file": "transmitter/app/settings_dialog.cpp",
        "function": "SettingsDialog::validate_and_commit",
        "original": "*kelbo_size < MIN_KELBO_SIZE) {",
        "mutated": "*kelbo_size <= MIN_KELBO_SIZE) {",
        "tests": ["transmitter_app_tests"],
    },
}


def die(text):
    sys.stderr.write("mutations.py: " + text + "\n")
    sys.exit(1)


def pick(key):
    if key in SURVIVORS:
        return SURVIVORS[key]
    n = int(key) if key.isdigit() else 0
    if not 1 <= n <= len(MUTATIONS):
        die(f"no mutation {n} (1 to {len(MUTATIONS)})")
    return MUTATIONS[n - 1]


def swap(m, tree, old, new):
    path = Path(tree) / m["file"]
    if not path.is_file():
        die(f"{path}: no such file")
    text = path.read_text()
    found = text.count(old)
    if found != 1:
        die(f"{path}: snippet found {found} times, not once:\n{old}")
    path.write_text(text.replace(old, new, 1))


def main(argv):
    if len(argv) >= 2 and argv[1] == "list":
        for i, m in enumerate(MUTATIONS, 1):
            print(f"{i:2}  {m['area']:34} {m['file']}:{m['function']}\n    {m['name']}")
        for key, m in SURVIVORS.items():
            print(f"{key:3} {m['area']:34} {m['file']}:{m['function']}\n    {m['name']}")
        return
    if len(argv) == 3 and argv[1] == "show":
        m = pick(argv[2])
        print(f"{m['file']}:{m['function']}\n{m['name']}\n- {m['original']}\n+ {m['mutated']}\n"
              f"tests: {', '.join(m['tests'])}")
        return
    if len(argv) != 4 or argv[1] not in ("apply", "restore"):
        die("usage: mutations.py list | show N | apply N TREE | restore N TREE")
    m = pick(argv[2])
    if argv[1] == "apply":
        swap(m, argv[3], m["original"], m["mutated"])
    else:
        swap(m, argv[3], m["mutated"], m["original"])
    print(f"{argv[1]} {argv[2]}: {m['file']}")


if __name__ == "__main__":
    main(sys.argv)
