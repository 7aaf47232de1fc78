#!/usr/bin/env bash
# Builds and runs every test: the engine suite (dev, asan and tsan builds), the Python suite
# against the asan build of the module (once as it is, once under hostile garbage collection),
# the tests of threads on a free-threaded CPython with ThreadSanitizer (when one is built), the
# Python suite against the installed module, the packaging test, the manylinux wheel, the
# README's first command in a brand-new virtual environment, and the Python suite on every
# CPython found (tests/all_pythons.sh).
#
# First it finds or installs what that takes (tests/prerequisites.sh): the test tools, CMake and
# Ninja go into the interpreter it tests with ($PYTHON, else python3), GoogleTest and a compiler
# come from apt-get when run as root. What it cannot install it names in one line, exiting with
# status 2. A failing stage does not stop the others; the run ends with one line per stage and
# exits non-zero if any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/stages.sh

jobs=$(nproc 2>/dev/null || echo 2)
python=${PYTHON:-python3}
python_exe=$("$python" -c 'import sys; print(sys.executable)' 2>/dev/null) || {
    echo "run_all: no Python interpreter '$python': install CPython 3.9+ or set PYTHON" >&2
    exit 2
}
# Each stage below chooses whether it builds and installs distributions.
unset VANTORIX_PACKAGING_TESTS

stages_begin run_all
source tests/prerequisites.sh

engine() {
    cmake --preset "$1" "${@:2}" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
    ctest --preset "$1" -j "$jobs" --no-tests=error
}

# From the tests folder, so that the installed module is imported rather than the sources.
pytest_installed() {
    cd tests/python
    "$python_exe" -m pytest -c ../../pyproject.toml --rootdir ../.. -q "$@"
}

installed_suite() {
    "$python_exe" -m pip install --quiet ".[test]"
    pytest_installed .
}

# The tests that build and install distributions of their own.
distribution_tests() {
    export VANTORIX_PACKAGING_TESTS=1
    pytest_installed "$@"
}

stage_run "engine dev" ctest engine dev -DPython_EXECUTABLE="$python_exe"
# One asan build serves the engine suite and the sanitized Python suite.
stage_run "engine asan" ctest \
    engine asan -DVANTORIX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python_exe"
stage_run "engine tsan" ctest engine tsan
stage_run "python asan build" pytest \
    env VANTORIX_SANITIZED_SKIP_BUILD=1 PYTHON="$python_exe" bash tests/sanitized_pytest.sh
# The tests of threads, collection, process edges and run reports once more on the asan build,
# with the collector running at every allocation and a thread queueing releases whose finalisers
# run it (tests/python/conftest.py).
stage_run "python torture" pytest \
    env VANTORIX_SANITIZED_SKIP_BUILD=1 VANTORIX_HOSTILE_GC=1 PYTHON="$python_exe" \
    bash tests/sanitized_pytest.sh -m "not volume" tests/python/test_concurrency.py \
    tests/python/test_garbage_collection.py tests/python/test_run_report.py tests/python/reliability
# The tests of threads once more on a free-threaded CPython built with ThreadSanitizer, against
# the module built with it (tests/tsan_python.sh makes that interpreter; .ci/run does).
tsan_python=${VANTORIX_TSAN_PYTHON:-$(ls -1 /opt/python3.*t-tsan/bin/python3.*t 2>/dev/null |
    sort -V | tail -n 1)}
if [ -n "$tsan_python" ] && [ -x "$tsan_python" ]; then
    stage_run "python tsan free-threaded" pytest \
        env VANTORIX_TSAN_PYTHON="$tsan_python" bash tests/tsan_pytest.sh
else
    stage_record "python tsan free-threaded" skipped - 0 \
        "no free-threaded CPython built with ThreadSanitizer (bash tests/tsan_python.sh)"
fi
stage_run "python installed" pytest installed_suite
# An sdist, a wheel built from it, and a brand-new virtual environment to install it in.
stage_run "packaging" pytest distribution_tests test_packaging.py -k "not manylinux"
# The wheel built from the checkout, repaired by auditwheel into a manylinux wheel and run from a
# brand-new virtual environment.
stage_run "manylinux wheel" pytest distribution_tests test_packaging.py -k manylinux
stage_run "README first command" pytest distribution_tests test_readme_first_command.py
# One stage per CPython, each in a new virtual environment. A failure that it did not record
# as a stage of its own still fails the run.
if ! bash tests/all_pythons.sh &&
    ! grep -q $'^CPython[^\t]*\tFAILED\t' "$VANTORIX_STAGE_LOGS/summary.tsv"; then
    stage_record "every CPython" FAILED - 0 "tests/all_pythons.sh failed"
fi

stages_end
