#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every fuzz target for a bounded time, starting from the committed seed
# corpus (fuzz/corpus/<target>, read only) and a working corpus kept in
# BUILD_DIR/fuzz-work between runs.
# Usage: run-fuzz.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
# Without TARGETs every target runs, the text targets (below) for a shorter
# time: SECONDS_PER_TARGET, at most KA_FUZZ_TEXT_SECONDS (default 10). Named
# TARGETs run SECONDS_PER_TARGET each.
# Fails when a target finds a crash, a leak, a timeout or an out-of-memory;
# the reproducer is left in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
build=${1:?build directory of the fuzz targets}
seconds=${2:-20}
shift $(($# < 2 ? $# : 2))
here=$(cd "$(dirname "$0")" && pwd)
work=$build/fuzz-work
mkdir -p "$work" "$build/fuzz-artifacts"

text_targets=(fuzz_mixer_text fuzz_device_names fuzz_trace_report fuzz_command_files)
targets=("$@")
named=${#targets[@]}
[ "$named" -gt 0 ] || targets=(fuzz_detect fuzz_decode_wav fuzz_decode_amrnb fuzz_decode_amrwb fuzz_decode_mp3
    fuzz_amr2wav fuzz_amrnb_writer "${text_targets[@]}")

# Longest input per target: enough to cross the readers' buffer refills (4 KiB
# for AMR; 512 bytes, then 2 KiB blocks for MP3 in the fuzz build) without
# letting the fuzzer spend its time on long files. Text: a control name and
# up to 128 values; a device name or the codec node (read up to 128 bytes); a
# trace of a few dozen lines; command file contents past the 256 bytes the
# board traces.
max_len() {
    case $1 in
    fuzz_decode_amrnb | fuzz_decode_amrwb | fuzz_amr2wav | fuzz_amrnb_writer) echo 8192 ;;
    fuzz_mixer_text) echo 512 ;;
    fuzz_device_names) echo 256 ;;
    fuzz_command_files) echo 1024 ;;
    *) echo 4096 ;;
    esac
}

# Seconds per target. The text targets' inputs are short and their parsers
# small: in the whole run they get at most KA_FUZZ_TEXT_SECONDS each.
seconds_of() {
    local cap=${KA_FUZZ_TEXT_SECONDS:-10}
    if [ "$named" -eq 0 ] && [[ " ${text_targets[*]} " == *" $1 "* ]] && [ "$seconds" -gt "$cap" ]; then
        echo "$cap"
    else
        echo "$seconds"
    fi
}

status=0
for t in "${targets[@]}"; do
    corpus=$work/corpus-$t
    mkdir -p "$corpus"
    secs=$(seconds_of "$t")
    echo "== $t: ${secs}s"
    if ! "$build/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=1024 -max_len="$(max_len "$t")" \
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
