// Test media for the file tests, made in-process from synthetic signals
// (WAV, AMR-NB through opencore's encoder, AMR-WB as frames of random
// payload, which any decoder accepts) or with the lame command (MP3), plus
// reference decodes made directly with the codec libraries.
#pragma once

#include <fcntl.h>
#include <mad.h>
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>
#include <opencore-amrwb/dec_if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ka_lib_audio.h"

namespace files_test {

using Bytes = std::vector<uint8_t>;

inline std::string gen_dir()
{
    const char *d = getenv("KA_TEST_GEN");
    std::string dir = d && *d ? d : "/tmp/ka_files_test";
    std::string cmd = "mkdir -p '" + dir + "'";
    if (system(cmd.c_str()) != 0) return "/tmp";
    return dir;
}

inline std::string gen_path(const std::string &name) { return gen_dir() + "/" + name; }

inline bool write_file(const std::string &path, const Bytes &b)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

inline Bytes read_file(const std::string &path)
{
    Bytes b;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t tmp[65536];
    size_t n;
    while ((n = fread(tmp, 1, sizeof tmp, f)) > 0) b.insert(b.end(), tmp, tmp + n);
    fclose(f);
    return b;
}

inline uint32_t le32(const Bytes &b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline uint32_t le16(const Bytes &b, size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8; }

inline void put32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void put16(Bytes &b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

// Deterministic 16-bit PCM: a chirp with a little noise, interleaved.
inline std::vector<int16_t> synth(int channels, int rate, int frames, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    std::vector<int16_t> s;
    s.reserve(size_t(channels) * size_t(frames));
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            double t = double(i) / rate;
            double v = 9000 * std::sin(2 * M_PI * (300 + 200 * c + 400 * t) * t) + int(rng() % 200) - 100;
            s.push_back(int16_t(v));
        }
    return s;
}

inline Bytes pcm_bytes(const std::vector<int16_t> &s)
{
    Bytes b;
    for (int16_t v : s) put16(b, uint16_t(v));
    return b;
}

// A canonical 44-byte header in front of `data`.
inline Bytes wav_file(int channels, int rate, int bits, const Bytes &data, uint16_t coding = 1)
{
    Bytes b;
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    put32(b, uint32_t(data.size() + 36));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, 16);
    put16(b, coding);
    put16(b, uint32_t(channels));
    put32(b, uint32_t(rate));
    put32(b, uint32_t(rate * channels * bits / 8));
    put16(b, uint32_t(channels * bits / 8));
    put16(b, uint32_t(bits));
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// AMR-NB storage file from `frames` 20 ms frames of synthetic speech-like
// signal, MR795 with DTX (silence in the middle gives SID / no-data frames).
inline Bytes amrnb_file(int frames, Mode mode = MR795, bool dtx = true)
{
    Bytes b{'#', '!', 'A', 'M', 'R', '\n'};
    void *enc = Encoder_Interface_init(dtx ? 1 : 0);
    auto pcm = synth(1, 8000, 160 * frames, 7);
    for (int f = 0; f < frames; ++f) {
        int16_t in[160];
        for (int i = 0; i < 160; ++i) in[i] = (f / 25) % 3 == 2 ? 0 : pcm[size_t(f * 160 + i)];
        uint8_t out[500];
        int n = Encoder_Interface_Encode(enc, mode, in, out, 0);
        b.insert(b.end(), out, out + n);
    }
    Encoder_Interface_exit(enc);
    return b;
}

// AMR-WB storage file: frames of types 0..8 with random payload, and some
// SID (9) and no-data (15) frames unless `speech_only`.
inline Bytes amrwb_file(int frames, unsigned seed = 3, bool speech_only = false)
{
    Bytes b{'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n'};
    std::mt19937 rng(seed);
    for (int f = 0; f < frames; ++f) {
        unsigned ft = speech_only ? rng() % 9 : f % 10 == 9 ? 15 : f % 10 == 8 ? 9 : rng() % 9;
        b.push_back(uint8_t(ft << 3 | 0x04));
        for (int i = 0; i < amrwb_sizes[ft]; ++i) b.push_back(uint8_t(rng()));
    }
    return b;
}

// Direct opencore decode of an AMR file's whole frames (after the magic).
inline Bytes amr_decode(const Bytes &file, bool wide)
{
    size_t pos = wide ? 9 : 6;
    const int32_t *sizes = wide ? amrwb_sizes : amrnb_sizes;
    int samples = wide ? 320 : 160;
    void *dec = wide ? D_IF_init() : Decoder_Interface_init();
    Bytes out;
    while (pos < file.size()) {
        int32_t size = sizes[(file[pos] >> 3) & 15];
        if (size < 0 || pos + 1 + size_t(size) > file.size()) break;
        uint8_t frame[500] = {};
        memcpy(frame, &file[pos], 1 + size_t(size));
        int16_t pcm[320];
        if (wide)
            D_IF_decode(dec, frame, pcm, 0);
        else
            Decoder_Interface_Decode(dec, frame, pcm, 0);
        for (int i = 0; i < samples; ++i) put16(out, uint16_t(pcm[i]));
        pos += 1 + size_t(size);
    }
    if (wide)
        D_IF_exit(dec);
    else
        Decoder_Interface_exit(dec);
    return out;
}

inline int16_t ref_scale(mad_fixed_t s)
{
    s += 1L << (MAD_F_FRACBITS - 16);
    if (s >= MAD_F_ONE) s = MAD_F_ONE - 1;
    else if (s < -MAD_F_ONE) s = -MAD_F_ONE;
    return int16_t(s >> (MAD_F_FRACBITS + 1 - 16));
}

struct Mp3Ref {
    Bytes pcm;
    std::vector<unsigned> frame_bytes;  // bytes of each decoded frame
    int errors = 0;
};

// Direct libmad decode of a whole MPEG audio file (with the guard bytes
// libmad wants behind the last frame).
inline Mp3Ref mp3_decode(const Bytes &file)
{
    Mp3Ref r;
    Bytes in = file;
    in.resize(in.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_buffer(&stream, in.data(), in.size());
    for (;;) {
        if (mad_frame_decode(&frame, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) {
                ++r.errors;
                continue;
            }
            break;
        }
        mad_synth_frame(&synth, &frame);
        for (unsigned i = 0; i < synth.pcm.length; ++i)
            for (unsigned c = 0; c < synth.pcm.channels; ++c) put16(r.pcm, uint16_t(ref_scale(synth.pcm.samples[c][i])));
        r.frame_bytes.push_back(2u * synth.pcm.length * synth.pcm.channels);
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return r;
}

inline bool have_tool(const char *name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// MP3 through lame from a synthetic WAV: `extra` are lame options (mono,
// ID3v2 tags...). The input rate decides MPEG-1 (32000 Hz and up) or
// MPEG-2 (16000..24000 Hz). Empty when lame fails.
inline Bytes mp3_file(const std::string &name, int channels, int rate, double seconds, const std::string &extra)
{
    std::string wav = gen_path(name + ".src.wav"), mp3 = gen_path(name);
    int frames = int(rate * seconds);
    if (!write_file(wav, wav_file(channels, rate, 16, pcm_bytes(synth(channels, rate, frames, 11)))))
        return {};
    std::string cmd = "lame --quiet " + extra + " '" + wav + "' '" + mp3 + "'";
    if (system(cmd.c_str()) != 0) return {};
    return read_file(mp3);
}

// Standard error of the process into a file while it exists.
class StderrToFile {
public:
    explicit StderrToFile(const std::string &path) : path_(path)
    {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrToFile() { restore(); }
    std::string text()
    {
        restore();
        Bytes b = read_file(path_);
        return std::string(b.begin(), b.end());
    }

private:
    void restore()
    {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

inline int count_of(const std::string &hay, const std::string &needle)
{
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace files_test
