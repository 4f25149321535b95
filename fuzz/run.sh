#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for SECONDS each (default 60), one after another,
# from its seeds in corpus/NAME/ (new inputs go to a scratch copy, the tree stays as it is).
# Prints per target the executions run; exits non-zero when a target found a crash, a leak or
# a time-out, leaving the input under WORK/NAME/.
#   fuzz/run.sh BUILD_DIR [SECONDS] [WORK_DIR]
# The runs happen in a network namespace of their own where user namespaces allow it, so a
# reader that reaches for the resolver or a socket gets nowhere.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS] [WORK_DIR]}" && pwd)
seconds=${2:-60}
work=${3:-$(mktemp -d)}
mkdir -p "$work"

# Without user namespaces (a locked-down container) the runs go unconfined; the targets leave
# out every look-up anyway.
isolate=(unshare -rn)
"${isolate[@]}" true 2>/dev/null || isolate=()

status=0
printf '%-16s %12s  %s\n' target executions result
for target in "$build"/fuzz/*_fuzz; do
    name=$(basename "$target" _fuzz)
    corpus="$work/$name/corpus"
    mkdir -p "$corpus"
    cp "$here/corpus/$name"/* "$corpus"/ 2>/dev/null || true
    log="$work/$name/log"
    # -close_fd_mask=1: the policy reader prints its refusals on standard output.
    "${isolate[@]}" "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -max_len=65536 -close_fd_mask=1 -artifact_prefix="$work/$name/" \
        -print_final_stats=1 "$corpus" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [[ $rc -eq 0 ]]; then
        result=ok
    else
        result="FAILED (log: $log)"
        status=1
        grep -m5 -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | sed 's/^/    /'
    fi
    printf '%-16s %12s  %s\n' "$name" "${runs:-0}" "$result"
done
exit $status
