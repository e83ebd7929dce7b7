"""What every test run shares, set before the kit loads.

- Its own folder for ROOT_PATH, INFO_PATH, pytest's tmp_path and the
  temporary directory (TMPDIR, inherited by child interpreters). The folder
  is removed at the end, and the run fails if a test left anything in the
  temporary directory: each test keeps its files under tmp_path.
- The hypothesis profile (shared/fuzz.py: ZENTARO_HYPOTHESIS_PROFILE).
- The one embedded TLS platform server, for every folder that talks to it,
  and a broker directory service per test.
"""

import os
import shutil
import tempfile

import pytest

from shared.fuzz import register_profiles
from shared.platform import reset_server

register_profiles()  # first: a wrong profile name stops the run before it made anything
_run_home = tempfile.mkdtemp(prefix="zentaro-tests-")
_run_tmp = os.path.join(_run_home, "tmp")
os.mkdir(_run_tmp)
os.environ["TMPDIR"] = _run_tmp
tempfile.tempdir = _run_tmp
os.environ["ZENTARO_ROOT"] = os.path.join(_run_home, "root")
os.environ["ZENTARO_INFO"] = os.path.join(_run_home, "info")
os.environ.pop("ZENTARO_URL", None)


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    if config.option.basetemp is None:
        config.option.basetemp = os.path.join(_run_home, "pytest")


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session):
    # Runs after the session fixtures (servers and their certificate folders) are gone.
    left = sorted(os.listdir(_run_tmp))
    shutil.rmtree(_run_home, ignore_errors=True)
    if left:
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        message = f"tests left {len(left)} entries in the temporary directory: {left[:10]}"
        if reporter is not None:
            reporter.write("\n")
            reporter.write_line(message, red=True)
        else:
            print(message)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.fixture(scope="session")
def server():
    """The embedded platform server, over TLS, shared by the whole run."""
    from zentaro.support.platform_server import PlatformServer

    with PlatformServer(tls=True) as srv:
        yield srv


@pytest.fixture
def platform(server):
    """The server with no faults, answers or records left by an earlier test."""
    reset_server(server)
    yield server
    reset_server(server)


@pytest.fixture(scope="session")
def gl():
    """The gateway client module."""
    from zentaro.mod.tradeapi.sdk import gateway_link

    return gateway_link


@pytest.fixture
def directory(gl, monkeypatch):
    """A broker directory service of the test's own, where the gateway client looks."""
    from zentaro.support.broker_directory import BrokerDirectoryServer

    with BrokerDirectoryServer() as srv:
        monkeypatch.setattr(gl.GatewayClient, "qs_info_url", srv.directory_url)
        monkeypatch.setattr(gl.GatewayClient, "qs_site_url", srv.site_url)
        yield srv


@pytest.fixture
def rpc():
    """The platform client module, its token cache empty before and after."""
    from zentaro.mod.kelvo.utils import platform_rpc

    platform_rpc.APIClient._get_token.cache_clear()
    yield platform_rpc
    platform_rpc.APIClient._get_token.cache_clear()
