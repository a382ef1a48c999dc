"""Shared by the Python host tests: kavrel-drive-sim as a child process with
its control input, and the ok/FAIL bookkeeping of the ctypes scripts."""
import ctypes
import os
import select
import signal
import subprocess
import time

LIB_DIR = os.environ.get("KAVREL_LIB_DIR", "")
BIN_DIR = os.environ.get("KAVREL_BIN_DIR", "")
SIM = os.path.join(BIN_DIR, "kavrel-drive-sim")
SKIP = 77

passes, failures = [], []


def load(signatures):
    """libkavrel.so with the argument types of the calls named; each returns an int32."""
    lib = ctypes.CDLL(os.path.join(LIB_DIR, "libkavrel.so"))
    for name, args in signatures.items():
        getattr(lib, name).argtypes, getattr(lib, name).restype = args, ctypes.c_int32
    return lib


def check(condition, what):
    (passes if condition else failures).append(what)
    print(("ok   " if condition else "FAIL ") + what)
    return condition


def summary():
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


class Simulator:
    """kavrel-drive-sim read up to "ready" (10 s at most); port is its TCP port, "" without one."""

    def __init__(self, *args, control=None):
        self.fifo, self.pending = control, b""
        extra = ("--control", control) if control else ()
        self.process = subprocess.Popen([SIM, *args, *extra], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.lines = self.read_until(lambda line: line == "ready")
        self.ready = self.lines[-1:] == ["ready"]
        self.port = next((line.rsplit(":", 1)[1] for line in self.lines if line.startswith("tcp ")), "")

    def read_until(self, until, timeout=10.0):
        got, end = [], time.monotonic() + timeout
        while time.monotonic() < end:
            # Unbuffered reads: select() would not see lines already in a Python buffer.
            if select.select([self.process.stdout], [], [], 0.2)[0]:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    break
                self.pending += chunk
                while b"\n" in self.pending:
                    line, self.pending = self.pending.split(b"\n", 1)
                    got.append(line.decode().strip())
                    if until(got[-1]):
                        return got
            elif self.process.poll() is not None:
                break
        return got

    def control(self, line):
        """Sends a control command; true once the simulator says it took effect."""
        with open(self.fifo, "w") as f:
            f.write(line + "\n")
        return self.read_until(lambda echo: echo.startswith("control"))[-1:] == ["control " + line]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
