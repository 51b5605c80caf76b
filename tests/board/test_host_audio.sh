#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Host sound of ka-board run (--speaker, --capture alsa) without a sound card:
#   test_host_audio.sh KA_BOARD KA_AUDIO WORKDIR
# An ALSA configuration of the test's own defines host PCMs through alsa-lib's
# file plugin over null, so what the host is given lands in files:
# - two devices at once at the sample clock: each host stream receives
#   exactly the bytes its device received (its --out received WAV; the
#   bridge plays out after the close what the board counts as dropped, so
#   what the board played out is where the host's begins), with no xrun;
# - capture from a file plugin's input: the recording holds exactly its bytes;
# - a host PCM that does not exist: one message, play and record unchanged.
set -u
board=$1 tool=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
"$board" --help >/dev/null 2>&1 || { echo "cannot run $board here"; exit 77; }
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
data() { tail -c +45 "$1"; }  # the data of the board's 44-byte-header WAV
# What device N received: its received WAV, where that differs from the played-out one.
received() { local f="$work/out/pcmC0D$1p"; data "$([ -f "$f.received.wav" ] && echo "$f.received.wav" || echo "$f.wav")"; }
# Whether what device N played out is where file $2 begins.
heard_first() { local n=$(($(stat -c %s "$work/out/pcmC0D$1p.wav") - 44)); [ $n -gt 0 ] && data "$work/out/pcmC0D$1p.wav" | cmp -s - <(head -c $n "$2"); }

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

# Two devices at once, at different rates, at the sample clock: a host
# stream each, which gets every frame with no xrun (the bridge's --log line).
head -c 48000 /dev/urandom >"$work/a.raw"
head -c 64000 /dev/urandom >"$work/b.raw"
rm -rf "$work/out" "$work"/host-*.raw && mkdir "$work/out"
"$board" run --speed 1 --log --speaker=kbtest --out "$work/out" -- sh -c "'$tool' play-raw --device hw:0,13 \
    --rate 16000 '$work/a.raw' & '$tool' play-raw --device hw:0,0 --rate 8000 --channels 2 '$work/b.raw'; wait" \
    >/dev/null 2>"$work/err.txt"
grep 'ka-board-audio:' "$work/err.txt"
check "two devices at once: each reaches its host stream exactly, the input what the host got first, no xrun" \
    "received 13 | cmp -s - '$work/host-16000-1.raw' && heard_first 13 '$work/host-16000-1.raw' &&
     received 0 | cmp -s - '$work/host-8000-2.raw' && heard_first 0 '$work/host-8000-2.raw' &&
     head -c 64000 '$work/host-8000-2.raw' | cmp -s - '$work/b.raw' &&
     head -c 48000 '$work/host-16000-1.raw' | cmp -s - '$work/a.raw' &&
     [ \$(grep -c 'ka-board-audio: pcmC0D\(13\|0\)p.* 0 xruns' '$work/err.txt') -eq 2 ]"

# Capture from the host; with no --out folder, so the board cannot keep its
# own copy (it says so in its events) and the program notices nothing.
head -c 64000 /dev/urandom >"$work/mic.raw"
rm -rf "$work/out"
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
    "received 13 | head -c 48000 | cmp -s - '$work/a.raw' &&
     [ \$(grep -v '^[DIWE]/' '$work/err.txt' | grep -vc 'bytes played') -eq 1 ] &&
     grep -q \"no host sound.*'nosuchpcm'\" '$work/err.txt'"
run --capture alsa:nosuchpcm -- "$tool" record-raw --seconds 1 --rate 8000 "$work/rec3.raw" \
    >/dev/null 2>"$work/err.txt"
check "no host PCM for capture: record still gives 1 s; one message" \
    "[ \$(stat -c %s '$work/rec3.raw') -eq 16000 ] && [ \$(grep -c 'no host sound' '$work/err.txt') -eq 1 ]"

[ $fail -eq 0 ] && echo "all host sound checks passed"
exit $fail
