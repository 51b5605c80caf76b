#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ka-audio and the ka-board launcher as a person runs them:
#   test_cli.sh KA_BOARD KA_AUDIO WORKDIR
# - exit codes and the one line on failure, the playing position, -v, every
#   subcommand's --help, and ka-audio outside the board;
# - play-raw: the device's output WAV holds exactly the bytes played, then
#   only silence; play: a WAV's chunks and an MP3's ID3v2 tag never reach the
#   device or the decoder; files from ffmpeg, sox and lame that the module
#   cannot play get one line naming why and what plays;
# - record-raw and record: exactly the asked length of audio, the same samples
#   at the board's unlimited speed as at its sample clock;
# - the launcher's options (codec node, command files, faults, log) reach the
#   board it preloads into a program that knows nothing of it; --out makes its
#   folder; a TMPDIR under /run does not hang the run.
set -u
board=$1 tool=$2 work=$3
rm -rf "$work" && mkdir -p "$work/out"
# A launcher that cannot run here (another machine's binary without binfmt).
"$board" --help >/dev/null 2>&1 || { echo "cannot run $board here"; exit 77; }
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
# expect NAME RC PATTERN -- COMMAND...: exit code RC, and exactly one line on
# standard error matching PATTERN.
expect() {
    local name=$1 want=$2 pattern=$3; shift 4
    "$@" >"$work/stdout" 2>"$work/err"
    local rc=$? lines
    lines=$(wc -l <"$work/err")
    if [ "$rc" -eq "$want" ] && [ "$lines" -eq 1 ] && grep -q -- "$pattern" "$work/err"; then
        echo "ok: $name"
    else
        echo "FAILED: $name (exit $rc, want $want; stderr:)"; cat "$work/err"; fail=1
    fi
}

# 63 s of 8 kHz mono 16-bit: 1008000 data bytes behind the header.
{ printf 'RIFF\x24\x62\x0f\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00'
  printf '\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00data\x00\x62\x0f\x00'
  head -c 1008000 /dev/zero; } >"$work/clip.wav"
head -c 5000 /dev/urandom | tr -d '\377' >"$work/noise.bin"

run=("$board" run --speed 0 --)
expect "missing file" 1 "cannot open $work/none.wav: No such file" -- "${run[@]}" "$tool" play "$work/none.wav"
expect "unknown format" 1 "unknown audio format" -- "${run[@]}" "$tool" play "$work/noise.bin"
expect "busy device" 1 "device busy" -- "$board" run --speed 0 --fault pcm_open:0:-1:EBUSY -- \
    "$tool" play "$work/clip.wav"
expect "unknown subcommand" 2 "unknown command" -- "$tool" no-such-command
expect "unknown option" 2 "^ka-audio play: unknown option '--bogus'.*--help" -- "$tool" play --bogus x
expect "launcher: unknown option" 2 "^ka-board: unknown option '--bogus'.*--help" -- "$board" run --bogus -- true
expect "launcher: a bad value" 2 "^ka-board: bad speed" -- "$board" run --speed fast -- true
expect "a directory" 1 "^ka-audio play: $work: is a directory" -- "${run[@]}" "$tool" play "$work"
# Outside the board this machine has no sound card 0.
if [ ! -e /dev/snd/controlC0 ]; then
    expect "no device node" 1 "cannot open /dev/snd/controlC0.*ka-board run" -- "$tool" play "$work/clip.wav"
fi

# Position at unlimited speed, not on a terminal: plain lines, no library
# lines, the last one the full duration; -v shows the library's lines.
"${run[@]}" "$tool" play "$work/clip.wav" >"$work/pos" 2>"$work/err"
rc=$?
check "play shows the position, the last line the full duration" \
    '[ $rc -eq 0 ] && [ "$(tail -1 "$work/pos")" = "01:03 / 01:03" ] && [ ! -s "$work/err" ] &&
     ! grep -qvE "^[0-9]{2}:[0-9]{2} / 01:03$" "$work/pos"'
"${run[@]}" "$tool" -v play "$work/clip.wav" >/dev/null 2>"$work/err"
check "-v shows the library log" 'grep -q "^D/ka_lib_audio\[" "$work/err"'
for cmd in $("$tool" --help | sed -n 's/^  \([a-z0-9-]*\) .*/\1/p'); do
    "$tool" "$cmd" --help | grep -q "^usage: ka-audio .*$cmd" || { echo "FAILED: $cmd --help"; fail=1; }
done

# The second device `devices` lists, by the name and playback node it prints.
read -r dev node < <("$tool" devices | awk '/^[^ ]+: /{d=$1} $1=="playback"{print substr(d,1,length(d)-1), $2}' | sed -n 2p)
expect "unknown device" 2 "unknown device 'hw:0,1'.* $dev " -- "${run[@]}" "$tool" play-raw --device hw:0,1 /dev/null
head -c 96000 /dev/urandom >"$work/in.raw"
"$board" run --speed 0 --out "$work/out" -- "$tool" play-raw --device "$dev" --channels 1 --rate 16000 \
    "$work/in.raw" 2>/dev/null
wav="$work/out/${node##*/}.wav"
"$board" run --speed 0 --out "$work/made/out" -- "$tool" play-raw --device "$dev" --channels 1 --rate 16000 \
    "$work/in.raw" 2>/dev/null
check "--out makes its folder" '[ -s "$work/made/out/${node##*/}.wav" ]'
# A run whose TMPDIR lies under /run (a path the board redirects) ends.
if tmp=$(mktemp -d /run/ka-cli.XXXXXX 2>/dev/null); then
    TMPDIR=$tmp timeout 10 "$board" run --speed 0 -- "$tool" voice-volume 0 3 >/dev/null 2>&1
    rc=$?
    rm -rf "$tmp"
    check "TMPDIR under /run" '[ $rc -eq 0 ]'
fi
check "play-raw output holds the input, then only silence" \
    'tail -c +45 "$wav" | head -c 96000 | cmp -s - "$work/in.raw" &&
     [ -z "$(tail -c +96045 "$wav" | tr -d "\\000" | head -c 1)" ]'
for speed in 0 1; do
    "$board" run --speed $speed --capture tone:440:8000 -- "$tool" record-raw --seconds 1 --rate 8000 \
        "$work/rec$speed.raw" 2>/dev/null
    "$board" run --speed $speed --capture tone:440:8000 -- "$tool" record --seconds 1 \
        "$work/rec$speed.wav" 2>/dev/null >"$work/recpos"
    check "record-raw and record at speed $speed give 1 s, record shows it as play does" \
        '[ $(stat -c %s "$work/rec$speed.raw") -eq 16000 ] && [ $(stat -c %s "$work/rec$speed.wav") -eq 16044 ] &&
         [ "$(tail -1 "$work/recpos")" = "00:01 / 00:01" ]'
done
check "the same tone at both speeds, by record and record-raw" \
    'cmp -s "$work/rec0.raw" "$work/rec1.raw" && tail -c +45 "$work/rec0.wav" | cmp -s - "$work/rec0.raw"'

# Chunks around the data (a LIST of odd size before it, another after it):
# the device gets the data chunk's bytes and nothing else.
head -c 1600 /dev/urandom >"$work/d.raw"
{ printf 'RIFF\x00\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00'
  printf '\x10\x00LIST\x03\x00\x00\x00abc\x00data\x40\x06\x00\x00'; cat "$work/d.raw"; printf 'LIST\x02\x00\x00\x00xy'
} >"$work/chunks.wav"
"$board" run --speed 0 --out "$work/cw" -- "$tool" play "$work/chunks.wav" >/dev/null 2>&1
check "play: a WAV's data chunk only, no chunk bytes" \
    'tail -c +45 "$work/cw/pcmC0D0p.wav" | head -c 1600 | cmp -s - "$work/d.raw" &&
     [ -z "$(tail -c +1645 "$work/cw/pcmC0D0p.wav" | tr -d "\\000" | head -c 1)" ] &&
     "$tool" detect "$work/chunks.wav" | grep -q "data chunk at byte 56, 1600 bytes, then 10 bytes.*from byte 44"'
"${run[@]}" "$tool" play-raw --format S24_LE /dev/null 2>"$work/err"
check "--format offers the formats that open" '[ $? -eq 2 ] && grep -q "^ka-audio play-raw: --format must be S16_LE (2):" "$work/err"'
# Files from everyday tools: a tagged MP3 plays clean; what the module cannot
# play gets one line with why and the command that makes a file it plays.
if command -v ffmpeg >/dev/null && command -v sox >/dev/null && command -v lame >/dev/null; then
    gen() { ffmpeg -v error -y -f lavfi -i "sine=f=440:r=$2:d=0.3" "${@:3}" "$work/$1"; }
    gen tag.mp3 44100 -metadata title=t && gen u8.wav 8000 -c:a pcm_u8 && gen r96.wav 96000 -c:a pcm_s16le &&
        gen f32.wav 8000 -c:a pcm_f32le && gen mu.wav 8000 -c:a pcm_mulaw
    sox -n -r 8000 -b 24 "$work/s24.wav" synth 0.3 sine 440 && sox -n -r 8000 -c 6 -b 16 "$work/c6.wav" synth 0.3 sine 440
    sox -V1 -n -r 8000 -b 16 -t wav - synth 0.3 sine 440 | lame --quiet -b 16 - "$work/m25.mp3"
    "${run[@]}" "$tool" play "$work/tag.mp3" >/dev/null 2>"$work/err"
    check "play: an MP3 behind an ID3v2 tag decodes without a decoding error" '[ $? -eq 0 ] && [ ! -s "$work/err" ]'
    # (Debian 12's ffmpeg writes float mono in an extensible header, 13's in a plain one.)
    while IFS='|' read -r f why fix; do
        expect "play $f: why and what plays" 1 "^ka-audio play: $work/$f: $why; .*: ${fix//FILE/$work/$f}$" -- \
            "${run[@]}" "$tool" play "$work/$f"
    done <<'EOF'
u8.wav|8-bit samples|ffmpeg -i FILE -c:a pcm_s16le out.wav
r96.wav|96000 Hz (outside 8000-48000 Hz), an extensible header|ffmpeg -i FILE -ar 48000 -c:a pcm_s16le out.wav
s24.wav|24-bit samples, an extensible header|ffmpeg -i FILE -c:a pcm_s16le out.wav
f32.wav|32-bit float samples\(, an extensible header\)\?|ffmpeg -i FILE -c:a pcm_s16le out.wav
mu.wav|mu-law samples|ffmpeg -i FILE -c:a pcm_s16le out.wav
c6.wav|an extensible header (6 channels)|ffmpeg -i FILE -ac 2 -c:a pcm_s16le out.wav
m25.mp3|MPEG-2.5 at 8000 Hz, which the module recognises only behind an ID3v2 tag|ffmpeg -i FILE -c:a copy out.mp3
EOF
fi

# The launcher's options reach a shell it preloads the board into (where the
# shell is built for the launcher's machine).
if [ "$(od -An -tx1 -j18 -N2 "$board")" = "$(od -An -tx1 -j18 -N2 /bin/sh)" ]; then
    script='cat /sys/devices/soc:sound/codec_name 2>/dev/null || echo no node
        for f in /data/alsaucm_test /run/alsaucm_test; do [ -e $f ] && echo present $f || echo absent $f; done
        [ -c /dev/snd/controlC0 ] && echo control; [ -e /dev/snd/pcmC0D40p ] || echo no pcm 40
        true 2>/dev/null 3<>/dev/snd/pcmC0D5p || echo refused; true 3<>/dev/snd/pcmC0D5p && echo opened
        echo rxgains gain 3 > /run/alsaucm_test && cat /run/alsaucm_test'
    out=$("$board" run --codec tlv320aic3x.1-0018 --files run --fault pcm_open@5:0:1:13 -- /bin/sh -c "$script" 2>&1)
    rc=$?
    want=$'tlv320aic3x.1-0018\nabsent /data/alsaucm_test\npresent /run/alsaucm_test\ncontrol\nno pcm 40\n'
    want+=$'refused\nopened\nrxgains gain 3'
    check "launcher: codec node, command files, emulated nodes, a fault" '[ $rc -eq 0 ] && [ "$out" = "$want" ]'
    out=$("$board" run --codec none --files none -- /bin/sh -c "$script" 2>&1)
    check "launcher: no codec node, no command files" \
        '[ "$(echo "$out" | head -3)" = "$(printf "no node\nabsent /data/alsaucm_test\nabsent /run/alsaucm_test")" ]'
    out=$("$board" run --log -- /bin/sh -c 'true 3<>/dev/snd/pcmC0D1p' 2>&1)
    rc=$?
    check "launcher: --log shows the board's events" '[ $rc -eq 0 ] && echo "$out" | grep -q "] open pcmC0D1p"'
fi
[ $fail -eq 0 ] && echo "all CLI checks passed"
exit $fail
