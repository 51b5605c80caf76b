// SPDX-License-Identifier: MIT
// The timeline of a run: a lane per device, the mixer, the codec and the
// audio service, with the streams' open and running spans and a mark per
// event, drawn as inline SVG.
#include "timeline.h"

#include <ctype.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace ka_report {
namespace {

constexpr int kLabelW = 230, kPlotW = 1100, kRightW = 160, kLaneH = 76, kAxisH = 26;
// Labels: three rows above the marks, 12 px text.
constexpr int kRows = 3, kRowH = 14;

// The room a character of a 12 px label takes, a little more than in the
// usual sans-serif fonts (DejaVu Sans is among the widest), so that a
// shortened label stays inside its room.
double char_width(unsigned char c)
{
    if (c == 'M' || c == 'W' || c == 'm' || c == 'w' || c == '%' || c == '@') return 11.5;
    if (isupper(c)) return 9;
    if (isdigit(c) || islower(c)) return 7.8;
    if (c == ' ' || c == '.' || c == ',' || c == ':' || c == 'i' || c == 'l') return 4.5;
    return c >= 0x80 ? 6 : 8;  // a byte of a wider character; other signs
}

// `text` cut to fit `room` px at a character boundary, with an ellipsis when
// it was cut ("" when not even that fits).
std::string shortened(const std::string &text, double room)
{
    double used = 0;
    size_t n = 0;
    while (n < text.size() && used + char_width(static_cast<unsigned char>(text[n])) <= room)
        used += char_width(static_cast<unsigned char>(text[n++]));
    if (n == text.size()) return text;
    // Room for the ellipsis (one wide character).
    while (n > 0 && used + 12 > room) used -= char_width(static_cast<unsigned char>(text[--n]));
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n == 0 ? std::string() : text.substr(0, n) + "\u2026";
}

// A lane's labels: each takes the row that has been free the longest and is
// shortened to end before the next label of its row and inside the lane;
// a shortened label shows its whole text on hover.
std::string labels_svg(const std::vector<std::pair<double, std::string>> &labels, int top, double right)
{
    std::vector<int> row_of(labels.size());
    std::vector<double> row_x(kRows, -1e9);
    for (size_t i = 0; i < labels.size(); ++i) {
        const int r = int(std::min_element(row_x.begin(), row_x.end()) - row_x.begin());
        row_of[i] = r;
        row_x[size_t(r)] = labels[i].first;
    }
    std::ostringstream s;
    for (size_t i = 0; i < labels.size(); ++i) {
        double end = right;
        for (size_t j = i + 1; j < labels.size(); ++j)
            if (row_of[j] == row_of[i]) {
                end = labels[j].first;
                break;
            }
        const double x = labels[i].first + 2;
        const std::string &full = labels[i].second;
        const std::string text = shortened(full, end - x - 4);
        if (text.empty()) continue;
        s << "<g class=\"label\">";
        if (text != full) s << "<title>" << html(full) << "</title>";
        s << "<text x=\"" << fixed(1, x) << "\" y=\"" << top + kRowH * (row_of[i] + 1) << "\">" << html(text)
          << "</text></g>";
    }
    return s.str();
}

class Timeline {
public:
    explicit Timeline(const Trace &tr) : tr_(tr) {}

    double x(int64_t t) const { return kLabelW + double(t - tr_.t0) / double(tr_.t1 - tr_.t0) * kPlotW; }

    std::string svg(const std::vector<Lane> &lanes) const
    {
        const int height = kAxisH + int(lanes.size()) * kLaneH + 4;
        std::ostringstream s;
        // Drawn at its own size (text at its own size too), scrolled
        // sideways in a window that is narrower.
        s << "<svg id=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 "
          << kLabelW + kPlotW + kRightW << ' ' << height << "\" width=\"" << kLabelW + kPlotW + kRightW
          << "\" height=\"" << height << "\">";
        // Time axis: a step of 1, 2 or 5 times a power of ten, about 10 ticks.
        const double span = double(tr_.t1 - tr_.t0) * 1e-9;
        double step = pow(10, floor(log10(span / 10)));
        if (span / step > 50)
            step *= 5;
        else if (span / step > 20)
            step *= 2;
        for (double v = 0; v <= span * 1.0001; v += step) {
            double px = x(tr_.t0 + int64_t(v * 1e9));
            s << "<line class=\"grid\" x1=\"" << fixed(1, px) << "\" x2=\"" << fixed(1, px) << "\" y1=\""
              << kAxisH - 6 << "\" y2=\"" << height << "\"/><text class=\"tick\" x=\"" << fixed(1, px)
              << "\" y=\"" << kAxisH - 10 << "\">"
              << fixed(step < 0.01  ? 3
                       : step < 0.1 ? 2
                                    : 1,
                       v)
              << " s</text>";
        }
        for (size_t i = 0; i < lanes.size(); ++i) {
            const Lane &l = lanes[i];
            const int top = kAxisH + int(i) * kLaneH, mid = top + kLaneH - 16;
            s << "<g class=\"lane " << l.cls << "\" data-lane=\"" << html(l.key)
              << "\"><rect class=\"lanebg\" x=\"0\" y=\"" << top << "\" width=\""
              << kLabelW + kPlotW + kRightW << "\" height=\"" << kLaneH
              << "\"/><text class=\"lanename\" x=\"6\" y=\"" << mid + 4 << "\">" << html(l.name) << "</text>";
            // Open streams first, their running clocks over them.
            std::vector<const Span *> spans;
            for (const Span &sp : l.spans)
                if (sp.cls == "open") spans.push_back(&sp);
            for (const Span &sp : l.spans)
                if (sp.cls != "open") spans.push_back(&sp);
            for (const Span *one : spans) {
                const Span &sp = *one;
                double a = x(sp.a), b = std::max(x(sp.b), a + 1);
                s << "<rect class=\"span " << sp.cls << "\" x=\"" << fixed(1, a) << "\" y=\""
                  << (sp.cls == "running" ? mid - 4 : mid - 7) << "\" width=\"" << fixed(1, b - a)
                  << "\" height=\"" << (sp.cls == "running" ? 8 : 14) << "\"><title>" << html(sp.title)
                  << "</title></rect>";
            }
            // The labels of marks that stand close together make one text.
            std::vector<std::pair<double, std::string>> labels;
            for (const Mark &m : l.marks) {
                if (m.label.empty()) continue;
                double px = x(m.t);
                if (!labels.empty() && px - labels.back().first < 8)
                    labels.back().second += ", " + m.label;
                else
                    labels.emplace_back(px, m.label);
            }
            s << labels_svg(labels, top, kLabelW + kPlotW + kRightW - 2);
            for (const Mark &m : l.marks) {
                double px = x(m.t);
                s << "<g class=\"mark " << m.cls << "\"><title>" << html(m.title) << "</title>";
                if (m.cls.find("underrun") != std::string::npos || m.cls.find("overrun") != std::string::npos)
                    s << "<path d=\"M" << fixed(1, px) << ' ' << mid - 10 << " l6 14 h-12 Z\"/>";
                else if (m.cls.find("fault") != std::string::npos)
                    s << "<path d=\"M" << fixed(1, px - 5) << ' ' << mid - 5 << " l10 10 m0 -10 l-10 10\"/>";
                else
                    s << "<line x1=\"" << fixed(1, px) << "\" x2=\"" << fixed(1, px) << "\" y1=\"" << mid - 9
                      << "\" y2=\"" << mid + 9 << "\"/>";
                s << "</g>";
            }
            s << "</g>";
        }
        s << "</svg>";
        return s.str();
    }

private:
    const Trace &tr_;
};

// The lane an event belongs to: "pcmC0D1p", "mixer", "codec", "service",
// "program", or "" for none.
std::string lane_of(const Event &e)
{
    const std::string &k = e.kind;
    if (k == "fault") {
        std::string name = string_or(e.j, "name", "");
        if (e.dev >= 0 && e.dir >= 0) return dev_name(e.dev, e.dir);
        if (name.rfind("ctl_", 0) == 0) return "mixer";
        if (name.rfind("i2c_", 0) == 0) return "codec";
        return "program";
    }
    if (k.rfind("pcm_", 0) == 0 || k == "wav_file" || k == "wav_error")
        return e.dev >= 0 ? dev_name(e.dev, e.dir) : "";
    if (k.rfind("ctl_", 0) == 0) return "mixer";
    if (k.rfind("i2c_", 0) == 0 || k == "node_open") return "codec";
    if (k == "file_open" || k == "file_changed" || k == "file_removed" || k == "system" ||
        k == "system_done") {
        if (string_or(e.j, "path", "").rfind("/sys/", 0) == 0) return "codec";
        return "service";
    }
    if (k == "run" || k == "exit" || k == "board_ready") return "program";
    if (k == "log") return "log";
    return "";
}

}  // namespace

std::string mark_label(const Event &e)
{
    const std::string &k = e.kind;
    const Json &j = e.j;
    auto n = [&](const char *key) { return std::to_string(int_or(j, key, 0, INT64_MIN, INT64_MAX)); };
    if (k == "pcm_open") return "open";
    if (k == "pcm_hw_params")
        return string_or(j, "format", "?") + " " + n("rate") + " Hz " + n("channels") + " ch, period " +
               n("period") + " x" + n("periods");
    if (k == "pcm_prepare") return "prepare";
    if (k == "pcm_start") return "start";
    if (k == "pcm_underrun") return "underrun";
    if (k == "pcm_overrun") return "overrun";
    if (k == "pcm_drain") return "drain";
    if (k == "pcm_drop") return "drop";
    if (k == "pcm_close") return "close";
    if (k == "fault") return "fault " + string_or(j, "name", "") + ": " + string_or(j, "error", "");
    if (k == "ctl_write") {
        const Json *v = member(j, "values");
        return string_or(j, "name", "?") + " = " + (v ? value_text(*v) : "");
    }
    if (k == "i2c_write" || k == "i2c_read") {
        char b[32];
        snprintf(b, sizeof b, "0x%02X", unsigned(int_or(j, "reg", 0, 0, UINT32_MAX)));
        std::string s = std::string(k == "i2c_write" ? "write " : "read ") + b;
        if (const Json *v = member(j, "values"); v && v->is_array() && !v->empty()) {
            s += k == "i2c_write" ? " = " : " -> ";
            for (size_t i = 0; i < v->size(); ++i) {
                snprintf(b, sizeof b, "%s0x%04X", i ? " " : "",
                         unsigned((*v)[i].is_number() ? to_int((*v)[i].get<double>(), 0, UINT32_MAX) : 0));
                s += b;
            }
        }
        return s;
    }
    if (k == "node_open") return "codec node (" + string_or(j, "mode", "") + ")";
    if (k == "file_open") return string_or(j, "path", "") + " (" + string_or(j, "mode", "") + ")";
    if (k == "file_changed") {
        std::string text = string_or(j, "text", "");
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return string_or(j, "path", "") + ": " + text;
    }
    if (k == "file_removed") return string_or(j, "path", "") + " removed";
    if (k == "system") return "system: " + string_or(j, "command", "");
    if (k == "run") return "start";
    if (k == "exit") return string_or(j, "status", "exit");
    if (k == "board_ready") return "process " + std::to_string(e.pid);
    if (k == "log")
        return string_or(e.j, "prio", "?") + "/" + string_or(e.j, "tag", "") + ": " +
               string_or(e.j, "text", "");
    return {};
}

namespace {

std::vector<Lane> make_lanes(const Trace &tr)
{
    std::map<std::pair<int, int>, Lane> devices;
    Lane program{"program", "Program", "program", {}, {}};
    Lane mixer{"mixer", "Mixer controls", "mixer", {}, {}};
    Lane codec{"codec", "Codec: I2C, sysfs node", "codec", {}, {}};
    Lane service{"service", "Audio service: files, system()", "service", {}, {}};
    Lane log{"log", "Library log", "log", {}, {}};
    // Open streams by (pid, fd); running ones by the same key.
    std::map<std::pair<int, int>, int64_t> open_at;
    std::map<std::pair<int, int>, std::pair<int, int>> open_dev;
    std::map<std::pair<int, int>, int64_t> running_since;  // per device
    for (const Event &e : tr.events) {
        std::string lane = lane_of(e);
        if (lane.empty() || e.kind == "wav_file" || e.kind == "system_done" || e.kind == "pcm_sw_params")
            continue;
        Mark m{e.t, e.kind, mark_label(e), seconds(tr, e.t) + " s  " + event_text(e)};
        if (e.kind == "pcm_underrun" || e.kind == "pcm_overrun") {
            // Drawn where the clock passed the data.
            m.t = std::clamp(int_or(e.j, "at", e.t, 0, kMaxTime), std::min(tr.t0, e.t), e.t);
            m.cls += " xrun";
        }
        if (e.kind == "ctl_open" || e.kind == "ctl_close" || e.kind == "i2c_open" || e.kind == "i2c_close")
            m.label.clear();
        Lane *l = nullptr;
        if (lane == "program")
            l = &program;
        else if (lane == "mixer")
            l = &mixer;
        else if (lane == "codec")
            l = &codec;
        else if (lane == "service")
            l = &service;
        else if (lane == "log")
            l = &log;
        else {
            Lane &d = devices[{e.dev, e.dir}];
            if (d.key.empty()) {
                d.key = lane;
                d.name = lane + (e.dir == 1 ? " (capture)" : " (playback)");
                d.cls = "device";
            }
            l = &d;
        }
        if (e.dev >= 0 && e.dir >= 0) {
            std::pair<int, int> dev{e.dev, e.dir};
            std::pair<int, int> key{e.pid, int(int_or(e.j, "fd", -1))};
            auto stop_running = [&](int64_t at) {
                auto it = running_since.find(dev);
                if (it == running_since.end()) return;
                l->spans.push_back(
                    {it->second, at, "running",
                     "running " + seconds(tr, it->second) + " s to " + seconds(tr, at) + " s"});
                running_since.erase(it);
            };
            if (e.kind == "pcm_open") {
                open_at[key] = e.t;
                open_dev[key] = dev;
            } else if (e.kind == "pcm_close") {
                stop_running(e.t);
                auto it = open_at.find(key);
                int64_t a = it == open_at.end() ? tr.t0 : it->second;
                l->spans.push_back(
                    {a, e.t, "open", "open " + seconds(tr, a) + " s to " + seconds(tr, e.t) + " s"});
                if (it != open_at.end()) open_at.erase(it);
            } else if (e.kind == "pcm_start") {
                running_since.emplace(dev, e.t);
            } else if (e.kind == "pcm_underrun" || e.kind == "pcm_overrun") {
                stop_running(m.t);
            } else if (e.kind == "pcm_drop" || e.kind == "pcm_prepare" || e.kind == "pcm_hw_free") {
                stop_running(e.t);
            }
        }
        l->marks.push_back(std::move(m));
    }
    // Streams still open (or running) when the trace ends: to its end.
    for (const auto &o : open_at) {
        Lane &d = devices[open_dev[o.first]];
        d.spans.push_back({o.second, tr.t1, "open", "open from " + seconds(tr, o.second) + " s to the end"});
    }
    for (const auto &r : running_since)
        devices[r.first].spans.push_back({r.second, tr.t1, "running", "running to the end"});
    std::vector<Lane> lanes{std::move(program)};
    for (auto &d : devices) {
        std::sort(d.second.marks.begin(), d.second.marks.end(),
                  [](const Mark &a, const Mark &b) { return a.t < b.t; });
        lanes.push_back(std::move(d.second));
    }
    lanes.push_back(std::move(mixer));
    lanes.push_back(std::move(codec));
    lanes.push_back(std::move(service));
    if (!log.marks.empty()) lanes.push_back(std::move(log));
    return lanes;
}

}  // namespace

std::string timeline_svg(const Trace &tr)
{
    return Timeline(tr).svg(make_lanes(tr));
}

}  // namespace ka_report
