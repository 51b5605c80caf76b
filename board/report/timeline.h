// SPDX-License-Identifier: MIT
// The timeline of a run, and the short text of an event beside its mark.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "trace.h"

namespace ka_report {

struct Mark {
    int64_t t;
    std::string cls;    // CSS classes after "mark"
    std::string label;  // drawn beside the mark (may be empty)
    std::string title;  // the tooltip: the whole event
};
struct Span {
    int64_t a, b;
    std::string cls, title;
};
struct Lane {
    std::string key, name, cls;
    std::vector<Mark> marks;
    std::vector<Span> spans;
};

// The short text beside an event's mark ("open", "S16_LE 16000 Hz 2 ch, ...").
std::string mark_label(const Event &e);

// The lanes of the trace's events, drawn as inline SVG.
std::string timeline_svg(const Trace &tr);

}  // namespace ka_report
