#!/usr/bin/python3
"""A CANopen drive of the QTA family written on python-can's socketcand
client, independent of our simulator: answers expedited SDO uploads and
downloads on 0x600 + node with replies on 0x580 + node.

usage: canopen_python_drive.py HOST PORT BUS NODE [--lifetime SECONDS]
Prints "ready" once connected; ends on SIGTERM or after the lifetime.
"""
import argparse
import signal
import struct
import sys
import time

import can


def text(four):
    return struct.unpack(">I", four.encode())[0]


def dictionary():
    # (object, subindex): [size, value, writable]
    return {
        (0x1018, 1): [4, 0x0100002E, False],
        (0x1018, 2): [2, 0x0042, False],
        (0x3001, 1): [4, (3 << 16) | 14, False],
        (0x3001, 2): [4, (2 << 16) | 7, False],
        (0x3001, 3): [4, text("PYDR"), False],
        (0x3001, 4): [4, text("V-01"), False],
        (0x3001, 20): [4, 0x2345, False],
        (0x3002, 5): [2, 100, True],
        (0x3002, 9): [4, 0x5A5A, False],  # answered late, see LATE
        (0x3016, 6): [2, 0, True],  # node-guard interval
    }


# An object whose reply comes after the adapters have given up on it.
LATE = (0x3002, 9)
LATE_SECONDS = 0.3


def abort(request, code):
    return bytes([0x80, request[1], request[2], request[3]]) + struct.pack("<I", code)


def answer(objects, request):
    key = (request[1] | (request[2] << 8), request[3])
    entry = objects.get(key)
    if entry is None:
        return abort(request, 0x06020000)
    size, value, writable = entry
    command = request[0]
    if command == 0x40:
        return bytes([0x43 | ((4 - size) << 2)]) + bytes(request[1:4]) + struct.pack("<I", value)
    if command & 0xE0 == 0x20:
        if not writable:
            return abort(request, 0x06010002)
        if command & 0x01 and 4 - ((command >> 2) & 3) != size:
            return abort(request, 0x06070010)
        entry[1] = struct.unpack("<I", bytes(request[4:8]))[0] & ((1 << (8 * size)) - 1)
        return bytes([0x60]) + bytes(request[1:4]) + bytes(4)
    return abort(request, 0x05040001)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("bus")
    parser.add_argument("node", type=int)
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    bus = can.Bus(interface="socketcand", host=args.host, port=args.port, channel=args.bus)
    print("ready", flush=True)
    objects = dictionary()
    end = time.monotonic() + args.lifetime
    try:
        while not stop and time.monotonic() < end:
            message = bus.recv(timeout=0.2)
            if message is None or message.arbitration_id != 0x600 + args.node or message.dlc != 8:
                continue
            reply = answer(objects, message.data)
            if (message.data[1] | (message.data[2] << 8), message.data[3]) == LATE:
                time.sleep(LATE_SECONDS)
            bus.send(can.Message(arbitration_id=0x580 + args.node, data=reply, is_extended_id=False))
    finally:
        bus.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
