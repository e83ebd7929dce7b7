"""zentaro-local: the environment it hands out, its exit status, and a clean stop."""

import os
import signal
import subprocess
import sys
import time

import certifi
import pytest

import zentaro

KIT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(zentaro.__file__)))

CHECK_ENV = """
import os, sys, requests
bundle = open(os.environ["REQUESTS_CA_BUNDLE"]).read()
assert open(sys.argv[1]).read().strip() in bundle, "public roots missing"
# The platform server's certificate verifies against the bundle.
answer = requests.post(os.environ["ZENTARO_URL"] + "login", json={"action": "x"}, timeout=10)
assert answer.status_code == 200, answer.status_code
for key in ("ZENTARO_GATEWAY_DIRECTORY_URL", "ZENTARO_BROKER_URL", "ZENTARO_BROKER_BACKEND"):
    assert os.environ[key], key
sys.exit(int(sys.argv[2]))
"""


def local_env(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZENTARO_", "REQUESTS_"))}
    env["TMPDIR"] = str(tmp_path / "tmp")
    env["PYTHONPATH"] = KIT_ROOT
    (tmp_path / "tmp").mkdir()
    return env


def local(args, tmp_path, **kw):
    return subprocess.run(
        [sys.executable, "-m", "zentaro.support.local", *args],
        capture_output=True,
        text=True,
        timeout=120,
        env=local_env(tmp_path),
        **kw,
    )


@pytest.mark.parametrize("status", [0, 3])
def test_run_hands_out_the_environment_and_the_commands_status(tmp_path, status):
    command = [sys.executable, "-c", CHECK_ENV, certifi.where(), str(status)]
    done = local(["run", "--", *command], tmp_path)
    assert done.returncode == status, done.stderr
    assert os.listdir(tmp_path / "tmp") == []


@pytest.mark.parametrize(
    "args, status",
    [(["run"], 2), (["run", "--"], 2), (["run", "--", "/nonexistent/command"], 127)],
    ids=["no-command", "empty-command", "missing-command"],
)
def test_run_without_a_runnable_command_fails(tmp_path, args, status):
    done = local(args, tmp_path)
    assert done.returncode == status
    assert "zentaro-local run" in done.stderr
    assert os.listdir(tmp_path / "tmp") == []


def test_a_command_killed_by_a_signal_gives_128_plus_the_signal(tmp_path):
    done = local(
        ["run", "--", sys.executable, "-c", "import os; os.kill(os.getpid(), 9)"], tmp_path
    )
    assert done.returncode == 128 + 9


def wait_for(path, proc, seconds=60):
    deadline = time.monotonic() + seconds
    while not path.exists():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "no environment file"
        time.sleep(0.05)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "Ctrl-C"])
def test_foreground_services_stop_and_remove_what_they_created(tmp_path, sig):
    env_file = tmp_path / "local.env"
    proc = subprocess.Popen(
        [sys.executable, "-m", "zentaro.support.local", "--env-file", str(env_file)],
        env=local_env(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    wait_for(env_file, proc)
    exports = env_file.read_text().splitlines()
    assert {line.split("=", 1)[0] for line in exports} >= {
        "export ZENTARO_URL",
        "export REQUESTS_CA_BUNDLE",
        "export ZENTARO_GATEWAY_DIRECTORY_URL",
        "export ZENTARO_BROKER_BACKEND",
    }
    assert oct(env_file.stat().st_mode & 0o777) == oct(0o600)
    assert len(os.listdir(tmp_path / "tmp")) == 3  # the bundle's, the platform's, the gateway's
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=30)
    # SIGTERM is an orderly stop; Ctrl-C says so in one line and exits as interrupted.
    assert proc.returncode == (130 if sig == signal.SIGINT else 0), err
    assert err == ("zentaro-local: interrupted\n" if sig == signal.SIGINT else "")
    assert "demo-pass" in out and "futures-pass" in out
    assert out.rstrip().endswith("# the local services have stopped")
    assert not env_file.exists()
    assert os.listdir(tmp_path / "tmp") == []


def test_an_existing_env_file_is_never_overwritten(tmp_path):
    env_file = tmp_path / "local.env"
    env_file.write_text("mine\n")
    done = local(["--env-file", str(env_file)], tmp_path)
    assert done.returncode == 1 and "exists" in done.stderr
    assert env_file.read_text() == "mine\n"
    assert os.listdir(tmp_path / "tmp") == []


def test_the_bundle_keeps_the_roots_trusted_before(tmp_path, monkeypatch):
    import trustme

    from zentaro.support.local_services import LocalServices

    mine = tmp_path / "corporate.pem"
    trustme.CA().cert_pem.write_to_path(str(mine))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(mine))
    with LocalServices() as services:
        bundle = services.env["REQUESTS_CA_BUNDLE"]
        text = open(bundle).read()
        local_ca = open(services.platform.ca_file).read()
    public = open(certifi.where()).read()
    assert public.strip() in text and mine.read_text().strip() in text
    assert text.rstrip().endswith(local_ca.strip())
    assert not os.path.exists(os.path.dirname(bundle))
    from zentaro.support import platform_server

    if not platform_server._LIVE:  # a server of the test session republishes its own bundle
        assert os.environ["REQUESTS_CA_BUNDLE"] == str(mine)


@pytest.mark.parametrize(
    "module", ["zentaro.support.platform_server", "zentaro.support.gateway_sim"]
)
def test_single_services_in_the_foreground_stop_cleanly_on_sigterm(tmp_path, module):
    proc = subprocess.Popen(
        [sys.executable, "-m", module],
        env=local_env(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout.readline().startswith("export ")
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    assert os.listdir(tmp_path / "tmp") == []
