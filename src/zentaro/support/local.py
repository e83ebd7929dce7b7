"""zentaro-local: every local service the kit talks to, on 127.0.0.1.

    zentaro-local [--env-file FILE] [--keep DIR]   serve in the foreground until Ctrl-C or SIGTERM
    zentaro-local run [--keep DIR] -- CMD [ARGS...]  serve while CMD runs; exit with CMD's status

Starts the platform server (TLS with a locally generated certificate
authority), the simulated brokerage, the futures gateway simulator and its
broker directory, and prints the environment that points the kit at them.
That environment includes a kit home of its own (ZENTARO_ROOT, ZENTARO_INFO):
a local run never reads or writes the user's real ~/.zentaro. Stopping removes
everything it created, the kit home too unless --keep names a folder for it.
"""

import argparse
import contextlib
import os
import signal
import subprocess
import sys

from zentaro.support.local_services import LocalServices
from zentaro.support.serving import Stopped, stop_on_sigterm, wait_for_stop


def serve(args):
    if args.env_file and os.path.lexists(args.env_file):
        say(f"zentaro-local: {args.env_file} exists; give a new file", sys.stderr)
        return 1
    stop_on_sigterm()
    try:
        with (
            LocalServices(home=args.keep) as services,
            _env_file(args.env_file, services.export_lines()),
        ):
            say("# zentaro local services are running; in another shell run:")
            for line in services.export_lines() + services.describe():
                say(line)
            if args.env_file:
                say(f"# (or: source {args.env_file})")
            if args.keep:
                say(f"# the kit's files (login token, SQL cache) are kept in {services.home}")
            say("# Ctrl-C (or SIGTERM) stops them and removes what they created.")
            stopped_by = wait_for_stop()
    except Stopped:  # SIGTERM while the services were starting
        stopped_by = signal.SIGTERM
    # SIGTERM is an orderly stop; Ctrl-C says so in one line and exits as interrupted.
    if stopped_by == signal.SIGINT:
        say("zentaro-local: interrupted", sys.stderr)
    say("# the local services have stopped")
    return 128 + signal.SIGINT if stopped_by == signal.SIGINT else 0


@contextlib.contextmanager
def _env_file(path, lines):
    """Write the export lines to a new file at `path` (if given), removed when done."""
    if not path:
        yield
        return
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    try:
        with os.fdopen(fd, "w") as f:
            f.write("\n".join(lines) + "\n")
        yield
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def run(args):
    command = args.command
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        say("zentaro-local run: no command given (zentaro-local run -- CMD [ARGS...])", sys.stderr)
        return 2
    stop_on_sigterm()
    try:
        with LocalServices(home=args.keep) as services:
            return _run_child(command, _child_env(services.env))
    except Stopped:
        return 128 + signal.SIGTERM


def _child_env(service_env):
    # As in an activated virtual environment, `python` in CMD is the
    # interpreter that has the kit (the one running zentaro-local).
    env = {**os.environ, **service_env}
    env["PATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(sys.executable), os.environ.get("PATH")])
    )
    return env


def _run_child(command, env):
    try:
        child = subprocess.Popen(command, env=env)
    except OSError as exc:
        say(f"zentaro-local run: cannot run {command[0]!r}: {exc.strerror}", sys.stderr)
        return 127

    # The child gets Ctrl-C from the terminal itself and SIGTERM passed on;
    # either way it decides when to end, and the services stop after it.
    previous = {
        signal.SIGTERM: signal.signal(signal.SIGTERM, lambda *_: child.terminate()),
        signal.SIGINT: signal.signal(signal.SIGINT, signal.SIG_IGN),
    }
    try:
        status = child.wait()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    return 128 - status if status < 0 else status


def say(text, stream=None):
    print(text, file=stream or sys.stdout, flush=True)


KEEP_HELP = (
    "keep the kit's files (login token, notice, SQL cache) in DIR, created if "
    "missing and left in place on stop; by default they live in a scratch folder "
    "removed on stop"
)
HOME_NOTE = (
    "The services and the commands pointed at them get a kit home of their own "
    "(ZENTARO_ROOT and ZENTARO_INFO): a local run never reads or writes ~/.zentaro."
)


def parser():
    p = argparse.ArgumentParser(
        prog="zentaro-local",
        usage="zentaro-local [-h] [--env-file FILE] [--keep DIR]\n"
        "       zentaro-local run [-h] [--keep DIR] -- CMD [ARGS...]",
        description="Run the kit's local services (platform, brokerage, futures gateway) "
        "on 127.0.0.1 and print the environment that points the kit at them.",
        epilog="Without a command the services run in the foreground until Ctrl-C or SIGTERM. "
        + HOME_NOTE,
    )
    p.add_argument(
        "--env-file",
        metavar="FILE",
        help="also write the export lines to FILE (a new file, removed on stop)",
    )
    p.add_argument("--keep", metavar="DIR", help=KEEP_HELP)
    sub = p.add_subparsers(dest="action", metavar="{run}")
    r = sub.add_parser(
        "run",
        prog="zentaro-local run",
        usage="zentaro-local run [-h] [--keep DIR] -- CMD [ARGS...]",
        help="run CMD with the services' environment, then stop them",
        description="Start the services, run CMD with their environment, stop them and "
        "exit with CMD's status.",
        epilog=HOME_NOTE,
    )
    # SUPPRESS: a --keep given before "run" is not reset by the subcommand's default.
    r.add_argument("--keep", metavar="DIR", default=argparse.SUPPRESS, help=KEEP_HELP)
    r.add_argument("command", nargs=argparse.REMAINDER, help="the command and its arguments")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    if args.keep is not None and os.path.exists(args.keep) and not os.path.isdir(args.keep):
        say(f"zentaro-local: --keep {args.keep}: not a folder", sys.stderr)
        return 2
    try:
        import trustme  # noqa: F401  (the platform server's certificate authority)
    except ImportError:
        say("zentaro-local needs trustme: pip install 'zentaro[local]'", sys.stderr)
        return 1
    try:
        if args.action == "run":
            return run(args)
        return serve(args)
    except KeyboardInterrupt:
        # Ctrl-C while the services were starting.
        say("zentaro-local: interrupted", sys.stderr)
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
