#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Time to first sound on the board: from Ka_AudPlayer_PlayFile of the four
# 5 s files of the instruction count (and from the first Ka_AudPlayer_Play of
# a stream at the common rates), to the start of the device's sample clock
# (the pcm_start event of the board's trace), on this computer at real-time
# speed. Figures, not a gate: they depend on the machine. The ARM figures
# (the real kernel, a 1 GHz core) come from scripts/arm-instructions.sh.
#
#   scripts/play-figures.sh [BUILD]   (default build-test/plain, with
#                                     bench/play_figures and board/ka-board)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-test/plain}
figs=$build/bench/play_figures
board=$build/board/ka-board
[ -x "$figs" ] && [ -x "$board" ] || { echo "play-figures: no $figs or $board" >&2; exit 1; }
work=$build/play-figures
rm -rf "$work" && mkdir -p "$work"
"$figs" media "$work/media" || exit 1

# first_sound NAME ARGS...: one run, the median of five printed.
first_sound() {
  local name=$1 i call start ms=()
  shift
  for i in 1 2 3 4 5; do
    rm -f "$work/trace.jsonl"
    call=$("$board" run --speed 1 --trace "$work/trace.jsonl" -- "$figs" "$@" | sed -n 's/^call //p')
    start=$(grep -m1 '"ev":"pcm_start".*"dir":"p"' "$work/trace.jsonl" | sed -n 's/.*"t":\([0-9]*\).*/\1/p')
    [ -n "$call" ] && [ -n "$start" ] || { echo "play-figures: $name: no start"; return 1; }
    ms+=("$(awk -v a="$call" -v b="$start" 'BEGIN { printf "%.3f", (b - a) / 1e6 }')")
  done
  printf '%s\n' "${ms[@]}" | sort -n | sed -n 3p | sed "s/^/board first sound $name: /; s/\$/ ms (median of 5)/"
}
for f in mp3.mp3 amrnb.amr amrwb.awb wav.wav; do first_sound "${f%.*}" start "${f%.*}" "$work/media/$f"; done
for p in "8000 1" "16000 1" "44100 2" "48000 2"; do
  # shellcheck disable=SC2086
  first_sound "stream ${p% *} Hz ${p#* } ch" stream $p
done
