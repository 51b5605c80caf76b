// SPDX-License-Identifier: MIT
// Helpers of the file tests: media made in-process from synthetic signals
// (WAV; AMR-NB through opencore's encoder; AMR-WB as frames of random
// payload, which the decoder accepts; MP3 through the lame command), the
// reference decodes made directly with the codec libraries.
#pragma once

#include <fcntl.h>
#include <mad.h>
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>
#include <opencore-amrwb/dec_if.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>

#include "../player/player_test.h"
#include "../simple/stderr_capture.h"
#include "ka_board.h"

namespace files_test {

using Bytes = std::vector<uint8_t>;

inline std::string gen_path(const std::string &name)
{
    return ka_test::temp_dir() + "/" + name;
}

inline void write_file(const std::string &path, const Bytes &b)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
}

inline Bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline int open_with(const std::string &name, const Bytes &b, int flags = O_RDONLY)
{
    write_file(gen_path(name), b);
    return open(gen_path(name).c_str(), flags);
}

inline uint32_t le(const Bytes &b, size_t at, int n = 4)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + size_t(i)];
    return v;
}
inline void put(Bytes &b, uint32_t v, int n = 4)
{
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// Deterministic 16-bit PCM, interleaved, as little-endian bytes.
inline Bytes pcm16(int channels, int rate, int frames, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    Bytes b;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            double t = double(i) / rate;
            put(b,
                uint16_t(int16_t(9000 * std::sin(2 * M_PI * (300 + 200 * c + 400 * t) * t) +
                                 int(rng() % 200) - 100)),
                2);
        }
    return b;
}

inline Bytes wav_file(int channels, int rate, int bits, const Bytes &data, uint16_t coding = 1)
{
    Bytes b{'R', 'I', 'F', 'F'};
    put(b, uint32_t(data.size() + 36));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0});
    put(b, coding, 2), put(b, uint32_t(channels), 2), put(b, uint32_t(rate));
    put(b, uint32_t(rate * channels * bits / 8)), put(b, uint32_t(channels * bits / 8), 2),
        put(b, uint32_t(bits), 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// The 44-byte header of a 16-bit PCM WAV file with `data` bytes of samples.
inline Bytes wav_header(int channels, int rate, size_t data)
{
    Bytes b = wav_file(channels, rate, 16, Bytes(data));
    b.resize(44);
    return b;
}

// Frames of a synthetic signal in `mode` (-1: the eight speech modes in
// turn); with DTX the silent stretch (frames 50..74) gives SID and no-data
// frames.
inline Bytes amrnb_file(int frames, bool dtx = true, int mode = MR795)
{
    Bytes b{'#', '!', 'A', 'M', 'R', '\n'}, in = pcm16(1, 8000, 160 * frames, 7);
    void *enc = Encoder_Interface_init(dtx);
    for (int f = 0; f < frames; ++f) {
        int16_t s[160];
        for (int i = 0; i < 160; ++i)
            s[i] = (f / 25) % 3 == 2 ? 0 : int16_t(le(in, size_t(320 * f + 2 * i), 2));
        uint8_t out[500];
        const Mode m = static_cast<Mode>(mode < 0 ? f % 8 : mode);
        b.insert(b.end(), out, out + Encoder_Interface_Encode(enc, m, s, out, 0));
    }
    Encoder_Interface_exit(enc);
    return b;
}

// Frames of types 0..8 with random payload; with `dtx` every tenth frame is
// no-data and the one before it a SID frame.
inline Bytes amrwb_file(int frames, unsigned seed = 3, bool dtx = true)
{
    Bytes b{'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n'};
    std::mt19937 rng(seed);
    for (int f = 0; f < frames; ++f) {
        unsigned ft = dtx && f % 10 == 9 ? 15 : dtx && f % 10 == 8 ? 9 : rng() % 9;
        b.push_back(uint8_t(ft << 3 | 4));
        for (int i = 0; i < amrwb_sizes[ft]; ++i) b.push_back(uint8_t(rng()));
    }
    return b;
}

// opencore's decode of an AMR file's whole frames, up to the first frame
// type without a size.
inline Bytes amr_decode(const Bytes &file, bool wide)
{
    const int32_t *sizes = wide ? amrwb_sizes : amrnb_sizes;
    void *dec = wide ? D_IF_init() : Decoder_Interface_init();
    Bytes out;
    for (size_t pos = wide ? 9 : 6; pos < file.size();) {
        int32_t size = sizes[(file[pos] >> 3) & 15];
        if (size < 0 || pos + 1 + size_t(size) > file.size()) break;
        int16_t s[320];
        wide ? D_IF_decode(dec, &file[pos], s, 0) : Decoder_Interface_Decode(dec, &file[pos], s, 0);
        for (int i = 0; i < (wide ? 320 : 160); ++i) put(out, uint16_t(s[i]), 2);
        pos += 1 + size_t(size);
    }
    wide ? D_IF_exit(dec) : Decoder_Interface_exit(dec);
    return out;
}

// libmad's decode of a whole MPEG file (guard bytes behind it), each
// sample rounded, clipped and shifted to 16 bits.
inline Bytes mp3_decode(Bytes in)
{
    Bytes pcm;
    in.resize(in.size() + MAD_BUFFER_GUARD, 0);
    mad_stream st;
    mad_frame fr;
    mad_synth sy;
    mad_stream_init(&st), mad_frame_init(&fr), mad_synth_init(&sy);
    mad_stream_buffer(&st, in.data(), in.size());
    for (int r; (r = mad_frame_decode(&fr, &st)) == 0 || MAD_RECOVERABLE(st.error);) {
        if (r != 0) continue;
        mad_synth_frame(&sy, &fr);
        for (unsigned i = 0; i < sy.pcm.length; ++i)
            for (unsigned c = 0; c < sy.pcm.channels; ++c) {
                int64_t s = int64_t(sy.pcm.samples[c][i]) + 4096;
                s = s >= MAD_F_ONE ? MAD_F_ONE - 1 : s < -MAD_F_ONE ? -MAD_F_ONE : s;
                put(pcm, uint16_t(int16_t(s >> 13)), 2);
            }
    }
    mad_synth_finish(&sy);
    mad_frame_finish(&fr);
    mad_stream_finish(&st);
    return pcm;
}

inline bool have_tool(const std::string &name)
{
    return system(("command -v " + name + " >/dev/null").c_str()) == 0;
}

// lame's MP3 of a synthetic WAV; the rate decides MPEG-1 or MPEG-2.
inline Bytes mp3_file(const std::string &name, int channels, int rate, double seconds,
                      const std::string &opts)
{
    write_file(gen_path(name + ".wav"),
               wav_file(channels, rate, 16, pcm16(channels, rate, int(rate * seconds), 11)));
    if (system(("lame --quiet " + opts + " " + gen_path(name + ".wav") + " " + gen_path(name)).c_str()) != 0)
        return {};
    return read_file(gen_path(name));
}

// `got` is all of `data` followed by nothing but silence.
inline bool all_then_silence(const Bytes &got, const Bytes &data)
{
    return got.size() >= data.size() && std::equal(data.begin(), data.end(), got.begin()) &&
           std::all_of(got.begin() + long(data.size()), got.end(), [](uint8_t b) { return b == 0; });
}

using player_test::proc_entries;

}  // namespace files_test
