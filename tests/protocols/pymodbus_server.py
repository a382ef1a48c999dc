#!/usr/bin/python3
"""A Modbus drive stand-in for the protocol tests, served by pymodbus.

Holding registers 0 .. REGISTERS-1 exist (addresses beyond them answer with
exception 02), the device identification carries fixed texts, and the
diagnostic register has bits set so that its value is not 0.
Prints "READY" on standard output once it serves; exits on SIGTERM, or by
itself after --lifetime seconds so that a lost test never leaves it behind.
"""
import argparse
import asyncio
import signal
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.device import ModbusControlBlock, ModbusDeviceIdentification
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer

REGISTERS = 0x2000
VENDOR = "Kavrel Test Drives"
PRODUCT = "KTD-4711"
REVISION = "3.14"
MOTOR_TYPE = 0x0012D687  # parameter 5.13 -> "01234567"
SERIAL_NUMBER = 0x05397FB1  # parameter 1.23 -> "87654321"


def register(index, subindex):
    return (index * 128 + subindex) * 2


def build_context(unit):
    values = [0] * REGISTERS
    for (index, subindex), value in (((5, 13), MOTOR_TYPE), ((1, 23), SERIAL_NUMBER)):
        address = register(index, subindex)
        values[address] = value >> 16
        values[address + 1] = value & 0xFFFF
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    return ModbusServerContext(slaves={unit: slave}, single=False)


def build_identity():
    identity = ModbusDeviceIdentification()
    identity.VendorName = VENDOR
    identity.ProductCode = PRODUCT
    identity.MajorMinorRevision = REVISION
    return identity


async def main():
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--tcp", type=int, help="port on 127.0.0.1")
    group.add_argument("--serial", help="serial device path (RTU framing)")
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=60.0)
    args = parser.parse_args()

    ModbusControlBlock().setDiagnostic({1: True, 4: True})
    context = build_context(args.unit)
    identity = build_identity()
    if args.tcp is not None:
        server = await StartAsyncTcpServer(context=context, identity=identity, address=("127.0.0.1", args.tcp),
                                           allow_reuse_address=True, defer_start=True)
        task = asyncio.create_task(server.serve_forever())
        await asyncio.wait_for(server.serving, 10)
    else:
        server = await StartAsyncSerialServer(context=context, identity=identity, port=args.serial,
                                              framer=ModbusRtuFramer, baudrate=19200, bytesize=8, parity="N",
                                              stopbits=1, defer_start=True)
        await server.start()
        task = asyncio.create_task(server.serve_forever())
    print("READY", flush=True)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), args.lifetime)
    except asyncio.TimeoutError:
        pass
    task.cancel()
    try:
        await server.shutdown()
    except Exception:  # pylint: disable=broad-except
        pass
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
