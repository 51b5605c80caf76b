#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, seeded with media generated from
# synthetic signals. Usage: run-fuzz.sh BUILD_DIR [SECONDS_PER_TARGET]
# Fails when a target finds a crash, a leak, a timeout or an out-of-memory;
# the reproducer is left in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
build=${1:?build directory of the fuzz targets}
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
work=$build/fuzz-work
seeds=$work/media
mkdir -p "$seeds" "$build/fuzz-artifacts"
"$here/../scripts/make-media.sh" "$seeds" >/dev/null

seed_dir() {  # target -> folder of seeds
    local t=$1 d=$work/seeds-$1
    rm -rf "$d"
    mkdir -p "$d"
    case $t in
    fuzz_detect) cp "$seeds"/* "$d"/ ;;
    fuzz_decode_wav) cp "$seeds"/*.wav "$d"/ ;;
    fuzz_decode_amrnb) cp "$seeds"/*.amr "$d"/ ;;
    fuzz_decode_amrwb) cp "$seeds"/*.awb "$d"/ ;;
    fuzz_decode_mp3) cp "$seeds"/*.mp3 "$d"/ ;;
    fuzz_amr2wav) cp "$seeds"/*.amr "$seeds"/*.awb "$d"/ ;;
    esac
    # Truncated copies: the ends of files are where parsers go wrong.
    for f in "$d"/*; do head -c 700 "$f" >"$f.cut"; done
    echo "$d"
}

status=0
for t in fuzz_detect fuzz_decode_wav fuzz_decode_amrnb fuzz_decode_amrwb fuzz_decode_mp3 fuzz_amr2wav; do
    corpus=$work/corpus-$t
    mkdir -p "$corpus"
    sd=$(seed_dir "$t")
    echo "== $t: ${seconds}s"
    if ! "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=262144 \
        -artifact_prefix="$build/fuzz-artifacts/$t-" "$corpus" "$sd" >"$work/$t.log" 2>&1; then
        echo "!! $t failed; see $work/$t.log"
        grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$work/$t.log" | head -20 || true
        status=1
    else
        grep -E "^#[0-9]+.*DONE|Done [0-9]+ runs" "$work/$t.log" | tail -1 || true
    fi
done
exit $status
