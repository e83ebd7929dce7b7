"""Child interpreters that import the kit as this run does (the source tree
or the installed build)."""

import os
import subprocess
import sys

from shared.timing import scaled


def kit_path():
    """PYTHONPATH for a child: the folders this run imports zentaro and corvane from."""
    import corvane
    import zentaro

    roots = {
        os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))) for m in (corvane, zentaro)
    }
    return os.pathsep.join(sorted(roots))


def child_env(**extra):
    """The environment of a child interpreter. It inherits the run's temporary
    directory, so that whatever a child leaves there fails the run too."""
    env = dict(os.environ, PYTHONPATH=kit_path())
    env.update(extra)
    return env


def run_child(code, *args, timeout=60, cwd=None, **env):
    """Runs `code` in a fresh interpreter; `timeout` is stretched under the sanitizers."""
    return subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=child_env(**env),
        timeout=scaled(timeout),
    )
