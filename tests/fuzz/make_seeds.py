#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Each seed is a small input that reaches one path of its target; the input layouts
are described at the top of each target's source file. Run it after changing a
layout, and commit the result.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def setup_request(transport, kelbo_bytes=2500000, message_length=32700, host=b"fuzz-tx", colour=b"#800000"):
    body = struct.pack("<II", kelbo_bytes, message_length) + host.ljust(40, b"\0") + colour.ljust(20, b"\0")
    body += bytes([transport, 1, 5, 0])
    assert len(body) == 72
    return body


def piece(data):
    assert len(data) < 256
    return bytes([len(data)]) + data


def data_message(conn_id, length):
    return bytes([conn_id, 0, 0, 0]) + bytes(length - 4)


HEADER = b"set kelbo\nrot 30, 150, 60\nsize 20, 20, 10\nspace 22, 22, 12\nset points\n"

SCENE_READER = {
    "worked_example": HEADER + b"300, 100, 0, 4, 3, 2\n400,150,24\n",
    "crlf_lines": HEADER.replace(b"\n", b"\r\n") + b"1, 2, 3\r\n",
    "no_blanks": b"set kelbo\nrot30,150,60\nsize20,20,10\nspace22,22,12\nset points\n1,2,3\n",
    "truncated_at_max_pts": HEADER + b"0, 0, 0, 10, 10, 15\n",
    "bad_point_line": HEADER + b"1, 2, 3\n4, 5\n",
    "no_points": HEADER,
    "blank_before_comma": b"set kelbo\nrot 30 , 150, 60\n",
    "wrong_keyword": b"set kelbos\n",
    "long_line": b"set kelbo" + b" " * 600 + b"\n",
    "nul_bytes": b"set kelbo\nrot 1, 2, 3\x00junk\nsize 1, 1, 1\nspace 1, 1, 1\nset points\n1, 2\x003\n",
    "huge_numbers": b"set kelbo\nrot 2147483647, -2147483648, 99999999999\nsize 32767, 70000, -1\n"
    b"space -2147483648, 2147483647, 0\nset points\n2147483647, -2147483648, 0, 3, 2, 1\n",
}

# receiver_input: mode byte, then the mode's layout.
SETUP, STREAM, DATAGRAM = 0, 1, 2
CONTROL_PORT, EARLY, RESET, EXPIRE, REFUSE = 1, 2, 1 << 2, 2 << 2, 16
OP_PIECE, OP_CLOSE, OP_RESET, OP_STRAY, SECOND_LINK = 0, 1, 2, 3, 4

RECEIVER_INPUT = {
    "setup_whole": bytes([SETUP, 0, 0]) + piece(setup_request(2)),
    "setup_in_pieces": bytes([SETUP, 0, 0]) + piece(setup_request(2)[:10]) + piece(setup_request(2)[10:40])
    + piece(setup_request(2)[40:]),
    "setup_early_on_control_port": bytes([SETUP, CONTROL_PORT | EARLY, 0]) + piece(setup_request(1)),
    "setup_short_then_close": bytes([SETUP, 0, 0]) + piece(setup_request(2)[:40]),
    "setup_short_then_reset": bytes([SETUP, RESET, 0]) + piece(setup_request(2)[:30]),
    "setup_short_then_expiry": bytes([SETUP, EXPIRE, 0]) + piece(setup_request(2)[:30]),
    "setup_refused_without_scene": bytes([SETUP, REFUSE, 0]) + piece(setup_request(2)),
    "setup_refused_table_full": bytes([SETUP, 0, 10]) + piece(setup_request(2)),
    "setup_with_data_and_shutdown": bytes([SETUP, 0, 0]) + piece(setup_request(2) + data_message(1, 100))
    + piece(bytes([1, 2, 1])),
    "stream_data_then_shutdown": bytes([STREAM, 0, OP_PIECE]) + piece(data_message(1, 100)) + bytes([OP_PIECE])
    + piece(bytes([1, 2, 1])),
    "stream_shutdown_names_other_link": bytes([STREAM, 1, OP_PIECE]) + piece(data_message(1, 50))
    + bytes([OP_PIECE | SECOND_LINK]) + piece(data_message(2, 60)) + bytes([OP_PIECE]) + piece(bytes([2, 2, 1])),
    "stream_request_naming_no_link": bytes([STREAM, 0, OP_PIECE]) + piece(data_message(1, 20) + bytes([0, 2, 0])),
    "stream_two_byte_chunks": bytes([STREAM, 0, OP_PIECE]) + piece(bytes([1, 2])) + bytes([OP_PIECE])
    + piece(bytes([2])),
    "stream_close": bytes([STREAM, 0, OP_CLOSE]),
    "stream_reset": bytes([STREAM, 1, OP_RESET | SECOND_LINK]),
    "stream_error_report": bytes([STREAM, 0, OP_STRAY, 0, 0, 104]),
    "stream_stray_reports": bytes([STREAM, 0, OP_STRAY, 1, 1, 0, OP_STRAY, 3, 0, 0, OP_STRAY, 4, 0, 9]),
    "stream_listener_error": bytes([STREAM, 0, OP_STRAY, 2, 1, 5, OP_PIECE]) + piece(data_message(1, 8)),
    "datagrams": bytes([DATAGRAM, 1]) + piece(data_message(1, 64)) + piece(bytes([0])) + piece(bytes([11, 1]))
    + piece(b"") + piece(bytes([0xFF, 0xFF, 0xFF, 0xFF])),
    "datagrams_without_link": bytes([DATAGRAM, 0]) + piece(data_message(3, 200)),
}

# transmitter_input: flags (UDP), message length code, then cycles of reply piece,
# what the receiver does then, and operations.
TCP, UDP = 0, 1
KEEP, CLOSE, RESET = 0, 1, 2
RX_PIECE, RX_CLOSE, RX_RESET, EVENT, SEND, HALT, NEXT, RX_URGENT = range(8)
ACCEPT3 = piece(bytes([3, 1, 1, 5])) + bytes([KEEP])


def halt(reason, ack, after=KEEP):
    return bytes([HALT, reason]) + piece(ack) + bytes([after])


TRANSMITTER_INPUT = {
    "accept_send_halt": bytes([TCP, 100]) + ACCEPT3 + bytes([SEND, SEND]) + halt(1, bytes([3, 3])),
    "udp_accept_send_halt": bytes([UDP, 100]) + ACCEPT3 + bytes([SEND, SEND]) + halt(1, bytes([3, 3])),
    "rejected": bytes([TCP, 100]) + piece(bytes([255, 4, 1, 5])) + bytes([CLOSE]),
    "short_reply": bytes([TCP, 100]) + piece(bytes([3, 1])) + bytes([KEEP]),
    "wrong_reply_type": bytes([UDP, 100]) + piece(bytes([3, 2, 1, 5])) + bytes([KEEP]),
    "no_reply_then_close": bytes([TCP, 100]) + piece(b"") + bytes([CLOSE]),
    "no_reply_then_reset": bytes([UDP, 100]) + piece(b"") + bytes([RESET]),
    "no_reply_at_all": bytes([TCP, 100]) + piece(b"") + bytes([KEEP]),
    "reply_with_more_bytes": bytes([TCP, 100]) + piece(bytes([3, 1, 1, 5, 7, 2, 1])) + bytes([KEEP, EVENT]),
    "reply_then_close": bytes([TCP, 100]) + piece(bytes([3, 1, 1, 5])) + bytes([CLOSE, SEND, EVENT]),
    "receiver_shutdown": bytes([TCP, 100]) + ACCEPT3 + bytes([RX_PIECE]) + piece(bytes([3, 2, 3])) + bytes([EVENT]),
    "receiver_two_bytes": bytes([UDP, 100]) + ACCEPT3 + bytes([RX_PIECE]) + piece(bytes([3, 2])) + bytes([EVENT]),
    "receiver_negative_reason": bytes([TCP, 100]) + ACCEPT3 + bytes([RX_PIECE]) + piece(bytes([9, 2, 0xFF]))
    + bytes([EVENT]),
    "receiver_sends_urgent_data": bytes([TCP, 100]) + ACCEPT3 + bytes([RX_URGENT]) + piece(bytes([3, 2, 1, 9]))
    + bytes([EVENT]),
    "receiver_closes": bytes([TCP, 100]) + ACCEPT3 + bytes([EVENT, RX_CLOSE, EVENT]),
    "receiver_resets_during_sends": bytes([TCP, 210]) + ACCEPT3 + bytes([SEND, RX_RESET, SEND, SEND, SEND, EVENT]),
    "ack_of_wrong_type": bytes([TCP, 100]) + ACCEPT3 + halt(1, bytes([3, 4])),
    "ack_short": bytes([UDP, 100]) + ACCEPT3 + halt(2, bytes([3])),
    "ack_missing": bytes([TCP, 100]) + ACCEPT3 + halt(1, b""),
    "ack_then_close": bytes([TCP, 100]) + ACCEPT3 + bytes([SEND]) + halt(1, bytes([3, 3]), CLOSE),
    "no_ack_then_reset": bytes([TCP, 100]) + ACCEPT3 + halt(1, b"", RESET),
    "halt_with_bytes_waiting": bytes([TCP, 100]) + ACCEPT3 + bytes([RX_PIECE]) + piece(bytes([0, 3])) + halt(1, b""),
    "two_links": bytes([TCP, 100]) + ACCEPT3 + bytes([SEND, NEXT]) + ACCEPT3 + halt(1, bytes([3, 3])),
    "message_too_big": bytes([UDP, 255]) + ACCEPT3,
    "tiny_udp_messages": bytes([UDP, 2]) + piece(bytes([200, 1, 1, 5])) + bytes([KEEP, SEND, SEND]),
    "empty_tcp_messages": bytes([TCP, 0]) + ACCEPT3 + bytes([SEND]) + halt(1, bytes([3, 3])),
}


def write(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    write("scene_reader", SCENE_READER)
    write("receiver_input", RECEIVER_INPUT)
    write("transmitter_input", TRANSMITTER_INPUT)
