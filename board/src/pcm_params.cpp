// SPDX-License-Identifier: MIT
// Hardware parameter refinement of the PCM devices: what the card offers,
// and the one configuration chosen inside a client's restrictions.
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <string.h>

#include <algorithm>

#include "kb_pcm.h"

namespace kb {
namespace {

// ---- masks and intervals -------------------------------------------------

snd_mask *mask(snd_pcm_hw_params *p, int n)
{
    return &p->masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK];
}
snd_interval *iv(snd_pcm_hw_params *p, int n)
{
    return &p->intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

bool mask_has(const snd_mask *m, unsigned bit)
{
    return m->bits[bit >> 5] & (1u << (bit & 31));
}
void mask_set_only(snd_mask *m, unsigned bit)
{
    memset(m->bits, 0, sizeof m->bits);
    m->bits[bit >> 5] = 1u << (bit & 31);
}

struct Range {
    uint64_t lo = 0, hi = UINT_MAX;
    bool fixed() const { return lo == hi; }
};
// The client's range for an interval (empty when lo > hi).
Range range(snd_pcm_hw_params *p, int n)
{
    const snd_interval *i = iv(p, n);
    Range r;
    if (i->empty) return {1, 0};
    r.lo = uint64_t(i->min) + (i->openmin ? 1 : 0);
    r.hi = i->max == UINT_MAX ? UINT_MAX : uint64_t(i->max) - (i->openmax && i->max ? 1 : 0);
    return r;
}
void set_iv(snd_pcm_hw_params *p, int n, uint64_t v)
{
    snd_interval *i = iv(p, n);
    i->min = i->max = unsigned(std::min<uint64_t>(v, UINT_MAX));
    i->openmin = i->openmax = 0;
    i->integer = 1;
    i->empty = 0;
}
uint64_t div_up(uint64_t a, uint64_t b)
{
    return b ? (a + b - 1) / b : 0;
}

struct FormatInfo {
    unsigned format, bits, msbits;
};
constexpr FormatInfo kFormats[] = {
    {SNDRV_PCM_FORMAT_S16_LE, 16, 16},
    {SNDRV_PCM_FORMAT_S8, 8, 8},
    {SNDRV_PCM_FORMAT_S24_LE, 32, 24},
    {SNDRV_PCM_FORMAT_S32_LE, 32, 32},
};
constexpr unsigned kChannels[] = {1, 2, 4, 6, 8};
constexpr unsigned kRateMin = 8000, kRateMax = 48000;
// The devices' geometry by default: the smallest period, 20 ms, and the
// largest buffer, 80 ms (as four such periods in whole frames, so that a rate
// whose 20 ms is no whole number of frames still gets four periods).
constexpr double kPeriodMs = 20;
constexpr uint64_t kPeriods = 4;
constexpr uint64_t kMaxPeriod = uint64_t(1) << 20, kMaxBuffer = uint64_t(1) << 22;  // frames

}  // namespace

// Picks one configuration inside the client's restrictions (and fills the
// record with it), or returns EINVAL.
int hw_choose(snd_pcm_hw_params *p, HwChoice &c)
{
    snd_mask *am = mask(p, SNDRV_PCM_HW_PARAM_ACCESS);
    if (mask_has(am, SNDRV_PCM_ACCESS_RW_INTERLEAVED))
        c.access = SNDRV_PCM_ACCESS_RW_INTERLEAVED;
    else if (mask_has(am, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED))
        c.access = SNDRV_PCM_ACCESS_MMAP_INTERLEAVED;
    else
        return EINVAL;

    const FormatInfo *fi = nullptr;
    snd_mask *fm = mask(p, SNDRV_PCM_HW_PARAM_FORMAT);
    for (const auto &f : kFormats)
        if (!fi && mask_has(fm, f.format)) fi = &f;
    if (!fi) return EINVAL;
    c.format = fi->format;
    c.msbits = fi->msbits;
    if (!mask_has(mask(p, SNDRV_PCM_HW_PARAM_SUBFORMAT), SNDRV_PCM_SUBFORMAT_STD)) return EINVAL;

    Range ch = range(p, SNDRV_PCM_HW_PARAM_CHANNELS);
    c.channels = 0;
    for (unsigned n : kChannels)
        if (!c.channels && n >= ch.lo && n <= ch.hi) c.channels = n;
    if (!c.channels) return EINVAL;

    Range rt = range(p, SNDRV_PCM_HW_PARAM_RATE);
    uint64_t rlo = std::max<uint64_t>(rt.lo, kRateMin), rhi = std::min<uint64_t>(rt.hi, kRateMax);
    if (rlo > rhi) return EINVAL;
    c.rate = unsigned(rlo);

    // The sample and frame sizes follow the format (its physical width, as
    // the kernel's rules derive them): a client that fixes other sizes is
    // refused.
    Range sb = range(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS);
    if (sb.lo > fi->bits || sb.hi < fi->bits) return EINVAL;
    c.sample_bits = fi->bits;
    c.frame_bytes = fi->bits / 8 * c.channels;
    Range fb = range(p, SNDRV_PCM_HW_PARAM_FRAME_BITS);
    if (fb.lo > uint64_t(c.frame_bytes) * 8 || fb.hi < uint64_t(c.frame_bytes) * 8) return EINVAL;

    // The device's geometry, in frames: its smallest period (rounded up to
    // whole frames) and its largest buffer (rounded down).
    const PcmBoard &b = pcm();
    auto frames = [&c](double ms, bool up) {
        double f = double(c.rate) * ms / 1000;
        return std::clamp<uint64_t>(uint64_t(up ? ceil(f - 1e-6) : floor(f + 1e-6)), 1, kMaxBuffer);
    };
    const uint64_t dev_period = frames(b.period_ms > 0 ? b.period_ms : kPeriodMs, true);
    const uint64_t dev_buffer =
        b.buffer_ms > 0 ? frames(b.buffer_ms, false) : kPeriods * frames(kPeriodMs, true);

    // Period: as the kernel chooses, the smallest the client's limits allow
    // at or above the device's (or, when the client wants one below it, the
    // largest it allows). Times count in whole microseconds, so a time limit
    // holds within a microsecond's rounding, as the kernel's refinement of
    // the record it hands back allows.
    uint64_t plo = 1, phi = kMaxPeriod;
    Range pt = range(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME);
    plo = std::max(plo, pt.lo * c.rate / 1000000);
    if (pt.hi != UINT_MAX) phi = std::min(phi, div_up(pt.hi * c.rate, 1000000));
    Range ps = range(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE);
    plo = std::max(plo, ps.lo);
    phi = std::min(phi, ps.hi);
    Range pb = range(p, SNDRV_PCM_HW_PARAM_PERIOD_BYTES);
    plo = std::max(plo, div_up(pb.lo, c.frame_bytes));
    if (pb.hi != UINT_MAX) phi = std::min(phi, pb.hi / c.frame_bytes);
    if (plo > phi) return EINVAL;
    c.period = std::clamp<uint64_t>(dev_period, plo, phi);

    // Then the largest buffer of whole periods at or below the device's
    // (at least one period) that the client's buffer limits allow.
    uint64_t nlo = 1, nhi = kMaxBuffer / c.period;
    Range np = range(p, SNDRV_PCM_HW_PARAM_PERIODS);
    nlo = std::max(nlo, np.lo);
    nhi = std::min(nhi, np.hi);
    Range bs = range(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE);
    Range bt = range(p, SNDRV_PCM_HW_PARAM_BUFFER_TIME);
    Range bb = range(p, SNDRV_PCM_HW_PARAM_BUFFER_BYTES);
    uint64_t blo = std::max({bs.lo, bt.lo * c.rate / 1000000, div_up(bb.lo, c.frame_bytes)});
    uint64_t bhi = bs.hi;
    if (bt.hi != UINT_MAX) bhi = std::min(bhi, div_up(bt.hi * c.rate, 1000000));
    if (bb.hi != UINT_MAX) bhi = std::min(bhi, bb.hi / c.frame_bytes);
    nlo = std::max(nlo, div_up(blo, c.period));
    nhi = std::min(nhi, bhi / c.period);
    if (nlo > nhi) return EINVAL;
    c.periods = std::clamp<uint64_t>(dev_buffer / c.period, nlo, nhi);

    mask_set_only(am, c.access);
    mask_set_only(fm, c.format);
    mask_set_only(mask(p, SNDRV_PCM_HW_PARAM_SUBFORMAT), SNDRV_PCM_SUBFORMAT_STD);
    set_iv(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, c.sample_bits);
    set_iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS, uint64_t(c.frame_bytes) * 8);
    set_iv(p, SNDRV_PCM_HW_PARAM_CHANNELS, c.channels);
    set_iv(p, SNDRV_PCM_HW_PARAM_RATE, c.rate);
    set_iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME, c.period * 1000000 / c.rate);
    set_iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE, c.period);
    set_iv(p, SNDRV_PCM_HW_PARAM_PERIOD_BYTES, c.period * c.frame_bytes);
    set_iv(p, SNDRV_PCM_HW_PARAM_PERIODS, c.periods);
    set_iv(p, SNDRV_PCM_HW_PARAM_BUFFER_TIME, c.period * c.periods * 1000000 / c.rate);
    set_iv(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE, c.period * c.periods);
    set_iv(p, SNDRV_PCM_HW_PARAM_BUFFER_BYTES, c.period * c.periods * c.frame_bytes);
    set_iv(p, SNDRV_PCM_HW_PARAM_TICK_TIME, 0);
    p->cmask = ~0u;
    p->info = SNDRV_PCM_INFO_INTERLEAVED | SNDRV_PCM_INFO_BLOCK_TRANSFER;
    p->msbits = c.msbits;
    p->rate_num = c.rate;
    p->rate_den = 1;
    p->fifo_size = 0;
    return 0;
}

}  // namespace kb

using namespace kb;

extern "C" {

void kb_set_geometry(double period_ms, double buffer_ms)
{
    ensure_init();
    Guard g;
    pcm().period_ms = period_ms > 0 ? period_ms : 0;
    pcm().buffer_ms = buffer_ms > 0 ? buffer_ms : 0;
}

}  // extern "C"
