// SPDX-License-Identifier: MIT
// What a listener notices on each playback device: the stretches of the
// played-out sound that differ from what the program wrote (the silence of
// a gap after an underrun, old ring contents replayed before it, frames cut
// off at a close), and a one-line summary, from the trace's played-out fields.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "trace.h"

namespace ka_report {

struct Heard {
    enum Kind { kGap, kReplayed, kCut };
    struct Stretch {
        Kind kind;
        // Frames of the device's played-out WAV: [from, to) for a gap or a
        // replayed stretch (to = UINT64_MAX: a gap still open where the trace
        // ends), from = to = where the sound stopped for a cut.
        uint64_t from, to;
        uint64_t frames;  // its length (a cut: the frames lost)
        unsigned rate;    // the stream's rate then
        int64_t t;        // when: the underrun (`at`), drop or close that told it
    };
    int dev = -1;
    bool closed = true;  // every stream of the device was closed in the trace
    double received = 0, played = 0, gaps = 0, replayed = 0, cut = 0;  // seconds
    std::vector<Stretch> stretches;
};

// The playback devices whose events carry the played-out fields (none in a
// trace of a board that did not keep them), in device order.
std::vector<Heard> heard_of(const Trace &tr);

// "played out 0.48 s of 0.50 s received; cut at the end: 20 ms", with the
// gaps and the replayed time added when there were any; "" for a device
// whose stream the trace leaves open (the totals come with the close), or
// that neither received nor played anything.
std::string heard_summary(const Heard &h);

// Kind and length as the page lists them: "gap", "replayed", "cut at the end";
// "180 ms".
const char *heard_kind(Heard::Kind k);
std::string ms_text(double seconds);

// A new empty file for a trace that only the launcher reads (in $TMPDIR or
// /tmp), or "" when none can be made.
std::string temp_trace();

// The summary lines of the trace file at `trace` for the launcher's log on
// standard error ("ka-board: pcmC0D0p: played out ..."), "" when there are none.
std::string heard_log(const std::string &trace);

}  // namespace ka_report
