// Sound card 0's PCM devices: parameter negotiation, the kernel's stream
// states, and transfers paced by an emulated sample clock.
//
// Each open of a node is a stream of its own (the card offers several
// substreams per device); the per-device figures of kb_pcm_info add up what
// every stream of the device did. The clock of a running stream is
//   position = hw0 + (now - t0) * rate * speed
// in frames; at speed 0 playback is consumed as fast as it is written and
// capture data is always there, so nothing ever under- or overruns.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <string.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <sound/asound.h>

#include <algorithm>

#include "kb_internal.h"
#include "kb_shim.h"

namespace kb {

struct PcmStream {
    Node *node = nullptr;
    int device = 0;
    int dir = KB_PLAYBACK;
    uint64_t serial = 0;
    int state = SNDRV_PCM_STATE_OPEN;
    // negotiated
    unsigned access = 0, format = 0, channels = 0, rate = 0;
    unsigned frame_bytes = 0, sample_bytes = 0;
    uint64_t period = 0, periods = 0, buffer = 0;  // frames
    // software parameters
    uint64_t avail_min = 1, start_threshold = 1, stop_threshold = 0, boundary = 0;
    // pointers, in frames since PREPARE
    uint64_t appl = 0;
    bool hostless = false;  // started by START: the DSP keeps it running
    double hw = 0;
    double hw0 = 0;
    int64_t t0 = 0;
};

namespace {

constexpr size_t kPlayedCap = size_t(64) << 20;       // bytes kept in memory per device
constexpr size_t kTransfersCap = size_t(4) << 20;    // transfer sizes kept per device

struct Device {
    struct kb_pcm_info info{};
    std::vector<uint8_t> played;
    uint64_t received = 0;
    std::vector<unsigned> transfers;
    // capture source
    int src = 0;  // 0 silence, 1 tone, 2 wav
    double freq = 0, amp = 0;
    std::vector<uint8_t> wav;
    int waiters = 0;  // threads blocked in a transfer
    // WAV output file
    int out_fd = -1;
    uint64_t out_bytes = 0;
    unsigned out_rate = 0, out_channels = 0, out_bits = 0;
};

struct Pcm {
    Device dev[KB_MAX_DEVICES][2];
    std::vector<PcmStream *> streams;
    uint64_t serial = 0;
    double speed = 0;
    std::string out_dir;
};

Pcm &pcm()
{
    static Pcm *p = new Pcm();
    return *p;
}

Device &dev_of(const PcmStream &s) { return pcm().dev[s.device][s.dir]; }

bool valid(int device, int dir)
{
    return device >= 0 && device < KB_MAX_DEVICES && (dir == KB_PLAYBACK || dir == KB_CAPTURE);
}

// ---- WAV output --------------------------------------------------------------

void put_le(uint8_t *p, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}

void write_all(int fd, const void *data, size_t len, off_t at)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t w = pwrite(fd, p, len, at);
        if (w <= 0) return;
        p += w;
        len -= size_t(w);
        at += w;
    }
}

void wav_patch(Device &d)
{
    if (d.out_fd < 0) return;
    uint8_t h[44];
    unsigned ch = d.out_channels ? d.out_channels : 1;
    unsigned bits = d.out_bits ? d.out_bits : 16;
    uint32_t data = uint32_t(std::min<uint64_t>(d.out_bytes, 0xFFFFFFFFu - 36));
    memcpy(h, "RIFF", 4);
    put_le(h + 4, 36 + data, 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);
    put_le(h + 22, ch, 2);
    put_le(h + 24, d.out_rate, 4);
    put_le(h + 28, d.out_rate * ch * bits / 8, 4);
    put_le(h + 32, ch * bits / 8, 2);
    put_le(h + 34, bits, 2);
    memcpy(h + 36, "data", 4);
    put_le(h + 40, data, 4);
    write_all(d.out_fd, h, sizeof h, 0);
}

void wav_close(Device &d)
{
    if (d.out_fd < 0) return;
    wav_patch(d);
    kbi_real_close(d.out_fd);
    d.out_fd = -1;
    d.out_bytes = 0;
}

void wav_append(Device &d, const PcmStream &s, int device, const uint8_t *data, size_t len)
{
    Pcm &p = pcm();
    if (p.out_dir.empty()) return;
    if (d.out_fd < 0) {
        char path[PATH_MAX];
        snprintf(path, sizeof path, "%s/pcmC0D%dp.wav", p.out_dir.c_str(), device);
        d.out_fd = kbi_real_open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        d.out_bytes = 0;
        if (d.out_fd < 0) {
            logf("cannot create %s: %s", path, strerror(errno));
            return;
        }
    }
    d.out_rate = s.rate;
    d.out_channels = s.channels;
    d.out_bits = s.channels ? s.frame_bytes * 8 / s.channels : 16;
    if (d.out_bytes == 0) wav_patch(d);
    write_all(d.out_fd, data, len, off_t(44 + d.out_bytes));
    d.out_bytes += len;
}

// ---- clock -----------------------------------------------------------------

bool running(const PcmStream &s)
{
    return s.state == SNDRV_PCM_STATE_RUNNING || s.state == SNDRV_PCM_STATE_DRAINING;
}

void start(PcmStream &s, int64_t now)
{
    s.state = SNDRV_PCM_STATE_RUNNING;
    s.t0 = now;
    s.hw0 = s.hw;
    broadcast();
}

void xrun(PcmStream &s)
{
    s.state = SNDRV_PCM_STATE_XRUN;
    ++dev_of(s).info.underruns;
    logf("pcmC0D%d%c: %s", s.device, s.dir ? 'c' : 'p', s.dir ? "overrun" : "underrun");
    broadcast();
}

double position(const PcmStream &s, int64_t now)
{
    return s.hw0 + double(now - s.t0) * 1e-9 * s.rate * pcm().speed;
}

// Brings the stream's hardware pointer up to `now`.
void advance(PcmStream &s, int64_t now)
{
    if (!running(s)) return;
    double sp = pcm().speed;
    if (s.dir == KB_PLAYBACK) {
        double pos = sp > 0 ? position(s, now) : double(s.appl);
        if (pos < double(s.appl)) {
            s.hw = pos;
            return;
        }
        s.hw = double(s.appl);
        if (s.state == SNDRV_PCM_STATE_DRAINING) {
            s.state = SNDRV_PCM_STATE_SETUP;
            broadcast();
        } else if (sp > 0 && pos > double(s.appl) && s.stop_threshold < s.boundary &&
                   !s.hostless) {
            xrun(s);
        } else {
            // Nothing left to play and nothing stops the stream: it idles.
            s.hw0 = s.hw;
            s.t0 = now;
        }
    } else {
        if (sp <= 0) {
            s.hw = double(s.appl + s.buffer);
            s.hw0 = s.hw;
            s.t0 = now;
            return;
        }
        s.hw = position(s, now);
        if (s.hw - double(s.appl) > double(s.buffer) && s.stop_threshold < s.boundary &&
            !s.hostless)
            xrun(s);
    }
}

// When the clock of a running stream reaches `target` frames.
int64_t time_at(const PcmStream &s, double target)
{
    double sp = pcm().speed;
    if (sp <= 0 || s.rate == 0) return now_ns();
    // At most an hour ahead: a nearly stopped clock must not overflow the
    // deadline (waiters re-check whenever the board changes anyway).
    double ns = std::min(ceil((target - s.hw0) / (double(s.rate) * sp) * 1e9), 3.6e12);
    return s.t0 + int64_t(ns) + 1000;
}

// ---- capture data --------------------------------------------------------------

void put_sample(uint8_t *p, unsigned width, unsigned format, int v16)
{
    int32_t v;
    switch (width) {
    case 1:
        p[0] = uint8_t(int8_t(v16 >> 8));
        return;
    case 2:
        put_le(p, uint32_t(v16), 2);
        return;
    case 3:
        put_le(p, uint32_t(v16) << 8, 3);
        return;
    default:
        v = format == SNDRV_PCM_FORMAT_S24_LE ? int32_t(uint32_t(v16) << 8)
                                              : int32_t(uint32_t(v16) << 16);
        put_le(p, uint32_t(v), 4);
        for (unsigned i = 4; i < width; ++i) p[i] = 0;
    }
}

// Fills frames [first, first + n) of the stream's capture data.
void produce(const PcmStream &s, uint64_t first, uint64_t n, uint8_t *out)
{
    const Device &d = dev_of(s);
    size_t bytes = size_t(n) * s.frame_bytes;
    if (d.src == 1 && s.rate) {
        unsigned w = s.sample_bytes ? s.sample_bytes : 2;
        for (uint64_t i = 0; i < n; ++i) {
            double t = double(first + i) / s.rate;
            int v = int16_t(lrint(d.amp * sin(2 * M_PI * d.freq * t)));
            uint8_t *f = out + i * s.frame_bytes;
            for (unsigned c = 0; c < s.channels && (c + 1) * w <= s.frame_bytes; ++c)
                put_sample(f + c * w, w, s.format, v);
        }
        return;
    }
    memset(out, 0, bytes);
    if (d.src == 2) {
        uint64_t off = first * s.frame_bytes;
        if (off < d.wav.size()) {
            size_t k = std::min<size_t>(bytes, d.wav.size() - size_t(off));
            memcpy(out, d.wav.data() + off, k);
        }
    }
}

// ---- parameters ----------------------------------------------------------------

snd_mask *mask(snd_pcm_hw_params *p, int n) { return &p->masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK]; }
snd_interval *iv(snd_pcm_hw_params *p, int n)
{
    return &p->intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

bool mask_has(const snd_mask *m, unsigned bit) { return m->bits[bit >> 5] & (1u << (bit & 31)); }
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
uint64_t div_up(uint64_t a, uint64_t b) { return b ? (a + b - 1) / b : 0; }

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
constexpr unsigned kPeriodUs = 20000, kPeriods = 4;

struct Choice {
    unsigned access, format, channels, rate, sample_bits, frame_bytes, msbits;
    uint64_t period, periods;
};

// Picks one configuration inside the client's restrictions (and fills the
// record with it), or returns EINVAL.
int choose(snd_pcm_hw_params *p, Choice &c)
{
    snd_mask *am = mask(p, SNDRV_PCM_HW_PARAM_ACCESS);
    if (mask_has(am, SNDRV_PCM_ACCESS_RW_INTERLEAVED)) c.access = SNDRV_PCM_ACCESS_RW_INTERLEAVED;
    else if (mask_has(am, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED))
        c.access = SNDRV_PCM_ACCESS_MMAP_INTERLEAVED;
    else return EINVAL;

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

    // The sample and frame sizes a client fixes are taken as they are (a
    // client may count 16 bits per sample whatever the format); left open,
    // they follow the format.
    Range sb = range(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS);
    c.sample_bits = sb.fixed() && sb.lo > 0 ? unsigned(sb.lo) : fi->bits;
    Range fb = range(p, SNDRV_PCM_HW_PARAM_FRAME_BITS);
    if (fb.fixed() && fb.lo > 0) {
        if (fb.lo % 8) return EINVAL;
        c.frame_bytes = unsigned(fb.lo / 8);
    } else {
        c.frame_bytes = fi->bits / 8 * c.channels;
    }

    // Period: 20 ms unless the client's period limits say otherwise.
    uint64_t plo = 1, phi = uint64_t(1) << 20;
    Range pt = range(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME);
    plo = std::max(plo, div_up(pt.lo * c.rate, 1000000));
    if (pt.hi != UINT_MAX) phi = std::min(phi, pt.hi * c.rate / 1000000);
    Range ps = range(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE);
    plo = std::max(plo, ps.lo);
    phi = std::min(phi, ps.hi);
    Range pb = range(p, SNDRV_PCM_HW_PARAM_PERIOD_BYTES);
    plo = std::max(plo, div_up(pb.lo, c.frame_bytes));
    if (pb.hi != UINT_MAX) phi = std::min(phi, pb.hi / c.frame_bytes);
    if (plo > phi) return EINVAL;
    c.period = std::clamp<uint64_t>(uint64_t(c.rate) * kPeriodUs / 1000000, plo, phi);

    // Periods per buffer: 4 unless the buffer limits say otherwise.
    uint64_t nlo = 1, nhi = 1024;
    Range np = range(p, SNDRV_PCM_HW_PARAM_PERIODS);
    nlo = std::max(nlo, np.lo);
    nhi = std::min(nhi, np.hi);
    Range bs = range(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE);
    Range bt = range(p, SNDRV_PCM_HW_PARAM_BUFFER_TIME);
    Range bb = range(p, SNDRV_PCM_HW_PARAM_BUFFER_BYTES);
    uint64_t blo = std::max({bs.lo, div_up(bt.lo * c.rate, 1000000), div_up(bb.lo, c.frame_bytes)});
    uint64_t bhi = bs.hi;
    if (bt.hi != UINT_MAX) bhi = std::min(bhi, bt.hi * c.rate / 1000000);
    if (bb.hi != UINT_MAX) bhi = std::min(bhi, bb.hi / c.frame_bytes);
    nlo = std::max(nlo, div_up(blo, c.period));
    nhi = std::min(nhi, bhi / c.period);
    if (nlo > nhi) return EINVAL;
    c.periods = std::clamp<uint64_t>(kPeriods, nlo, nhi);

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

// ---- the ioctls -------------------------------------------------------------

bool prepared_or_running(const PcmStream &s)
{
    return s.state == SNDRV_PCM_STATE_PREPARED || s.state == SNDRV_PCM_STATE_RUNNING;
}

int hw_params(PcmStream &s, snd_pcm_hw_params *p, bool commit)
{
    if (commit) {
        if (s.state != SNDRV_PCM_STATE_OPEN && s.state != SNDRV_PCM_STATE_SETUP &&
            s.state != SNDRV_PCM_STATE_PREPARED)
            return EBADFD;
        if (int e = fault_check(KB_FAULT_PCM_HW_PARAMS, s.device)) return e;
    }
    Choice c{};
    if (int e = choose(p, c)) return e;
    if (!commit) return 0;
    s.access = c.access;
    s.format = c.format;
    s.channels = c.channels;
    s.rate = c.rate;
    s.frame_bytes = c.frame_bytes;
    s.sample_bytes = c.frame_bytes / c.channels;
    s.period = c.period;
    s.periods = c.periods;
    s.buffer = c.period * c.periods;
    s.boundary = s.buffer;
    while (s.boundary * 2 <= uint64_t(LONG_MAX) - s.buffer) s.boundary *= 2;
    s.avail_min = s.period;
    s.start_threshold = 1;
    s.stop_threshold = s.buffer;
    s.appl = 0;
    s.hw = s.hw0 = 0;
    s.state = SNDRV_PCM_STATE_SETUP;
    struct kb_pcm_info &i = dev_of(s).info;
    i.access = c.access;
    i.format = c.format;
    i.channels = c.channels;
    i.rate = c.rate;
    i.period_bytes = unsigned(c.period * c.frame_bytes);
    i.buffer_bytes = unsigned(s.buffer * c.frame_bytes);
    i.periods = unsigned(c.periods);
    ++i.hw_params;
    logf("pcmC0D%d%c: hw_params access %u format %u channels %u rate %u period %u bytes x %u",
         s.device, s.dir ? 'c' : 'p', c.access, c.format, c.channels, c.rate, i.period_bytes,
         i.periods);
    broadcast();
    return 0;
}

int sw_params(PcmStream &s, snd_pcm_sw_params *p)
{
    if (s.state == SNDRV_PCM_STATE_OPEN) return EBADFD;
    if (int e = fault_check(KB_FAULT_PCM_SW_PARAMS, s.device)) return e;
    if (p->avail_min == 0) return EINVAL;
    if (p->tstamp_mode > SNDRV_PCM_TSTAMP_LAST) return EINVAL;
    s.avail_min = p->avail_min;
    s.start_threshold = p->start_threshold;
    s.stop_threshold = p->stop_threshold;
    p->boundary = snd_pcm_uframes_t(s.boundary);
    struct kb_pcm_info &i = dev_of(s).info;
    i.avail_min = p->avail_min;
    i.start_threshold = p->start_threshold;
    i.stop_threshold = p->stop_threshold;
    ++i.sw_params;
    return 0;
}

int prepare(PcmStream &s)
{
    if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED) return EBADFD;
    if (running(s)) return EBUSY;
    if (int e = fault_check(KB_FAULT_PCM_PREPARE, s.device)) return e;
    s.state = SNDRV_PCM_STATE_PREPARED;
    s.hostless = false;
    s.appl = 0;
    s.hw = s.hw0 = 0;
    ++dev_of(s).info.prepares;
    broadcast();
    return 0;
}

int start_ioctl(PcmStream &s, int64_t now)
{
    if (s.state != SNDRV_PCM_STATE_PREPARED) return EBADFD;
    if (int e = fault_check(KB_FAULT_PCM_START, s.device)) return e;
    // The card's front ends can run hostless: started without data, the DSP
    // keeps the stream going, so a START with nothing queued is not refused
    // as an underrun (EPIPE) and such a stream never underruns.
    s.hostless = true;
    start(s, now);
    ++dev_of(s).info.starts;
    logf("pcmC0D%d%c: started", s.device, s.dir ? 'c' : 'p');
    return 0;
}

void record_transfer(PcmStream &s, uint64_t frames)
{
    Device &d = dev_of(s);
    unsigned bytes = unsigned(frames * s.frame_bytes);
    if (d.transfers.size() < kTransfersCap) d.transfers.push_back(bytes);
    ++d.info.transfers;
    d.info.bytes += bytes;
    broadcast();
}

bool nonblocking(const Node *n)
{
    int fl = fcntl(n->fd, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK);
}

// WRITEI / READI. Lock held; waits release it.
int transfer(Node *n, snd_xferi *x)
{
    PcmStream &s = *n->pcm;
    bool play = s.dir == KB_PLAYBACK;
    if (int e = fault_check(play ? KB_FAULT_PCM_WRITE : KB_FAULT_PCM_READ, s.device)) return e;
    if (s.state == SNDRV_PCM_STATE_XRUN) return EPIPE;
    if (!prepared_or_running(s)) return EBADFD;
    if (x->frames == 0) {
        x->result = 0;
        return 0;
    }
    uint64_t want = uint64_t(x->frames), done = 0;
    uint8_t *buf = static_cast<uint8_t *>(x->buf);
    int err = 0;
    while (done < want) {
        int64_t now = now_ns();
        if (!play && s.state == SNDRV_PCM_STATE_PREPARED) start(s, now);
        advance(s, now);
        if (n->closed) {
            err = EBADF;
            break;
        }
        if (s.state == SNDRV_PCM_STATE_XRUN) {
            err = EPIPE;
            break;
        }
        if (!prepared_or_running(s)) {
            err = EBADFD;
            break;
        }
        uint64_t left = want - done;
        uint64_t hw = uint64_t(s.hw);
        uint64_t room = play ? s.buffer - std::min(s.buffer, s.appl - std::min(s.appl, hw))
                             : (hw > s.appl ? hw - s.appl : 0);
        if (room > 0) {
            uint64_t k = std::min(room, left);
            uint8_t *p = buf + done * s.frame_bytes;
            size_t bytes = size_t(k) * s.frame_bytes;
            Device &d = dev_of(s);
            if (play) {
                if (d.played.size() < kPlayedCap)
                    d.played.insert(d.played.end(), p,
                                    p + std::min(bytes, kPlayedCap - d.played.size()));
                d.received += bytes;
                wav_append(d, s, s.device, p, bytes);
            } else {
                produce(s, s.appl, k, p);
            }
            s.appl += k;
            done += k;
            if (play && s.state == SNDRV_PCM_STATE_PREPARED && s.appl >= s.start_threshold)
                start(s, now);
            broadcast();
            continue;
        }
        if (play && s.state == SNDRV_PCM_STATE_PREPARED) {
            // A full buffer that the start threshold would never start.
            start(s, now);
            continue;
        }
        if (nonblocking(n)) {
            err = EAGAIN;
            break;
        }
        uint64_t need = std::max<uint64_t>(1, std::min({s.avail_min, left, s.buffer}));
        double target = play ? double(s.appl + need) - double(s.buffer) : double(s.appl + need);
        ++n->refs;
        ++dev_of(s).waiters;
        broadcast();
        wait_until(time_at(s, target));
        --dev_of(s).waiters;
        --n->refs;
    }
    if (done > 0) {
        x->result = snd_pcm_sframes_t(done);
        record_transfer(s, done);
        return 0;
    }
    return err;
}

int drain(Node *n)
{
    PcmStream &s = *n->pcm;
    if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED) return EBADFD;
    int64_t now = now_ns();
    if (s.dir == KB_CAPTURE || s.state == SNDRV_PCM_STATE_XRUN || s.state == SNDRV_PCM_STATE_SETUP) {
        s.state = SNDRV_PCM_STATE_SETUP;
        broadcast();
        return 0;
    }
    if (s.state == SNDRV_PCM_STATE_PREPARED) {
        if (s.appl == 0) {
            s.state = SNDRV_PCM_STATE_SETUP;
            return 0;
        }
        start(s, now);
    }
    s.state = SNDRV_PCM_STATE_DRAINING;
    for (;;) {
        advance(s, now_ns());
        if (n->closed) return EBADF;
        if (s.state != SNDRV_PCM_STATE_DRAINING) return 0;
        ++n->refs;
        wait_until(time_at(s, double(s.appl)));
        --n->refs;
    }
}

int64_t frames_delay(const PcmStream &s)
{
    return s.dir == KB_PLAYBACK ? int64_t(s.appl) - int64_t(s.hw) : int64_t(s.hw) - int64_t(s.appl);
}

uint64_t wrap(const PcmStream &s, uint64_t frames) { return s.boundary ? frames % s.boundary : frames; }

// SYNC_PTR, in either layout of the record (native time, 64-bit time). The
// client cannot move the application pointer itself here (there is no mmap),
// so the board's pointer is always the one handed back.
template <class SyncPtr>
int sync_ptr(PcmStream &s, SyncPtr *sp)
{
    if ((sp->flags & SNDRV_PCM_SYNC_PTR_HWSYNC) && s.state == SNDRV_PCM_STATE_XRUN) return EPIPE;
    if (!(sp->flags & SNDRV_PCM_SYNC_PTR_AVAIL_MIN) && sp->c.control.avail_min)
        s.avail_min = sp->c.control.avail_min;
    sp->s.status.state = snd_pcm_state_t(s.state);
    sp->s.status.hw_ptr = snd_pcm_uframes_t(wrap(s, uint64_t(s.hw)));
    sp->c.control.appl_ptr = snd_pcm_uframes_t(wrap(s, s.appl));
    sp->c.control.avail_min = snd_pcm_uframes_t(s.avail_min);
    return 0;
}

void fill_info(snd_pcm_info *i, int device, int dir)
{
    memset(i, 0, sizeof *i);
    i->device = unsigned(device);
    i->subdevice = 0;
    i->stream = dir == KB_PLAYBACK ? SNDRV_PCM_STREAM_PLAYBACK : SNDRV_PCM_STREAM_CAPTURE;
    i->card = 0;
    snprintf(reinterpret_cast<char *>(i->id), sizeof i->id, "ka-pcm-%d", device);
    snprintf(reinterpret_cast<char *>(i->name), sizeof i->name, "KA module PCM %d", device);
    snprintf(reinterpret_cast<char *>(i->subname), sizeof i->subname, "subdevice #0");
    i->dev_class = SNDRV_PCM_CLASS_GENERIC;
    i->subdevices_count = 1;
    i->subdevices_avail = 1;
}

}  // namespace

// ---- entry points from the descriptor layer ------------------------------------

int pcm_open(int device, int dir, int flags, mode_t)
{
    ensure_init();
    {
        Guard g;
        if (int e = fault_check(KB_FAULT_PCM_OPEN, device)) {
            errno = e;
            return -1;
        }
    }
    int fd = kbi_real_open("/dev/null", O_RDWR | (flags & (O_CLOEXEC | O_NONBLOCK)), 0);
    if (fd < 0) return -1;
    Guard g;
    auto *s = new PcmStream();
    auto *n = new Node();
    n->kind = NodeKind::pcm;
    n->fd = fd;
    n->pcm = s;
    s->node = n;
    s->device = device;
    s->dir = dir;
    s->serial = ++pcm().serial;
    pcm().streams.push_back(s);
    node_add(n);
    struct kb_pcm_info &i = pcm().dev[device][dir].info;
    ++i.open;
    ++i.opens;
    logf("open pcmC0D%d%c -> fd %d", device, dir ? 'c' : 'p', fd);
    return fd;
}

void pcm_close_locked(Node *n)
{
    PcmStream *s = n->pcm;
    auto &v = pcm().streams;
    v.erase(std::remove(v.begin(), v.end(), s), v.end());
    Device &d = dev_of(*s);
    if (d.info.open > 0) --d.info.open;
    ++d.info.closes;
    wav_patch(d);
    logf("close pcmC0D%d%c fd %d", s->device, s->dir ? 'c' : 'p', n->fd);
    broadcast();
}

void pcm_free(PcmStream *s) { delete s; }

int pcm_ioctl(Node *n, unsigned long req, void *arg)
{
    Guard g;
    if (n->closed) return EBADF;
    PcmStream &s = *n->pcm;
    int64_t now = now_ns();
    advance(s, now);
    if (req == __SNDRV_PCM_IOCTL_SYNC_PTR)
        return sync_ptr(s, static_cast<struct __snd_pcm_sync_ptr *>(arg));
    if (req == __SNDRV_PCM_IOCTL_SYNC_PTR64)
        return sync_ptr(s, static_cast<struct __snd_pcm_sync_ptr64 *>(arg));
    switch (req) {
    case SNDRV_PCM_IOCTL_PVERSION:
        *static_cast<int *>(arg) = SNDRV_PCM_VERSION;
        return 0;
    case SNDRV_PCM_IOCTL_INFO:
        if (int e = fault_check(KB_FAULT_PCM_READY, s.device)) return e;
        fill_info(static_cast<snd_pcm_info *>(arg), s.device, s.dir);
        return 0;
    case SNDRV_PCM_IOCTL_TSTAMP:
    case SNDRV_PCM_IOCTL_TTSTAMP:
    case SNDRV_PCM_IOCTL_USER_PVERSION:
        return 0;
    case SNDRV_PCM_IOCTL_HW_REFINE:
        return hw_params(s, static_cast<snd_pcm_hw_params *>(arg), false);
    case SNDRV_PCM_IOCTL_HW_PARAMS:
        return hw_params(s, static_cast<snd_pcm_hw_params *>(arg), true);
    case SNDRV_PCM_IOCTL_HW_FREE:
        if (running(s)) return EBADFD;
        s.state = SNDRV_PCM_STATE_OPEN;
        return 0;
    case SNDRV_PCM_IOCTL_SW_PARAMS:
        return sw_params(s, static_cast<snd_pcm_sw_params *>(arg));
    case SNDRV_PCM_IOCTL_STATUS:
    case SNDRV_PCM_IOCTL_STATUS_EXT: {
        auto *st = static_cast<snd_pcm_status *>(arg);
        memset(st, 0, sizeof *st);
        st->state = snd_pcm_state_t(s.state);
        st->appl_ptr = snd_pcm_uframes_t(wrap(s, s.appl));
        st->hw_ptr = snd_pcm_uframes_t(wrap(s, uint64_t(s.hw)));
        int64_t delay = frames_delay(s);
        st->delay = snd_pcm_sframes_t(delay);
        st->avail = snd_pcm_uframes_t(s.dir == KB_PLAYBACK ? int64_t(s.buffer) - delay : delay);
        st->avail_max = st->avail;
        return 0;
    }
    case SNDRV_PCM_IOCTL_DELAY:
    case SNDRV_PCM_IOCTL_HWSYNC:
        if (s.state == SNDRV_PCM_STATE_XRUN) return EPIPE;
        if (!prepared_or_running(s) && s.state != SNDRV_PCM_STATE_DRAINING) return EBADFD;
        if (req == SNDRV_PCM_IOCTL_DELAY)
            *static_cast<snd_pcm_sframes_t *>(arg) = snd_pcm_sframes_t(frames_delay(s));
        return 0;
    case SNDRV_PCM_IOCTL_PREPARE:
        return prepare(s);
    case SNDRV_PCM_IOCTL_RESET:
        if (!prepared_or_running(s)) return EBADFD;
        s.appl = uint64_t(s.hw);  // what was queued or captured is dropped
        return 0;
    case SNDRV_PCM_IOCTL_START:
        return start_ioctl(s, now);
    case SNDRV_PCM_IOCTL_DROP:
        if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED)
            return EBADFD;
        s.state = SNDRV_PCM_STATE_SETUP;
        broadcast();
        return 0;
    case SNDRV_PCM_IOCTL_DRAIN:
        return drain(n);
    case SNDRV_PCM_IOCTL_PAUSE:
        return ENOSYS;  // the card cannot pause
    case SNDRV_PCM_IOCTL_REWIND:
    case SNDRV_PCM_IOCTL_FORWARD:
        return 0;
    case SNDRV_PCM_IOCTL_WRITEI_FRAMES:
        if (s.dir != KB_PLAYBACK) return EINVAL;
        return transfer(n, static_cast<snd_xferi *>(arg));
    case SNDRV_PCM_IOCTL_READI_FRAMES:
        if (s.dir != KB_CAPTURE) return EINVAL;
        return transfer(n, static_cast<snd_xferi *>(arg));
    case SNDRV_PCM_IOCTL_WRITEN_FRAMES:
    case SNDRV_PCM_IOCTL_READN_FRAMES:
    case SNDRV_PCM_IOCTL_LINK:
    case SNDRV_PCM_IOCTL_UNLINK:
        return EINVAL;
    default:
        return ENOTTY;
    }
}

void pcm_fill_info(void *info, int device, int dir)
{
    fill_info(static_cast<snd_pcm_info *>(info), device, dir);
}

void pcm_reset_locked()
{
    Pcm &p = pcm();
    for (int d = 0; d < KB_MAX_DEVICES; ++d)
        for (int dir = 0; dir < 2; ++dir) {
            Device &dv = p.dev[d][dir];
            wav_close(dv);
            int open = 0;
            for (auto *s : p.streams)
                if (s->device == d && s->dir == dir) ++open;
            dv.info = (struct kb_pcm_info){};
            dv.info.open = open;
            dv.played.clear();
            dv.played.shrink_to_fit();
            dv.received = 0;
            dv.transfers.clear();
            dv.src = 0;
            dv.wav.clear();
        }
    pcm_set_speed_locked(config().speed);
    p.out_dir = config().out_dir;
}

double speed_locked() { return pcm().speed; }

void pcm_set_speed_locked(double f)
{
    if (!(f > 0)) f = 0;
    int64_t now = now_ns();
    for (auto *s : pcm().streams) {
        advance(*s, now);
        s->hw0 = s->hw;
        s->t0 = now;
    }
    pcm().speed = f;
    broadcast();
}

void pcm_set_output_dir_locked(const char *dir)
{
    Pcm &p = pcm();
    for (auto &row : p.dev) wav_close(row[KB_PLAYBACK]);
    p.out_dir = dir ? dir : "";
}

void pcm_exit_locked()
{
    for (auto &row : pcm().dev) wav_close(row[KB_PLAYBACK]);
}

}  // namespace kb

using namespace kb;

extern "C" {

void kb_set_speed(double factor)
{
    ensure_init();
    Guard g;
    pcm_set_speed_locked(factor);
}

void kb_set_output_dir(const char *dir)
{
    ensure_init();
    Guard g;
    pcm_set_output_dir_locked(dir);
}

int kb_pcm_info(int device, int dir, struct kb_pcm_info *out)
{
    if (!valid(device, dir) || !out) return -1;
    ensure_init();
    Guard g;
    int64_t now = now_ns();
    for (auto *s : pcm().streams) advance(*s, now);
    *out = pcm().dev[device][dir].info;
    return 0;
}

size_t kb_pcm_played(int device, size_t from, void *out, size_t cap)
{
    if (!valid(device, KB_PLAYBACK)) return 0;
    ensure_init();
    Guard g;
    const Device &d = pcm().dev[device][KB_PLAYBACK];
    if (out && from < d.played.size()) {
        size_t k = std::min(cap, d.played.size() - from);
        memcpy(out, d.played.data() + from, k);
    }
    return size_t(d.received);
}

size_t kb_pcm_transfers(int device, int dir, unsigned *out, size_t cap)
{
    if (!valid(device, dir)) return 0;
    ensure_init();
    Guard g;
    const auto &t = pcm().dev[device][dir].transfers;
    if (out) std::copy_n(t.begin(), std::min(cap, t.size()), out);
    return t.size();
}

int kb_pcm_wait_played(int device, size_t bytes, int timeout_ms)
{
    if (!valid(device, KB_PLAYBACK)) return -1;
    ensure_init();
    int64_t deadline = now_ns() + int64_t(timeout_ms) * 1000000;
    Guard g;
    while (pcm().dev[device][KB_PLAYBACK].received < bytes) {
        if (now_ns() >= deadline) return -1;
        wait_until(deadline);
    }
    return 0;
}

int kb_pcm_wait_underruns(int device, int dir, unsigned count, int timeout_ms)
{
    if (!valid(device, dir)) return -1;
    ensure_init();
    int64_t deadline = now_ns() + int64_t(timeout_ms) * 1000000;
    Guard g;
    for (;;) {
        int64_t now = now_ns();
        int64_t next = deadline;
        for (auto *s : pcm().streams) {
            advance(*s, now);
            if (s->device == device && s->dir == dir && s->state == SNDRV_PCM_STATE_RUNNING &&
                pcm().speed > 0) {
                double target = dir == KB_PLAYBACK ? double(s->appl) + 0.5
                                                   : double(s->appl + s->buffer) + 0.5;
                next = std::min(next, time_at(*s, target));
            }
        }
        if (pcm().dev[device][dir].info.underruns >= count) return 0;
        if (now >= deadline) return -1;
        wait_until(std::max(next, now + 1000));
    }
}

int kb_pcm_waiters(int device, int dir)
{
    if (!valid(device, dir)) return -1;
    ensure_init();
    Guard g;
    return pcm().dev[device][dir].waiters;
}

int kb_pcm_state(int device, int dir)
{
    if (!valid(device, dir)) return -1;
    ensure_init();
    Guard g;
    int64_t now = now_ns();
    const PcmStream *last = nullptr;
    for (auto *s : pcm().streams) {
        advance(*s, now);
        if (s->device == device && s->dir == dir && (!last || s->serial > last->serial)) last = s;
    }
    return last ? last->state : -1;
}

void kb_capture_silence(int device)
{
    if (!valid(device, KB_CAPTURE)) return;
    ensure_init();
    Guard g;
    Device &d = pcm().dev[device][KB_CAPTURE];
    d.src = 0;
    d.wav.clear();
}

void kb_capture_tone(int device, double freq_hz, double amplitude)
{
    if (!valid(device, KB_CAPTURE)) return;
    ensure_init();
    Guard g;
    Device &d = pcm().dev[device][KB_CAPTURE];
    d.src = 1;
    d.freq = freq_hz;
    d.amp = amplitude;
    d.wav.clear();
}

int kb_capture_wav(int device, const char *path)
{
    if (!valid(device, KB_CAPTURE) || !path) return -1;
    ensure_init();
    // Read the file outside the lock.
    int fd = kbi_real_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    std::vector<uint8_t> file;
    uint8_t buf[65536];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        file.insert(file.end(), buf, buf + r);
    }
    kbi_real_close(fd);
    if (file.size() < 12 || memcmp(file.data(), "RIFF", 4) || memcmp(file.data() + 8, "WAVE", 4))
        return -1;
    size_t off = 12;
    std::vector<uint8_t> data;
    bool found = false;
    while (off + 8 <= file.size()) {
        uint32_t len = uint32_t(file[off + 4]) | uint32_t(file[off + 5]) << 8 |
                       uint32_t(file[off + 6]) << 16 | uint32_t(file[off + 7]) << 24;
        if (!memcmp(file.data() + off, "data", 4)) {
            size_t n = std::min<size_t>(len, file.size() - off - 8);
            data.assign(file.begin() + long(off + 8), file.begin() + long(off + 8 + n));
            found = true;
            break;
        }
        off += 8 + size_t(len) + (len & 1);
    }
    if (!found) return -1;
    Guard g;
    Device &d = pcm().dev[device][KB_CAPTURE];
    d.src = 2;
    d.wav = std::move(data);
    return 0;
}

}  // extern "C"
