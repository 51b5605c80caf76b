// SPDX-License-Identifier: MIT
// Reading a trace file: the board's events and the launcher's lines, one
// JSON object a line, into events in time order.
#pragma once

#include <stdint.h>

#include <istream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ka_report {

// Objects keep their members in the order of the line, as the page shows them.
using Json = nlohmann::ordered_json;

// The latest time a trace may hold (ns, 146 years): differences of two times
// and the page's margins never overflow.
constexpr int64_t kMaxTime = int64_t(1) << 62;

// `v` as an integer of [lo, hi]: the fraction dropped, a value outside the
// range clamped to it, NaN taken as `lo`. A trace may hold any number, and
// the conversion of one that does not fit is undefined.
int64_t to_int(double v, int64_t lo, int64_t hi);

// The member `key` of an object, or nullptr.
const Json *member(const Json &j, const char *key);

// Members of an event's object, with a default for a member that is missing
// or of another type.
int64_t int_or(const Json &j, const char *key, int64_t def, int64_t lo = INT32_MIN, int64_t hi = INT32_MAX);
double number_or(const Json &j, const char *key, double def);
std::string string_or(const Json &j, const char *key, const std::string &def);

struct Event {
    int64_t t = 0;
    int pid = 0;
    std::string kind;
    int dev = -1, dir = -1;
    Json j;
};

struct Trace {
    std::vector<Event> events;  // in time order
    const Event *run = nullptr, *exit = nullptr;
    size_t bad_lines = 0;
    int format = 0;  // the format version of the trace's header line, 0 without one
    int64_t t0 = 0, t1 = 1;
};

// Reads the trace's lines from `in` (the file at `path`, named in the
// error). False with the reason in *error when the trace holds no events or
// was written in a newer format than this reader knows.
bool load_trace(std::istream &in, const std::string &path, Trace &tr, std::string *error);

// ---- text of events --------------------------------------------------------------

std::string html(const std::string &s);
// `v` with `decimals` digits after the point.
std::string fixed(int decimals, double v);
std::string dev_name(int dev, int dir);
std::string value_text(const Json &v);
// "kind device key=value ..." of the whole event.
std::string event_text(const Event &e);
// Seconds from the trace's start.
std::string seconds(const Trace &tr, int64_t t);

}  // namespace ka_report
