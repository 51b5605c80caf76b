#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Host sound of ka-board run (--speaker, --capture alsa) without a sound card:
#   test_host_audio.sh KA_BOARD KA_AUDIO WORKDIR [SECONDS]
# An ALSA configuration of the test's own defines host PCMs through alsa-lib's
# file plugin over null, so what the host is given lands in files:
# - WAV, AMR and MP3 plays: the host receives exactly the bytes the device
#   received (its --out WAV); two devices at once get a stream each;
# - capture from a file plugin's input: the recording holds exactly its bytes;
# - a host PCM that does not exist: one message, play and record unchanged;
# - a play of SECONDS (default 10) at the sample clock: every frame reaches
#   the host with no xrun; the time it took is printed.
set -u
board=$1 tool=$2 work=$3 seconds=${4:-${KA_HOST_AUDIO_SECONDS:-10}}
rm -rf "$work" && mkdir -p "$work"
"$board" --help >/dev/null 2>&1 || { echo "cannot run $board here"; exit 77; }
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
data() { tail -c +45 "$1"; }  # the data of the board's 44-byte-header WAV

cat >"$work/asound.conf" <<CONF
pcm.kbtest {
    type file
    slave.pcm { type null }
    file "$work/host-%r-%c.raw"
    format "raw"
}
pcm.kbmic {
    type file
    slave.pcm { type null }
    file "/dev/null"
    infile "$work/mic.raw"
    format "raw"
}
CONF
export ALSA_CONFIG_PATH="$work/asound.conf"
run() { "$board" run --speed 0 --out "$work/out" "$@"; }

# Test material: a WAV tone, an MP3 of it, an AMR-NB recording of the board.
sox -n -r 8000 -c 1 -b 16 "$work/tone.wav" synth 1.5 sine 440 gain -6
sox -n -r 44100 -c 2 -b 16 "$work/song.wav" synth 1.2 pluck 330 gain -4
lame --quiet -b 128 "$work/song.wav" "$work/song.mp3"
run --capture tone:600:8000 -- "$tool" record "$work/voice.amr" --seconds 1 >/dev/null 2>&1

for f in tone.wav song.mp3 voice.amr; do
    rm -rf "$work/out" "$work"/host-*.raw && mkdir "$work/out"
    run --speaker=kbtest -- "$tool" play "$work/$f" >/dev/null 2>&1
    host=$(ls "$work"/host-*.raw 2>/dev/null | head -1)
    check "play of $f: the host receives exactly what the device played" \
        "[ -n '$host' ] && [ -s '$host' ] && data '$work/out/pcmC0D0p.wav' | cmp -s - '$host'"
done

# Two devices at once, at different rates: a host stream each.
head -c 48000 /dev/urandom >"$work/a.raw"
head -c 64000 /dev/urandom >"$work/b.raw"
rm -rf "$work/out" "$work"/host-*.raw && mkdir "$work/out"
run --speaker=kbtest -- sh -c "'$tool' play-raw --device hw:0,13 --rate 16000 '$work/a.raw' &
    '$tool' play-raw --device hw:0,0 --rate 8000 --channels 2 '$work/b.raw'; wait" >/dev/null 2>&1
check "two devices at once: each reaches its host stream exactly, the input what the host got first" \
    "data '$work/out/pcmC0D13p.wav' | cmp -s - '$work/host-16000-1.raw' &&
     data '$work/out/pcmC0D0p.wav' | cmp -s - '$work/host-8000-2.raw' &&
     head -c 64000 '$work/host-8000-2.raw' | cmp -s - '$work/b.raw'"

# Capture from the host.
head -c 64000 /dev/urandom >"$work/mic.raw"
for f in "8000 1 16000" "16000 2 64000"; do
    set -- $f
    run --capture alsa:kbmic -- "$tool" record-raw --seconds 1 --rate $1 --channels $2 "$work/rec.raw" >/dev/null 2>&1
    check "capture alsa at $1 Hz, $2 channels: the recording holds exactly the host's samples" \
        "head -c $3 '$work/mic.raw' | cmp -s - '$work/rec.raw'"
done

# A host PCM that does not exist: one message, the program unaffected.
rm -rf "$work/out" && mkdir "$work/out"
run --speaker=nosuchpcm -- "$tool" play-raw --device hw:0,13 --rate 16000 "$work/a.raw" \
    >/dev/null 2>"$work/err.txt"
check "no host PCM: play still reaches the device; one message naming it" \
    "data '$work/out/pcmC0D13p.wav' | head -c 48000 | cmp -s - '$work/a.raw' &&
     [ \$(grep -v '^[DIWE]/' '$work/err.txt' | grep -vc 'bytes played') -eq 1 ] &&
     grep -q \"no host sound.*'nosuchpcm'\" '$work/err.txt'"
run --capture alsa:nosuchpcm -- "$tool" record-raw --seconds 1 --rate 8000 "$work/rec3.raw" \
    >/dev/null 2>"$work/err.txt"
check "no host PCM for capture: record still gives 1 s; one message" \
    "[ \$(stat -c %s '$work/rec3.raw') -eq 16000 ] && [ \$(grep -c 'no host sound' '$work/err.txt') -eq 1 ]"

# At the sample clock: the host sees every frame and no gap.
frames=$((seconds * 16000))
head -c $((frames * 2)) /dev/urandom >"$work/long.raw"
rm -rf "$work/out" "$work"/host-*.raw && mkdir "$work/out"
t0=$(date +%s.%N)
"$board" run --speed 1 --log --speaker=kbtest --out "$work/out" -- \
    "$tool" play-raw --device hw:0,13 --rate 16000 "$work/long.raw" >/dev/null 2>"$work/err.txt"
t1=$(date +%s.%N)
grep 'ka-board-audio:' "$work/err.txt"
echo "a ${seconds} s play with --speaker took $(awk "BEGIN { printf \"%.3f\", $t1 - $t0 }") s"
check "sample clock: the host stream had no xrun" "grep -q 'ka-board-audio: pcmC0D13p.* 0 xruns' '$work/err.txt'"
check "sample clock: the host got every byte the device played" \
    "data '$work/out/pcmC0D13p.wav' | cmp -s - '$work/host-16000-1.raw' &&
     head -c $((frames * 2)) '$work/host-16000-1.raw' | cmp -s - '$work/long.raw'"

[ $fail -eq 0 ] && echo "all host sound checks passed"
exit $fail
