// SPDX-License-Identifier: MIT
// What the board's C API reads back of the PCM devices: each device's record,
// the bytes it received, its transfers, and waits on its progress.
#include <string.h>

#include <algorithm>

#include "kb_pcm.h"

using namespace kb;

namespace {

// Copies at most `cap` bytes of a kept record from byte `from` on.
void copy_from(const std::vector<uint8_t> &kept, size_t from, void *out, size_t cap)
{
    if (out && from < kept.size()) memcpy(out, kept.data() + from, std::min(cap, kept.size() - from));
}

}  // namespace

extern "C" {

int kb_pcm_get_stats(int device, int dir, kb_pcm_stats *out)
{
    if (!pcm_valid(device, dir) || !out) return -1;
    ensure_init();
    Guard g;
    int64_t now = now_ns();
    for (auto *s : pcm().streams) advance(*s, now);
    *out = pcm().dev[device][dir].info;
    return 0;
}

int kb_pcm_info(int device, int dir, struct kb_pcm_info *out)
{
    return kb_pcm_get_stats(device, dir, out);
}

size_t kb_pcm_played(int device, size_t from, void *out, size_t cap)
{
    if (!pcm_valid(device, KB_PLAYBACK)) return 0;
    ensure_init();
    Guard g;
    const PcmDevice &d = pcm().dev[device][KB_PLAYBACK];
    copy_from(d.played, from, out, cap);
    return size_t(d.received);
}

size_t kb_pcm_played_out(int device, size_t from, void *out, size_t cap)
{
    if (!pcm_valid(device, KB_PLAYBACK)) return 0;
    ensure_init();
    Guard g;
    int64_t now = now_ns();
    for (auto *s : pcm().streams) advance(*s, now);
    const PcmDevice &d = pcm().dev[device][KB_PLAYBACK];
    copy_from(d.heard, from, out, cap);
    return size_t(d.heard_bytes);
}

size_t kb_pcm_transfers(int device, int dir, unsigned *out, size_t cap)
{
    if (!pcm_valid(device, dir)) return 0;
    ensure_init();
    Guard g;
    const auto &t = pcm().dev[device][dir].transfers;
    if (out) std::copy_n(t.begin(), std::min(cap, t.size()), out);
    return t.size();
}

int kb_pcm_wait_played(int device, size_t bytes, int timeout_ms)
{
    if (!pcm_valid(device, KB_PLAYBACK)) return -1;
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
    if (!pcm_valid(device, dir)) return -1;
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
                double target =
                    dir == KB_PLAYBACK ? double(s->appl) + 0.5 : double(s->appl + s->buffer) + 0.5;
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
    if (!pcm_valid(device, dir)) return -1;
    ensure_init();
    Guard g;
    return pcm().dev[device][dir].waiters;
}

int kb_pcm_state(int device, int dir)
{
    if (!pcm_valid(device, dir)) return -1;
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

}  // extern "C"