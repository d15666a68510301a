"""A simulated Vasq9 for tests and trials without an instrument.

    from vasq.testing import SimulatedDevice
    with SimulatedDevice("build/sim/vasq-sim", port=3) as sim:
        sim.point_library_here()
        with vasq.connect(port=3) as device:
            ...

SimulatedDevice runs the vasq-sim program on a private folder; point_library_here
points this process's libvasq at that folder through the library's test hook
(not part of its public interface).
"""
from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import tempfile
import time
from typing import List, Optional, Sequence

from . import load_library

# The hook is exported under its C++ name only.
_HOOK = "_Z26SetDeviceFoldersForTestingPKcS0_"


def set_device_folder(folder: str) -> None:
    """Makes the library look for ttyACM<N> nodes and put its lock files in folder ("" restores /dev)."""
    hook = getattr(load_library(), _HOOK)
    hook.restype = None
    hook.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    encoded = folder.encode()
    hook(encoded, encoded)


class SimulatedDevice:
    """vasq-sim serving ttyACM<port> in a private temporary folder (or a given one) until stop()."""

    def __init__(self, program: Optional[str] = None, port: int = 0, options: Sequence[str] = (),
                 folder: Optional[str] = None) -> None:
        """folder: serve the node there (another SimulatedDevice's, for several instruments in one folder)
        instead of a private one; stop() leaves it in place."""
        self.program = program or os.environ.get("VASQ_SIM") or shutil.which("vasq-sim") or "vasq-sim"
        self.port = port
        self.options = list(options)
        self.folder = folder or ""
        self._own_folder = folder is None
        self.node = ""
        self.process: Optional[subprocess.Popen] = None

    def start(self, timeout: float = 10.0) -> "SimulatedDevice":
        if self._own_folder:
            self.folder = tempfile.mkdtemp(prefix="vasq-sim-")
        command: List[str] = [self.program, "--dir", self.folder, "--port", str(self.port)] + self.options
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # vasq-sim prints the node's path once it serves it.
        line = self.process.stdout.readline().strip()
        if not line or not os.path.lexists(line):
            self.stop()
            raise RuntimeError(f"vasq-sim did not start: {line!r}")
        self.node = line
        return self

    def point_library_here(self) -> None:
        set_device_folder(self.folder)

    def stop(self, timeout: float = 10.0) -> int:
        """Ends vasq-sim (SIGTERM) and removes the folder; returns its exit status."""
        code = 0
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
            try:
                code = self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                code = self.process.wait()
            self.process.stdout.close()
            self.process.stderr.close()
            self.process = None
        if self.folder and self._own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)
        return code

    def __enter__(self) -> "SimulatedDevice":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
