#!/usr/bin/env bash
# Runs the Python suite against the module built with AddressSanitizer and UndefinedBehaviorSanitizer
# (the asan preset, build/asan). Any sanitizer report fails the run. Arguments go to pytest.
#
#   bash tests/sanitized_pytest.sh                       # build if needed, run tests/python
#   bash tests/sanitized_pytest.sh -k reliability -x     # a part of it
#
# The interpreter is not instrumented, so the sanitizer runtime is preloaded and Python's own
# allocator is replaced by malloc, which lets ASan see every Python object the module touches.
# Leak detection stays off: the interpreter keeps memory until exit by design; the suite checks
# reference counts and resident memory instead.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
python_exe=$("$python" -c 'import sys; print(sys.executable)')
build=build/asan
module_dir=$PWD/$build/src/python_bindings

if [ "${VANTORIX_SANITIZED_SKIP_BUILD:-0}" != 1 ]; then
    cmake --preset asan -DVANTORIX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python_exe" >/dev/null
    cmake --build --preset asan -j "$(nproc 2>/dev/null || echo 2)"
fi

# The C++ runtime is preloaded with ASan: its exception interceptor must find the real
# __cxa_throw when it starts, long before the module loads libstdc++.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
preload=
for library in libasan.so libstdc++.so; do
    path=$("$compiler" -print-file-name=$library)
    if [ ! -e "$path" ]; then
        echo "sanitized_pytest: no $library for $compiler" >&2
        exit 1
    fi
    preload="$preload${preload:+ }$(realpath "$path")"
done

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export LD_PRELOAD=$preload${LD_PRELOAD:+ $LD_PRELOAD}
# The checkout too, for the pure-Python vantorix_dask, also in the scripts the tests start.
export PYTHONPATH=$module_dir:$PWD${PYTHONPATH:+:$PYTHONPATH}
export PYTHONMALLOC=malloc
# Reports go to files, one per process: pytest captures the stderr of tests (and so would
# swallow a report), and child processes started by tests report there too. A distinct exit
# code keeps a report from passing for a child's own status.
export ASAN_OPTIONS=detect_leaks=0:exitcode=86:log_path=$reports/asan:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86:log_path=$reports/ubsan:${UBSAN_OPTIONS:-}

# Make sure the instrumented module is the one imported, not an installed copy.
"$python_exe" - "$module_dir" <<'EOF'
import os, sys
import vantorix
if os.path.dirname(os.path.abspath(vantorix.__file__)) != sys.argv[1]:
    sys.exit(f"sanitized_pytest: imported {vantorix.__file__}, not the asan build")
EOF

# Building and installing distributions is not what this run is for.
unset VANTORIX_PACKAGING_TESTS
status=0
"$python_exe" -m pytest -q -p no:cacheprovider "$@" || status=$?
unset LD_PRELOAD
if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitized_pytest: sanitizer reports:" >&2
    cat "$reports"/* >&2
    exit 1
fi
exit "$status"
