// SPDX-License-Identifier: MIT
// AMR to WAV conversion, in the caller's thread, with a small stdio WAV
// writer. Messages go to standard error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrwb/dec_if.h>

#include "ka_audio_files.h"
#include "ka_files_internal.h"

using namespace ka_files;

extern "C" {
const int32_t nb_sizes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
const int32_t wb_sizes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, -1, 0};
}

namespace {

// The header for `len` data bytes, at the stream's position.
void wav_put_header(const wav_sink *s, int len)
{
    int block = (s->bits / 8) * s->channels;
    auto h = wav_header({uint32_t(s->channels), uint32_t(s->rate), uint32_t(s->rate) * uint32_t(block),
                         uint32_t(block), uint32_t(s->bits)},
                        uint32_t(len));
    fwrite(h.data(), 1, h.size(), s->file);
}

// Closes the input stream on every way out.
struct InFile {
    FILE *f;
    ~InFile()
    {
        if (f) fclose(f);
    }
};

// The codec differences between the two conversions.
struct AmrKind {
    const char *magic;
    size_t magic_len;
    int rate;
    int samples;
    const int32_t *sizes;
    void *(*init)();
    void (*decode)(void *state, const uint8_t *frame, int16_t *out);
    void (*exit)(void *state);
    void (*bad_header)(size_t got, const char *header);
};

void *nb_init() { return Decoder_Interface_init(); }
void nb_decode(void *s, const uint8_t *f, int16_t *o) { Decoder_Interface_Decode(s, f, o, 0); }
void nb_exit(void *s) { Decoder_Interface_exit(s); }
void nb_bad(size_t got, const char *header) { fprintf(stderr, "Bad header, n=%d, header=%s\n", int(got), header); }

void *wb_init() { return D_IF_init(); }
void wb_decode(void *s, const uint8_t *f, int16_t *o) { D_IF_decode(s, f, o, 0); }
void wb_exit(void *s) { D_IF_exit(s); }
void wb_bad(size_t, const char *) { fprintf(stderr, "Bad header, NOT AMR-WB file\n"); }

constexpr AmrKind kNb{kAmrNbMagic, kAmrNbMagicLen, 8000, kAmrNbSamples, nb_sizes, nb_init, nb_decode, nb_exit, nb_bad};
constexpr AmrKind kWb{kAmrWbMagic, kAmrWbMagicLen, 16000, kAmrWbSamples, wb_sizes, wb_init, wb_decode, wb_exit, wb_bad};

int convert(const AmrKind &k, const char *in, const char *out)
{
    if (!in || !out) return -1;
    // Wait: the conversion reads and writes the named files in the caller's
    // thread; it waits for no other thread and holds no lock of the library.
    InFile input{fopen(in, "rb")};
    if (!input.f) {
        perror(in);
        return -1;
    }
    char header[16] = {};
    size_t got = fread(header, 1, k.magic_len, input.f);
    if (got < k.magic_len || memcmp(header, k.magic, k.magic_len) != 0) {
        k.bad_header(got, header);
        return -1;
    }
    wav_sink *sink = wav_write_open(out, k.rate, 16, 1);
    if (!sink) {
        fprintf(stderr, "Unable to open %s\n", out);
        return -1;
    }
    uint8_t frame[kAmrFrameMax];
    int16_t samples[kAmrWbSamples];
    uint8_t bytes[2 * kAmrWbSamples];
    void *dec = k.init();
    int frames = 0;
    for (;;) {
        if (fread(frame, 1, 1, input.f) != 1) break;
        int32_t size = k.sizes[amr_frame_type(frame[0])];
        if (size < 0) break;
        if (fread(frame + 1, 1, size_t(size), input.f) != size_t(size)) break;  // partial frame dropped
        k.decode(dec, frame, samples);
        samples_to_le(samples, bytes, size_t(k.samples));
        ++frames;
        wav_write_data(sink, bytes, 2 * k.samples);
    }
    fclose(input.f);
    input.f = nullptr;
    k.exit(dec);
    wav_write_close(sink);
    return frames;
}

}  // namespace

extern "C" {

KA_API wav_sink *wav_write_open(const char *path, int rate, int bits, int channels)
{
    auto *s = static_cast<wav_sink *>(calloc(1, sizeof(wav_sink)));
    if (!s) return nullptr;
    s->file = path ? fopen(path, "wb") : nullptr;
    if (!s->file) {
        free(s);
        return nullptr;
    }
    s->rate = rate;
    s->bits = bits;
    s->channels = channels;
    s->data_len = 0;
    wav_put_header(s, 0);
    return s;
}

KA_API void wav_write_data(wav_sink *sink, const void *data, int len)
{
    // A negative length writes nothing.
    if (!sink || !sink->file || len < 0) return;
    fwrite(data, size_t(len), 1, sink->file);
    sink->data_len = int(uint32_t(sink->data_len) + uint32_t(len));
}

KA_API void wav_write_close(wav_sink *sink)
{
    if (!sink) return;
    if (sink->file) {
        fseek(sink->file, 0, SEEK_SET);
        wav_put_header(sink, sink->data_len);
        fclose(sink->file);
    }
    free(sink);
}

KA_API int AMRWB2WAVEFile(const char *in, const char *out) { return convert(kWb, in, out); }

KA_API int AMRNB2WAVEFile(const char *in, const char *out) { return convert(kNb, in, out); }

KA_API int DecodeAMRFileToWAVEFile(const char *in, const char *out)
{
    int r = AMRWB2WAVEFile(in, out);
    return r >= 0 ? r : AMRNB2WAVEFile(in, out);
}

}  // extern "C"
