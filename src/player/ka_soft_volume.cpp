// SPDX-License-Identifier: MIT
// The player's software volume: the default soft_volume operation, which
// scales 16-bit samples in place (the play thread's write applies it to each
// period), and Ka_AudSoft_SetVolume, which sets it per player.
#define KA_LOG_FILE "ka_lib_audio"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "ka_internal.h"

namespace {

// One sample: vol x s in 32-bit signed arithmetic (wrapping instead of
// overflowing for volumes far outside 0..100), divided by 100 with
// truncation toward zero, stored back as 16 bits.
inline int16_t scale_sample(int32_t vol, int16_t s)
{
    const auto prod =
        static_cast<int32_t>(static_cast<uint32_t>(vol) * static_cast<uint32_t>(static_cast<int32_t>(s)));
    return static_cast<int16_t>(prod / 100);
}

// Scales `count` samples starting at `p` in place. The bytes need not be
// aligned: blocks are copied into an aligned local array, scaled there and
// copied back.
//
// For volumes 0..100 a block is scaled in single precision, a loop the
// compiler runs several samples per step: vol x s is an integer below 2^22
// in magnitude, so it and its quotient by 100 are exact or correctly
// rounded floats, and a correctly rounded quotient never crosses an integer
// (a non-integral quotient is at least 0.01 away from one, far more than
// half a float step below 2^15). Truncating it therefore gives exactly the
// integer rule; the unit tests check every sample at every volume. Other
// volumes take the integer rule sample by sample.
void scale_samples(int32_t vol, unsigned char *p, size_t count)
{
    if (vol == 100) return;  // (100 x s) / 100 == s for every sample
    if (vol == 0) {
        memset(p, 0, count * 2);
        return;
    }
    constexpr size_t kBlock = 64;
    int16_t s[kBlock];
    if (vol > 0 && vol < 100) {
        const float fvol = static_cast<float>(vol);
        while (count >= kBlock) {
            memcpy(s, p, sizeof s);
            for (size_t i = 0; i < kBlock; ++i)
                s[i] = static_cast<int16_t>(static_cast<int32_t>(static_cast<float>(s[i]) * fvol / 100.0f));
            memcpy(p, s, sizeof s);
            p += sizeof s;
            count -= kBlock;
        }
    }
    for (; count > 0; --count, p += 2) {
        int16_t v;
        memcpy(&v, p, 2);
        v = scale_sample(vol, v);
        memcpy(p, &v, 2);
    }
}

}  // namespace

int __ka_soft_volume(int vol, void *buf, unsigned len)
{
    if (len == 0 || buf == nullptr) return -1;
    scale_samples(vol, static_cast<unsigned char *>(buf), len / 2);  // an odd last byte stays
    return 0;
}

int Ka_AudSoft_SetVolume(int hdl, unsigned vol)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return -1;
    }
    if (vol == 0xFFFFFFFFu) {
        ka_store(pctx->soft_vol_on, 0);
        return 0;
    }
    if (vol > 100) return -1;
    ka_store(pctx->soft_vol, vol);  // applies from the next period written
    ka_store(pctx->soft_vol_on, 1);
    return 0;
}
