#!/usr/bin/env bash
# Edges covered and executions per second of each fuzz target, with and without the native
# code's coverage, as docs/developer-guide/hardening.md reports them:
#     bash fuzz/figures.sh [SECONDS]     # 300 seconds per target and build, one run at a time
# Each target runs alone from its seeds, in a fresh corpus (build/fuzz-figures/), on the
# ordinary build, where libFuzzer sees only the Python code, then on the fuzzing build. Prints
# a Markdown table.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
. fuzz/environment.sh
targets=(image_file device_replies reply_stream)

measure() {
    fuzz_environment "$1" > /dev/null
    for target in "${targets[@]}"; do
        out=build/fuzz-figures/$1/$target
        rm -rf "$out"
        mkdir -p "$out"
        fuzzing python "fuzz/fuzz_$target.py" --out "$out" -max_total_time="$seconds" -print_final_stats=1 \
            > "$out.log" 2>&1 || { echo "$target failed: $out.log" >&2; exit 1; }
        echo "| $target | $2 | $(fuzz_summary "$out.log" |
            sed -E 's/^([0-9]+) runs, ([0-9]+) edges \(([0-9]+) at start\), ([0-9]+) exec\/s$/\3 | \2 | \4 | \1/') |"
    done
}

echo "| Target | Coverage seen by libFuzzer | Edges from the seeds | Edges after ${seconds} s | Executions per second | Executions |"
echo "|---|---|---|---|---|---|"
(measure python "Python code only")
(measure native "Python and native code")
