"""Fixtures of the reliability tests: small mounted file systems for full-disk
and read-only faults, child interpreters, and a counter of the faults injected
(printed at the end of the run). The platform server, `platform` and `rpc`
come from the root conftest."""

import contextlib
import os
import subprocess

import pytest

from shared.children import run_child as _run_child

FAULTS = []


@pytest.fixture
def fault():
    """fault(server, path, mode, **opts): inject and count one kind of fault."""

    def inject(server, path, mode, **opts):
        FAULTS.append((path, mode))
        server.inject(path, mode, **opts)

    return inject


def pytest_terminal_summary(terminalreporter):
    if FAULTS:
        terminalreporter.write_line(f"reliability: {len(FAULTS)} server faults injected")


def _mount(target, options):
    run = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(target)],
        capture_output=True,
        text=True,
    )
    return run.returncode == 0


@contextlib.contextmanager
def small_disk(target, size="64k"):
    """A tmpfs of `size` mounted on `target` (root only); skips where mounting is refused."""
    os.makedirs(target, exist_ok=True)
    if not _mount(target, f"size={size},mode=0755"):
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield target
    finally:
        subprocess.run(["umount", "-l", str(target)], capture_output=True)


def remount_read_only(target):
    run = subprocess.run(["mount", "-o", "remount,ro", str(target)], capture_output=True, text=True)
    if run.returncode != 0:
        pytest.skip("cannot remount read-only here")


@pytest.fixture
def disk():
    return small_disk


@pytest.fixture
def read_only():
    return remount_read_only


@pytest.fixture
def run_child():
    """run_child(code, timeout=60, **env): the code's run in a fresh interpreter."""
    return _run_child
