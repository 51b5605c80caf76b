// SPDX-License-Identifier: MIT
// WAV files, their levels and their waveforms.
#include "audio.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "trace.h"

namespace ka_report {
namespace {

uint32_t le(const uint8_t *p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

// Writes the true sizes into the header of a WAV file whose data runs to its
// end: `data_size_at` is the offset of the data chunk's size field.
void fix_header(const std::string &path, size_t data_size_at, size_t data_len, size_t file_len)
{
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(uint32_t(data_len) >> (8 * i));
    io.seekp(long(data_size_at));
    io.write(reinterpret_cast<char *>(b), 4);
    uint32_t riff = uint32_t(file_len - 8);
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(riff >> (8 * i));
    io.seekp(4);
    io.write(reinterpret_cast<char *>(b), 4);
}

// The levels of the samples read in.
void measure(Wav &w)
{
    double sum = 0;
    std::vector<double> ch_sum(w.channels, 0);
    w.ch_peak.assign(w.channels, 0);
    for (size_t i = 0; i < w.samples.size(); ++i) {
        const double x = w.samples[i];
        w.peak = std::max(w.peak, fabs(x));
        sum += x * x;
        const size_t c = i % w.channels;
        w.ch_peak[c] = std::max(w.ch_peak[c], fabs(x));
        ch_sum[c] += x * x;
    }
    w.rms = w.samples.empty() ? 0 : sqrt(sum / double(w.samples.size()));
    for (double s : ch_sum) w.ch_rms.push_back(w.frames ? sqrt(s / double(w.frames)) : 0);
}

}  // namespace

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
                fix_header(path, off + 4, rest, f.size());
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
    for (size_t i = 0; i < w.samples.size(); ++i, p += bytes) {
        int64_t v;
        if (bytes == 1) {
            v = int64_t(p[0]) - 128;  // 8-bit WAV data is unsigned
        } else {
            uint32_t u = le(p, int(bytes));
            v = int64_t(int32_t(u << (32 - w.bits)) >> (32 - w.bits));
        }
        if (v >= top || v <= bottom) ++w.clipped;
        w.samples[i] = float(double(v) * scale);
    }
    measure(w);
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

std::string waveform_svg(const Wav &w, const std::vector<WaveMark> &marks)
{
    const unsigned width = unsigned(std::min<uint64_t>(1000, std::max<uint64_t>(1, w.frames)));
    const int ch_h = 70;
    std::ostringstream s;
    s << "<svg class=\"waveform\" xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\""
      << ch_h * w.channels << "\" viewBox=\"0 0 " << width << ' ' << ch_h * w.channels
      << "\" preserveAspectRatio=\"none\">";
    for (unsigned c = 0; c < w.channels; ++c) {
        // The top and bottom edge of each column, in the picture's units
        // (a pixel high): a column whose samples are all alike (a constant
        // level, silence) still gets a pixel, where a filled outline of no
        // height would not show at all.
        std::vector<double> top(width), bottom(width);
        const double mid = ch_h * (c + 0.5), half = ch_h / 2.0 - 2;
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
            top[x] = mid - mx * half;
            bottom[x] = mid - mn * half;
            if (const double missing = 1 - (bottom[x] - top[x]); missing > 0) {
                top[x] -= missing / 2;
                bottom[x] += missing / 2;
            }
        }
        s << "<rect x=\"0\" y=\"" << ch_h * c << "\" width=\"" << width << "\" height=\"" << ch_h
          << "\" class=\"wbg\"/><line x1=\"0\" x2=\"" << width << "\" y1=\"" << mid << "\" y2=\"" << mid
          << "\" class=\"wmid\"/><path class=\"wave\" d=\"M0 " << fixed(1, top[0]);
        for (unsigned x = 0; x < width; ++x) s << " L" << x << ' ' << fixed(1, top[x]);
        for (unsigned x = width; x-- > 0;) s << " L" << x + 1 << ' ' << fixed(1, bottom[x]);
        s << " Z\"/>";
    }
    // The marks, over every channel, in the columns' units.
    const double per_frame = w.frames ? double(width) / double(w.frames) : 0;
    for (const WaveMark &m : marks) {
        double a = double(std::min(m.from, w.frames)) * per_frame;
        // A line at the very end is drawn two pixels inside the frame (a
        // pixel is width / 1000 columns).
        if (m.to == m.from) a = std::min(a, width * (1 - 2.0 / 1000));
        s << "<g class=\"heard " << m.cls << "\" data-from=\"" << m.from << "\" data-to=\"" << m.to
          << "\"><title>" << html(m.title) << "</title>";
        if (m.to == m.from)
            s << "<line x1=\"" << fixed(2, a) << "\" x2=\"" << fixed(2, a) << "\" y1=\"0\" y2=\""
              << ch_h * w.channels << "\"/>";
        else
            s << "<rect x=\"" << fixed(2, a) << "\" y=\"0\" width=\""
              << fixed(2, std::max(double(std::min(m.to, w.frames)) * per_frame - a, 1.0)) << "\" height=\""
              << ch_h * w.channels << "\"/>";
        s << "</g>";
    }
    s << "</svg>";
    return s.str();
}

}  // namespace ka_report
