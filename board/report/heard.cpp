// SPDX-License-Identifier: MIT
// What a listener notices on each playback device, from the trace.
//
// The board counts, per device, the frames it played out (gaps included):
// pcm_start, pcm_underrun, pcm_drop and pcm_close carry that count as `out`,
// so their positions in the played-out WAV come straight from the events. A
// gap runs from the stop (underrun or drop) to the next start or the close;
// an underrun's `replayed` frames lie just before its `out`; a close's `cut`
// frames of sound were written but never played.
#include "heard.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace ka_report {
namespace {

struct DeviceState {
    Heard h;
    bool known = false;  // an event carried `out`
    unsigned rate = 0;
    int open = 0;
    uint64_t last_out = 0;  // the played-out count at the last close
    bool in_gap = false;
    Heard::Stretch gap{};
};

uint64_t frames_of(const Json &j, const char *key)
{
    return uint64_t(int_or(j, key, 0, 0, INT64_MAX));
}

// Seconds of `frames` at `rate` (0 when the rate is not known).
double secs(uint64_t frames, unsigned rate)
{
    return rate ? double(frames) / rate : 0;
}

void end_gap(DeviceState &d, uint64_t out)
{
    if (!d.in_gap) return;
    d.in_gap = false;
    if (out <= d.gap.from) return;  // a stop and restart with no time between (speed 0)
    d.gap.to = out;
    d.gap.frames = out - d.gap.from;
    d.h.gaps += secs(d.gap.frames, d.gap.rate);
    d.h.stretches.push_back(d.gap);
}

}  // namespace

std::vector<Heard> heard_of(const Trace &tr)
{
    std::map<int, DeviceState> devices;
    for (const Event &e : tr.events) {
        if (e.dir != 0 || e.dev < 0 || e.kind.rfind("pcm_", 0) != 0) continue;
        DeviceState &d = devices[e.dev];
        d.h.dev = e.dev;
        const Json *out_field = member(e.j, "out");
        const bool has_out = out_field && out_field->is_number();
        const uint64_t out = frames_of(e.j, "out");
        d.known = d.known || has_out;
        if (e.kind == "pcm_open") {
            ++d.open;
        } else if (e.kind == "pcm_hw_params") {
            d.rate = unsigned(int_or(e.j, "rate", 0, 0, UINT32_MAX));
        } else if (e.kind == "pcm_start" && has_out) {
            end_gap(d, out);
        } else if ((e.kind == "pcm_underrun" || e.kind == "pcm_drop") && has_out) {
            // An underrun is seen late (at the program's next look): it
            // happened `at`, where the timeline draws it too.
            const int64_t t = std::clamp(int_or(e.j, "at", e.t, 0, kMaxTime), std::min(tr.t0, e.t), e.t);
            if (const uint64_t r = std::min(frames_of(e.j, "replayed"), out); r > 0) {
                d.h.stretches.push_back({Heard::kReplayed, out - r, out, r, d.rate, t});
                d.h.replayed += secs(r, d.rate);
            }
            if (!d.in_gap) {
                d.in_gap = true;
                d.gap = {Heard::kGap, out, UINT64_MAX, 0, d.rate, t};
            }
        } else if (e.kind == "pcm_close") {
            --d.open;
            if (!has_out) continue;
            end_gap(d, out);
            if (const uint64_t cut = frames_of(e.j, "cut"); cut > 0) {
                d.h.stretches.push_back({Heard::kCut, out, out, cut, d.rate, e.t});
                d.h.cut += secs(cut, d.rate);
            }
            d.h.received += secs(frames_of(e.j, "frames"), d.rate);
            d.h.played += secs(out > d.last_out ? out - d.last_out : 0, d.rate);
            d.last_out = std::max(d.last_out, out);
        }
    }
    std::vector<Heard> all;
    for (auto &[dev, d] : devices) {
        if (!d.known) continue;
        if (d.in_gap) d.h.stretches.push_back(d.gap);  // silent to the end of the trace
        d.h.closed = d.open <= 0;
        all.push_back(std::move(d.h));
    }
    return all;
}

const char *heard_kind(Heard::Kind k)
{
    switch (k) {
        case Heard::kGap:
            return "gap";
        case Heard::kReplayed:
            return "replayed";
        case Heard::kCut:
            return "cut at the end";
    }
    return "";
}

std::string ms_text(double seconds)
{
    const double ms = seconds * 1000;
    return fixed(ms > 0 && ms < 10 ? 1 : 0, ms) + " ms";
}

std::string heard_summary(const Heard &h)
{
    if (!h.closed || (h.played == 0 && h.received == 0)) return {};
    std::string s = "played out " + fixed(2, h.played) + " s of " + fixed(2, h.received) +
                    " s received; cut at the end: " + ms_text(h.cut);
    if (h.gaps > 0) s += "; gaps: " + ms_text(h.gaps);
    if (h.replayed > 0) s += "; replayed: " + ms_text(h.replayed);
    return s;
}

std::string temp_trace()
{
    const char *tmp = getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/ka-board-log.XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) return {};
    close(fd);
    return path;
}

std::string heard_log(const std::string &trace)
{
    std::ifstream in(trace);
    Trace tr;
    std::string error;
    if (!in || !load_trace(in, trace, tr, &error)) return {};
    std::string lines;
    for (const Heard &h : heard_of(tr))
        if (std::string s = heard_summary(h); !s.empty())
            lines += "ka-board: " + dev_name(h.dev, 0) + ": " + s + "\n";
    return lines;
}

}  // namespace ka_report
