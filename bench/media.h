// SPDX-License-Identifier: MIT
// What the file benchmarks share: media made from synthetic signals (WAV,
// AMR-NB through opencore's encoder, AMR-WB as frames of random payload, MP3
// through the lame command), the bare decode loops of the codec libraries
// that the library's file play is measured against, and the start of a file
// play on the board.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <vector>

namespace ka_bench {

using Bytes = std::vector<uint8_t>;

void write_file(const std::string &path, const Bytes &b);
Bytes read_file(const std::string &path);

// Interleaved 16-bit samples of a sweep per channel.
std::vector<int16_t> synth(int channels, int rate, int frames);
// A canonical 44-byte-header WAV file of 16-bit samples.
Bytes wav_file(int channels, int rate, const std::vector<int16_t> &samples);
// MR122 frames of a synthetic 8 kHz signal (no DTX).
Bytes amrnb_file(int seconds);
// 23.85 kbit/s frames with random payload (the decoder takes any payload).
Bytes amrwb_file(int seconds);
// lame's 128 kbit/s MP3 of a WAV file; false when lame fails or is missing.
bool mp3_from_wav(const std::string &wav, const std::string &mp3);

// The bare loops: the file decoded by the codec library (for WAV: read and
// copied) as a player minimally must, each sample converted to 16-bit
// little-endian bytes, and nothing else. Each returns the PCM byte count.
// bare_amr also writes the bytes to `out` when given (the baseline of the
// AMR to WAV conversion).
size_t bare_wav(const std::string &path);
size_t bare_amr(const std::string &path, bool wide, FILE *out = nullptr);
size_t bare_mp3(const std::string &path);

// Keeps the bare loops' output alive.
extern volatile uint32_t g_sink;

// Set by finished_cb when a play reports its end.
extern std::atomic<bool> g_finished;
// A player callback that notes AUD_PLAYER_FINISHED in g_finished.
int finished_cb(int hdl, int result);

// Ka_AudPlayer_PlayFile of the file at `path` on the default device, with
// finished_cb (g_finished cleared first); the handle (negative on failure). *fd is the descriptor it reads,
// for the caller to close after the play.
int start_play(const std::string &path, int *fd);

// The instruction counts' four plays (bench/instructions on the board, and
// bench/arm on the ARM kernel): each format's file of kGateSeconds and its
// bare loop.
struct GateFormat {
    const char *name;
    const char *ext;
    size_t (*bare)(const std::string &);
};
constexpr int kGateSeconds = 5;
constexpr int kGateFormatCount = 4;
extern const GateFormat kGateFormats[kGateFormatCount];  // mp3, amrnb, amrwb, wav
const GateFormat *gate_format(const char *name);         // nullptr when unknown
std::string gate_file(const std::string &dir, const GateFormat &f);
// Makes the four files in `dir`; false (with a message) when lame fails.
bool make_gate_media(const std::string &dir);

}  // namespace ka_bench
