#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The library's main job on the emulated board: play an MP3 file.
# Builds the library and the tools, makes a short demo MP3 from synthetic
# notes (sox and lame), and plays it with `ka-audio play` under `ka-board`
# at the real sample clock. What the device played is kept as a WAV file,
# to listen to and compare with the input.
#   scripts/demo.sh [--speaker[=PCM]]
# --speaker also plays it live on this computer's sound card through
# alsa-lib (PCM 'default' unless given).
set -euo pipefail
speaker=()
for a in "$@"; do
  case "$a" in
    --speaker|--speaker=*) speaker=("$a") ;;
    *) echo "usage: $0 [--speaker[=PCM]]" >&2; exit 2 ;;
  esac
done
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" >/dev/null
build="$top/build-test/plain"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target ka-audio ka-board ka_board >/dev/null
if [ ${#speaker[@]} -gt 0 ]; then cmake --build "$build" --target ka-board-audio >/dev/null; fi

demo="$top/build-test/demo"
out="$demo/board-out"
mkdir -p "$demo" "$out"
if [ ! -f "$demo/demo.mp3" ]; then
  # A short arpeggio of plucked notes, stereo 44.1 kHz.
  notes=(261.63 329.63 392.00 523.25 392.00 329.63 261.63)
  parts=()
  for i in "${!notes[@]}"; do
    sox -n -r 44100 -c 2 -b 16 "$demo/note$i.wav" synth 0.35 pluck "${notes[$i]}" gain -4
    parts+=("$demo/note$i.wav")
  done
  sox "${parts[@]}" "$demo/demo.wav"
  rm -f "${parts[@]}"
  lame --quiet -b 128 "$demo/demo.wav" "$demo/demo.mp3"
fi

echo "\$ ka-board run --speed 1 ${speaker[*]:-}${speaker:+ }--out $out -- ka-audio play $demo/demo.mp3"
"$build/board/ka-board" run --speed 1 "${speaker[@]}" --out "$out" -- "$build/tools/ka-audio" play "$demo/demo.mp3" 2>"$demo/library.log"
grep -h "no host sound" "$demo/library.log" >&2 || true
echo
echo "input:  $demo/demo.mp3"
echo "played: $out/pcmC0D0p.wav (what sound card 0's device hw:0,0 played out, what a speaker sounded)"
if [ -f "$out/pcmC0D0p.received.wav" ]; then
  echo "        $out/pcmC0D0p.received.wav (what it received, which differs)"
fi
echo "log:    $demo/library.log"
