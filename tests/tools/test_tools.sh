#!/usr/bin/env bash
# ka-audio end to end on the board, as a person runs it:
#   test_tools.sh KA_BOARD KA_AUDIO WORKDIR
# - play-raw: the device's output WAV holds exactly the bytes played, then
#   only silence;
# - record-raw and record: exactly the asked length of audio, at the board's
#   unlimited speed as at its sample clock;
# - play: a WAV file's samples reach the device's output unchanged.
set -u
board=$1 tool=$2 work=$3
rm -rf "$work" && mkdir -p "$work/out"
# A launcher that cannot run here (another machine's binary without binfmt).
"$board" --help >/dev/null 2>&1 || { echo "cannot run $board here"; exit 77; }
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

head -c 96000 /dev/urandom >"$work/in.raw"
"$board" run --speed 0 --out "$work/out" -- "$tool" play-raw --device hw:0,13 --channels 1 --rate 16000 \
    "$work/in.raw" 2>/dev/null
wav="$work/out/pcmC0D13p.wav"
check "play-raw output holds the input" "tail -c +45 '$wav' | head -c 96000 | cmp -s - '$work/in.raw'"
check "play-raw output ends in silence" \
    "[ -z \"\$(tail -c +96045 '$wav' | tr -d '\\000' | head -c 1)\" ]"

for speed in 0 1; do
    "$board" run --speed $speed --capture tone:440:8000 -- "$tool" record-raw --seconds 1 --rate 8000 \
        "$work/rec$speed.raw" 2>/dev/null
    check "record-raw at speed $speed gives 1 s" "[ \$(stat -c %s '$work/rec$speed.raw') -eq 16000 ]"
    "$board" run --speed $speed --capture tone:440:8000 -- "$tool" record --seconds 1 \
        "$work/rec$speed.wav" 2>/dev/null
    check "record at speed $speed gives a 1 s WAV" "[ \$(stat -c %s '$work/rec$speed.wav') -eq \$((44 + 16000)) ]"
done
check "the tone recorded at both speeds is the same" "cmp -s '$work/rec0.raw' '$work/rec1.raw'"
check "record and record-raw capture the same samples" \
    "tail -c +45 '$work/rec0.wav' | cmp -s - '$work/rec0.raw'"

rm -rf "$work/out" && mkdir "$work/out"
"$board" run --speed 0 --out "$work/out" -- "$tool" play "$work/rec0.wav" >/dev/null 2>&1
check "play of a WAV file reaches the device unchanged" \
    "tail -c +45 '$work/out/pcmC0D0p.wav' | head -c 16000 | cmp -s - '$work/rec0.raw'"

[ $fail -eq 0 ] && echo "all tool checks passed"
exit $fail
