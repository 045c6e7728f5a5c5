#!/usr/bin/env bash
# run-fuzzer.sh <target> <committed corpus> <work corpus> <seconds>
# Replays the committed corpus, then fuzzes for a bounded time into a scratch corpus.
set -euo pipefail
target=$1 corpus=$2 work=$3 seconds=$4
mkdir -p "$corpus" "$work"
"$target" -runs=0 "$corpus"
"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "$work" "$corpus" 2>&1 | tail -n 20
exit "${PIPESTATUS[0]}"
