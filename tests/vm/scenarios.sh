#!/bin/sh
# SPDX-License-Identifier: MIT
# The library end to end on the module's kernel side, through the armhf
# build's ka-audio and ka_vm_probe: on the real kernel in the VM
# (scripts/vm.sh; "kernel" mode reads what devices received from
# /proc/ka_snd) and on the board ("board" mode, each program under ka-board
# run, which keeps what devices received as WAV files). Both modes leave the
# same files in OUT (received bytes, recordings, printed values), which
# scripts/vm.sh compares.
#   scenarios.sh kernel|board OUT   (board: KA_BOARD, KA_AUDIO, KA_PROBE; media
#                                   in KA_MEDIA, else beside this script)
mode=$1
out=$2
media=${KA_MEDIA:-$(cd "$(dirname "$0")" && pwd)}
tmp=${TMPDIR:-/tmp}/ka-vm.$$
mkdir -p "$out" "$tmp/rx"
pass=0
fail=0
check() {
    what=$1
    shift
    if "$@"; then pass=$((pass + 1)); echo "ok   $what"; else fail=$((fail + 1)); echo "FAIL $what"; fi
}

# A program on the module; on the board with the capture input of $capin.
run() {
    if [ "$mode" = kernel ]; then
        "$@"
    else
        prog=$1
        shift
        case $prog in ka-audio) prog=$KA_AUDIO ;; ka_vm_probe) prog=$KA_PROBE ;; esac
        "$KA_BOARD" run --speed 1 --out "$tmp/rx" --capture "wav:$capin" --codec "$codec" -- "$prog" "$@"
    fi
}
# What playback device N received since the last call, into OUT/NAME.
received() {
    if [ "$mode" = kernel ]; then
        cat "/proc/ka_snd/pcmC0D$1p" >"$out/$2"
        : >"/proc/ka_snd/pcmC0D$1p"
    else
        # The received file where it differs from the played-out one.
        rx_file="$tmp/rx/pcmC0D$1p.received.wav"
        [ -f "$rx_file" ] || rx_file="$tmp/rx/pcmC0D$1p.wav"
        tail -c +45 "$rx_file" >"$out/$2" 2>/dev/null
        rm -f "$tmp/rx/pcmC0D$1p.wav" "$tmp/rx/pcmC0D$1p.received.wav"
    fi
}
# Capture device N delivers the samples of WAV file $2 at every prepare.
capture_input() {
    capin=$2
    [ "$mode" = kernel ] && tail -c +45 "$2" >"/proc/ka_snd/pcmC0D$1c"
}
# FILE A is the start of FILE B.
starts() { [ -s "$1" ] && head -c "$(wc -c <"$1")" "$2" | cmp -s "$1" -; }
same_text() { [ "$(cat "$1")" = "$2" ] || { echo "  got: $(cat "$1")"; false; }; }

# The text of the sysfs codec node.
codec_node() {
    codec=$1
    [ "$mode" = kernel ] && printf '%s\n' "$1" >/sys/devices/soc:sound/codec_name
}
codec_node alc5616-codec.2-001b
speech=$media/speechband-8k.wav
tail -c +45 "$speech" | head -c 16000 >"$tmp/one-second.raw"
capture_input 0 "$speech"

# ---- a stream on each playback and capture device the library uses ----------
for d in hw:0,0:0 hw:0,13:13 hw:0,14:14 hw:0,16:16 audio_bluetooth:20 audio_usb:21 audio_net:22; do
    name=${d%:*}
    n=${d##*:}
    run ka-audio play-raw --device "$name" "$tmp/one-second.raw" >/dev/null 2>&1
    received "$n" "stream-$n.raw"
    check "stream on $name is received byte for byte" starts "$tmp/one-second.raw" "$out/stream-$n.raw"
    capture_input "$n" "$speech"
    run ka-audio record-raw --device "$name" --seconds 1 "$out/capture-$n.raw" >/dev/null 2>&1
    check "capture on $name delivers the input" cmp -s "$tmp/one-second.raw" "$out/capture-$n.raw"
done

# The stream parameters the card gives the library (compared with the board's).
run ka_vm_probe params >"$out/params.txt" 2>/dev/null
check "an S16_LE stream of 8000 Hz gets 20 ms periods, four a buffer" \
    grep -qxF "8000 Hz, 1 channels, format 2: period 320 bytes, buffer 1280 bytes" "$out/params.txt"

# ---- file play: what the device received is the decode -----------------------
for f in speechband-8k.wav tone-44k-stereo.wav speechband-8k.amr noise-16k.awb sweep-48k-mono.mp3; do
    run ka-audio play "$media/$f" >/dev/null 2>&1
    received 0 "play-$f.raw"
    case $f in
        *.mp3)
            # Its bytes are compared with the board's decode.
            check "play $f: all of its 2 s arrive" test "$(wc -c <"$out/play-$f.raw")" -ge 192000
            continue ;;
        *.wav) tail -c +45 "$media/$f" >"$tmp/ref.raw" ;;
        *)
            run ka-audio amr2wav "$media/$f" "$tmp/ref.wav" >/dev/null 2>&1
            tail -c +45 "$tmp/ref.wav" >"$tmp/ref.raw" ;;
    esac
    check "play $f: the device received the decode" starts "$tmp/ref.raw" "$out/play-$f.raw"
done

# ---- recording to WAV and AMR-NB -------------------------------------------------
capture_input 0 "$speech"
run ka-audio record "$out/record.wav" --seconds 1 >/dev/null 2>&1
tail -c +45 "$out/record.wav" >"$tmp/rec.raw"
check "record WAV holds the captured input" cmp -s "$tmp/one-second.raw" "$tmp/rec.raw"
run ka-audio record "$out/record.amr" --seconds 1 >/dev/null 2>&1
check "record AMR-NB gives an AMR file" sh -c "head -c 6 '$out/record.amr' | grep -q '#!AMR'"

# ---- the blocking player, the hostless streams, a stalled writer ---------------
run ka-audio simple-play --device hw:0,13 "$speech" >/dev/null 2>&1
received 13 "simple-play.raw"
tail -c +45 "$speech" >"$tmp/speech.raw"
check "blocking player: the device received the WAV data" starts "$tmp/speech.raw" "$out/simple-play.raw"
# A playback stream started with nothing queued underruns at once: the kernel
# refuses the start (EPIPE); a capture stream runs.
run ka_vm_probe hostless hw:0,14 play >"$out/hostless-play.txt" 2>&1
check "hostless playback is refused" grep -q "Hostless IOCTL_START Error no 32" "$out/hostless-play.txt"
run ka_vm_probe hostless hw:0,14 capture >"$out/hostless-capture.txt" 2>/dev/null
check "hostless capture runs" same_text "$out/hostless-capture.txt" "hostless capture: state 3"
run ka_vm_probe stall hw:0,16 400 "$tmp/speech.raw" >"$out/stall.txt" 2>/dev/null
received 16 "stall.raw"
check "stalled writer: every byte arrives in order" starts "$tmp/speech.raw" "$out/stall.raw"
check "stalled writer: the player recovered from an underrun" \
    same_text "$out/stall.txt" "stall: all bytes taken, recovered from an underrun"

# ---- controls: one process sets and reads back (each board run starts afresh) --
run ka_vm_probe controls >"$out/controls.txt" 2>/dev/null
while IFS= read -r line; do
    check "controls: $line" grep -qxF "$line" "$out/controls.txt"
done <<'TABLE'
set out of range: 0
SEC_MI2S_RX Audio Mixer MultiMedia2: 1
Master Playback Volume: 0
tone: 0 0
SEC_AUX_PCM_RX_Voice Mixer DTMF: 1
DTMF_Generate Rx Low High Duration Gain: 770 1336 120 1000
codec type: 0
codec volume: 0 0 playback 60 35 capture 100 0
DAC1 Playback Volume: 105 61
drcagc: 0 0 b4=0f5f b5=ab34 b6=8001
Voice Rx Gain: 0 -1 500
Voice Rx Device Mute: 1 -1 500
Voice Tx Device Mute: 1 -1 500
/data/alsaucm_test: txvoices 1 2 0
TABLE

# ---- codec detection from the sysfs node, and its volumes --------------------
while IFS='|' read -r text want; do
    codec_node "$text"
    run ka_vm_probe codec >"$out/codec-$text.txt" 2>/dev/null
    check "codec node '$text'" same_text "$out/codec-$text.txt" "$want"
done <<'TABLE'
nau8814-codec.1-001a|codec type 3: set 0, get 0: 39 39
tlv320aic3x-codec.0-0018|codec type 4: set 0, get 0: 40 90
max9860-codec.2-0010|codec type 6: set -1, get -1: -1 -1
dummy-codec|codec type -1: set -1, get -1: -1 -1
TABLE
codec_node alc5616-codec.2-001b

rm -rf "$tmp"
label="board"
[ "$mode" = kernel ] && label="real kernel"
echo "$label: $pass passed, $fail failed"
