#!/usr/bin/env bash
# Hunts tests that fail by timing: runs every test that involves threads ROUNDS times in a row
# (default 200) while two busy-looping processes keep both cores of a small machine loaded, and
# ends with the number of failures per test. Not part of tests/run_all.sh; it takes hours.
#
#   bash tests/repeat_threaded.sh                    # C++ and Python, 200 rounds each
#   bash tests/repeat_threaded.sh 50 python          # 50 rounds of the Python tests only
#   bash tests/repeat_threaded.sh 200 cpp            # the engine's threaded suites only
#
# The C++ tests run from the dev build (cmake --preset dev; built here if missing), the Python
# tests against the module that `python3` (or $PYTHON) imports.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-200}
which=${2:-all}
python=${PYTHON:-python3}
logs=build/logs/repeat_threaded
rm -rf "$logs"
mkdir -p "$logs"

busy() { while :; do :; done; }
busy &
busy_one=$!
busy &
busy_two=$!
trap 'kill $busy_one $busy_two 2>/dev/null' EXIT

# Engine suites that start worker threads or fork.
cpp_filter='Execution*:ExecutionFailure*:ExecutionWait*:Trace*:PlannedRun*:WorkerStacks*:Fork*'
python_tests=(tests/python/test_concurrency.py tests/python/test_run_report.py
              tests/python/test_garbage_collection.py tests/python/test_dag_execute.py
              tests/python/test_node_functions.py tests/python/test_published_outputs.py
              tests/python/reliability)

if [ "$which" != python ]; then
    if [ ! -x build/dev/tests/cpp/engine_tests ]; then
        cmake --preset dev >/dev/null
        cmake --build --preset dev -j "$(nproc)"
    fi
    echo "== C++: $rounds rounds of $cpp_filter"
    build/dev/tests/cpp/engine_tests --gtest_filter="$cpp_filter" --gtest_repeat="$rounds" \
        >"$logs/cpp.log" 2>&1 || true
    if [ -x build/dev/tests/cpp/python/python_conversion_tests ]; then
        build/dev/tests/cpp/python/python_conversion_tests --gtest_repeat="$rounds" \
            >"$logs/cpp-python.log" 2>&1 || true
    fi
fi

if [ "$which" != cpp ]; then
    echo "== Python: $rounds rounds of ${python_tests[*]}"
    for round in $(seq "$rounds"); do
        "$python" -m pytest -c pyproject.toml -q -p no:cacheprovider -m "not volume" \
            "${python_tests[@]}" >"$logs/python-$round.log" 2>&1 || true
        printf '.'
    done
    echo
fi

echo "== failures per test (logs in $logs)"
{
    grep -h '^\[  FAILED  \] [A-Za-z].*(' "$logs"/cpp*.log 2>/dev/null | sed 's/ (.*//' || true
    grep -h '^FAILED ' "$logs"/python-*.log 2>/dev/null | sed 's/ - .*//' || true
} | sort | uniq -c | sort -rn
