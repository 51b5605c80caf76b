// SPDX-License-Identifier: MIT
// The run report: reads a trace file (the board's events and the launcher's
// "run" and "exit" lines) and the devices' WAV files, and writes one static
// page, DIR/index.html, that needs nothing but a browser: the timeline and
// the waveforms are inline SVG, the spectrograms inline PNG images (made
// with FFTW and zlib), the style inline CSS, and there is no script.
#include "report.h"

#include "../src/kb_json.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#ifdef KA_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef KA_HAVE_ZLIB
#include <zlib.h>
#endif

namespace ka_report {
namespace {

// ---- JSON ----------------------------------------------------------------------

// `v` as an integer of [lo, hi]: the fraction dropped, a value outside the
// range clamped to it, NaN taken as `lo`. A trace may hold any number, and
// the conversion of one that does not fit is undefined.
int64_t to_int(double v, int64_t lo, int64_t hi)
{
    if (!(v >= double(lo))) return lo;
    if (v >= double(hi)) return hi;
    return int64_t(v);
}

// The latest time a trace may hold (ns, 146 years): differences of two times
// and the page's margins never overflow.
constexpr int64_t kMaxTime = int64_t(1) << 62;

// A member of an object. A type of its own rather than a std::pair: a pair
// of an incomplete Json inside Json does not compile with clang's checks of
// the standard library.
struct Member;

struct Json {
    enum Type { null, boolean, number, string, array, object } type = null;
    double num = 0;
    std::string str;
    std::vector<Json> items;
    std::vector<Member> fields;

    const Json *get(const std::string &key) const;
    double number_or(const std::string &key, double def) const
    {
        const Json *j = get(key);
        return j && j->type == number ? j->num : def;
    }
    // The number at `key` as an integer of [lo, hi] (see to_int), or `def`.
    int64_t int_or(const std::string &key, int64_t def, int64_t lo = INT_MIN, int64_t hi = INT_MAX) const
    {
        const Json *j = get(key);
        return j && j->type == number ? to_int(j->num, lo, hi) : def;
    }
    std::string string_or(const std::string &key, const std::string &def) const
    {
        const Json *j = get(key);
        return j && j->type == string ? j->str : def;
    }
};

struct Member {
    std::string key;
    Json value;
};

const Json *Json::get(const std::string &key) const
{
    for (const auto &f : fields)
        if (f.key == key) return &f.value;
    return nullptr;
}

class Parser {
public:
    explicit Parser(const std::string &s) : s_(s) {}
    bool parse(Json &out)
    {
        if (!value(out, 0)) return false;
        skip();
        return pos_ == s_.size();
    }

private:
    const std::string &s_;
    size_t pos_ = 0;

    void skip()
    {
        while (pos_ < s_.size() && isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    bool eat(char c)
    {
        skip();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool text(std::string &out)
    {
        if (!eat('"')) return false;
        while (pos_ < s_.size()) {
            char c = s_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) return false;
            char e = s_[pos_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (pos_ + 4 > s_.size()) return false;
                    unsigned v = unsigned(strtoul(s_.substr(pos_, 4).c_str(), nullptr, 16));
                    pos_ += 4;
                    // UTF-8 of the code point (surrogates are kept as they come).
                    if (v < 0x80) {
                        out += char(v);
                    } else if (v < 0x800) {
                        out += char(0xC0 | (v >> 6));
                        out += char(0x80 | (v & 0x3F));
                    } else {
                        out += char(0xE0 | (v >> 12));
                        out += char(0x80 | ((v >> 6) & 0x3F));
                        out += char(0x80 | (v & 0x3F));
                    }
                    break;
                }
                default:
                    out += e;
            }
        }
        return false;
    }
    bool value(Json &out, int depth)
    {
        if (depth > 32) return false;
        skip();
        if (pos_ >= s_.size()) return false;
        char c = s_[pos_];
        if (c == '{') {
            ++pos_;
            out.type = Json::object;
            if (eat('}')) return true;
            do {
                std::string key;
                Json v;
                if (!text(key) || !eat(':') || !value(v, depth + 1)) return false;
                out.fields.push_back({std::move(key), std::move(v)});
            } while (eat(','));
            return eat('}');
        }
        if (c == '[') {
            ++pos_;
            out.type = Json::array;
            if (eat(']')) return true;
            do {
                Json v;
                if (!value(v, depth + 1)) return false;
                out.items.push_back(std::move(v));
            } while (eat(','));
            return eat(']');
        }
        if (c == '"') {
            out.type = Json::string;
            return text(out.str);
        }
        for (const char *word : {"true", "false", "null"}) {
            size_t n = strlen(word);
            if (s_.compare(pos_, n, word) == 0) {
                pos_ += n;
                out.type = word[0] == 'n' ? Json::null : Json::boolean;
                out.num = word[0] == 't';
                return true;
            }
        }
        const char *start = s_.c_str() + pos_;
        char *end = nullptr;
        out.num = strtod(start, &end);
        if (end == start) return false;
        out.type = Json::number;
        pos_ += size_t(end - start);
        return true;
    }
};

// ---- the trace -----------------------------------------------------------------

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
    int64_t t0 = 0, t1 = 1;
};

// Reads the trace's lines from `in` (the file at `path`, named in the error).
bool load_trace(std::istream &in, const std::string &path, Trace &tr, std::string *error)
{
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        Event e;
        // A run that was killed may end in the middle of a line.
        if (!Parser(line).parse(e.j) || e.j.type != Json::object || !e.j.get("t") || !e.j.get("ev")) {
            ++tr.bad_lines;
            continue;
        }
        e.t = e.j.int_or("t", 0, 0, kMaxTime);
        e.pid = int(e.j.int_or("pid", 0));
        e.kind = e.j.string_or("ev", "");
        e.dev = int(e.j.int_or("dev", -1));
        std::string d = e.j.string_or("dir", "");
        e.dir = d == "p" ? 0 : d == "c" ? 1 : -1;
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

// ---- text ----------------------------------------------------------------------

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

// `v` with `decimals` digits after the point.
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
    switch (v.type) {
        case Json::number: {
            char b[32];
            snprintf(b, sizeof b, "%.15g", v.num);
            return b;
        }
        case Json::string:
            return v.str;
        case Json::boolean:
            return v.num ? "true" : "false";
        case Json::array: {
            std::string s;
            for (size_t i = 0; i < v.items.size(); ++i) s += (i ? " " : "") + value_text(v.items[i]);
            return s;
        }
        default:
            return "";
    }
}

// "key=value ..." of the event's own fields.
std::string fields_text(const Event &e)
{
    std::string s;
    for (const auto &f : e.j.fields) {
        if (f.key == "t" || f.key == "pid" || f.key == "seq" || f.key == "ev" || f.key == "dev" ||
            f.key == "dir")
            continue;
        if (!s.empty()) s += ' ';
        s += f.key + "=" + value_text(f.value);
    }
    return s;
}

std::string seconds(const Trace &tr, int64_t t)
{
    return fixed(3, double(t - tr.t0) * 1e-9);
}

// ---- WAV files -------------------------------------------------------------------

struct Wav {
    std::string path;
    unsigned rate = 0, channels = 0, bits = 0;
    uint64_t frames = 0;
    std::vector<float> samples;           // interleaved, full scale 1.0
    double peak = 0, rms = 0;             // of all samples
    std::vector<double> ch_peak, ch_rms;  // per channel
    uint64_t clipped = 0;                 // samples at the largest or smallest code
};

uint32_t le(const uint8_t *p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

// Reads a PCM WAV file. A file whose data chunk runs to its end but whose
// header says less (a run killed before the board patched the header) is
// read to its end, and its header sizes are put right.
bool read_wav(const std::string &path, Wav &w)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    if (f.size() < 12 || memcmp(f.data(), "RIFF", 4) || memcmp(f.data() + 8, "WAVE", 4)) return false;
    size_t off = 12, data_off = 0, data_len = 0;
    bool fmt_seen = false;
    while (off + 8 <= f.size()) {
        size_t len = le(&f[off + 4], 4);
        if (!memcmp(&f[off], "fmt ", 4) && off + 8 + 16 <= f.size()) {
            unsigned tag = le(&f[off + 8], 2);
            if (tag != 1 && tag != 0xFFFE) return false;
            w.channels = le(&f[off + 10], 2);
            w.rate = le(&f[off + 12], 4);
            w.bits = le(&f[off + 22], 2);
            fmt_seen = true;
        } else if (!memcmp(&f[off], "data", 4)) {
            data_off = off + 8;
            size_t rest = f.size() - data_off;
            data_len = len;
            if (len == 0 || len > rest) {
                data_len = rest;
                // Put the header right, in the file too.
                std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
                uint8_t b[4];
                for (int i = 0; i < 4; ++i) b[i] = uint8_t(uint32_t(rest) >> (8 * i));
                io.seekp(long(off + 4));
                io.write(reinterpret_cast<char *>(b), 4);
                uint32_t riff = uint32_t(f.size() - 8);
                for (int i = 0; i < 4; ++i) b[i] = uint8_t(riff >> (8 * i));
                io.seekp(4);
                io.write(reinterpret_cast<char *>(b), 4);
            }
            break;
        }
        off += 8 + len + (len & 1);
    }
    if (!fmt_seen || !data_off || !w.channels || !w.rate ||
        (w.bits != 8 && w.bits != 16 && w.bits != 24 && w.bits != 32))
        return false;
    w.path = path;
    unsigned bytes = w.bits / 8;
    w.frames = data_len / (bytes * w.channels);
    w.samples.resize(size_t(w.frames) * w.channels);
    const uint8_t *p = f.data() + data_off;
    const int64_t top = (int64_t(1) << (w.bits - 1)) - 1, bottom = -(int64_t(1) << (w.bits - 1));
    const double scale = 1.0 / double(int64_t(1) << (w.bits - 1));
    double sum = 0;
    std::vector<double> ch_sum(w.channels, 0);
    w.ch_peak.assign(w.channels, 0);
    for (size_t i = 0; i < w.samples.size(); ++i, p += bytes) {
        int64_t v;
        if (bytes == 1) {
            v = int64_t(p[0]) - 128;  // 8-bit WAV data is unsigned
        } else {
            uint32_t u = le(p, int(bytes));
            v = int64_t(int32_t(u << (32 - w.bits)) >> (32 - w.bits));
        }
        if (v >= top || v <= bottom) ++w.clipped;
        double x = double(v) * scale;
        w.samples[i] = float(x);
        w.peak = std::max(w.peak, fabs(x));
        sum += x * x;
        const size_t c = i % w.channels;
        w.ch_peak[c] = std::max(w.ch_peak[c], fabs(x));
        ch_sum[c] += x * x;
    }
    w.rms = w.samples.empty() ? 0 : sqrt(sum / double(w.samples.size()));
    for (double s : ch_sum) w.ch_rms.push_back(w.frames ? sqrt(s / double(w.frames)) : 0);
    return true;
}

double dbfs(double v)
{
    return v > 0 ? 20 * log10(v) : -INFINITY;
}
std::string db_text(double db)
{
    return std::isinf(db) ? "-inf" : fixed(2, db);
}

// ---- images ------------------------------------------------------------------------

[[maybe_unused]] std::string base64(const std::string &in)
{
    static const char *k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += k[(v >> s) & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16;
        if (i + 1 < in.size()) v |= uint32_t(uint8_t(in[i + 1])) << 8;
        out += k[(v >> 18) & 63];
        out += k[(v >> 12) & 63];
        out += i + 1 < in.size() ? k[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

#ifdef KA_HAVE_ZLIB
void put_be(std::string &s, uint32_t v)
{
    for (int i = 3; i >= 0; --i) s += char(uint8_t(v >> (8 * i)));
}

void png_chunk(std::string &png, const char *type, const std::string &data)
{
    put_be(png, uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    put_be(png, uint32_t(crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
}

// An 8-bit RGB PNG of `rgb` (rows top to bottom), or "" when it cannot be made.
std::string png_rgb(unsigned width, unsigned height, const std::vector<uint8_t> &rgb)
{
    std::string raw;
    raw.reserve(size_t(height) * (1 + width * 3));
    for (unsigned y = 0; y < height; ++y) {
        raw += '\0';  // no filter
        raw.append(reinterpret_cast<const char *>(&rgb[size_t(y) * width * 3]), size_t(width) * 3);
    }
    uLongf len = compressBound(uLong(raw.size()));
    std::string z(len, '\0');
    if (compress2(reinterpret_cast<Bytef *>(&z[0]), &len, reinterpret_cast<const Bytef *>(raw.data()),
                  uLong(raw.size()), 6) != Z_OK)
        return {};
    z.resize(len);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    put_be(ihdr, width);
    put_be(ihdr, height);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
    png_chunk(png, "IHDR", ihdr);
    png_chunk(png, "IDAT", z);
    png_chunk(png, "IEND", "");
    return png;
}
#endif

// Level in dB (from -100 to 0) to a colour: black, blue, red, orange, yellow.
[[maybe_unused]] void colour(double db, uint8_t *rgb)
{
    static const double stops[][3] = {
        {0, 0, 4}, {40, 11, 120}, {170, 40, 100}, {245, 125, 20}, {252, 255, 164}};
    double x = std::clamp((db + 100) / 100, 0.0, 1.0) * 4;
    int i = std::min(3, int(x));
    double f = x - i;
    for (int c = 0; c < 3; ++c) rgb[c] = uint8_t(lrint(stops[i][c] + (stops[i + 1][c] - stops[i][c]) * f));
}

// The spectrogram of the channels' mean as a data: URL of a PNG image, or "".
// Columns are time (the loudest of the transforms that fall in a column),
// rows frequency from 0 (bottom) to half the rate (top).
std::string spectrogram(const Wav &w, unsigned *out_w, unsigned *out_h)
{
#if defined(KA_HAVE_FFTW) && defined(KA_HAVE_ZLIB)
    const int n = w.rate <= 16000 ? 512 : 1024;
    const int hop = n / 4;
    if (w.frames < uint64_t(n)) return {};
    const uint64_t transforms = (w.frames - uint64_t(n)) / uint64_t(hop) + 1;
    const unsigned width = unsigned(std::min<uint64_t>(1000, transforms));
    const unsigned bins = unsigned(n / 2);
    const unsigned height = std::min(256u, bins);
    std::vector<double> level(size_t(width) * height, -200);
    double *in = fftw_alloc_real(size_t(n));
    fftw_complex *out = fftw_alloc_complex(size_t(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    std::vector<double> window(static_cast<size_t>(n));
    double wsum = 0;
    for (int i = 0; i < n; ++i) {
        window[size_t(i)] = 0.5 - 0.5 * cos(2 * M_PI * i / n);
        wsum += window[size_t(i)];
    }
    // A full-scale sine shows as 0 dB.
    const double norm = 2 / wsum;
    for (uint64_t k = 0; k < transforms; ++k) {
        const uint64_t first = k * uint64_t(hop);
        for (int i = 0; i < n; ++i) {
            double s = 0;
            const float *f = &w.samples[size_t(first + uint64_t(i)) * w.channels];
            for (unsigned c = 0; c < w.channels; ++c) s += f[c];
            in[i] = s / w.channels * window[size_t(i)];
        }
        fftw_execute(plan);
        unsigned col = unsigned(k * width / transforms);
        for (unsigned b = 0; b < bins; ++b) {
            double mag = hypot(out[b][0], out[b][1]) * norm;
            double db = mag > 1e-10 ? 20 * log10(mag) : -200;
            unsigned row = b * height / bins;
            double &cell = level[size_t(row) * width + col];
            cell = std::max(cell, db);
        }
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (unsigned row = 0; row < height; ++row)
        for (unsigned col = 0; col < width; ++col)
            colour(level[size_t(row) * width + col], &rgb[(size_t(height - 1 - row) * width + col) * 3]);
    std::string png = png_rgb(width, height, rgb);
    if (png.empty()) return {};
    *out_w = width;
    *out_h = height;
    return "data:image/png;base64," + base64(png);
#else
    (void)w;
    (void)out_w;
    (void)out_h;
    return {};
#endif
}

// The waveform: per channel, the smallest and largest sample of each of up to
// 1000 columns, as one filled outline.
std::string waveform_svg(const Wav &w)
{
    const unsigned width = unsigned(std::min<uint64_t>(1000, std::max<uint64_t>(1, w.frames)));
    const int ch_h = 70;
    std::ostringstream s;
    s << "<svg class=\"waveform\" xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\""
      << ch_h * w.channels << "\" viewBox=\"0 0 " << width << ' ' << ch_h * w.channels
      << "\" preserveAspectRatio=\"none\">";
    for (unsigned c = 0; c < w.channels; ++c) {
        std::vector<float> lo(width, 0), hi(width, 0);
        for (unsigned x = 0; x < width; ++x) {
            uint64_t a = uint64_t(x) * w.frames / width, b = uint64_t(x + 1) * w.frames / width;
            if (b <= a) b = a + 1;
            float mn = 1, mx = -1;
            for (uint64_t i = a; i < b && i < w.frames; ++i) {
                float v = w.samples[size_t(i) * w.channels + c];
                mn = std::min(mn, v);
                mx = std::max(mx, v);
            }
            if (mn > mx) mn = mx = 0;
            lo[x] = mn;
            hi[x] = mx;
        }
        const double mid = ch_h * (c + 0.5), half = ch_h / 2.0 - 2;
        s << "<rect x=\"0\" y=\"" << ch_h * c << "\" width=\"" << width << "\" height=\"" << ch_h
          << "\" class=\"wbg\"/><line x1=\"0\" x2=\"" << width << "\" y1=\"" << mid << "\" y2=\"" << mid
          << "\" class=\"wmid\"/><path class=\"wave\" d=\"M0 " << fixed(1, mid - hi[0] * half);
        for (unsigned x = 0; x < width; ++x) s << " L" << x << ' ' << fixed(1, mid - hi[x] * half);
        for (unsigned x = width; x-- > 0;) s << " L" << x + 1 << ' ' << fixed(1, mid - lo[x] * half);
        s << " Z\"/>";
    }
    s << "</svg>";
    return s.str();
}

// ---- the timeline -------------------------------------------------------------------

constexpr int kLabelW = 230, kPlotW = 1100, kRightW = 160, kLaneH = 58, kAxisH = 24;

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

class Timeline {
public:
    explicit Timeline(const Trace &tr) : tr_(tr) {}

    double x(int64_t t) const { return kLabelW + double(t - tr_.t0) / double(tr_.t1 - tr_.t0) * kPlotW; }

    std::string svg(const std::vector<Lane> &lanes) const
    {
        const int height = kAxisH + int(lanes.size()) * kLaneH + 4;
        std::ostringstream s;
        // Drawn at its own size, narrowed to the window when that is smaller.
        s << "<svg id=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 "
          << kLabelW + kPlotW + kRightW << ' ' << height
          << "\" style=\"max-width:" << kLabelW + kPlotW + kRightW << "px\">";
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
              << "\" y=\"" << kAxisH - 9 << "\">"
              << fixed(step < 0.01  ? 3
                       : step < 0.1 ? 2
                                    : 1,
                       v)
              << " s</text>";
        }
        for (size_t i = 0; i < lanes.size(); ++i) {
            const Lane &l = lanes[i];
            const int top = kAxisH + int(i) * kLaneH, mid = top + kLaneH / 2 + 6;
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
            // The labels of marks that stand close together make one text;
            // the texts take turns in three rows above the marks, so that
            // neighbours overlap less.
            std::vector<std::pair<double, std::string>> labels;
            for (const Mark &m : l.marks) {
                if (m.label.empty()) continue;
                double px = x(m.t);
                if (!labels.empty() && px - labels.back().first < 8)
                    labels.back().second += ", " + m.label;
                else
                    labels.emplace_back(px, m.label);
            }
            int row = 0;
            double last_x = -1e9;
            for (const auto &lb : labels) {
                row = lb.first - last_x > 150 ? 0 : (row + 1) % 3;
                last_x = lb.first;
                s << "<text class=\"label\" x=\"" << fixed(1, lb.first + 2) << "\" y=\"" << top + 10 + row * 9
                  << "\">" << html(lb.second) << "</text>";
            }
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

std::string event_text(const Event &e)
{
    std::string where =
        e.dev >= 0 ? (e.dir >= 0 ? dev_name(e.dev, e.dir) : "pcm device " + std::to_string(e.dev)) + " "
                   : std::string();
    return e.kind + " " + where + fields_text(e);
}

// The lane an event belongs to: "pcmC0D1p", "mixer", "codec", "service",
// "program", or "" for none.
std::string lane_of(const Event &e)
{
    const std::string &k = e.kind;
    if (k == "fault") {
        std::string name = e.j.string_or("name", "");
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
        if (e.j.string_or("path", "").rfind("/sys/", 0) == 0) return "codec";
        return "service";
    }
    if (k == "run" || k == "exit" || k == "board_ready") return "program";
    return "";
}

std::string mark_label(const Event &e)
{
    const std::string &k = e.kind;
    const Json &j = e.j;
    auto n = [&](const char *key) { return std::to_string(j.int_or(key, 0, INT64_MIN, INT64_MAX)); };
    if (k == "pcm_open") return "open";
    if (k == "pcm_hw_params")
        return j.string_or("format", "?") + " " + n("rate") + " Hz " + n("channels") + " ch, period " +
               n("period") + " x" + n("periods");
    if (k == "pcm_prepare") return "prepare";
    if (k == "pcm_start") return "start";
    if (k == "pcm_underrun") return "underrun";
    if (k == "pcm_overrun") return "overrun";
    if (k == "pcm_drain") return "drain";
    if (k == "pcm_drop") return "drop";
    if (k == "pcm_close") return "close";
    if (k == "fault") return "fault " + j.string_or("name", "") + ": " + j.string_or("error", "");
    if (k == "ctl_write") {
        const Json *v = j.get("values");
        return j.string_or("name", "?") + " = " + (v ? value_text(*v) : "");
    }
    if (k == "i2c_write" || k == "i2c_read") {
        char b[32];
        snprintf(b, sizeof b, "0x%02X", unsigned(j.int_or("reg", 0, 0, UINT32_MAX)));
        std::string s = std::string(k == "i2c_write" ? "write " : "read ") + b;
        if (const Json *v = j.get("values"); v && !v->items.empty()) {
            s += k == "i2c_write" ? " = " : " -> ";
            for (size_t i = 0; i < v->items.size(); ++i) {
                snprintf(b, sizeof b, "%s0x%04X", i ? " " : "",
                         unsigned(to_int(v->items[i].num, 0, UINT32_MAX)));
                s += b;
            }
        }
        return s;
    }
    if (k == "node_open") return "codec node (" + j.string_or("mode", "") + ")";
    if (k == "file_open") return j.string_or("path", "") + " (" + j.string_or("mode", "") + ")";
    if (k == "file_changed") {
        std::string text = j.string_or("text", "");
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return j.string_or("path", "") + ": " + text;
    }
    if (k == "file_removed") return j.string_or("path", "") + " removed";
    if (k == "system") return "system: " + j.string_or("command", "");
    if (k == "run") return "start";
    if (k == "exit") return j.string_or("status", "exit");
    if (k == "board_ready") return "process " + std::to_string(e.pid);
    return {};
}

std::vector<Lane> make_lanes(const Trace &tr)
{
    std::map<std::pair<int, int>, Lane> devices;
    Lane program{"program", "Program", "program", {}, {}};
    Lane mixer{"mixer", "Mixer controls", "mixer", {}, {}};
    Lane codec{"codec", "Codec: I2C, sysfs node", "codec", {}, {}};
    Lane service{"service", "Audio service: files, system()", "service", {}, {}};
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
            m.t = std::clamp(e.j.int_or("at", e.t, 0, kMaxTime), std::min(tr.t0, e.t), e.t);
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
            std::pair<int, int> key{e.pid, int(e.j.int_or("fd", -1))};
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
    return lanes;
}

// ---- the page ----------------------------------------------------------------------------

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
#timeline{display:block;width:100%;margin:8px 0;border:1px solid #ccc}
.lanebg{fill:#fff}.lane:nth-child(odd) .lanebg{fill:#f6f7fa}
.lanename{font-size:12px;font-weight:bold;fill:#333}
.grid{stroke:#ddd;stroke-width:1}.tick{font-size:10px;fill:#666;text-anchor:middle}
.span.open{fill:#cfe0f5}.span.running{fill:#3c7dd9}
.mark line,.mark path{stroke:#445;stroke-width:1.5;fill:none}
.mark.pcm_hw_params line{stroke:#7a2;stroke-width:2}.mark.pcm_start line{stroke:#06c;stroke-width:2}
.mark.xrun path{fill:#d00;stroke:#900}.mark.fault path{stroke:#e60;stroke-width:3}
.mark.ctl_write line{stroke:#a50}.mark.i2c_write line{stroke:#608}.mark.system line{stroke:#080;stroke-width:2}
.mark.exit line{stroke:#b00;stroke-width:3}
.label{font-size:9px;fill:#333}
.wbg{fill:#fbfbfd}.wmid{stroke:#ccc;stroke-width:1;vector-effect:non-scaling-stroke}.wave{fill:#2d6fc4}
svg.waveform{display:block;width:1000px;border:1px solid #ccc}
img.spectrogram{display:block;width:1000px;height:256px;image-rendering:pixelated;border:1px solid #ccc}
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
    unsigned sw = 0, sh = 0;
    std::string img = spectrogram(w, &sw, &sh);
    if (!img.empty())
        s << "<p class=\"note\">Spectrogram (0 to " << w.rate / 2
          << " Hz upwards, -100 to 0 dBFS):</p><img class=\"spectrogram\" alt=\"spectrogram of " << name
          << "\" width=\"" << sw << "\" height=\"" << sh << "\" src=\"" << img << "\">";
    else
        s << "<p class=\"note\">No spectrogram (too short, or ka-board was built without FFTW or zlib).</p>";
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
        if (const Json *a = tr.run->j.get("argv"))
            for (const auto &i : a->items) cmd += (cmd.empty() ? "" : " ") + i.str;
        p << "<tr><th>Command</th><td><code id=\"command\">" << html(cmd) << "</code></td></tr>";
        p << "<tr><th>Board options</th><td id=\"options\">";
        if (const Json *o = tr.run->j.get("options"); o && !o->fields.empty())
            for (const auto &f : o->fields)
                p << "<code>" << html(f.key) << "=" << html(value_text(f.value)) << "</code> ";
        else
            p << "defaults";
        p << "</td></tr>";
        if (const Json *c = tr.run->j.get("cwd"))
            p << "<tr><th>Folder</th><td><code>" << html(c->str) << "</code></td></tr>";
    } else {
        p << "<tr><th>Command</th><td>not recorded (the trace was not written by ka-board run)</td></tr>";
    }
    p << "<tr><th>Exit status</th><td id=\"exit-status\">";
    if (tr.exit) {
        std::string st = tr.exit->j.string_or("status", "?");
        bool ok = st == "exited" && tr.exit->j.number_or("code", 1) == 0;
        p << "<span class=\"" << (ok ? "status-ok" : "status-bad") << "\">" << html(st);
        if (st == "exited")
            p << " with code " << int(tr.exit->j.int_or("code", 0));
        else
            p << " by signal " << int(tr.exit->j.int_or("signal", 0)) << " ("
              << html(tr.exit->j.string_or("signal_name", "")) << ")";
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
    std::vector<Lane> lanes = make_lanes(tr);
    p << "<h2>Timeline</h2><p class=\"note\">Seconds from the start. Pale bars: a stream is open; dark bars: "
         "its "
         "clock runs. Red triangles: underruns and overruns; orange crosses: injected faults. Point at a "
         "mark for "
         "the whole event.</p>\n"
      << Timeline(tr).svg(lanes) << "\n";

    // The devices' audio.
    std::map<std::pair<int, int>, std::string> wavs;
    std::vector<std::pair<int, int>> used;
    for (const Event &e : tr.events) {
        if (e.dev < 0 || e.dir < 0) continue;
        if (std::find(used.begin(), used.end(), std::make_pair(e.dev, e.dir)) == used.end())
            used.emplace_back(e.dev, e.dir);
        if (e.kind == "wav_file") wavs[{e.dev, e.dir}] = e.j.string_or("path", "");
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
