#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the seed corpus of the file targets (committed under fuzz/corpus/):
# the starts of files made by scripts/make-media.sh, plus truncated and
# damaged variants of them. Every file is small (a few KB), so that the
# targets start from inputs that run fast and still reach every parser path.
# The text targets' seeds (fuzz_mixer_text, fuzz_device_names,
# fuzz_trace_report, fuzz_command_files) are written by hand and committed;
# this script leaves them alone.
# Usage: make-corpus.sh [OUTPUT_DIR]   (default: fuzz/corpus next to this script)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/corpus}
media=$(mktemp -d)
trap 'rm -rf "$media"' EXIT
"$here/../scripts/make-media.sh" "$media" >/dev/null

cut_to() { head -c "$2" "$1"; }                       # FILE BYTES
# put FILE OFFSET HEXBYTES: overwrite bytes at OFFSET (in place)
put() { printf "$(sed 's/\(..\)/\\x\1/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8)))"; }
zeros() { head -c "$1" /dev/zero; }
slice() { dd if="$1" bs=1 skip="$2" count="$3" status=none; }  # FILE OFFSET BYTES

for t in fuzz_detect fuzz_decode_wav fuzz_decode_amrnb fuzz_decode_amrwb fuzz_decode_mp3 fuzz_amr2wav \
    fuzz_amrnb_writer; do
    rm -rf "${out:?}/$t"
    mkdir -p "$out/$t"
done

# ---- WAV ---------------------------------------------------------------------
d=$out/fuzz_decode_wav
for f in "$media"/*.wav; do cut_to "$f" 1068 >"$d/$(basename "$f" .wav)-1k.wav"; done
w=$media/tone-44k-stereo.wav
cut_to "$w" 20 >"$d/riff-20b.wav"
cut_to "$w" 43 >"$d/header-cut-43b.wav"
cut_to "$w" 44 >"$d/header-only.wav"
cut_to "$w" 1069 >"$d/odd-data.wav"
cut_to "$w" 600 >"$d/float-coding.wav" && put "$d/float-coding.wav" 20 0300
cut_to "$w" 600 >"$d/bits-12.wav" && put "$d/bits-12.wav" 34 0c00
cut_to "$w" 600 >"$d/zero-channels.wav" && put "$d/zero-channels.wav" 22 0000
# A last byte of 0x5A makes the target answer "stop" after a few writes.
{ cut_to "$w" 2000; printf '\x03\x5a'; } >"$d/stop-after-3.wav"

# ---- AMR-NB ------------------------------------------------------------------
d=$out/fuzz_decode_amrnb
nb=$media/speechband-8k.amr     # MR795: 21 bytes a frame
cut_to "$nb" $((6 + 21 * 40)) >"$d/mr795-40frames.amr"
cut_to "$media/tone-8k-mr122.amr" $((6 + 32 * 25)) >"$d/mr122-25frames.amr"
cp "$media/silence-8k-dtx.amr" "$d/silence-dtx.amr"
printf '#!AMR\n' >"$d/magic-only.amr"
printf '#!AMR' >"$d/magic-cut.amr"
cut_to "$nb" $((6 + 21 * 3 + 10)) >"$d/frame-cut.amr"
cut_to "$nb" $((6 + 21 * 8)) >"$d/no-data-frame.amr" && put "$d/no-data-frame.amr" $((6 + 21 * 2)) 7c
cut_to "$nb" $((6 + 21 * 8)) >"$d/sid-frame.amr" && put "$d/sid-frame.amr" $((6 + 21 * 2)) 44
cut_to "$nb" $((6 + 21 * 8)) >"$d/bad-magic.amr" && put "$d/bad-magic.amr" 5 0d
{ printf '#!AMR\n'; printf '\x7c\x64\x6c\x74\x7c\x3c'; zeros 31; } >"$d/types-15-12-13-14-15-7.amr"
{ cut_to "$nb" $((6 + 21 * 10)); printf '\x7c\x02\x7c\x5a'; } >"$d/stop-after-2.amr"

# ---- AMR-WB ------------------------------------------------------------------
d=$out/fuzz_decode_amrwb
wb=$media/noise-16k.awb
cp "$media/short-16k.awb" "$d/short-10frames.awb"
cut_to "$wb" 1500 >"$d/noise-1500b.awb"
printf '#!AMR-WB\n' >"$d/magic-only.awb"
printf '#!AMR-WB' >"$d/magic-cut.awb"
cut_to "$wb" 200 >"$d/frame-cut.awb"
cut_to "$media/short-16k.awb" 390 >"$d/type-10-stops.awb" && put "$d/type-10-stops.awb" 9 54
{ printf '#!AMR-WB\n'; printf '\x7c\x4c'; zeros 5; printf '\x74\x7c'; } >"$d/sid-then-type-14.awb"
printf '#!AMR\n\x7c\x7c' >"$d/nb-magic.awb"
{ cut_to "$media/short-16k.awb" 390; printf '\x7c\x7c\x01\x5a'; } >"$d/stop-after-1.awb"

# ---- MP3 ---------------------------------------------------------------------
d=$out/fuzz_decode_mp3
for f in "$media"/*.mp3; do cut_to "$f" 4000 >"$d/$(basename "$f" .mp3)-4k.mp3"; done
m=$media/tone-44k-stereo.mp3
# The 4 KB starts above already cross the refills of the fuzz build (512
# bytes, then 2 KiB blocks). This one ends inside a frame right after the
# second refill.
cut_to "$m" 2600 >"$d/tone-44k-stereo-2600b.mp3"
cut_to "$m" 1500 >"$d/frame-cut.mp3"
cut_to "$m" 3000 >"$d/damaged-frame.mp3" && put "$d/damaged-frame.mp3" 1200 ffffffff00000000
{ cut_to "$m" 1300; slice "$w" 5000 300; slice "$m" 1300 1700; } >"$d/garbage-between.mp3"
{ printf '\xff\xfb\x90\x64'; zeros 400; } >"$d/header-then-zeros.mp3"
{ printf '\xff\xe3\x18\xc4'; zeros 200; } >"$d/mpeg25-no-tag.mp3"
{ printf 'ID3\x04\x00\x00\x00\x00\x02\x01'; zeros 257; cut_to "$m" 1500; } >"$d/id3-267.mp3"
printf 'ID3\x04\x00\x00\x7f\x7f\x7f\x7f' >"$d/id3-huge-nothing.mp3"
{ cut_to "$m" 2000; printf '\x01\x5a'; } >"$d/stop-after-1.mp3"

# ---- Detection ---------------------------------------------------------------
d=$out/fuzz_detect
for f in "$media"/*; do cut_to "$f" 300 >"$d/$(basename "$f")-300b"; done
cp "$out/fuzz_decode_mp3/id3-267.mp3" "$out/fuzz_decode_mp3/mpeg25-no-tag.mp3" \
    "$out/fuzz_decode_wav/riff-20b.wav" "$out/fuzz_decode_wav/float-coding.wav" "$out/fuzz_decode_wav/bits-12.wav" \
    "$out/fuzz_decode_amrwb/magic-only.awb" "$out/fuzz_decode_amrnb/magic-only.amr" "$d/"
printf '\xff' >"$d/ff-only"
printf 'ID3\x04\x00\x00\x00\x01\x00\x00' >"$d/id3-16394-nothing-behind"
# The tool's header reader: chunks of odd size around a WAV's data, an
# extensible fmt chunk, and two ID3v2 tags (the first with a footer) in front
# of MPEG audio.
{ cut_to "$w" 36; printf 'LIST\x03\x00\x00\x00abc\x00data\x40\x00\x00\x00'; zeros 64; printf 'id3 \x01\x00\x00\x00x'; } \
    >"$d/chunks-odd.wav"
{ cut_to "$w" 16; printf '\x28\x00\x00\x00\xfe\xff\x06\x00\x40\x1f\x00\x00\x00\x77\x01\x00\x0c\x00\x18\x00\x16\x00'
  printf '\x18\x00\x3f\x00\x00\x00\x01\x00'; zeros 14; printf 'data\x10\x00\x00\x00'; zeros 16; } >"$d/extensible-6ch.wav"
{ printf 'ID3\x04\x00\x10\x00\x00\x00\x04abcd3DI\x04\x00\x10\x00\x00\x00\x04ID3\x03\x00\x00\x00\x00\x00\x02xy'
  cut_to "$m" 1500; } >"$d/id3-footer-two-tags.mp3"

# ---- AMR to WAV: both kinds of AMR -------------------------------------------
cp "$out/fuzz_decode_amrnb"/* "$out/fuzz_decode_amrwb"/* "$out/fuzz_amr2wav/"

# ---- AMR-NB writer: records of a 16-bit length and that many PCM bytes ----------
d=$out/fuzz_amrnb_writer
pcm=$media/pcm.raw
tail -c +45 "$media/speechband-8k.wav" >"$pcm"
rec() { le16 "$1"; head -c "$1" "${2:-/dev/zero}"; }  # LENGTH [SOURCE]
for i in 1 2 3 4 5; do le16 320; slice "$pcm" $((i * 3200)) 320; done >"$d/speech-5-frames"
for i in $(seq 12); do rec 320; done >"$d/silence-12-frames"
{ rec 160 "$pcm"; rec 321 "$pcm"; rec 319 "$pcm"; rec 0; rec 2 "$pcm"; rec 320 "$pcm"; } >"$d/mixed-lengths"
{ rec 383 "$pcm"; rec 320 "$pcm"; } >"$d/over-limit"
{ rec 320 "$pcm"; le16 320; head -c 100 "$pcm"; } >"$d/last-short"
printf '\x40' >"$d/one-byte"

find "$out" -type f | wc -l | xargs echo "files:"
du -sb "$out" | cut -f1 | xargs echo "bytes:"
