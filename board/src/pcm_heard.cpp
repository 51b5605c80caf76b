// SPDX-License-Identifier: MIT
// What each playback device played out: what a listener heard, as against
// what the program wrote.
//
// Each playback stream has a ring of `buffer` frames, zeros from HW_PARAMS
// on; a written frame f (counted from PREPARE) goes to slot f % buffer. When
// the hardware pointer moves (set_hw: the one place it is moved), the whole
// frames it passed are played out, each from its slot: past the
// application's data that is what the slot last held (old contents, until
// the stop threshold declares the underrun). After a stop the device sounds
// silence (a gap) until the stream starts again or is closed, as long as the
// sample time runs (speed above 0). Frames still queued at a DROP or a close
// are dropped: counted, never played out. What is played out goes to the
// device's record (kb_pcm_played_out) and its WAV file.
#include <string.h>

#include <algorithm>

#include "kb_pcm.h"

namespace kb {
namespace {

// A longer stop is kept as this much silence (counters included), so that a
// stream stopped for hours, or at a clock a million times the sample rate,
// cannot fill the memory or the disk.
constexpr double kGapMaxSeconds = 60;

// Appends played-out bytes to the device's record and its WAV file.
void emit(PcmStream &s, const uint8_t *data, uint64_t frames)
{
    PcmDevice &d = dev_of(s);
    size_t bytes = size_t(frames) * s.frame_bytes;
    if (d.heard.size() < kPlayedCap)
        d.heard.insert(d.heard.end(), data, data + std::min(bytes, kPlayedCap - d.heard.size()));
    d.heard_bytes += bytes;
    d.info.out_frames += frames;
    wav_append(d, s, WavKind::played, data, bytes);
}

void emit_silence(PcmStream &s, uint64_t frames)
{
    static const uint8_t zeros[4096] = {};
    if (!s.frame_bytes) return;
    const uint64_t step = sizeof zeros / s.frame_bytes;
    for (uint64_t done = 0; done < frames;) {
        uint64_t k = std::min(step, frames - done);
        emit(s, zeros, k);
        done += k;
    }
}

// Plays out frames [s.out_to, to) from the ring.
void play_ring(PcmStream &s, uint64_t to)
{
    if (s.ring.empty() || !s.buffer) {
        s.out_to = std::max(s.out_to, to);
        return;
    }
    PcmDevice &d = dev_of(s);
    while (s.out_to < to) {
        uint64_t f = s.out_to;
        uint64_t slot = f % s.buffer;
        // One run: up to the ring's end, and on one side of the application
        // pointer (its data, or old contents past it).
        uint64_t end = std::min(to, f + (s.buffer - slot));
        bool old = f >= s.appl;
        if (!old) end = std::min(end, s.appl);
        emit(s, s.ring.data() + slot * s.frame_bytes, end - f);
        uint64_t n = end - f;
        s.played += n;
        if (old) {
            d.info.replayed_frames += n;
            s.replay_run += n;
        } else {
            s.replay_run = 0;
        }
        s.out_to = end;
    }
}

}  // namespace

void set_hw(PcmStream &s, double hw)
{
    s.hw = hw;
    if (s.dir != KB_PLAYBACK || hw <= 0) return;
    uint64_t whole = uint64_t(hw);
    if (whole > s.out_to) play_ring(s, whole);
}

void heard_setup(PcmStream &s)
{
    s.ring.assign(s.dir == KB_PLAYBACK ? size_t(s.buffer) * s.frame_bytes : 0, 0);
    s.out_to = 0;
    s.replay_run = 0;
}

void heard_prepared(PcmStream &s)
{
    s.out_to = 0;
    s.replay_run = 0;
}

void heard_write(PcmStream &s, const uint8_t *data, uint64_t frames)
{
    if (s.dir != KB_PLAYBACK || s.ring.empty()) return;
    // Only the last buffer's worth can be in the ring.
    uint64_t skip = frames > s.buffer ? frames - s.buffer : 0;
    for (uint64_t f = s.appl + skip, i = skip; i < frames;) {
        uint64_t slot = f % s.buffer;
        uint64_t k = std::min(frames - i, s.buffer - slot);
        memcpy(s.ring.data() + slot * s.frame_bytes, data + i * s.frame_bytes, size_t(k) * s.frame_bytes);
        f += k;
        i += k;
    }
}

void heard_stopped(PcmStream &s, int64_t at)
{
    if (s.dir != KB_PLAYBACK || s.gap) return;
    s.gap = true;
    s.gap_t = at;
    s.gap_pos = 0;
    s.gap_out = 0;
}

void heard_gap(PcmStream &s, int64_t now, bool keep)
{
    if (!s.gap) return;
    double sp = pcm().speed;
    if (sp > 0 && s.rate && now > s.gap_t)
        s.gap_pos = std::min(s.gap_pos + double(now - s.gap_t) * 1e-9 * s.rate * sp, kGapMaxSeconds * s.rate);
    s.gap_t = std::max(s.gap_t, now);
    if (!keep) return;
    uint64_t n = uint64_t(s.gap_pos) - std::min(uint64_t(s.gap_pos), s.gap_out);
    if (n == 0) return;
    emit_silence(s, n);
    s.gap_out += n;
    dev_of(s).info.gap_frames += n;
}

void heard_started(PcmStream &s, int64_t now)
{
    heard_gap(s, now, true);
    s.gap = false;
}

Dropped heard_drop(PcmStream &s)
{
    Dropped r{};
    if (s.dir != KB_PLAYBACK || s.appl <= s.out_to) return r;
    r.frames = s.appl - s.out_to;
    if (!s.ring.empty() && s.frame_bytes) {
        // The sound lost runs from the first dropped frame to the last one
        // that is not silent: a tone's zero crossings inside it are lost too,
        // the silence a player queued behind its data is not.
        for (uint64_t f = s.out_to; f < s.appl; ++f) {
            const uint8_t *p = s.ring.data() + (f % s.buffer) * s.frame_bytes;
            if (std::any_of(p, p + s.frame_bytes, [](uint8_t b) { return b != 0; })) r.cut = f - s.out_to + 1;
        }
    }
    s.out_to = s.appl;  // accounted for: neither played out nor dropped again
    dev_of(s).info.dropped_frames += r.frames;
    return r;
}

// DROP: the stream stops at once; what it still held is dropped.
int drop(PcmStream &s, int64_t now)
{
    Dropped r = heard_drop(s);
    if (running(s)) heard_stopped(s, now);
    s.state = SNDRV_PCM_STATE_SETUP;
    Event e("pcm_drop", s.device, s.dir);
    if (s.dir == KB_PLAYBACK) heard_event(e, s, r);
    broadcast();
    return 0;
}

void heard_event(Event &e, const PcmStream &s, const Dropped &r)
{
    e.num("played", (long long)s.played)
        .num("dropped", (long long)r.frames)
        .num("cut", (long long)r.cut)
        .num("out", (long long)dev_of(s).info.out_frames);
}

}  // namespace kb
