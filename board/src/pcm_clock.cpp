// SPDX-License-Identifier: MIT
// The sample clock of the PCM devices. The clock of a running stream is
//   position = hw0 + (now - t0) * rate * speed
// in frames; at speed 0 playback is consumed as fast as it is written and
// capture data is always there, so nothing ever under- or overruns.
#include <errno.h>
#include <math.h>

#include <algorithm>

#include "kb_pcm.h"

namespace kb {
namespace {

// Host-linked streams run on the host's pacing (host_audio.cpp).
double stream_speed(const PcmStream &s)
{
    return host_speed_locked(&s, pcm().speed);
}

double position(const PcmStream &s, int64_t now)
{
    return s.hw0 + double(now - s.t0) * 1e-9 * s.rate * stream_speed(s);
}

constexpr int64_t kHostPollNs = 2000000;  // host-linked streams re-check every 2 ms

// When the board's clock of a running stream reaches `target` frames.
int64_t board_time_at(const PcmStream &s, double target)
{
    double sp = stream_speed(s);
    if (sp <= 0 || s.rate == 0) return now_ns();
    // At most an hour ahead: a nearly stopped clock must not overflow the
    // deadline (waiters re-check whenever the board changes anyway).
    double ns = std::min(ceil((target - s.hw0) / (double(s.rate) * sp) * 1e9), 3.6e12);
    return s.t0 + int64_t(ns) + 1000;
}

// `at`: when the clock passed the data (seen only now, at the next look).
void xrun(PcmStream &s, int64_t at)
{
    s.state = SNDRV_PCM_STATE_XRUN;
    ++dev_of(s).info.underruns;
    Event e(s.dir ? "pcm_overrun" : "pcm_underrun", s.device, s.dir);
    e.num("at", at).num("frame", (long long)s.appl);
    if (s.dir == KB_PLAYBACK) {
        heard_stopped(s, at);
        e.num("out", (long long)dev_of(s).info.out_frames).num("replayed", (long long)s.replay_run);
    }
    broadcast();
}

}  // namespace

// ---- the clock -----------------------------------------------------------------

bool running(const PcmStream &s)
{
    return s.state == SNDRV_PCM_STATE_RUNNING || s.state == SNDRV_PCM_STATE_DRAINING;
}

void start(PcmStream &s, int64_t now, const char *why)
{
    s.state = SNDRV_PCM_STATE_RUNNING;
    s.t0 = now;
    s.hw0 = s.hw;
    heard_started(s, now);
    Event e("pcm_start", s.device, s.dir);
    e.str("by", why).num("queued", (long long)s.appl);
    if (s.dir == KB_PLAYBACK) e.num("out", (long long)dev_of(s).info.out_frames);
    broadcast();
}

// Brings the stream's hardware pointer up to `now`.
void advance(PcmStream &s, int64_t now)
{
    if (s.closed) return;
    heard_gap(s, now, false);
    if (!running(s)) return;
    double sp = stream_speed(s);
    // A stream under- or overruns as in the kernel: when its available
    // frames reach the stop threshold (never when that is the boundary). The
    // playback clock runs on past the queued frames until then.
    bool stops = sp > 0 && s.stop_threshold < s.boundary;
    if (s.dir == KB_PLAYBACK) {
        double pos = sp > 0 ? position(s, now) : double(s.appl);
        // Sound on the host: the clock does not pass what the host has not taken.
        if (uint64_t q = host_queued_locked(&s)) pos = std::min(pos, double(s.appl - std::min(s.appl, q)));
        double stop_at = double(s.appl) + double(s.stop_threshold) - double(s.buffer);
        if (stops && pos >= stop_at && s.state != SNDRV_PCM_STATE_DRAINING) {
            set_hw(s, std::max(stop_at, s.hw));
            xrun(s, std::min(now, board_time_at(s, stop_at)));
            return;
        }
        if (pos < double(s.appl) || (stops && s.state != SNDRV_PCM_STATE_DRAINING)) {
            set_hw(s, pos);
            return;
        }
        set_hw(s, double(s.appl));
        if (s.state == SNDRV_PCM_STATE_DRAINING) {
            s.state = SNDRV_PCM_STATE_SETUP;
            heard_stopped(s, std::min(now, board_time_at(s, double(s.appl))));
            broadcast();
        } else {
            // Nothing left to play and nothing stops the stream: it idles.
            s.hw0 = s.hw;
            s.t0 = now;
        }
    } else {
        if (sp <= 0) {
            set_hw(s, double(s.appl + s.buffer));
            s.hw0 = s.hw;
            s.t0 = now;
            return;
        }
        set_hw(s, position(s, now));
        if (stops && s.hw - double(s.appl) >= double(s.stop_threshold))
            xrun(s, std::min(now, board_time_at(s, double(s.appl + s.stop_threshold))));
    }
}

// DRAIN: a playback stream plays out what it holds, then stops.
int drain(Node *n)
{
    PcmStream &s = *n->pcm;
    if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED) return EBADFD;
    Event("pcm_drain", s.device, s.dir)
        .num("queued", (long long)(s.dir == KB_PLAYBACK ? int64_t(s.appl) - int64_t(s.hw)
                                                        : int64_t(s.hw) - int64_t(s.appl)));
    int64_t now = now_ns();
    // As the kernel: a non-blocking drain only sets the stream going and
    // answers EAGAIN; the caller polls (DELAY, STATUS) for its end.
    const int done = n->nonblock ? EAGAIN : 0;
    if (s.dir == KB_CAPTURE || s.state == SNDRV_PCM_STATE_XRUN || s.state == SNDRV_PCM_STATE_SETUP) {
        s.state = SNDRV_PCM_STATE_SETUP;
        broadcast();
        return done;
    }
    if (s.state == SNDRV_PCM_STATE_PREPARED) {
        if (s.appl == 0) {
            s.state = SNDRV_PCM_STATE_SETUP;
            return done;
        }
        start(s, now, "drain");
    }
    s.state = SNDRV_PCM_STATE_DRAINING;
    if (done) return done;
    for (;;) {
        advance(s, now_ns());
        if (s.state != SNDRV_PCM_STATE_DRAINING) return 0;
        ++n->refs;
        wait_until(time_at(s, double(s.appl)));
        --n->refs;
    }
}

// When the clock of a running stream reaches `target` frames.
int64_t time_at(const PcmStream &s, double target)
{
    // The host's count caps the clock and cannot wake the board: it is polled.
    if (host_linked_locked(&s)) return std::max(board_time_at(s, target), now_ns() + kHostPollNs);
    return board_time_at(s, target);
}

double speed_locked()
{
    return pcm().speed;
}

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

}  // namespace kb

using namespace kb;

extern "C" {

void kb_set_speed(double factor)
{
    ensure_init();
    Guard g;
    pcm_set_speed_locked(factor);
}

}  // extern "C"
