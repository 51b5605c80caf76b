#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ka-audio and the ka-board launcher as a person runs them:
#   test_cli.sh KA_BOARD KA_AUDIO WORKDIR
# - exit codes and the one line on failure, the playing position, -v, every
#   subcommand's --help, and ka-audio outside the board;
# - play-raw: the device's output WAV holds exactly the bytes played, then
#   only silence;
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
