// SPDX-License-Identifier: MIT
// Stand-ins for the AMR codec libraries, linked into the fuzz targets in
// place of libopencore-amrnb and libopencore-amrwb (unless
// KA_FUZZ_REAL_CODECS is on).
//
// Why: the codec libraries are not built with coverage or ASan, so fuzzing
// through them finds nothing in them and only spends time: a real AMR-WB
// frame costs about 45 us to decode, an AMR-NB frame 19 us and an AMR-NB
// encode 90 us, against about 100 us for everything else a fuzz input costs.
// What the targets are after is the library's own code: the frame reader,
// its buffers and its use of the codec interface. The stand-ins check that
// use where the real libraries would not:
//  - a decoder reads the header byte and exactly the payload its frame type
//    has, and writes every output sample, so a frame or sample buffer that
//    is too short shows as an ASan error in the caller's buffer;
//  - a state is a heap block: a decoder or encoder never released is a leak,
//    one used after release or released twice an ASan error;
//  - an AMR-WB frame of a type the reader must refuse (10 to 14) traps, and
//    so does an encoder asked for another mode than MR795.
// Output samples depend on the payload, so what the targets hand on varies
// with the input as real audio would.
#include <stdint.h>
#include <stdlib.h>

#include <sanitizer/asan_interface.h>

#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>
#include <opencore-amrwb/dec_if.h>

namespace {

constexpr int kNbSizes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
constexpr int kWbSizes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, -1, 0};

enum : uint32_t { kNbDec = 0x4e424443, kWbDec = 0x57424443, kNbEnc = 0x4e42454e };

struct State {
    uint32_t kind;
    uint32_t frames;
    uint32_t silent;
    int dtx;
};

void *make_state(uint32_t kind, int dtx = 0)
{
    auto *s = static_cast<State *>(malloc(sizeof(State)));
    if (!s) return nullptr;
    *s = State{kind, 0, 0, dtx};
    return s;
}

State *state_of(void *p, uint32_t kind)
{
    auto *s = static_cast<State *>(p);
    if (!s || s->kind != kind) __builtin_trap();
    return s;
}

void release(void *p, uint32_t kind)
{
    State *s = state_of(p, kind);
    s->kind = 0;
    free(s);
}

// The caller's buffers must hold the whole frame and all output samples:
// one check of each range (this file is built without instrumentation, so
// the loops below cost no more than they would in the real library).
void check_range(const void *p, size_t n)
{
    if (__asan_region_is_poisoned(const_cast<void *>(p), n)) __builtin_trap();
}

void decode(State *s, const unsigned char *in, short *out, int samples, int size)
{
    check_range(in, size_t(1 + size));
    check_range(out, sizeof(short) * size_t(samples));
    uint32_t acc = in[0];
    for (int i = 1; i <= size; ++i) acc = acc * 31u + in[i];
    ++s->frames;
    for (int i = 0; i < samples; ++i) out[i] = short(uint16_t(acc + uint32_t(i) * (s->frames | 1u)));
}

}  // namespace

extern "C" {

void *Decoder_Interface_init(void)
{
    return make_state(kNbDec);
}
void Decoder_Interface_exit(void *state)
{
    release(state, kNbDec);
}
void Decoder_Interface_Decode(void *state, const unsigned char *in, short *out, int)
{
    decode(state_of(state, kNbDec), in, out, 160, kNbSizes[(in[0] >> 3) & 15]);
}

void *D_IF_init(void)
{
    return make_state(kWbDec);
}
void D_IF_exit(void *state)
{
    release(state, kWbDec);
}
void D_IF_decode(void *state, const unsigned char *bits, short *synth, int)
{
    int size = kWbSizes[(bits[0] >> 3) & 15];
    if (size < 0) __builtin_trap();  // the reader stops at these types
    decode(state_of(state, kWbDec), bits, synth, 320, size);
}

void *Encoder_Interface_init(int dtx)
{
    return make_state(kNbEnc, dtx);
}
void Encoder_Interface_exit(void *state)
{
    release(state, kNbEnc);
}
int Encoder_Interface_Encode(void *state, enum Mode mode, const short *speech, unsigned char *out, int)
{
    State *s = state_of(state, kNbEnc);
    if (mode != MR795) __builtin_trap();
    check_range(speech, 160 * sizeof(short));
    check_range(out, 32);
    uint32_t acc = 0;
    bool silent = true;
    for (int i = 0; i < 160; ++i) {
        acc = acc * 31u + uint16_t(speech[i]);
        silent = silent && speech[i] == 0;
    }
    ++s->frames;
    // With DTX, silence gives a silence descriptor now and then and no-data
    // frames in between, as the real encoder does.
    int type = 5;
    if (s->dtx && silent)
        type = s->silent++ % 8 == 0 ? 8 : 15;
    else
        s->silent = 0;
    out[0] = (unsigned char)(type << 3 | 0x04);
    for (int i = 1; i <= kNbSizes[type]; ++i) out[i] = (unsigned char)(acc >> (i % 4 * 8));
    return 1 + kNbSizes[type];
}

}  // extern "C"
