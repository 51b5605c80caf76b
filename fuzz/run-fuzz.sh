#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, starting from the committed seed
# corpus (fuzz/corpus/<target>, read only) and a working corpus kept in
# BUILD_DIR/fuzz-work between runs.
# Usage: run-fuzz.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
# Fails when a target finds a crash, a leak, a timeout or an out-of-memory;
# the reproducer is left in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
build=${1:?build directory of the fuzz targets}
seconds=${2:-20}
shift $(($# < 2 ? $# : 2))
here=$(cd "$(dirname "$0")" && pwd)
work=$build/fuzz-work
mkdir -p "$work" "$build/fuzz-artifacts"

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_detect fuzz_decode_wav fuzz_decode_amrnb fuzz_decode_amrwb fuzz_decode_mp3
    fuzz_amr2wav fuzz_amrnb_writer)

# Longest input per target: enough to cross the readers' buffer refills (4 KiB
# for AMR; 512 bytes, then 2 KiB blocks for MP3 in the fuzz build) without
# letting the fuzzer spend its time on long files.
max_len() {
    case $1 in
    fuzz_decode_amrnb | fuzz_decode_amrwb | fuzz_amr2wav | fuzz_amrnb_writer) echo 8192 ;;
    *) echo 4096 ;;
    esac
}

status=0
for t in "${targets[@]}"; do
    corpus=$work/corpus-$t
    mkdir -p "$corpus"
    echo "== $t: ${seconds}s"
    if ! "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len="$(max_len "$t")" \
        -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "$corpus" "$here/corpus/$t" \
        >"$work/$t.log" 2>&1; then
        echo "!! $t failed; see $work/$t.log"
        grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$work/$t.log" | head -20 || true
        status=1
    else
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log")
        speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$t.log")
        echo "   $runs runs, $speed exec/s, 0 findings"
    fi
done
exit $status
