#!/usr/bin/env bash
# ka-audio as a user meets it: exit codes and the one line on failure, the
# playing position, and running it outside the board.
#   test_cli.sh KA_BOARD KA_AUDIO WORKDIR
set -u
board=$1 tool=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
"$board" --help >/dev/null 2>&1 || { echo "cannot run $board here"; exit 77; }
fail=0
# expect NAME RC PATTERN -- COMMAND...: exit code RC, and exactly one line on
# standard error matching PATTERN.
expect() {
    local name=$1 want=$2 pattern=$3; shift 4
    "$@" >"$work/out" 2>"$work/err"
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
# Outside the board this machine has no sound card 0.
if [ ! -e /dev/snd/controlC0 ]; then
    expect "no device node" 1 "cannot open /dev/snd/controlC0.*ka-board run" -- "$tool" play "$work/clip.wav"
fi

# Position at unlimited speed, not on a terminal: plain lines, no library
# lines, the last one the full duration.
"${run[@]}" "$tool" play "$work/clip.wav" >"$work/pos" 2>"$work/err"
rc=$?
if [ $rc -eq 0 ] && [ "$(tail -1 "$work/pos")" = "01:03 / 01:03" ] && [ ! -s "$work/err" ] &&
   ! grep -qvE '^[0-9]{2}:[0-9]{2} / 01:03$' "$work/pos"; then
    echo "ok: play shows the position, the last line the full duration"
else
    echo "FAILED: play position (exit $rc):"; cat "$work/pos" "$work/err"; fail=1
fi
# -v shows the library's lines.
"${run[@]}" "$tool" -v play "$work/clip.wav" >/dev/null 2>"$work/err"
if grep -q '^D/ka_lib_audio\[' "$work/err"; then echo "ok: -v shows the library log"; else
    echo "FAILED: -v shows no library log"; fail=1; fi
# Every subcommand has its --help.
for cmd in $("$tool" --help | sed -n 's/^  \([a-z0-9-]*\) .*/\1/p'); do
    "$tool" "$cmd" --help | grep -q "^usage: ka-audio .*$cmd" || { echo "FAILED: $cmd --help"; fail=1; }
done
[ $fail -eq 0 ] && echo "all CLI checks passed"
exit $fail
