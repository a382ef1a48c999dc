#!/usr/bin/python3
"""The kavrel Python package against the drive simulator over Modbus TCP:
identify, read, write, errors, upload, node guarding and a scan, with one
simulator for the whole run. Exits 77 when the simulator is not built."""
import os
import sys
import tempfile
import time
import unittest

from kavrel_sim import BIN_DIR, SIM, SKIP, Simulator

sys.path.insert(0, os.path.join(BIN_DIR, "..", "python"))
import kavrel  # noqa: E402

READ_FAILED = 0x80040501


class PackageAgainstSimulator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.sim = Simulator("--tcp", "127.0.0.1:0", "--ids", "1,2,4", control=os.path.join(cls.folder.name, "control"))
        assert cls.sim.ready, "simulator said only %s" % cls.sim.lines
        cls.manager = kavrel.Manager(protocol="ModbusTCP", data_path=cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        cls.folder.cleanup()

    def bus(self, **extra):
        return self.manager.interface(IpAddress="127.0.0.1", EthernetPort=self.sim.port, DontShow=1,
                                      ReplyTimeout=300, **extra)

    def test_identify_read_write(self):
        with self.bus() as bus, bus.connect(1) as drive:
            self.assertEqual(drive.unique_id, 1)
            for name in ("vendor_name", "product_code", "version", "motor_type", "serial_number"):
                self.assertNotEqual(getattr(drive, name), "", name)
            drive.write(4, 2, 0, 0xFFFFFFF0)
            self.assertEqual(drive.read(4, 2, 0) & 0xFFFFFFFF, 0xFFFFFFF0)
            self.assertEqual([d.unique_id for d in bus.devices], [1])

    def test_errors_carry_code_and_text(self):
        with self.bus() as bus:
            with self.assertRaises(kavrel.KavrelError) as refused:
                bus["EthernetPort"] = 70000
            self.assertEqual(refused.exception.code, 0x80070057)
            with bus.connect(2) as drive:
                drive.set_ignore_errors(True)
                with self.assertRaises(kavrel.KavrelError) as failed:
                    drive.read(2, 99, 99)
                self.assertEqual(failed.exception.code, READ_FAILED)
                self.assertIn("99.99", failed.exception.text)
                self.assertEqual(drive.read(2, 1, 1), drive.read(2, 1, 1))  # still connected
            with self.assertRaises(kavrel.KavrelError):
                drive.read(2, 1, 1)  # released
        self.assertNotEqual(kavrel.error_text(READ_FAILED), "")

    def test_upload_gives_bytes_and_packets(self):
        packets = []
        with self.bus() as bus, bus.connect(1) as drive:
            data = drive.upload(timeout=30, on_packet=packets.append)
        self.assertIsInstance(data, bytes)
        self.assertGreater(len(data), 0)
        self.assertEqual(packets, list(range(2, 2 + len(packets))))

    def test_guard_reports_a_silent_drive_through_a_callback(self):
        seen = []
        self.manager.on_event(seen.append)
        try:
            with self.bus() as bus, bus.connect(4) as drive:
                bus.unguard(drive)
                bus.guard(drive, 300)
                self.assertTrue(self.sim.control("silence 4"))
                end = time.monotonic() + 10
                while time.monotonic() < end and not seen:
                    self.manager.dispatch(0.2)
                self.sim.control("answer 4")
        finally:
            kavrel.Manager._callbacks.clear()
        self.assertEqual([(e.kind, e.first) for e in seen[:1]], [(kavrel.EventKind.NODE_GUARD_TIMEOUT, 4)])

    def test_scan_steps_every_id(self):
        with self.bus() as bus:
            steps = list(bus.scan("1-3", timeout=60))
            self.assertEqual(steps, [(1, True), (2, True), (3, False)])
            self.assertEqual(sorted(d.unique_id for d in bus.devices), [1, 2])


if __name__ == "__main__":
    if not os.path.exists(SIM):
        print("SKIPPED: kavrel-drive-sim is not built")
        sys.exit(SKIP)
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
