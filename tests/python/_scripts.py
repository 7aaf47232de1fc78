"""Running the repository's scripts against the installed module, in a child interpreter."""

import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"

# Set by the sanitized run, an activated environment or the stages that build distributions; a
# new user's shell has none of them.
FOREIGN_ENVIRONMENT = ("PYTHONPATH", "PYTHONHOME", "PYTHONMALLOC", "VIRTUAL_ENV", "LD_PRELOAD",
                       "VANTORIX_PACKAGING_TESTS")


def new_user_environment():
    """The environment without FOREIGN_ENVIRONMENT."""
    return {name: value for name, value in os.environ.items() if name not in FOREIGN_ENVIRONMENT}


def run_python(*args, cwd, python=sys.executable, env=None, timeout=300):
    """Runs `python *args` in `cwd` and returns its stdout. The run must succeed and write
    nothing to stderr: a node that fails prints there."""
    completed = subprocess.run(
        [str(python), *map(str, args)],
        cwd=cwd,
        env={**os.environ, **(env or {})},
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
        check=False,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stderr == ""
    return completed.stdout
