// SPDX-License-Identifier: MIT
// Letting a playback stream play what its device still holds before the
// stream is closed: closing a stream drops the frames queued in the
// device's buffer (up to a whole buffer, which a driver may make seconds
// long), so a play that has reached its natural end drains first.
#pragma once

#include <stdint.h>

struct pcm;

// One drain of one stream. The caller owns the stream for the whole drain
// (nothing closes it meanwhile, and nothing writes to it), and polls:
//
//     ka_play_out out;
//     if (out.begin(pcm))
//         while (!out.done(pcm) && still_wanted) out.nap();
//
// where still_wanted is the caller's own test for a stop asked for by the
// application (a stop may drop what is left; a natural end does not).
class ka_play_out {
public:
    // Asks the device to play what it holds and then stop (a stream that
    // never started is started for it). False when there is nothing to
    // wait for: no stream, or a stream that has already stopped.
    bool begin(struct pcm *pcm);
    // True once the device has played everything and stopped, once the
    // stream has failed, or once the time the drain may take has run out.
    bool done(struct pcm *pcm);
    // Sleeps a little: at most a period, and no longer than what the
    // device still held at the last look.
    void nap() const;
    // Sleeps `ns` nanoseconds (a signal does not cut it short).
    static void sleep_ns(int64_t ns);

private:
    int64_t deadline_ns_ = 0;
    int64_t nap_ns_ = 0;
    int64_t period_ns_ = 0;
    int64_t frame_ns_ = 0;
};
