// SPDX-License-Identifier: MIT
// The run report: one static page, DIR/index.html, made from a trace file
// (the board's events and the launcher's "run" and "exit" lines) and the
// devices' WAV files. It needs nothing but a browser: the timeline and the
// waveforms are inline SVG, the spectrograms inline PNG images, the style
// inline CSS, and there is no script.
#include "report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "../src/kb_json.h"
#include "audio.h"
#include "timeline.h"
#include "trace.h"

namespace ka_report {
namespace {

constexpr const char *kStyle = R"(
body{font:14px/1.4 sans-serif;margin:16px 24px;color:#222;background:#fff}
h1{font-size:20px;margin:0 0 8px}h2{font-size:17px;margin:24px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin:18px 0 6px}
code,pre,td.ev{font-family:monospace;font-size:12px}
table{border-collapse:collapse}td,th{padding:2px 8px;text-align:left;vertical-align:top}
table.events tr:nth-child(even){background:#f4f4f4}
dl.levels{display:grid;grid-template-columns:max-content auto;gap:2px 12px;margin:6px 0}
dl.levels dt{color:#555}dl.levels dd{margin:0;font-family:monospace}
.status-ok{color:#070}.status-bad{color:#b00;font-weight:bold}
.scroll{overflow-x:auto;margin:8px 0}#timeline{display:block;border:1px solid #ccc}
.lanebg{fill:#fff}.lane:nth-child(odd) .lanebg{fill:#f6f7fa}
.lanename{font-size:13px;font-weight:bold;fill:#333}
.grid{stroke:#ddd;stroke-width:1}.tick{font-size:12px;fill:#555;text-anchor:middle}
.span.open{fill:#cfe0f5}.span.running{fill:#3c7dd9}
.mark line,.mark path{stroke:#445;stroke-width:1.5;fill:none}
.mark.pcm_hw_params line{stroke:#7a2;stroke-width:2}.mark.pcm_start line{stroke:#06c;stroke-width:2}
.mark.xrun path{fill:#d00;stroke:#900}.mark.fault path{stroke:#e60;stroke-width:3}
.mark.ctl_write line{stroke:#a50}.mark.i2c_write line{stroke:#608}.mark.system line{stroke:#080;stroke-width:2}
.mark.exit line{stroke:#b00;stroke-width:3}
.label text{font-size:12px;fill:#333}
.wbg{fill:#fbfbfd}.wmid{stroke:#ccc;stroke-width:1;vector-effect:non-scaling-stroke}.wave{fill:#2d6fc4}
svg.waveform{display:block;width:1000px;border:1px solid #ccc}
svg.spectrogram{display:block}svg.spectrogram image{image-rendering:pixelated}
.frame{fill:none;stroke:#999}.bar{stroke:#999}.tickline{stroke:#555}
.axis{font-size:12px;fill:#444}.axis.freq{text-anchor:end}.axis.time{text-anchor:middle}
.note{color:#666;font-size:12px}
)";

std::string relative_link(const std::string &target, const std::string &dir)
{
    std::error_code ec;
    std::filesystem::path rel = std::filesystem::relative(target, dir, ec);
    if (ec || rel.empty()) return "file://" + target;
    return rel.string();
}

// Where a device's WAV file is: as the trace says, else beside the trace.
std::string find_wav(const std::string &recorded, const std::string &trace)
{
    struct stat st;
    if (!recorded.empty() && stat(recorded.c_str(), &st) == 0) return recorded;
    std::string base = std::filesystem::path(recorded).filename().string();
    std::string beside = (std::filesystem::path(trace).parent_path() / base).string();
    if (!base.empty() && stat(beside.c_str(), &st) == 0) return beside;
    return {};
}

std::string device_section(const Trace &tr, int dev, int dir, const std::string &wav_path,
                           const std::string &trace, const std::string &dir_out)
{
    std::ostringstream s;
    std::string name = dev_name(dev, dir);
    s << "<section class=\"device\" id=\"dev-" << name << "\"><h3>" << name << " &mdash; "
      << (dir == 1 ? "capture" : "playback") << "</h3>";
    // The formats the device was set up with.
    std::vector<std::string> setups;
    for (const Event &e : tr.events)
        if (e.kind == "pcm_hw_params" && e.dev == dev && e.dir == dir) setups.push_back(mark_label(e));
    setups.erase(std::unique(setups.begin(), setups.end()), setups.end());
    std::string path = find_wav(wav_path, trace);
    Wav w;
    if (path.empty() || !read_wav(path, w)) {
        s << "<p class=\"note\">No audio: "
          << (wav_path.empty() ? "the device moved no data" : "cannot read " + html(wav_path))
          << ".</p></section>";
        return s.str();
    }
    s << "<dl class=\"levels\">";
    s << "<dt>Set up as</dt><dd>";
    for (size_t i = 0; i < setups.size(); ++i) s << (i ? "; " : "") << html(setups[i]);
    s << "</dd><dt>WAV file</dt><dd><a class=\"wav\" href=\"" << html(relative_link(path, dir_out)) << "\">"
      << html(std::filesystem::path(path).filename().string()) << "</a> (" << w.bits << "-bit, " << w.rate
      << " Hz, " << w.channels << " ch)</dd>";
    s << "<dt>Duration</dt><dd class=\"duration\" data-value=\"" << fixed(6, double(w.frames) / w.rate)
      << "\">" << fixed(3, double(w.frames) / w.rate) << " s (" << w.frames << " frames)</dd>";
    double peak = dbfs(w.peak), rms = dbfs(w.rms);
    s << "<dt>Peak</dt><dd class=\"peak\" data-value=\"" << (std::isinf(peak) ? "-inf" : fixed(4, peak))
      << "\">" << db_text(peak) << " dBFS</dd>";
    s << "<dt>RMS</dt><dd class=\"rms\" data-value=\"" << (std::isinf(rms) ? "-inf" : fixed(4, rms)) << "\">"
      << db_text(rms) << " dBFS</dd>";
    s << "<dt>Clipped samples</dt><dd class=\"clipped\" data-value=\"" << w.clipped << "\">" << w.clipped
      << "</dd>";
    if (w.channels > 1) {
        s << "<dt>Per channel</dt><dd class=\"channels\">";
        for (unsigned c = 0; c < w.channels; ++c)
            s << (c ? "; " : "") << "<span class=\"channel\" data-peak=\"" << fixed(4, dbfs(w.ch_peak[c]))
              << "\" data-rms=\"" << fixed(4, dbfs(w.ch_rms[c])) << "\">" << c + 1 << ": peak "
              << db_text(dbfs(w.ch_peak[c])) << ", RMS " << db_text(dbfs(w.ch_rms[c])) << "</span>";
        s << "</dd>";
    }
    s << "</dl>";
    if (w.frames > 0) s << "<p class=\"note\">Waveform, channel by channel:</p>" << waveform_svg(w);
    std::string spectrogram = spectrogram_html(w, name);
    if (!spectrogram.empty())
        s << spectrogram;
    else
        s << "<p class=\"note\">No spectrogram (too short, or ka-board was built without FFTW or "
             "libpng).</p>";
    s << "</section>";
    return s.str();
}

}  // namespace

std::string json_escape(const std::string &s)
{
    std::string out;
    kb::json_escape(out, s);
    return out;
}

namespace {

// The page of a trace read in, for the folder `dir`.
std::string page_of(const Trace &tr, const std::string &trace, const std::string &dir)
{
    std::error_code ec;
    std::string abs_dir = std::filesystem::absolute(dir, ec).lexically_normal().string();

    std::ostringstream p;
    p << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>ka-board run "
         "report</title><style>"
      << kStyle << "</style></head><body>\n<h1>ka-board run report</h1>\n";

    // The run.
    p << "<section id=\"run\"><table class=\"run\">";
    if (tr.run) {
        std::string cmd;
        if (const Json *a = member(tr.run->j, "argv"); a && a->is_array())
            for (const auto &i : *a) cmd += (cmd.empty() ? "" : " ") + value_text(i);
        p << "<tr><th>Command</th><td><code id=\"command\">" << html(cmd) << "</code></td></tr>";
        p << "<tr><th>Board options</th><td id=\"options\">";
        if (const Json *o = member(tr.run->j, "options"); o && o->is_object() && !o->empty())
            for (const auto &f : o->items())
                p << "<code>" << html(f.key()) << "=" << html(value_text(f.value())) << "</code> ";
        else
            p << "defaults";
        p << "</td></tr>";
        if (const Json *c = member(tr.run->j, "cwd"))
            p << "<tr><th>Folder</th><td><code>" << html(value_text(*c)) << "</code></td></tr>";
    } else {
        p << "<tr><th>Command</th><td>not recorded (the trace was not written by ka-board run)</td></tr>";
    }
    p << "<tr><th>Exit status</th><td id=\"exit-status\">";
    if (tr.exit) {
        std::string st = string_or(tr.exit->j, "status", "?");
        bool ok = st == "exited" && number_or(tr.exit->j, "code", 1) == 0;
        p << "<span class=\"" << (ok ? "status-ok" : "status-bad") << "\">" << html(st);
        if (st == "exited")
            p << " with code " << int(int_or(tr.exit->j, "code", 0));
        else if (st == "launcher_killed")
            p << ": ka-board itself was killed, and ended the program's "
              << int(int_or(tr.exit->j, "killed", 0)) << " processes with it";
        else
            p << " by signal " << int(int_or(tr.exit->j, "signal", 0)) << " ("
              << html(string_or(tr.exit->j, "signal_name", "")) << ")";
        p << "</span>";
    } else {
        p << "<span class=\"status-bad\">unknown: the trace ends without the program's end (the launcher was "
             "stopped too)</span>";
    }
    p << "</td></tr><tr><th>Duration</th><td>" << seconds(tr, tr.t1) << " s, " << tr.events.size()
      << " events";
    if (tr.bad_lines) p << " (" << tr.bad_lines << " unreadable lines left out)";
    p << "</td></tr><tr><th>Trace</th><td><a href=\""
      << html(relative_link(std::filesystem::absolute(trace, ec).string(), abs_dir)) << "\">"
      << html(std::filesystem::path(trace).filename().string()) << "</a></td></tr></table></section>\n";

    // The timeline.
    p << "<h2>Timeline</h2><p class=\"note\">Seconds from the start. Pale bars: a stream is open; dark bars: "
         "its "
         "clock runs. Red triangles: underruns and overruns; orange crosses: injected faults. Point at a "
         "mark for "
         "the whole event.</p>\n"
      << "<div class=\"scroll\">" << timeline_svg(tr) << "</div>\n";

    // The devices' audio.
    std::map<std::pair<int, int>, std::string> wavs;
    std::vector<std::pair<int, int>> used;
    for (const Event &e : tr.events) {
        if (e.dev < 0 || e.dir < 0) continue;
        if (std::find(used.begin(), used.end(), std::make_pair(e.dev, e.dir)) == used.end())
            used.emplace_back(e.dev, e.dir);
        // What the device played out (or captured), not what it received.
        if (e.kind == "wav_file" && string_or(e.j, "what", "") != "received")
            wavs[{e.dev, e.dir}] = string_or(e.j, "path", "");
    }
    std::sort(used.begin(), used.end());
    p << "<h2>Audio</h2>\n";
    if (used.empty()) p << "<p class=\"note\">No PCM device was used.</p>";
    for (const auto &d : used) p << device_section(tr, d.first, d.second, wavs[d], trace, abs_dir) << "\n";

    // Every event.
    p << "<h2>Events</h2><table class=\"events\"><tr><th>Time (s)</th><th>Process</th><th>Event</th></tr>\n";
    for (const Event &e : tr.events)
        p << "<tr><td>" << seconds(tr, e.t) << "</td><td>" << e.pid << "</td><td class=\"ev\">"
          << html(event_text(e)) << "</td></tr>\n";
    p << "</table></body></html>\n";
    return p.str();
}

}  // namespace

int report_page(std::istream &in, const std::string &trace, const std::string &dir, std::string *page,
                std::string *error)
{
    Trace tr;
    if (!load_trace(in, trace, tr, error)) return -1;
    *page = page_of(tr, trace, dir);
    return 0;
}

int make_report(const std::string &trace, const std::string &dir, std::string *error)
{
    std::ifstream in(trace);
    if (!in) {
        *error = "cannot read " + trace + ": " + strerror(errno);
        return -1;
    }
    Trace tr;
    if (!load_trace(in, trace, tr, error)) return -1;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string page = page_of(tr, trace, dir);

    std::string out = (std::filesystem::path(dir) / "index.html").string();
    std::string tmp = out + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) {
            *error = "cannot write " + tmp + ": " + strerror(errno);
            return -1;
        }
        f << page;
        if (!f.flush()) {
            *error = "cannot write " + tmp + ": " + strerror(errno);
            return -1;
        }
    }
    if (rename(tmp.c_str(), out.c_str()) != 0) {
        *error = "cannot write " + out + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

}  // namespace ka_report
