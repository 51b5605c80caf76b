// SPDX-License-Identifier: MIT
// The PCM devices' shared records, used by the ioctls (pcm.cpp), the sample
// clock (pcm_clock.cpp), hardware parameter refinement (pcm_params.cpp),
// what playback devices played out (pcm_heard.cpp) and the audio data in and
// out (pcm_wav.cpp). Everything here is used with the board lock held.
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
    double hw = 0;  // moved only by set_hw(); back to 0 with out_to
    double hw0 = 0;
    int64_t t0 = 0;
    uint64_t moved = 0;   // frames transferred since open
    bool closed = false;  // its descriptor is closed: the clock stands still
    // What a playback stream played out (pcm_heard.cpp).
    std::vector<uint8_t> ring;  // buffer frames; frame f in slot f % buffer
    uint64_t out_to = 0;        // frames [0, out_to) since PREPARE played out or dropped
    uint64_t played = 0;        // frames played out of the ring since open
    uint64_t replay_run = 0;    // old contents played last, in a row
    bool gap = false;           // stopped: the device sounds silence
    int64_t gap_t = 0;          // time the gap is counted up to
    double gap_pos = 0;         // silence frames (fractional) of the gap so far
    uint64_t gap_out = 0;       // of which played out
};

constexpr size_t kPlayedCap = size_t(64) << 20;    // bytes kept in memory per device
constexpr size_t kTransfersCap = size_t(4) << 20;  // transfer sizes kept per device

// A WAV file of the output folder.
struct WavOut {
    int fd = -1;
    uint64_t bytes = 0;  // data bytes
    unsigned rate = 0, channels = 0, bits = 0;
    bool unlinked = false;  // received file removed as the same as the played one
};
enum class WavKind { played, received, captured };

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
    // WAV output files: what was played out (or captured), what was received
    WavOut out, out_received;
};

struct PcmBoard {
    PcmDevice dev[KB_MAX_DEVICES][2];
    std::vector<PcmStream *> streams;
    uint64_t serial = 0;
    double speed = 0;
    double period_ms = 0, buffer_ms = 0;  // the devices' geometry (0: default)
    std::string out_dir;
    bool exited = false;  // the process is exiting: the WAV files are closed for good
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
// DRAIN of the node's stream; waits release the lock.
int drain(Node *n);

// ---- hardware parameters (pcm_params.cpp) ---------------------------------
struct HwChoice {
    unsigned access, format, channels, rate, sample_bits, frame_bytes, msbits;
    uint64_t period, periods;
};
// Picks one configuration inside the client's restrictions (and fills the
// record with it), or returns EINVAL.
int hw_choose(snd_pcm_hw_params *p, HwChoice &c);

// ---- what playback devices played out (pcm_heard.cpp) ----------------------
// Moves the hardware pointer; a playback stream plays out the whole frames
// it passed.
void set_hw(PcmStream &s, double hw);
// After HW_PARAMS (a new, silent ring) and PREPARE (positions from 0).
void heard_setup(PcmStream &s);
void heard_prepared(PcmStream &s);
// Frames [appl, appl + frames) written, before appl moves.
void heard_write(PcmStream &s, const uint8_t *data, uint64_t frames);
// The stream stopped at `at`: silence from then on, until it starts or closes.
void heard_stopped(PcmStream &s, int64_t at);
// Counts the silence of a stopped stream up to `now`; with `keep`, what was
// counted goes into the played-out record. Only a gap that sound follows is
// kept (at the next start, or before a new format): the silence after the
// last stop before a close is nothing a listener notices, and keeping it
// would make a clean play's record longer than what it received.
void heard_gap(PcmStream &s, int64_t now, bool keep);
void heard_started(PcmStream &s, int64_t now);
// Drops what is still queued (DROP, close).
struct Dropped {
    uint64_t frames, cut;  // dropped; of which not silent
};
Dropped heard_drop(PcmStream &s);
// DROP: the stream stops at once; what it still held is dropped.
int drop(PcmStream &s, int64_t now);
// The played, dropped, cut and out fields of a DROP or close.
void heard_event(Event &e, const PcmStream &s, const Dropped &r);

// ---- audio data in and out (pcm_wav.cpp) ----------------------------------
// Headers of the device's WAV files brought up to date with what they hold
// (and the received file removed while it is the same as the played one).
void wav_patch(PcmDevice &d);
void wav_close(PcmDevice &d);
// Appends bytes of the stream to one of its device's WAV files (opened on
// the first bytes when there is an output folder).
void wav_append(PcmDevice &d, const PcmStream &s, WavKind kind, const uint8_t *data, size_t len);
// Fills frames [first, first + n) of the stream's capture data.
void produce(const PcmStream &s, uint64_t first, uint64_t n, uint8_t *out);

}  // namespace kb
