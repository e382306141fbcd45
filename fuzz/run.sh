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

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=${2:-${FUZZ_SECONDS:-20}}
here=$(cd "$(dirname "$0")" && pwd)

# Each target with the longest input it is given.
targets="config_fuzz:4096 zones_fuzz:65536 reply_fuzz:16384"

# Scratch space on tmpfs when there is one: the targets write files per input.
base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    base=/dev/shm
fi
scratch=$(mktemp -d "$base/vantrel-fuzz-run.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM

status=0
summary=""
for entry in $targets; do
    name=${entry%%:*}
    maxlen=${entry#*:}
    binary="$build/$name"
    if [ ! -x "$binary" ]; then
        echo "$name: not built ($binary missing)" >&2
        status=1
        summary="$summary
$name: NOT BUILT"
        continue
    fi
    corpus="$scratch/corpus/$name"
    artifacts="$build/fuzz-artifacts/$name"
    mkdir -p "$corpus" "$scratch/tmp/$name" "$artifacts"
    for seeds in "$here/corpus/$name" "$here/regressions/$name"; do
        if [ -d "$seeds" ]; then
            find "$seeds" -maxdepth 1 -type f -exec cp {} "$corpus/" \;
        fi
    done
    log="$scratch/$name.log"
    echo "== $name: ${seconds}s"
    (
        cd "$scratch/tmp/$name" &&
            TMPDIR="$scratch/tmp/$name" \
                ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
                UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
                "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
                -max_len="$maxlen" -artifact_prefix="$artifacts/" -print_final_stats=1 \
                "$corpus"
    ) >"$log" 2>&1
    rc=$?
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -n 1)
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "$name: FAILED (exit $rc)" >&2
        # The report: the fuzzer's last lines hold the finding and its input.
        tail -n 80 "$log" >&2
        echo "$name: inputs kept in $artifacts/" >&2
        summary="$summary
$name: FAILED (exit $rc)${runs:+, $runs}"
    else
        echo "$name: ${runs:-no run count reported}"
        summary="$summary
$name: ok, ${runs:-no run count reported}"
    fi
done

echo "== fuzzing summary:$summary"
exit $status
