#!/usr/bin/env bash
# Builds the module and runs the Python suite in a fresh virtual environment for every supported
# CPython (3.9 to 3.13) installed under pyenv: the newest patch release of each minor version.
#
#   bash tests/all_pythons.sh                 # every supported version present
#   bash tests/all_pythons.sh 3.9 3.13.0      # only these (minor or exact versions)
#
# Each run creates build/venvs/<version> anew and `pip install ".[test]"` into it (the build
# backend comes from PyPI into pip's isolated build environment). Ends with one line per version
# (inside tests/run_all.sh, in its summary). Fails if any version fails or if none is found.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/stages.sh

pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
# The packaging test builds and installs on its own; it is not repeated per interpreter.
unset VANTORIX_PACKAGING_TESTS

# The newest installed release matching a minor (3.9) or exact (3.9.18) version, or nothing.
find_version() {
    local wanted=$1
    if [ -x "$pyenv_versions/$wanted/bin/python" ]; then
        echo "$wanted"
        return
    fi
    local found
    found=$(find "$pyenv_versions" -mindepth 1 -maxdepth 1 -name "$wanted.*" -printf '%f\n' \
        2>/dev/null | grep -E "^${wanted//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [ -n "$found" ] && [ -x "$pyenv_versions/$found/bin/python" ]; then
        echo "$found"
    fi
}

supported=(3.9 3.10 3.11 3.12 3.13)
wanted=("$@")
if [ ${#wanted[@]} -eq 0 ]; then
    wanted=("${supported[@]}")
fi
for version in "${wanted[@]}"; do
    # pip would spend a long time resolving ".[test]" for an interpreter the project rejects.
    if [[ ! " ${supported[*]} " == *" $(cut -d. -f1,2 <<<"$version") "* ]]; then
        echo "CPython $version is not supported (${supported[*]})" >&2
        exit 2
    fi
done

stages_begin all_pythons
versions=()
for version in "${wanted[@]}"; do
    found=$(find_version "$version")
    if [ -n "$found" ]; then
        versions+=("$found")
    else
        stage_record "CPython $version" skipped - 0 "not installed under $pyenv_versions"
    fi
done
if [ ${#versions[@]} -eq 0 ]; then
    stage_record "CPython" FAILED - 0 "none of ${wanted[*]} is installed under $pyenv_versions"
fi

suite_in_new_venv() {
    local venv=build/venvs/$version
    rm -rf "$venv"
    "$pyenv_versions/$version/bin/python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet ".[test]"
    "$venv/bin/python" -m pytest -c pyproject.toml tests/python -q
}

for version in "${versions[@]}"; do
    stage_run "CPython $version" pytest suite_in_new_venv
done
stages_end
