// SPDX-License-Identifier: MIT
// Reading a trace file into events, and the text of an event.
#include "trace.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>

#include "../src/kb_json.h"

namespace ka_report {

int64_t to_int(double v, int64_t lo, int64_t hi)
{
    if (!(v >= double(lo))) return lo;
    if (v >= double(hi)) return hi;
    return int64_t(v);
}

const Json *member(const Json &j, const char *key)
{
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

namespace {

// A number as an integer of [lo, hi]; integers are taken exactly.
int64_t clamp_number(const Json &v, int64_t lo, int64_t hi)
{
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        return u > uint64_t(hi) ? hi : std::max(lo, int64_t(u));
    }
    if (v.is_number_integer()) return std::clamp(v.get<int64_t>(), lo, hi);
    return to_int(v.get<double>(), lo, hi);
}

}  // namespace

int64_t int_or(const Json &j, const char *key, int64_t def, int64_t lo, int64_t hi)
{
    const Json *v = member(j, key);
    return v && v->is_number() ? clamp_number(*v, lo, hi) : def;
}

double number_or(const Json &j, const char *key, double def)
{
    const Json *v = member(j, key);
    return v && v->is_number() ? v->get<double>() : def;
}

std::string string_or(const Json &j, const char *key, const std::string &def)
{
    const Json *v = member(j, key);
    return v && v->is_string() ? v->get<std::string>() : def;
}

bool load_trace(std::istream &in, const std::string &path, Trace &tr, std::string *error)
{
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        Event e;
        // A run that was killed may end in the middle of a line: that line,
        // and any other that is no event, is counted and left out.
        e.j = Json::parse(line, nullptr, false);
        if (!e.j.is_object() || !member(e.j, "t") || !member(e.j, "ev")) {
            ++tr.bad_lines;
            continue;
        }
        e.t = int_or(e.j, "t", 0, 0, kMaxTime);
        e.pid = int(int_or(e.j, "pid", 0));
        e.kind = string_or(e.j, "ev", "");
        e.dev = int(int_or(e.j, "dev", -1));
        std::string d = string_or(e.j, "dir", "");
        e.dir = d == "p" ? 0 : d == "c" ? 1 : -1;
        if (e.kind == "trace") {
            // The header line that whoever made the file wrote first.
            const int64_t format = int_or(e.j, "format", 0);
            if (format > kb::kTraceFormat) {
                *error = path + " is in trace format " + std::to_string(format) +
                         ", newer than this ka-board reads (format " + std::to_string(kb::kTraceFormat) +
                         "): make the page with the ka-board that wrote the trace";
                return false;
            }
            tr.format = std::max(tr.format, int(format));
            continue;
        }
        tr.events.push_back(std::move(e));
    }
    std::stable_sort(tr.events.begin(), tr.events.end(),
                     [](const Event &a, const Event &b) { return a.t < b.t; });
    if (tr.events.empty()) {
        *error = path + " holds no events";
        return false;
    }
    for (const auto &e : tr.events) {
        if (e.kind == "run" && !tr.run) tr.run = &e;
        if (e.kind == "exit") tr.exit = &e;
    }
    tr.t0 = tr.run ? tr.run->t : tr.events.front().t;
    tr.t1 = tr.t0 + 1000000;  // at least 1 ms
    for (const auto &e : tr.events) tr.t1 = std::max(tr.t1, e.t);
    return true;
}

std::string html(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string fixed(int decimals, double v)
{
    char b[64];
    snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string dev_name(int dev, int dir)
{
    return "pcmC0D" + std::to_string(dev) + (dir == 1 ? "c" : "p");
}

std::string value_text(const Json &v)
{
    if (v.is_number_integer()) return v.dump();
    if (v.is_number()) {
        char b[32];
        snprintf(b, sizeof b, "%.15g", v.get<double>());
        return b;
    }
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
    if (v.is_array()) {
        std::string s;
        for (size_t i = 0; i < v.size(); ++i) s += (i ? " " : "") + value_text(v[i]);
        return s;
    }
    return "";
}

std::string event_text(const Event &e)
{
    std::string s = e.kind + " ";
    if (e.dev >= 0) s += (e.dir >= 0 ? dev_name(e.dev, e.dir) : "pcm device " + std::to_string(e.dev)) + " ";
    bool first = true;
    for (const auto &f : e.j.items()) {
        const std::string &k = f.key();
        if (k == "t" || k == "pid" || k == "seq" || k == "ev" || k == "dev" || k == "dir") continue;
        if (!first) s += ' ';
        first = false;
        s += k + "=" + value_text(f.value());
    }
    return s;
}

std::string seconds(const Trace &tr, int64_t t)
{
    return fixed(3, double(t - tr.t0) * 1e-9);
}

}  // namespace ka_report
