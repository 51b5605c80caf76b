// SPDX-License-Identifier: MIT
// Sound card 0's PCM devices: the ioctls, the kernel's stream states, and
// what the board's C API reads back.
//
// Each open of a node is a stream of its own (the card offers several
// substreams per device); the per-device figures of kb_pcm_info add up what
// every stream of the device did. The sample clock is in pcm_clock.cpp,
// parameter refinement in pcm_params.cpp, WAV output and capture data in
// pcm_wav.cpp.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <algorithm>

#include "kb_pcm.h"
#include "kb_shim.h"

namespace kb {

PcmBoard &pcm()
{
    static PcmBoard *p = new PcmBoard();
    return *p;
}

const char *format_name(unsigned format)
{
    switch (format) {
        case SNDRV_PCM_FORMAT_S8:
            return "S8";
        case SNDRV_PCM_FORMAT_S16_LE:
            return "S16_LE";
        case SNDRV_PCM_FORMAT_S24_LE:
            return "S24_LE";
        case SNDRV_PCM_FORMAT_S32_LE:
            return "S32_LE";
        default:
            return "other";
    }
}

namespace {

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
        if (int e = fault_check(KB_FAULT_PCM_HW_PARAMS, s.device, s.dir)) return e;
    }
    HwChoice c{};
    if (int e = hw_choose(p, c)) return e;
    if (!commit) return 0;
    heard_gap(s, now_ns(), true);  // the silence so far, in the old format
    s.access = c.access;
    s.format = c.format;
    s.channels = c.channels;
    s.rate = c.rate;
    s.frame_bytes = c.frame_bytes;
    s.sample_bytes = c.frame_bytes / c.channels;
    s.period = c.period;
    s.periods = c.periods;
    s.buffer = c.period * c.periods;
    // The pointer boundary as the module's 32-bit kernel computes it (its
    // long is 32 bits), whatever the host's.
    constexpr uint64_t kModuleLongMax = 0x7FFFFFFF;
    s.boundary = s.buffer;
    while (s.boundary * 2 <= kModuleLongMax - s.buffer) s.boundary *= 2;
    s.avail_min = s.period;
    s.start_threshold = 1;
    s.stop_threshold = s.buffer;
    s.appl = 0;
    s.hw = s.hw0 = 0;
    heard_setup(s);
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
    Event("pcm_hw_params", s.device, s.dir)
        .str("format", format_name(c.format))
        .num("rate", c.rate)
        .num("channels", c.channels)
        .num("period", (long long)c.period)
        .num("periods", (long long)c.periods)
        .str("access", c.access == SNDRV_PCM_ACCESS_RW_INTERLEAVED ? "rw" : "mmap");
    broadcast();
    return 0;
}

int sw_params(PcmStream &s, snd_pcm_sw_params *p)
{
    if (s.state == SNDRV_PCM_STATE_OPEN) return EBADFD;
    if (int e = fault_check(KB_FAULT_PCM_SW_PARAMS, s.device, s.dir)) return e;
    if (p->avail_min == 0) return EINVAL;
    if (p->tstamp_mode > SNDRV_PCM_TSTAMP_LAST) return EINVAL;
    // Silence fill: either "always" (a size of the boundary or more, no
    // threshold) or a size within a threshold within the buffer.
    if (p->silence_size >= s.boundary
            ? p->silence_threshold != 0
            : p->silence_size > p->silence_threshold || p->silence_threshold > s.buffer)
        return EINVAL;
    s.avail_min = p->avail_min;
    s.start_threshold = p->start_threshold;
    s.stop_threshold = p->stop_threshold;
    p->boundary = snd_pcm_uframes_t(s.boundary);
    struct kb_pcm_info &i = dev_of(s).info;
    i.avail_min = p->avail_min;
    i.start_threshold = p->start_threshold;
    i.stop_threshold = p->stop_threshold;
    ++i.sw_params;
    Event("pcm_sw_params", s.device, s.dir)
        .num("avail_min", (long long)s.avail_min)
        .num("start_threshold", (long long)s.start_threshold)
        .num("stop_threshold", (long long)s.stop_threshold);
    return 0;
}

int prepare(PcmStream &s)
{
    if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED) return EBADFD;
    if (running(s)) return EBUSY;
    if (int e = fault_check(KB_FAULT_PCM_PREPARE, s.device, s.dir)) return e;
    s.state = SNDRV_PCM_STATE_PREPARED;
    s.appl = 0;
    s.hw = s.hw0 = 0;
    heard_prepared(s);
    ++dev_of(s).info.prepares;
    Event("pcm_prepare", s.device, s.dir);
    broadcast();
    return 0;
}

int start_ioctl(PcmStream &s, int64_t now)
{
    if (s.state != SNDRV_PCM_STATE_PREPARED) return EBADFD;
    if (int e = fault_check(KB_FAULT_PCM_START, s.device, s.dir)) return e;
    // As the kernel: a playback stream with nothing queued starts only when
    // no stop threshold can stop it; otherwise it would underrun at once.
    if (s.dir == KB_PLAYBACK && s.appl <= uint64_t(s.hw) && s.stop_threshold < s.boundary) return EPIPE;
    start(s, now, "ioctl");
    ++dev_of(s).info.starts;
    return 0;
}

void record_transfer(PcmStream &s, uint64_t frames)
{
    PcmDevice &d = dev_of(s);
    unsigned bytes = unsigned(frames * s.frame_bytes);
    if (d.transfers.size() < kTransfersCap) d.transfers.push_back(bytes);
    ++d.info.transfers;
    s.moved += frames;
    d.info.bytes += bytes;
    broadcast();
}

bool nonblocking(const Node *n)
{
    return n->nonblock;
}

// WRITEI / READI. Lock held; waits release it.
int transfer(Node *n, snd_xferi *x)
{
    PcmStream &s = *n->pcm;
    bool play = s.dir == KB_PLAYBACK;
    if (int e = fault_check(play ? KB_FAULT_PCM_WRITE : KB_FAULT_PCM_READ, s.device, s.dir)) return e;
    if (s.state == SNDRV_PCM_STATE_OPEN) return EBADFD;
    // The kernel's interleaved transfers need read/write access, except with
    // one channel, where interleaved and non-interleaved frames are the same
    // bytes: so the platform's WRITEI/READI of a memory-mapped stream work
    // for mono and are refused for more channels.
    if (s.access != SNDRV_PCM_ACCESS_RW_INTERLEAVED && s.channels > 1) return EINVAL;
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
        if (!play && s.state == SNDRV_PCM_STATE_PREPARED) start(s, now, "read");
        advance(s, now);
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
        // The kernel's avail: past an underrun that no stop threshold has
        // stopped yet, a playback stream takes more than a buffer.
        uint64_t room =
            play ? (hw + s.buffer > s.appl ? hw + s.buffer - s.appl : 0) : (hw > s.appl ? hw - s.appl : 0);
        if (room > 0) {
            uint64_t k = std::min(room, left);
            uint8_t *p = buf + done * s.frame_bytes;
            size_t bytes = size_t(k) * s.frame_bytes;
            PcmDevice &d = dev_of(s);
            if (play) {
                if (d.played.size() < kPlayedCap)
                    d.played.insert(d.played.end(), p, p + std::min(bytes, kPlayedCap - d.played.size()));
                d.received += bytes;
                wav_append(d, s, WavKind::received, p, bytes);
                heard_write(s, p, k);
            } else {
                produce(s, s.appl, k, p);
                wav_append(d, s, WavKind::captured, p, bytes);
            }
            s.appl += k;
            done += k;
            if (play && s.state == SNDRV_PCM_STATE_PREPARED && s.appl >= s.start_threshold)
                start(s, now, "threshold");
            broadcast();
            continue;
        }
        if (play && s.state == SNDRV_PCM_STATE_PREPARED) {
            // A full buffer that the start threshold would never start.
            start(s, now, "full buffer");
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

int64_t frames_delay(const PcmStream &s)
{
    return s.dir == KB_PLAYBACK ? int64_t(s.appl) - int64_t(s.hw) : int64_t(s.hw) - int64_t(s.appl);
}

uint64_t wrap(const PcmStream &s, uint64_t frames)
{
    return s.boundary ? frames % s.boundary : frames;
}

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
        if (int e = fault_check(KB_FAULT_PCM_OPEN, device, dir)) {
            errno = e;
            return -1;
        }
    }
    int fd = kbi_real_open("/dev/null", flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK), 0);
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
    Event("pcm_open", device, dir).num("fd", fd).num("nonblock", (flags & O_NONBLOCK) ? 1 : 0);
    return fd;
}

void pcm_close_locked(Node *n)
{
    PcmStream *s = n->pcm;
    // As the kernel's release: what was played out until now stays, the
    // frames still queued are dropped (a close does not drain).
    int64_t now = now_ns();
    advance(*s, now);
    s->gap = false;  // the silence after the last stop is not kept
    Dropped r = heard_drop(*s);
    s->closed = true;
    auto &v = pcm().streams;
    v.erase(std::remove(v.begin(), v.end(), s), v.end());
    PcmDevice &d = dev_of(*s);
    if (d.info.open > 0) --d.info.open;
    ++d.info.closes;
    wav_patch(d);
    {
        Event e("pcm_close", s->device, s->dir);
        e.num("fd", n->fd).num("frames", (long long)s->moved);
        if (s->dir == KB_PLAYBACK) heard_event(e, *s, r);
        if (r.frames > 0) e.note(", dropped " + std::to_string(r.frames) + " frames");
    }
    broadcast();
}

void pcm_free(PcmStream *s)
{
    host_forget_locked(s);
    delete s;
}

bool pcm_params_locked(const PcmStream *s, PcmParams *out)
{
    if (s->state == SNDRV_PCM_STATE_OPEN || !s->rate) return false;
    *out = {s->device, s->dir, s->format, s->rate, s->channels, s->frame_bytes};
    return true;
}

int pcm_ioctl(Node *n, unsigned long req, void *arg)
{
    Guard g;
    PcmStream &s = *n->pcm;
    int64_t now = now_ns();
    advance(s, now);
    if (req == __SNDRV_PCM_IOCTL_SYNC_PTR) return sync_ptr(s, static_cast<struct __snd_pcm_sync_ptr *>(arg));
    if (req == __SNDRV_PCM_IOCTL_SYNC_PTR64)
        return sync_ptr(s, static_cast<struct __snd_pcm_sync_ptr64 *>(arg));
    switch (req) {
        case SNDRV_PCM_IOCTL_PVERSION:
            *static_cast<int *>(arg) = SNDRV_PCM_VERSION;
            return 0;
        case SNDRV_PCM_IOCTL_INFO:
            if (int e = fault_check(KB_FAULT_PCM_READY, s.device, s.dir)) return e;
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
            Event("pcm_hw_free", s.device, s.dir);
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
            if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED) return EBADFD;
            return drop(s, now);
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
    PcmBoard &p = pcm();
    for (int d = 0; d < KB_MAX_DEVICES; ++d)
        for (int dir = 0; dir < 2; ++dir) {
            PcmDevice &dv = p.dev[d][dir];
            wav_close(dv);
            int open = 0;
            for (auto *s : p.streams)
                if (s->device == d && s->dir == dir) ++open;
            dv.info = (struct kb_pcm_info){};
            dv.info.open = open;
            dv.played.clear();
            dv.played.shrink_to_fit();
            dv.received = 0;
            dv.heard.clear();
            dv.heard.shrink_to_fit();
            dv.heard_bytes = 0;
            dv.transfers.clear();
            dv.src = 0;
            dv.wav.clear();
        }
    pcm_set_speed_locked(config().speed);
    p.period_ms = config().period_ms;
    p.buffer_ms = config().buffer_ms;
    p.out_dir = config().out_dir;
}

}  // namespace kb
