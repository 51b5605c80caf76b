// SPDX-License-Identifier: MIT
// The PCM devices' shared records, used by the ioctls (pcm.cpp), the sample
// clock (pcm_clock.cpp), hardware parameter refinement (pcm_params.cpp) and
// the audio data in and out (pcm_wav.cpp). Everything here is used with the
// board lock held.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <sound/asound.h>

#include <string>
#include <vector>

#include "kb_internal.h"

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
    double hw = 0;
    double hw0 = 0;
    int64_t t0 = 0;
    uint64_t moved = 0;  // frames transferred since open
};

constexpr size_t kPlayedCap = size_t(64) << 20;    // bytes kept in memory per device
constexpr size_t kTransfersCap = size_t(4) << 20;  // transfer sizes kept per device

struct PcmDevice {
    struct kb_pcm_info info {};
    std::vector<uint8_t> played;  // received (written) bytes
    uint64_t received = 0;
    std::vector<uint8_t> heard;  // played-out bytes
    uint64_t heard_bytes = 0;
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

struct PcmBoard {
    PcmDevice dev[KB_MAX_DEVICES][2];
    std::vector<PcmStream *> streams;
    uint64_t serial = 0;
    double speed = 0;
    double period_ms = 0, buffer_ms = 0;  // the devices' geometry (0: default)
    std::string out_dir;
};

// The one PCM state of the process (never destroyed: streams may be used
// from atexit handlers and from threads that outlive main()).
PcmBoard &pcm();
inline PcmDevice &dev_of(const PcmStream &s)
{
    return pcm().dev[s.device][s.dir];
}
const char *format_name(unsigned format);
inline bool pcm_valid(int device, int dir)
{
    return device >= 0 && device < KB_MAX_DEVICES && (dir == KB_PLAYBACK || dir == KB_CAPTURE);
}

// ---- the sample clock (pcm_clock.cpp) ------------------------------------
bool running(const PcmStream &s);
// Starts the clock of a prepared stream at `now`; `why` goes to the event.
void start(PcmStream &s, int64_t now, const char *why);
// Brings the stream's hardware pointer up to `now` (may put it in XRUN).
void advance(PcmStream &s, int64_t now);
// When the clock of a running stream reaches `target` frames.
int64_t time_at(const PcmStream &s, double target);

// ---- hardware parameters (pcm_params.cpp) ---------------------------------
struct HwChoice {
    unsigned access, format, channels, rate, sample_bits, frame_bytes, msbits;
    uint64_t period, periods;
};
// Picks one configuration inside the client's restrictions (and fills the
// record with it), or returns EINVAL.
int hw_choose(snd_pcm_hw_params *p, HwChoice &c);

// ---- audio data in and out (pcm_wav.cpp) ----------------------------------
// Header of the device's WAV file brought up to date with what it holds.
void wav_patch(PcmDevice &d);
void wav_close(PcmDevice &d);
// Appends played or captured bytes of the stream to its device's WAV file
// (opened on the first bytes when there is an output folder).
void wav_append(PcmDevice &d, const PcmStream &s, int device, const uint8_t *data, size_t len);
// Fills frames [first, first + n) of the stream's capture data.
void produce(const PcmStream &s, uint64_t first, uint64_t n, uint8_t *out);

}  // namespace kb
