#!/bin/sh
# Runs every benchmark program built in the given build folder, measures
# one reading of generated hosting-server zones files (time and peak memory)
# beside BIND's named-checkconf on the same files, then the real agent.
# Usage: sh bench/run.sh [BUILD_FOLDER]
set -eu
build=${1:-build-bench}

for program in "$build"/*_bench; do
    [ -x "$program" ] || continue
    echo "== $(basename "$program")"
    "$program"
done

# One first reading per size by the agent's parser, then named-checkconf -l
# on the very same file under /usr/bin/time -v.
zones_file_figures() {
    if [ ! -x "$build/zonegen_tool" ] || [ ! -x "$build/zonepeak_tool" ]; then
        echo "zonegen_tool or zonepeak_tool not built: zones file figures skipped"
        return 0
    fi
    work=$(mktemp -d)
    for zones in 1000 10000 100000 1000000; do
        file="$work/named-$zones.conf"
        "$build/zonegen_tool" "$zones" "$file" "$work"
        "$build/zonepeak_tool" "$file"
        if command -v named-checkconf >/dev/null 2>&1 && [ -x /usr/bin/time ]; then
            if /usr/bin/time -v named-checkconf -l "$file" >/dev/null 2>"$work/time.txt"; then
                awk -v zones="$zones" -F': ' '
                    /Elapsed \(wall clock\)/ { wall = $2 }
                    /Maximum resident set size/ { peak = $2 }
                    END { printf "named-checkconf -l, %s zones: %s (m:ss) wall, peak RSS %.1f MiB\n", zones, wall, peak / 1024 }
                ' "$work/time.txt"
            else
                echo "named-checkconf failed on $file:"
                cat "$work/time.txt"
            fi
        else
            echo "named-checkconf or /usr/bin/time missing: BIND figures skipped"
        fi
        rm -f "$file"
    done
    rm -rf "$work"
}

echo "== zones file readings"
zones_file_figures

# BIND's checker as the agent runs it before deletions, at two sizes: its
# time and peak memory, and the longest turn of the loop that serves it.
echo "== BIND's checker"
if [ -x "$build/bindcheck_tool" ]; then
    work=$(mktemp -d)
    for zones in 100000 1000000; do
        "$build/bindcheck_tool" "$zones" "$work" || echo "bindcheck_tool $zones failed"
    done
    rm -rf "$work"
else
    echo "bindcheck_tool not built: checker figures skipped"
fi

# The real agent against the in-process stand-in: start-up to a converged
# service at three sizes (and deleting a tenth of 100,000 zones), the memory
# of a service listing 1,000,000 zones the file lacks, the plan of
# 100,000 zones, then the time from a write of the zones file to the zone's
# arrival, and the CPU the idle agent uses in a minute.
if [ -x "$build/agent_tool" ] && [ -x "$build/vantrel" ]; then
    echo "== the agent at scale"
    "$build/agent_tool" "$build/vantrel" scale 10000
    "$build/agent_tool" "$build/vantrel" scale 100000 10
    "$build/agent_tool" "$build/vantrel" scale 1000000
    "$build/agent_tool" "$build/vantrel" endless
    "$build/agent_tool" "$build/vantrel" listed 1000000
    echo "== heartbeats and insertions while BIND's checker runs"
    "$build/agent_tool" "$build/vantrel" checking 1000000
    echo "== the plan"
    "$build/agent_tool" "$build/vantrel" plan 100000
    echo "== change latency and idle CPU"
    "$build/agent_tool" "$build/vantrel" latency 100 10000
else
    echo "agent_tool or vantrel not built: agent figures skipped"
fi
