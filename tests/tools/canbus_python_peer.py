#!/usr/bin/python3
"""A CANopen drive written with python-can's socketcand client, as a peer
independent of our own code: answers expedited SDO uploads on 0x600 + node
with 0x580 + node, value 0x12345678 (4 bytes) for every object, and
downloads with 0x60. Prints "ready" once connected; ends after --seconds."""
import argparse
import sys
import time

import can


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--bus", default="can0")
    p.add_argument("--node", type=int, default=5)
    p.add_argument("--seconds", type=float, default=20)
    a = p.parse_args()
    bus = can.Bus(interface="socketcand", channel=a.bus, host=a.host, port=a.port)
    print("ready", flush=True)
    end = time.monotonic() + a.seconds
    try:
        while time.monotonic() < end:
            m = bus.recv(0.2)
            if m is None or m.arbitration_id != 0x600 + a.node or m.dlc != 8:
                continue
            cmd, lo, hi, sub = m.data[0], m.data[1], m.data[2], m.data[3]
            if cmd == 0x40:
                reply = [0x43, lo, hi, sub, 0x78, 0x56, 0x34, 0x12]
            elif cmd & 0xE0 == 0x20:
                reply = [0x60, lo, hi, sub, 0, 0, 0, 0]
            else:
                reply = [0x80, lo, hi, sub, 0x01, 0x00, 0x04, 0x05]
            bus.send(can.Message(arbitration_id=0x580 + a.node, data=reply, is_extended_id=False))
    finally:
        bus.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
