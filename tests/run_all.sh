#!/usr/bin/env bash
# Builds and runs every test: the engine suite (dev, asan and tsan builds), the Python suite
# against the asan build of the module, the Python suite against the installed module, the
# packaging test, and the Python suite on every supported CPython (tests/all_pythons.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
python=${PYTHON:-python3}

echo "== engine: dev build"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j "$jobs"

echo "== engine: AddressSanitizer + UndefinedBehaviorSanitizer"
# One asan build serves the engine suite and the sanitized Python suite below.
cmake --preset asan -DVANTORIX_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

echo "== python: the suite against the asan build"
VANTORIX_SANITIZED_SKIP_BUILD=1 PYTHON="$python" bash tests/sanitized_pytest.sh

echo "== engine: ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

echo "== python: install and test"
"$python" -m pip install --quiet ".[test]"
(cd tests/python && "$python" -m pytest -c ../../pyproject.toml --rootdir ../.. -q .)

echo "== python: packaging (sdist, a wheel built from it, a brand-new virtual environment)"
(cd tests/python &&
    VANTORIX_PACKAGING_TESTS=1 "$python" -m pytest -c ../../pyproject.toml --rootdir ../.. -q \
        test_packaging.py)

echo "== python: every supported CPython in a fresh virtual environment"
bash tests/all_pythons.sh
