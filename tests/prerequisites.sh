# Finds, or installs, what tests/run_all.sh needs, for the interpreter in $python_exe:
#
#   - pip and venv for that interpreter, and its C headers;
#   - a C++ compiler            (apt-get install g++, as root);
#   - CMake 3.21+, CTest, Ninja (pip install into that interpreter);
#   - GoogleTest                (apt-get install libgtest-dev, as root; or GTest_ROOT or
#                                CMAKE_PREFIX_PATH pointing at an installed copy);
#   - the test tools            (pip install of the `test` extra into that interpreter).
#
# Sourced by tests/run_all.sh after stages_begin; it may put the interpreter's scripts folder on
# PATH. When something is missing and cannot be installed here it prints one line saying what
# and how to get it, and exits with status 2.

: "${python_exe:?the interpreter to test with}"
setup_logs=$VANTORIX_STAGE_LOGS/setup
mkdir -p "$setup_logs"
setup_installed=()
pip_runs=0

missing() {
    echo "run_all: $*" >&2
    exit 2
}

can_apt() {
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null
}

# apt-get install PACKAGE..., refreshing the package lists only if the first attempt fails.
apt_install() {
    local apt=(apt-get -y -qq -o DPkg::Lock::Timeout=300)
    echo "-- installing $* with apt-get"
    {
        DEBIAN_FRONTEND=noninteractive "${apt[@]}" install --no-install-recommends "$@" || {
            "${apt[@]}" update &&
                DEBIAN_FRONTEND=noninteractive "${apt[@]}" install --no-install-recommends "$@"
        }
    } >>"$setup_logs/apt.log" 2>&1
}

# What to tell a user who lacks a Debian package that this run cannot install.
apt_hint() {
    if ! command -v apt-get >/dev/null; then
        echo "install it with your package manager (Debian and Ubuntu: $1)"
    elif [ "$(id -u)" != 0 ]; then
        echo "install it with 'sudo apt-get install $1'"
    else
        echo "apt-get could not install $1 (see $setup_logs/apt.log)"
    fi
}

# pip_install WHAT REQUIREMENT...: WHAT joins setup_installed if pip installed anything.
pip_install() {
    local what=$1 output=$setup_logs/pip-$((++pip_runs)).log installed
    shift
    "$python_exe" -m pip install --progress-bar off "$@" >"$output" 2>&1 || return
    installed=$(sed -n 's/^Successfully installed //p' "$output")
    if [ -n "$installed" ]; then
        echo "-- pip installed into $python_exe: $installed"
        setup_installed+=("$what (pip)")
    fi
}

pip_missing() {
    missing "cannot install $1 with pip into $python_exe (see $setup_logs/pip-$pip_runs.log):" \
        "run this in a virtual environment (python3 -m venv .venv && . .venv/bin/activate)" \
        "or install them yourself"
}

check_python() {
    "$python_exe" -c 'import sys; sys.exit(sys.version_info < (3, 9))' ||
        missing "$python_exe is older than Python 3.9: set PYTHON to a CPython 3.9 or newer"
    "$python_exe" -m pip --version >/dev/null 2>&1 ||
        missing "pip is missing for $python_exe: install it (Debian: apt-get install" \
            "python3-pip) or use a virtual environment"
    "$python_exe" -c 'import ensurepip, venv' 2>/dev/null ||
        missing "the venv module is missing for $python_exe: install it (Debian: apt-get install" \
            "python3-venv)"
    "$python_exe" -c '
import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
        missing "the C headers of $python_exe (Python.h) are missing: install its development" \
            "package (Debian: apt-get install python3-dev)"
}

check_compiler() {
    local compiler=${CXX:-c++}
    if "$compiler" --version >/dev/null 2>&1; then
        return
    fi
    if [ -z "${CXX:-}" ] && can_apt && apt_install g++ && "$compiler" --version >/dev/null 2>&1
    then
        setup_installed+=("g++ (apt-get)")
        return
    fi
    missing "no C++ compiler ($compiler): $(apt_hint g++), or set CXX to one, and run this again"
}

build_tools_present() {
    local version
    version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9][0-9.]*\).*/\1/p') &&
        [ -n "$version" ] &&
        [ "$(printf '%s\n' 3.21 "$version" | sort -V | head -n 1)" = 3.21 ] &&
        ctest --version >/dev/null 2>&1 && ninja --version >/dev/null 2>&1
}

check_build_tools() {
    if ! build_tools_present; then
        pip_install "cmake, ninja" "cmake>=3.21" ninja || pip_missing "CMake and Ninja"
        # pip puts them in the interpreter's scripts folder, or the user's when it falls back to
        # a user install.
        local scripts
        scripts=$("$python_exe" -c 'import os, sysconfig
print(sysconfig.get_path("scripts") + ":" + sysconfig.get_path("scripts", os.name + "_user"))')
        export PATH=$scripts:$PATH
        build_tools_present ||
            missing "CMake 3.21+, CTest and Ninja are still not on PATH after pip installed them" \
                "into $python_exe: add its scripts folder ($scripts) to PATH"
    fi
    echo "-- $(cmake --version | head -n 1), ninja $(ninja --version)"
}

# Asks CMake itself, the way tests/cpp does, so that GTest_ROOT and CMAKE_PREFIX_PATH count.
gtest_found() {
    local probe=$setup_logs/gtest-probe
    rm -rf "$probe"
    mkdir -p "$probe"
    cat >"$probe/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.21)
project(gtest_probe LANGUAGES CXX)
find_package(GTest)
if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
  message(FATAL_ERROR "GoogleTest not found")
endif()
EOF
    cmake -S "$probe" -B "$probe/build" -G Ninja >"$probe/cmake.log" 2>&1
}

check_gtest() {
    if gtest_found; then
        echo "-- GoogleTest: found"
        return
    fi
    if can_apt && apt_install libgtest-dev; then
        gtest_found ||
            missing "libgtest-dev is installed but CMake does not find GoogleTest (see" \
                "$setup_logs/gtest-probe/cmake.log)"
        setup_installed+=("libgtest-dev (apt-get)")
        echo "-- GoogleTest: installed"
        return
    fi
    missing "GoogleTest is missing: $(apt_hint libgtest-dev), or set GTest_ROOT to an" \
        "installed copy, and run this again"
}

# The `test` extra of pyproject.toml, one requirement a line.
test_requirements() {
    "$python_exe" -c '
try:
    import tomllib
except ImportError:  # before Python 3.11: the copy that pip carries
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as project:
    print("\n".join(tomllib.load(project)["project"]["optional-dependencies"]["test"]))'
}

check_test_tools() {
    local requirements
    mapfile -t requirements < <(test_requirements)
    [ ${#requirements[@]} -gt 0 ] || missing "cannot read the test extra from pyproject.toml"
    pip_install "test tools" "${requirements[@]}" ||
        pip_missing "the test tools (${requirements[*]})"
    echo "-- test tools: ${requirements[*]}"
}

# Mermaid 11's own release file, as the artoo-mermaid wheel ships it (a wheel of that file and a
# few lines of Python for another tool, which are not used), checked against its checksum.
mermaid_version=11.16.0
mermaid_sha256=74d7c46dabca328c2294733910a8aa1ed0c37451776e8d5295da38a2b758fb9b
mermaid_bundle=$PWD/build/mermaid-$mermaid_version/mermaid.min.js

mermaid_fetched() {
    local wheels=$setup_logs/mermaid-wheel
    rm -rf "$wheels"
    # The wheel says Python 3.12+ for the tool it belongs to; the file itself needs no Python.
    "$python_exe" -m pip download --no-deps --only-binary=:all: --python-version 3.12 \
        --dest "$wheels" "artoo-mermaid==$mermaid_version" >"$setup_logs/mermaid.log" 2>&1 ||
        return
    "$python_exe" -c '
import pathlib, sys, zipfile
wheel, target = sys.argv[1:]
pathlib.Path(target).parent.mkdir(parents=True, exist_ok=True)
pathlib.Path(target).write_bytes(
    zipfile.ZipFile(wheel).read("artoo_mermaid/assets/mermaid.min.js"))' \
        "$wheels"/artoo_mermaid-*.whl "$mermaid_bundle" >>"$setup_logs/mermaid.log" 2>&1 &&
        echo "$mermaid_sha256  $mermaid_bundle" | sha256sum --check --status
}

# Chromium (apt-get, as root) and Mermaid's bundle, for the tests that render diagrams in a real
# browser. Neither is required: without them those tests skip, and this says why.
check_mermaid_renderer() {
    local browser
    browser=$(command -v chromium || command -v chromium-browser || command -v google-chrome) ||
        if can_apt && apt_install chromium && browser=$(command -v chromium); then
            setup_installed+=("chromium (apt-get)")
        fi
    if [ -z "${VANTORIX_MERMAID_JS:-}" ]; then
        if echo "$mermaid_sha256  $mermaid_bundle" | sha256sum --check --status 2>/dev/null ||
            mermaid_fetched; then
            export VANTORIX_MERMAID_JS=$mermaid_bundle
        fi
    fi
    if [ -n "$browser" ] && [ -n "${VANTORIX_MERMAID_JS:-}" ]; then
        echo "-- Mermaid renderer: $browser, $VANTORIX_MERMAID_JS"
    else
        echo "-- Mermaid renderer: ${browser:-no Chromium ($(apt_hint chromium))}," \
            "${VANTORIX_MERMAID_JS:-no mermaid.min.js (see $setup_logs/mermaid.log)}:" \
            "the tests that render diagrams skip"
    fi
}

setup_started=$SECONDS
echo "== setup: $python_exe"
check_python
check_compiler
check_build_tools
check_test_tools
check_gtest
check_mermaid_renderer
if [ ${#setup_installed[@]} -gt 0 ]; then
    printf -v setup_note '%s, ' "${setup_installed[@]}"
    setup_note="installed ${setup_note%, }"
else
    setup_note="everything was there"
fi
stage_record setup ok - $((SECONDS - setup_started)) "$setup_note"
