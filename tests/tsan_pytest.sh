#!/usr/bin/env bash
# Runs the Python tests of threads against the module built with ThreadSanitizer (the tsan-python
# preset, build/tsan-python), imported by a free-threaded CPython built with ThreadSanitizer too
# (tests/tsan_python.sh), so that every access of the interpreter and of the module is seen and
# nothing but the GIL's absence keeps the threads apart. Any report fails the run. Arguments go to
# pytest; without any, the tests of threads, reports and released references run.
#
#   VANTORIX_TSAN_PYTHON=/opt/python3.13t-tsan/bin/python3.13t bash tests/tsan_pytest.sh
#
# The interpreter's own known races are suppressed with the list CPython keeps for its version
# (tsan-suppressions.txt beside the interpreter).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${VANTORIX_TSAN_PYTHON:?the free-threaded CPython built with ThreadSanitizer}
suppressions=$(dirname "$(dirname "$python")")/tsan-suppressions.txt
venv=build/venvs/tsan-python
if ! TSAN_OPTIONS=report_bugs=0 "$venv/bin/python" -c 'import pytest, hypothesis' 2>/dev/null; then
    rm -rf "$venv"
    TSAN_OPTIONS=report_bugs=0 "$python" -m venv "$venv"
    TSAN_OPTIONS=report_bugs=0 "$venv/bin/python" -m pip install --quiet --prefer-binary \
        "pytest>=7" "hypothesis>=6"
fi
cmake --preset tsan-python -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build --preset tsan-python -j "$(nproc 2>/dev/null || echo 2)"

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export PYTHONPATH=$PWD/build/tsan-python/src/python_bindings:$PWD${PYTHONPATH:+:$PYTHONPATH}
export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$suppressions:log_path=$reports/tsan
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
    tests=(-m "not volume" tests/python/test_concurrency.py tests/python/test_run_report.py
           tests/python/test_published_outputs.py tests/python/test_garbage_collection.py)
fi
unset VANTORIX_PACKAGING_TESTS
status=0
"$venv/bin/python" -m pytest -c pyproject.toml -q -p no:cacheprovider "${tests[@]}" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    echo "tsan_pytest: ThreadSanitizer reports:" >&2
    cat "$reports"/* >&2
    exit 1
fi
exit "$status"
