#!/usr/bin/env bash
# Builds a free-threaded CPython with ThreadSanitizer (--disable-gil --with-thread-sanitizer)
# from the source that shared/tools/free-threaded-python.sh fetched, installs it in
# /opt/python3.XXt-tsan and prints the path of its interpreter as the last line, with CPython's
# own suppressions for the races it knows of beside it (tsan-suppressions.txt). A build made
# before is reused. About twice the time of the plain free-threaded build.
#
#   bash tests/tsan_python.sh [SOURCE_TARBALL]
#
# Without an argument it takes the newest python3.*.orig.tar.xz under /tmp/free-threaded-python
# (the default work folder of free-threaded-python.sh).
set -euo pipefail

tarball=${1:-$(ls -1 /tmp/free-threaded-python/src/python3.*.orig.tar.xz 2>/dev/null | sort -V |
    tail -n 1)}
if [ -z "$tarball" ] || [ ! -f "$tarball" ]; then
    echo "tsan_python: no CPython source tarball (run free-threaded-python.sh first)" >&2
    exit 2
fi
minor=$(basename "$tarball" | sed -E 's/^python(3\.[0-9]+)_.*/\1/')
prefix=/opt/python${minor}t-tsan
python=$prefix/bin/python${minor}t
if [ -x "$python" ] && [ -f "$prefix/tsan-suppressions.txt" ] &&
    "$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
    echo "$python"
    exit 0
fi

work=$(mktemp -d /tmp/tsan-python.XXXXXX)
trap 'rm -rf "$work"' EXIT
tar -xf "$tarball" -C "$work"
cd "$work"/Python-*
echo "tsan_python: configure --disable-gil --with-thread-sanitizer --prefix=$prefix" >&2
./configure --disable-gil --with-thread-sanitizer --prefix="$prefix" >"$work/configure.log" 2>&1 ||
    { tail -n 20 "$work/configure.log" >&2; exit 1; }
echo "tsan_python: make -j$(nproc)" >&2
# Building runs the new interpreter, which must not stop at a report of its own races.
export TSAN_OPTIONS=halt_on_error=0:report_bugs=0
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 30 "$work/make.log" >&2; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
# The races that CPython's own developers know of in this version, for the stage to suppress.
cp Tools/tsan/suppressions_free_threading.txt "$prefix/tsan-suppressions.txt"
echo "$python"
