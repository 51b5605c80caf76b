#!/bin/sh
# SPDX-License-Identifier: MIT
# What a listener hears of the library's plays, for scripts/vm.sh to compare:
# on Debian's loopback card (snd-aloop as card 0 in the VM, "loopback" mode:
# each program runs under ka_vm_listen, which records the loopback's capture
# side, with ka_vm_shim.so preloaded to count its frames and to set a
# geometry) and on the board ("board" mode: each program under ka-board run,
# whose --out keeps what each playback device played out). Each scenario
# leaves OUT/NAME.raw (16-bit mono 8 kHz, what was heard) and a line
#   NAME: received R, played out P, dropped D frames
#   heard.sh loopback|board OUT   (board: KA_BOARD, KA_AUDIO, KA_PROBE; media in
#                                 KA_MEDIA, else beside this script)
# The loopback's own geometry at 8 kHz mono is 32-frame periods and a
# 32,768-frame buffer; the board is given the same (--period-ms 4
# --buffer-ms 4096). Scenarios named *-20ms run on the board's default
# geometry, 20 ms periods and four of them, which the shim imposes on the
# loopback.
mode=$1
out=$2
media=${KA_MEDIA:-$(cd "$(dirname "$0")" && pwd)}
tmp=${TMPDIR:-/tmp}/ka-heard.$$
mkdir -p "$out" "$tmp"
# Three quarters of a second for the player sessions (all of it is their
# first part): how long a stream runs before its close is set by the
# session's sleep and by how fast the emulated ARM writes, so the fewer
# writes, the closer the two lengths heard.
tail -c +45 "$media/speechband-8k.wav" | head -c 12000 >"$tmp/speech.raw"

# heard NAME PROGRAM ARGS: runs the program, keeps what device 0 played out.
heard() {
    name=$1
    shift
    case $name in
        *-20ms) us=20000 periods=4 geometry='' ;;
        *) us='' periods='' geometry="--period-ms 4 --buffer-ms 4096" ;;
    esac
    if [ "$mode" = loopback ]; then
        KA_SHIM_PERIOD_US=$us KA_SHIM_PERIODS=$periods LD_PRELOAD=/usr/local/lib/ka_vm_shim.so \
            ka_vm_listen /dev/snd/pcmC0D1c 8000 1 "$out/$name.raw" -- "$@" >"$out/$name.log" 2>&1
        counts=$(sed -n 's/^shim: \(.*\)/\1/p' "$out/$name.log" | tail -1)
        # A capture that could not start or lost frames to an overrun holds
        # no whole record: no result.
        grep -qE '^listen: (capture setup|read|exec):' "$out/$name.log" && rm -f "$out/$name.raw"
    else
        prog=$1
        shift
        case $prog in ka-audio) prog=$KA_AUDIO ;; ka_vm_probe) prog=$KA_PROBE ;; esac
        rm -rf "$tmp/o" "$tmp/trace"
        # shellcheck disable=SC2086 # the geometry is two options or none
        "$KA_BOARD" run --speed 1 $geometry --out "$tmp/o" --trace "$tmp/trace" -- "$prog" "$@" \
            >"$out/$name.log" 2>&1
        tail -c +45 "$tmp/o/pcmC0D0p.wav" >"$out/$name.raw" 2>/dev/null
        # The playback closes of device 0: frames written, played out, dropped.
        counts=$(grep '"ev":"pcm_close"' "$tmp/trace" 2>/dev/null | grep '"dev":0,' | grep '"dir":"p"' |
            awk 'function num(k) { return match($0, "\"" k "\":[0-9]+") ? substr($0, RSTART + length(k) + 3) + 0 : 0 }
                 { r += num("frames"); p += num("played"); d += num("dropped") }
                 END { if (NR) printf "received %d, played out %d, dropped %d frames", r, p, d }')
    fi
    echo "$name: ${counts:-no counts}"
}

heard play ka-audio play "$media/prompt-8k.wav"
heard pause ka_vm_probe pause hw:0,0 300 "$tmp/speech.raw"
heard stall ka_vm_probe stall hw:0,0 400 "$tmp/speech.raw"
heard stop ka_vm_probe stop hw:0,0 300 "$tmp/speech.raw"
heard simple-play ka-audio simple-play "$media/prompt-8k.wav"
heard play-20ms ka-audio play "$media/prompt-8k.wav"
rm -rf "$tmp"
echo "heard: done"
