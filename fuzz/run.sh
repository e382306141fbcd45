#!/bin/sh
# Runs every libFuzzer target of a fuzz build for a fixed time each, on a
# scratch copy of its seed corpus and stored regression inputs (the fuzzer
# never writes into the source tree). Prints each target's execution count;
# exits non-zero when a target found a crash, a leak, a timeout or a broken
# invariant, or could not run. Crash inputs are kept under
# <build>/fuzz-artifacts/<target>/ for replay and for fuzz/regressions/.
#
# Usage: sh fuzz/run.sh BUILD_DIR [SECONDS]
set -u
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [SECONDS]" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
seconds=${2:-${FUZZ_SECONDS:-20}}
here=$(cd "$(dirname "$0")" && pwd)
# Scratch space on tmpfs when there is one: the targets write files per input.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
scratch=$(mktemp -d "$base/vantrel-fuzz-run.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM

status=0 summary=""
# Each target with the longest input it is given.
for entry in config_fuzz:4096 zones_fuzz:65536 reply_fuzz:16384; do
    name=${entry%%:*}
    artifacts="$build/fuzz-artifacts/$name"
    mkdir -p "$scratch/corpus/$name" "$scratch/tmp/$name" "$artifacts"
    cp "$here/corpus/$name"/* "$here/regressions/$name"/* "$scratch/corpus/$name/" 2>/dev/null
    log="$scratch/$name.log"
    echo "== $name: ${seconds}s"
    # A target that was not built fails with the shell's "not found".
    (cd "$scratch/tmp/$name" && TMPDIR="$scratch/tmp/$name" \
        ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
        "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="${entry#*:}" -artifact_prefix="$artifacts/" -print_final_stats=1 \
        "$scratch/corpus/$name") >"$log" 2>&1
    rc=$?
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -n 1)
    if [ "$rc" != 0 ]; then
        status=1
        # The report: the fuzzer's last lines hold the finding and its input.
        { tail -n 80 "$log" && echo "$name: inputs kept in $artifacts/"; } >&2
        summary="$summary\n$name: FAILED ($rc)${runs:+, $runs}"
    else
        summary="$summary\n$name: ok, ${runs:-no run count reported}"
    fi
done
printf '== fuzzing summary:%b\n' "$summary"
exit $status
