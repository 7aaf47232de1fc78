# Runs the stages of a test script and ends with one summary line per stage: its result, the
# tests it counted (from the closing lines of ctest or pytest) and its time. Sourced by
# tests/run_all.sh and tests/all_pythons.sh. A script started by another one adds its stages to
# the summary of the first instead of printing its own.
#
#   stages_begin NAME                   start (the logs go to build/logs/NAME/)
#   stage_run TITLE ctest|pytest CMD... run CMD as one stage; a failure does not stop the script
#   stage_record TITLE RESULT COUNTS SECONDS [NOTE]   add a line by hand
#   stages_end                          print the summary (unless nested); non-zero if any failed
#
# A stage fails when its command fails, when no count can be read from its output, or when it
# passed no test at all.

stages_begin() {
    stages_name=$1
    stages_failed=0
    stages_nested=1
    if [ -z "${VANTORIX_STAGE_LOGS:-}" ]; then
        stages_nested=0
        stages_started=$SECONDS
        export VANTORIX_STAGE_LOGS=$PWD/build/logs/$1
        rm -rf "$VANTORIX_STAGE_LOGS"
        mkdir -p "$VANTORIX_STAGE_LOGS"
        : >"$VANTORIX_STAGE_LOGS/summary.tsv"
    fi
}

# "passed failed skipped" from ctest's closing lines in a log, or nothing. Its totals line is
# "100% tests passed, 0 tests failed out of 89" or, from CMake 4, "100% tests passed out of 89";
# the total includes skipped tests but not disabled ones (both listed as tests that did not run).
count_ctest() {
    local line failed=0 total skipped disabled
    line=$(grep -E '^[0-9]+% tests passed' "$1" | tail -n 1 || true)
    [[ $line =~ ^[0-9]+%\ tests\ passed(,\ ([0-9]+)\ tests?\ failed)?\ out\ of\ ([0-9]+)$ ]] ||
        return 0
    failed=${BASH_REMATCH[2]:-0}
    total=${BASH_REMATCH[3]}
    skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1" || true)
    disabled=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Disabled\)$' "$1" || true)
    echo "$((total - failed - skipped)) $failed $((skipped + disabled))"
}

# "passed failed skipped" from pytest's closing line in a log, or nothing. Errors count as
# failures.
count_pytest() {
    local line passed=0 failed=0 skipped=0
    line=$(grep -E '^(=+ )?[0-9]+ [a-z]+(, [0-9]+ [a-z]+)* in [0-9.]+s' "$1" | tail -n 1 || true)
    [ -n "$line" ] || return 0
    [[ $line =~ ([0-9]+)\ passed ]] && passed=${BASH_REMATCH[1]}
    [[ $line =~ ([0-9]+)\ failed ]] && failed=${BASH_REMATCH[1]}
    [[ $line =~ ([0-9]+)\ errors? ]] && failed=$((failed + BASH_REMATCH[1]))
    [[ $line =~ ([0-9]+)\ skipped ]] && skipped=${BASH_REMATCH[1]}
    echo "$passed $failed $skipped"
}

stage_record() {
    local title=$1 result=$2 counts=$3 seconds=$4 note=${5:-}
    if [ "$result" = FAILED ]; then
        stages_failed=1
    fi
    # No field may be empty: read would merge the tabs around it.
    printf '%s\t%s\t%s\t%s\t%s\n' "$title" "$result" "${counts:--}" "$seconds" "${note:--}" \
        >>"$VANTORIX_STAGE_LOGS/summary.tsv"
}

stage_run() {
    local title=$1 counter=$2 log status counts result note='' started=$SECONDS
    shift 2
    log=$VANTORIX_STAGE_LOGS/$(tr -c 'A-Za-z0-9.\n' - <<<"$title").log
    echo "== $title"
    # The stage runs in a subshell with errexit in force: in a condition or an `||` list bash
    # would ignore `set -e` inside it, so the status is read after the pipeline instead.
    set +e
    (set -e; "$@") 2>&1 | tee "$log"
    status=$?
    set -e
    counts=$("count_$counter" "$log")
    result=passed
    if [ "$status" -ne 0 ]; then
        result=FAILED
        note="exit status $status"
    elif [ -z "$counts" ]; then
        result=FAILED
        note="no $counter count in the output"
    elif [ "${counts%% *}" -eq 0 ]; then
        result=FAILED
        note="passed no test"
    fi
    if [ "$result" = FAILED ]; then
        note="$note, output in $log"
    fi
    stage_record "$title" "$result" "$counts" $((SECONDS - started)) "$note"
}

# "8 min 05 s" or "42 s".
format_seconds() {
    if [ "$1" -ge 60 ]; then
        printf '%d min %02d s' $(($1 / 60)) $(($1 % 60))
    else
        printf '%d s' "$1"
    fi
}

stages_end() {
    if [ "$stages_nested" = 1 ]; then
        return "$stages_failed"
    fi
    local title result counts seconds note passed failed skipped
    local total_passed=0 total_failed=0 total_skipped=0 failed_stages=()
    # The end of a failed stage's output, repeated here: a CI excerpt often shows only the end.
    while IFS=$'\t' read -r title result counts seconds note; do
        if [ "$result" = FAILED ] && [[ $note == *"output in "* ]] && [ -f "${note##*output in }" ]
        then
            echo "== the last lines of $title"
            tail -n 40 "${note##*output in }"
        fi
    done <"$VANTORIX_STAGE_LOGS/summary.tsv"
    echo "== summary (output of every stage in $VANTORIX_STAGE_LOGS)"
    while IFS=$'\t' read -r title result counts seconds note; do
        if [ "$counts" != - ]; then
            read -r passed failed skipped <<<"$counts"
            total_passed=$((total_passed + passed))
            total_failed=$((total_failed + failed))
            total_skipped=$((total_skipped + skipped))
            counts="$passed passed, $failed failed, $skipped skipped"
        fi
        if [ "$result" = FAILED ]; then
            failed_stages+=("$title")
        fi
        if [ "$note" = - ]; then
            note=
        fi
        printf '%-22s %-7s %-34s %12s%s\n' "$title" "$result" "$counts" \
            "$(format_seconds "$seconds")" "${note:+   $note}"
    done <"$VANTORIX_STAGE_LOGS/summary.tsv"
    local took
    took=$(format_seconds $((SECONDS - stages_started)))
    if [ ${#failed_stages[@]} -gt 0 ]; then
        local list
        printf -v list '%s, ' "${failed_stages[@]}"
        echo "$stages_name: FAILED: ${list%, } ($took)"
    else
        echo "$stages_name: every stage passed ($took)"
    fi
    echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
    [ ${#failed_stages[@]} -eq 0 ]
}
