#!/usr/bin/python3
"""A Modbus drive stand-in served by pymodbus, for the protocol tests.

Holding registers 0 .. REGISTERS-1 exist (beyond them: exception 02), the
device identification carries fixed texts, and the diagnostic register is not 0.
Prints "READY" once it serves; exits on SIGTERM, or after --lifetime seconds
so that a lost test never leaves it behind.
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
# Parameter index.subindex -> value: motor type 5.13 ("01234567") and serial number 1.23 ("87654321").
PARAMETERS = {(5, 13): 0x0012D687, (1, 23): 0x05397FB1}


async def main():
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--tcp", type=int, help="port on 127.0.0.1")
    group.add_argument("--serial", help="serial device path (RTU framing)")
    parser.add_argument("--lifetime", type=float, default=60.0)
    args = parser.parse_args()

    values = [0] * REGISTERS
    for (index, subindex), value in PARAMETERS.items():
        address = (index * 128 + subindex) * 2
        values[address:address + 2] = [value >> 16, value & 0xFFFF]
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    context = ModbusServerContext(slaves={1: slave}, single=False)
    identity = ModbusDeviceIdentification()
    identity.VendorName, identity.ProductCode, identity.MajorMinorRevision = "Kavrel Test Drives", "KTD-4711", "3.14"
    ModbusControlBlock().setDiagnostic({1: True, 4: True})
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
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
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
