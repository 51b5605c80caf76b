// SPDX-License-Identifier: MIT
#include "media.h"

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
#include <filesystem>
#include <random>

#include "ka_lib_audio.h"

namespace ka_bench {

volatile uint32_t g_sink;
std::atomic<bool> g_finished;

void write_file(const std::string &path, const Bytes &b)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (!b.empty()) fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

Bytes read_file(const std::string &path)
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

namespace {

void put16(Bytes &b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes &b, uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// libmad's fixed point to 16 bits: rounded, clipped, shifted.
int16_t scale(mad_fixed_t s)
{
    s += 1L << 12;
    if (s >= MAD_F_ONE) s = MAD_F_ONE - 1;
    if (s < -MAD_F_ONE) s = -MAD_F_ONE;
    return int16_t(s >> 13);
}

}  // namespace

std::vector<int16_t> synth(int channels, int rate, int frames)
{
    std::vector<int16_t> s;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            double t = double(i) / rate;
            s.push_back(int16_t(9000 * std::sin(2 * M_PI * (300 + 100 * c + 50 * t) * t)));
        }
    return s;
}

Bytes wav_file(int channels, int rate, const std::vector<int16_t> &samples)
{
    Bytes b{'R', 'I', 'F', 'F'};
    put32(b, uint32_t(36 + 2 * samples.size()));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, 16);
    put16(b, 1);
    put16(b, uint32_t(channels));
    put32(b, uint32_t(rate));
    put32(b, uint32_t(rate * channels * 2));
    put16(b, uint32_t(channels * 2));
    put16(b, 16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, uint32_t(2 * samples.size()));
    for (int16_t v : samples) put16(b, uint16_t(v));
    return b;
}

Bytes amrnb_file(int seconds)
{
    Bytes b{'#', '!', 'A', 'M', 'R', '\n'};
    void *enc = Encoder_Interface_init(0);
    auto pcm = synth(1, 8000, 8000 * seconds);
    for (size_t f = 0; f + 160 <= pcm.size(); f += 160) {
        uint8_t out[500];
        int n = Encoder_Interface_Encode(enc, MR122, &pcm[f], out, 0);
        b.insert(b.end(), out, out + n);
    }
    Encoder_Interface_exit(enc);
    return b;
}

Bytes amrwb_file(int seconds)
{
    Bytes b{'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n'};
    std::mt19937 rng(1);
    for (int f = 0; f < 50 * seconds; ++f) {
        unsigned ft = 8;
        b.push_back(uint8_t(ft << 3 | 4));
        for (int i = 0; i < amrwb_sizes[ft]; ++i) b.push_back(uint8_t(rng()));
    }
    return b;
}

bool mp3_from_wav(const std::string &wav, const std::string &mp3)
{
    return system(("lame --quiet -b 128 " + wav + " " + mp3 + " 2>/dev/null").c_str()) == 0;
}

size_t bare_wav(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    lseek(fd, 44, SEEK_SET);
    uint8_t buf[512];
    static uint8_t out[512];
    size_t total = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        memcpy(out, buf, size_t(n));
        g_sink = g_sink + out[0];
        total += size_t(n);
    }
    close(fd);
    return total;
}

size_t bare_amr(const std::string &path, bool wide, FILE *out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return 0;
    uint8_t frame[500];
    int16_t pcm[320];
    uint8_t pcm_out[640];
    size_t total = 0;
    if (fread(frame, 1, wide ? 9 : 6, f) == 0) {
        fclose(f);
        return 0;
    }
    void *dec = wide ? D_IF_init() : Decoder_Interface_init();
    const int32_t *sizes = wide ? amrwb_sizes : amrnb_sizes;
    int samples = wide ? 320 : 160;
    while (fread(frame, 1, 1, f) == 1) {
        int32_t size = sizes[(frame[0] >> 3) & 15];
        if (size < 0 || fread(frame + 1, 1, size_t(size), f) != size_t(size)) break;
        if (wide)
            D_IF_decode(dec, frame, pcm, 0);
        else
            Decoder_Interface_Decode(dec, frame, pcm, 0);
        for (int i = 0; i < samples; ++i) {
            pcm_out[2 * i] = uint8_t(pcm[i]);
            pcm_out[2 * i + 1] = uint8_t(pcm[i] >> 8);
        }
        g_sink = g_sink + pcm_out[0];
        if (out) fwrite(pcm_out, 1, size_t(2 * samples), out);
        total += size_t(2 * samples);
    }
    if (wide)
        D_IF_exit(dec);
    else
        Decoder_Interface_exit(dec);
    fclose(f);
    return total;
}

size_t bare_mp3(const std::string &path)
{
    Bytes in = read_file(path);
    in.resize(in.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_buffer(&stream, in.data(), in.size());
    static int16_t out[1152 * 2];
    size_t total = 0;
    for (;;) {
        if (mad_frame_decode(&frame, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) continue;
            break;
        }
        mad_synth_frame(&synth, &frame);
        unsigned k = 0;
        for (unsigned i = 0; i < synth.pcm.length; ++i)
            for (unsigned c = 0; c < synth.pcm.channels; ++c) out[k++] = scale(synth.pcm.samples[c][i]);
        g_sink = g_sink + uint16_t(out[0]);
        total += 2 * size_t(k);
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return total;
}

int finished_cb(int, int result)
{
    if (result == AUD_PLAYER_FINISHED) g_finished = true;
    return 0;
}

int start_play(const std::string &path, int *fd)
{
    *fd = open(path.c_str(), O_RDONLY);
    g_finished = false;
    int h = Ka_AudPlayer_PlayFile(nullptr, *fd, 0, finished_cb);
    if (h < 0) {
        fprintf(stderr, "cannot play %s\n", path.c_str());
        close(*fd);
        *fd = -1;
    }
    return h;
}

const GateFormat kGateFormats[kGateFormatCount] = {
    {"mp3", ".mp3", bare_mp3},
    {"amrnb", ".amr", [](const std::string &p) { return bare_amr(p, false); }},
    {"amrwb", ".awb", [](const std::string &p) { return bare_amr(p, true); }},
    {"wav", ".wav", bare_wav},
};

const GateFormat *gate_format(const char *name)
{
    for (auto &f : kGateFormats)
        if (strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

std::string gate_file(const std::string &dir, const GateFormat &f)
{
    return dir + "/" + f.name + f.ext;
}

// The files made as the tests and bench_files make theirs.
bool make_gate_media(const std::string &dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::string wav = gate_file(dir, kGateFormats[3]);
    write_file(wav, wav_file(2, 44100, synth(2, 44100, 44100 * kGateSeconds)));
    write_file(gate_file(dir, kGateFormats[1]), amrnb_file(kGateSeconds));
    write_file(gate_file(dir, kGateFormats[2]), amrwb_file(kGateSeconds));
    if (!mp3_from_wav(wav, gate_file(dir, kGateFormats[0]))) {
        fprintf(stderr, "lame cannot make the MP3 file (scripts/install-deps.sh installs it)\n");
        return false;
    }
    return true;
}

}  // namespace ka_bench
