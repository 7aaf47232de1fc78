#!/usr/bin/env bash
# Builds the module and runs the Python suite in a fresh virtual environment for every CPython 3.9
# or newer that it finds, one stage per interpreter. It looks in
#
#   - the interpreters listed in VANTORIX_PYTHONS (paths or commands, separated by spaces);
#   - pyenv's versions ($PYENV_ROOT/versions, else ~/.pyenv/versions): the newest patch release
#     of each minor version;
#   - /opt/python3.X, where debian-sid-python.sh installs (usr/bin/python3.X or bin/python3.X);
#   - every folder on PATH, for python3 and python3.X.
#
# An interpreter found twice (the same real path, or the same version) is tested once, as found
# first. A free-threaded build ("3.13.15t") is a version of its own, with its own ABI.
# Interpreters without the venv module or their C headers are listed as skipped stages.
#
#   bash tests/all_pythons.sh                 # every interpreter found
#   bash tests/all_pythons.sh 3.9 3.14.2      # only these (minor or exact versions)
#   bash tests/all_pythons.sh 3.13t           # the free-threaded build of 3.13
#   VANTORIX_PYTHONS=/usr/local/bin/python3.15 bash tests/all_pythons.sh
#
# Each run creates build/venvs/<version> anew and `pip install ".[test]"` into it (the build
# backend comes from PyPI into pip's isolated build environment). Ends with one line per version
# (inside tests/run_all.sh, in its summary). Fails if any version fails or if none is found.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/stages.sh

# The packaging test builds and installs on its own; it is not repeated per interpreter.
unset VANTORIX_PACKAGING_TESTS

oldest_minor=9

# "version real-path problem" of an interpreter, tab-separated, or nothing when it is not
# CPython 3.9 or newer. The version ends in "t" for a free-threaded build; the problem is "-" when
# there is none.
probe() {
    "$1" -I -c '
import os, platform, sys, sysconfig
if platform.python_implementation() != "CPython" or sys.version_info < (3, '"$oldest_minor"'):
    sys.exit(1)
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
problem = "-"
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    problem = "no C headers (Python.h): install its development package"
else:
    try:
        import ensurepip, venv
    except ImportError:
        problem = "no venv module: install it (Debian: python3.X-venv)"
version = platform.python_version() + ("t" if free_threaded else "")
print(version, os.path.realpath(sys.executable), problem, sep="\t")' 2>/dev/null </dev/null
}

# "source<TAB>path" of every candidate, in the order of preference: the ones asked for (source
# "asked"), pyenv's, /opt's, PATH's.
candidates() {
    local entry dir
    for entry in ${VANTORIX_PYTHONS:-}; do
        printf 'asked\t%s\n' "$entry"
    done
    local pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
    if [ -d "$pyenv_versions" ]; then
        # Sorted, so that the last release of each minor version is the one kept.
        find "$pyenv_versions" -mindepth 1 -maxdepth 1 -printf '%f\n' |
            grep -E '^3\.[0-9]+\.[0-9]+t?$' | sort -V |
            awk -F. '{ newest[$1 "." $2 ($3 ~ /t$/ ? "t" : "")] = $0 }
                     END { for (minor in newest) print newest[minor] }' |
            sed "s|^.*$|pyenv\t$pyenv_versions/&/bin/python|"
    fi
    local IFS=:
    for dir in /opt/python3.*/usr/bin /opt/python3.*[0-9]/bin /opt/python3.*[0-9]t/bin $PATH; do
        [ -d "$dir" ] || continue
        for entry in "$dir"/python3 "$dir"/python3.*; do
            if [[ ${entry##*/} =~ ^python3(\.[0-9]+t?)?$ ]] && [ -x "$entry" ]; then
                printf 'found\t%s\n' "$entry"
            fi
        done
    done
}

declare -A seen_path seen_version interpreter problem_of
found_versions=()
while IFS=$'\t' read -r source candidate; do
    if ! details=$(probe "$candidate"); then
        if [ "$source" = asked ]; then
            echo "VANTORIX_PYTHONS: $candidate is not a CPython 3.$oldest_minor or newer" >&2
        fi
        continue
    fi
    IFS=$'\t' read -r version real problem <<<"$details"
    if [ -n "${seen_path[$real]:-}" ] || [ -n "${seen_version[$version]:-}" ]; then
        continue
    fi
    seen_path[$real]=1
    seen_version[$version]=1
    found_versions+=("$version")
    interpreter[$version]=$real
    problem_of[$version]=$problem
done < <(candidates)
mapfile -t found_versions < <(printf '%s\n' "${found_versions[@]}" | sort -V | grep .)

echo "== CPython found"
for version in "${found_versions[@]}"; do
    note=
    if [ "${problem_of[$version]}" != - ]; then
        note="   (skipped: ${problem_of[$version]})"
    fi
    printf '%-10s %s%s\n' "$version" "${interpreter[$version]}" "$note"
done

# The newest found version matching a minor (3.9, 3.13t) or exact (3.9.18, 3.13.15t) version,
# or nothing.
match_version() {
    local wanted=${1%t} build= version best=
    [[ $1 == *t ]] && build=t
    for version in "${found_versions[@]}"; do
        if [ "$version" = "$1" ] || [[ $version =~ ^${wanted//./\\.}\.[0-9]+$build$ ]]; then
            best=$version
        fi
    done
    echo "$best"
}

wanted=("$@")
for version in "${wanted[@]}"; do
    # pip would spend a long time resolving ".[test]" for an interpreter the project rejects.
    if ! [[ $version =~ ^3\.([0-9]+)(\.[0-9]+)?t?$ ]] || [ "${BASH_REMATCH[1]}" -lt "$oldest_minor" ]
    then
        echo "CPython $version is not supported (3.$oldest_minor and newer)" >&2
        exit 2
    fi
done

stages_begin all_pythons
versions=()
if [ ${#wanted[@]} -eq 0 ]; then
    versions=("${found_versions[@]}")
else
    for version in "${wanted[@]}"; do
        found=$(match_version "$version")
        if [ -n "$found" ]; then
            versions+=("$found")
        else
            stage_record "CPython $version" skipped - 0 "not found"
        fi
    done
fi

suite_in_new_venv() {
    local venv=build/venvs/$version
    rm -rf "$venv"
    "${interpreter[$version]}" -m venv "$venv"
    # A free-threaded build finds wheels for fewer of the test tools: it takes the newest that
    # have one (or that build without Rust), as tests/free_threaded_constraints.txt says.
    local constraints=()
    if [[ $version == *t ]]; then
        constraints=(--prefer-binary --constraint tests/free_threaded_constraints.txt)
    fi
    "$venv/bin/python" -m pip install --quiet "${constraints[@]}" ".[test]"
    "$venv/bin/python" -m pytest -c pyproject.toml tests/python -q
}

tested=0
for version in "${versions[@]}"; do
    if [ "${problem_of[$version]}" != - ]; then
        stage_record "CPython $version" skipped - 0 "${problem_of[$version]}"
        continue
    fi
    stage_run "CPython $version" pytest suite_in_new_venv
    tested=$((tested + 1))
done
if [ "$tested" -eq 0 ]; then
    stage_record "CPython" FAILED - 0 \
        "no usable CPython 3.$oldest_minor or newer${wanted[*]:+ among ${wanted[*]}}"
fi
stages_end
