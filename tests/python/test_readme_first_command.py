"""The README's first command, exactly as written, run the way a new user runs it: in a copy of
the checkout without build products, from a brand-new virtual environment. It must install the
package and print the output the README shows. Slow (a full build), so it runs only with
VANTORIX_PACKAGING_TESTS=1."""

import os
import shutil
import subprocess
import sys

import pytest

from _scripts import REPO, new_user_environment
from test_readme import BLOCKS, quickstart_output

pytestmark = pytest.mark.skipif(os.environ.get("VANTORIX_PACKAGING_TESTS") != "1",
                                reason="set VANTORIX_PACKAGING_TESTS=1 to build and install")


def copy_of_checkout(destination):
    """The files of a fresh clone: tracked and new ones as they are now, nothing git ignores."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], cwd=REPO, capture_output=True,
                            check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = REPO / name
        if source.is_file():  # a tracked file deleted in the working tree is not copied
            (destination / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, destination / name)


def test_first_command_installs_and_prints_the_readme_output(tmp_path):
    language, command, _ = BLOCKS[0]
    assert language == "bash"
    checkout = tmp_path / "vantorix"
    copy_of_checkout(checkout)
    assert not (checkout / "build").exists()
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    env = new_user_environment()

    completed = subprocess.run(["bash", "-c", f'. "{venv}/bin/activate"\n{command}'],
                               cwd=checkout, env=env, capture_output=True, text=True,
                               encoding="utf-8", timeout=900, check=False)

    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "Traceback" not in completed.stderr and "Error" not in completed.stderr, \
        completed.stderr
    # pip reports first and ends with the line naming what it installed; the quickstart follows.
    _, installed, rest = completed.stdout.partition("\nSuccessfully installed vantorix-")
    assert installed, completed.stdout
    assert rest.split("\n", 1)[1] == quickstart_output()
    where = subprocess.run([venv / "bin" / "python", "-c",
                            "import vantorix; print(vantorix.__file__)"], cwd=tmp_path,
                           env=env, capture_output=True, text=True, check=True)
    assert where.stdout.startswith(str(venv))
