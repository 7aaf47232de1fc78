"""The distributions: an sdist that builds, and a wheel built from it that works in a brand-new
virtual environment. Slow (a full build), so it runs only with VANTORIX_PACKAGING_TESTS=1."""

import os
import subprocess
import sys
import tarfile
import zipfile

import pytest

from _scripts import EXAMPLES, REPO, run_python

pytestmark = pytest.mark.skipif(os.environ.get("VANTORIX_PACKAGING_TESTS") != "1",
                                reason="set VANTORIX_PACKAGING_TESTS=1 to build and install")


def run(*args, cwd):
    completed = subprocess.run([str(arg) for arg in args], cwd=cwd, capture_output=True,
                               text=True, timeout=900, check=False)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return completed.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist, the wheel pip builds from that sdist, and a new venv with the wheel."""
    root = tmp_path_factory.mktemp("packaging")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", root / "sdist", REPO, cwd=root)
    (sdist,) = (root / "sdist").glob("vantorix-*.tar.gz")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", root / "wheel", sdist,
        cwd=root)
    (wheel,) = (root / "wheel").glob("vantorix-*.whl")
    run(sys.executable, "-m", "venv", root / "venv", cwd=root)
    python = root / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-deps", wheel, cwd=root)
    return {"sdist": sdist, "wheel": wheel, "python": python, "root": root}


def test_sdist_holds_what_a_build_needs(dist):
    with tarfile.open(dist["sdist"]) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    needed = {"CMakeLists.txt", "pyproject.toml", "README.md", "vantorix-stubs/__init__.pyi",
              "src/python_bindings/CMakeLists.txt", "src/python_bindings/module/module_init.cpp",
              "src/dag/run.cpp", "src/graph_data/graph_data.hpp",
              "examples/quickstart.py"}
    assert needed <= names
    assert not [name for name in names if name.startswith(("build/", "dist/", ".ci/"))]


def test_wheel_holds_the_module_and_its_stubs(dist):
    with zipfile.ZipFile(dist["wheel"]) as archive:
        names = [name for name in archive.namelist() if ".dist-info/" not in name]
    assert len(names) == 2
    assert "vantorix-stubs/__init__.pyi" in names
    (module,) = [name for name in names if name != "vantorix-stubs/__init__.pyi"]
    assert module.startswith("vantorix.cpython-") and module.endswith(".so")


def test_quickstart_runs_from_the_new_environment(dist, tmp_path):
    where = run_python("-c", "import vantorix; print(vantorix.__file__)", python=dist["python"],
                       cwd=tmp_path)
    assert where.startswith(str(dist["root"] / "venv"))
    from_wheel = run_python(EXAMPLES / "quickstart.py", python=dist["python"], cwd=tmp_path)
    assert from_wheel == run_python(EXAMPLES / "quickstart.py", cwd=tmp_path)
    assert "word_count = 9\n" in from_wheel


def test_type_checkers_find_the_stubs_in_the_new_environment(dist, tmp_path):
    run(dist["python"], "-m", "pip", "install", "mypy", cwd=tmp_path)
    run(dist["python"], "-m", "mypy", "--strict", "--cache-dir", tmp_path / "cache",
        EXAMPLES / "quickstart.py", cwd=tmp_path)
    run(dist["python"], "-m", "mypy.stubtest", "vantorix", cwd=tmp_path)
