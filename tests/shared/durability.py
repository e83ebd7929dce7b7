"""Files in shared folders: what reaches the disk (a child interpreter run
under strace, and the check that a file was flushed before its rename into
place and its folder after), and FIFOs planted where the kit reads."""

import os
import re
import shutil
import subprocess
import sys
import threading

import pytest

from shared.children import child_env
from shared.timing import scaled

SYSCALLS = "trace=fsync,fdatasync,rename,renameat,renameat2"


def traced_child(code, tmp_path, **env):
    """The fsync and rename calls (with the paths of descriptors) of `code` run in
    a fresh interpreter; skips where strace is missing or may not trace."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    log = tmp_path / "strace.log"
    command = [strace, "-f", "-qq", "-y", "-e", SYSCALLS, "-e", "signal=none", "-o", str(log)]
    run = subprocess.run(
        [*command, sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=child_env(**env),
        timeout=scaled(60),
    )
    if run.returncode and not log.exists():
        pytest.skip(f"strace cannot trace here: {run.stderr.strip()[:200]}")
    assert run.returncode == 0, run.stderr
    return log.read_text().splitlines()


def assert_flushed_around_rename(trace, final):
    """`final` was renamed into place from a file flushed before, and its folder
    was flushed after."""
    renames = [
        (i, re.findall(r'"([^"]*)"', line))
        for i, line in enumerate(trace)
        if re.search(r"\brename(at2?)?\(", line) and f'"{final}"' in line
    ]
    assert renames, f"{final} was not renamed into place"
    index, (temp, *_) = renames[-1]

    def flushed(path, lines):
        pattern = re.compile(r"\bf(data)?sync\(\d+<" + re.escape(path) + ">")
        return any(pattern.search(line) for line in lines)

    assert flushed(temp, trace[:index]), f"{temp} was not flushed before its rename"
    assert flushed(os.path.dirname(final), trace[index + 1 :]), "the folder was not flushed"


class Unblock:
    """Opens a FIFO for writing if the test still runs after a few seconds, so a
    reader that blocked on it (the fault) fails instead of hanging the run."""

    def __init__(self, path):
        self.path, self.done = path, threading.Event()

    def __enter__(self):
        threading.Thread(target=self._valve, daemon=True).start()

    def __exit__(self, *exc):
        self.done.set()

    def _valve(self):
        if not self.done.wait(scaled(5)):
            try:
                os.close(os.open(self.path, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass
