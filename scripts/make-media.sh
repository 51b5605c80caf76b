#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes demo and test media from synthetic signals (nothing is taken from
# elsewhere): WAV files with sox, MP3 files with lame (and ffmpeg), AMR-NB
# files with opencore's encoder through a small program built here, and
# AMR-WB files made of valid frames with random payload (the decoder accepts
# any payload; they sound like noise).
# Usage: make-media.sh OUTPUT_DIR
set -euo pipefail
out=${1:?output folder}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

have() { command -v "$1" >/dev/null 2>&1; }

# ---- WAV -----------------------------------------------------------------
if have sox; then
    sox -n -r 44100 -c 2 -b 16 "$out/tone-44k-stereo.wav" synth 3 sine 440 sine 660 gain -6
    sox -n -r 48000 -c 1 -b 16 "$out/sweep-48k-mono.wav" synth 2 sine 200-4000 gain -6
    sox -n -r 8000 -c 1 -b 16 "$out/speechband-8k.wav" synth 4 sine 300-3000 tremolo 3 60 gain -3
    sox -n -r 16000 -c 1 -b 16 "$out/sweep-16k.wav" synth 3 sine 100-7000 gain -6
    sox -n -r 8000 -c 1 -b 8 -t wavpcm "$out/tone-8k-8bit.wav" synth 1 sine 500
    sox -n -r 22050 -c 2 -b 24 -t wavpcm "$out/tone-22k-24bit.wav" synth 1 sine 330 sine 550
else
    echo "sox not found: WAV media skipped" >&2
fi

# ---- MP3 -----------------------------------------------------------------
if have lame && [ -f "$out/tone-44k-stereo.wav" ]; then
    lame --quiet -b 128 "$out/tone-44k-stereo.wav" "$out/tone-44k-stereo.mp3"
    lame --quiet -m m -b 64 "$out/sweep-48k-mono.wav" "$out/sweep-48k-mono.mp3"
    sox "$out/tone-44k-stereo.wav" -r 22050 "$tmp/t22.wav"
    lame --quiet -b 64 --add-id3v2 --tt "Synthetic tone" --ta "make-media" "$tmp/t22.wav" \
        "$out/tone-22k-id3v2.mp3"
    # MPEG-2.5 is only recognised behind an ID3v2 tag.
    lame --quiet -m m -b 32 --add-id3v2 --tt "Speech band" "$out/speechband-8k.wav" "$out/speechband-8k-mpeg25.mp3"
elif have ffmpeg; then
    ffmpeg -v error -y -f lavfi -i "sine=frequency=440:duration=3" -ac 2 -ar 44100 \
        "$out/tone-44k-stereo.mp3" || echo "ffmpeg has no MP3 encoder: MP3 media skipped" >&2
else
    echo "lame not found: MP3 media skipped" >&2
fi

# ---- AMR -----------------------------------------------------------------
cat >"$tmp/amrnb_enc.c" <<'C'
/* Raw 16-bit little-endian 8000 Hz mono on stdin to an AMR-NB file on
 * stdout: MR795 (or the mode given as argument), DTX on. */
#include <opencore-amrnb/interf_enc.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
    int mode = argc > 1 ? atoi(argv[1]) : MR795;
    void *enc = Encoder_Interface_init(1);
    unsigned char in[320], out[500];
    short pcm[160];
    fwrite("#!AMR\n", 1, 6, stdout);
    size_t n;
    while ((n = fread(in, 1, sizeof in, stdin)) > 0) {
        for (int i = 0; i < 160; ++i)
            pcm[i] = (size_t)(2 * i + 1) < n ? (short)(in[2 * i] | in[2 * i + 1] << 8) : 0;
        int k = Encoder_Interface_Encode(enc, (enum Mode)mode, pcm, out, 0);
        fwrite(out, 1, (size_t)k, stdout);
    }
    Encoder_Interface_exit(enc);
    return 0;
}
C
cat >"$tmp/amrwb_frames.c" <<'C'
/* An AMR-WB file of N frames (argument) with random payload: speech frame
 * types 0..8, with SID and no-data frames now and then. */
#include <stdio.h>
#include <stdlib.h>
static const int sizes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, -1, 0};
int main(int argc, char **argv)
{
    int frames = argc > 1 ? atoi(argv[1]) : 250;
    srand(12345);
    fwrite("#!AMR-WB\n", 1, 9, stdout);
    for (int f = 0; f < frames; ++f) {
        int ft = f % 25 == 24 ? 15 : f % 25 == 23 ? 9 : rand() % 9;
        putchar(ft << 3 | 0x04);
        for (int i = 0; i < sizes[ft]; ++i) putchar(rand() & 0xFF);
    }
    return 0;
}
C
cc_ok=0
if have cc && cc -O2 -o "$tmp/amrnb_enc" "$tmp/amrnb_enc.c" $(pkg-config --cflags --libs opencore-amrnb 2>/dev/null || echo -lopencore-amrnb) 2>/dev/null; then
    cc_ok=1
fi
if [ $cc_ok = 1 ] && have sox; then
    sox "$out/speechband-8k.wav" -t raw -r 8000 -c 1 -b 16 -e signed-integer -L - | "$tmp/amrnb_enc" >"$out/speechband-8k.amr"
    sox -n -t raw -r 8000 -c 1 -b 16 -e signed-integer -L - synth 2 sine 700 synth 2 sine amod 2 | "$tmp/amrnb_enc" 7 >"$out/tone-8k-mr122.amr"
    sox -n -t raw -r 8000 -c 1 -b 16 -e signed-integer -L - trim 0 1 | "$tmp/amrnb_enc" >"$out/silence-8k-dtx.amr"
else
    echo "cc, opencore-amrnb or sox missing: AMR-NB media skipped" >&2
fi
if have cc && cc -O2 -o "$tmp/amrwb_frames" "$tmp/amrwb_frames.c" 2>/dev/null; then
    "$tmp/amrwb_frames" 250 >"$out/noise-16k.awb"
    "$tmp/amrwb_frames" 10 >"$out/short-16k.awb"
fi
ls "$out"
