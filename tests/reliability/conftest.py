"""Fixtures of the reliability tests: one TLS platform server, small mounted
file systems for full-disk and read-only faults, and a counter of the faults
injected (printed at the end of the run)."""

import contextlib
import os
import subprocess
import sys

import pytest

import corvane
import zentaro
from zentaro.support.platform_server import PlatformServer

FAULTS = []


@pytest.fixture(scope="session")
def server():
    with PlatformServer(tls=True) as srv:
        yield srv


@pytest.fixture
def platform(server):
    """The server with no faults, answers or records left by an earlier test."""
    server.clear_faults()
    server._answers.clear()
    server.notice = None
    del server.calls[:], server.login_requests[:]
    yield server
    server.clear_faults()
    server._answers.clear()


@pytest.fixture
def rpc():
    from zentaro.mod.kelvo.utils import platform_rpc

    platform_rpc.APIClient._get_token.cache_clear()
    yield platform_rpc
    platform_rpc.APIClient._get_token.cache_clear()


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


def child_env(**extra):
    """The environment of a child interpreter that imports the kit like this one."""
    roots = {os.path.dirname(os.path.dirname(m.__file__)) for m in (corvane, zentaro)}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sorted(roots)))
    env.update(extra)
    return env


@pytest.fixture
def run_child():
    def run(code, timeout=60, **env):
        return subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env=child_env(**env),
            timeout=timeout,
        )

    return run
