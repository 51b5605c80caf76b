// SPDX-License-Identifier: MIT
// The spectrogram of a device's audio: short-time transforms (FFTW) drawn
// as a PNG image (libpng) inline in the page.
#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#ifdef KA_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef KA_HAVE_PNG
#include <png.h>
#endif

#include "audio.h"
#include "trace.h"

namespace ka_report {
namespace {

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

#ifdef KA_HAVE_PNG
void append_png(png_structp png, png_bytep data, png_size_t len)
{
    static_cast<std::string *>(png_get_io_ptr(png))->append(reinterpret_cast<const char *>(data), len);
}

// Encodes the rows into *out. Apart from the long jump with which libpng
// reports an error, nothing here has a destructor to skip.
bool encode_png(png_structp png, png_infop info, png_bytepp rows, unsigned width, unsigned height,
                std::string *out)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, out, append_png, nullptr);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows);
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

// An 8-bit RGB PNG of `rgb` (rows top to bottom), or "" when it cannot be made.
std::string png_rgb(unsigned width, unsigned height, const std::vector<uint8_t> &rgb)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows(height);
    for (unsigned y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(&rgb[size_t(y) * width * 3]);
    if (!info || !encode_png(png, info, rows.data(), width, height, &out)) out.clear();
    png_destroy_write_struct(&png, &info);
    return out;
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

constexpr unsigned kHeight = 256;  // rows of the image, frequencies
constexpr double kLowHz = 50;      // the bottom row
[[maybe_unused]] constexpr int kLeft = 64, kRight = 110, kBottom = 34, kTop = 8;

// The frequency at the bottom edge of row `row` (0: bottom) of the image,
// on a logarithmic axis from kLowHz to `top_hz`.
[[maybe_unused]] double row_hz(double row, double top_hz)
{
    return kLowHz * pow(top_hz / kLowHz, row / kHeight);
}

// The image's levels: per row (frequency, bottom first) and column (time),
// the loudest transform bin that falls in the cell, or the nearest bin where
// a row is narrower than a bin. Empty when the audio is too short.
[[maybe_unused]] std::vector<double> levels(const Wav &w, unsigned *out_w, double *seconds)
{
#ifdef KA_HAVE_FFTW
    // Long enough transforms that the lowest octave has a few bins.
    const int n = w.rate <= 16000 ? 1024 : 2048;
    const int hop = n / 4;
    if (w.frames < uint64_t(n)) return {};
    const uint64_t transforms = (w.frames - uint64_t(n)) / uint64_t(hop) + 1;
    const unsigned width = unsigned(std::min<uint64_t>(1000, transforms));
    const double top_hz = w.rate / 2.0, bin_hz = double(w.rate) / n;
    std::vector<double> level(size_t(width) * kHeight, -200);
    // The bins of each row: [first, last].
    std::vector<std::pair<int, int>> rows(kHeight);
    for (unsigned r = 0; r < kHeight; ++r) {
        const double lo = row_hz(r, top_hz), hi = row_hz(r + 1, top_hz);
        int first = int(ceil(lo / bin_hz)), last = std::min(n / 2, int(floor(hi / bin_hz)));
        if (first > last) first = last = std::min(n / 2, int(lrint((lo + hi) / 2 / bin_hz)));
        rows[r] = {first, last};
    }
    double *in = fftw_alloc_real(size_t(n));
    fftw_complex *out = fftw_alloc_complex(size_t(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    std::vector<double> window(static_cast<size_t>(n)), db(size_t(n / 2 + 1));
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
            double sum = 0;
            const float *f = &w.samples[size_t(first + uint64_t(i)) * w.channels];
            for (unsigned c = 0; c < w.channels; ++c) sum += f[c];
            in[i] = sum / w.channels * window[size_t(i)];
        }
        fftw_execute(plan);
        for (int b = 0; b <= n / 2; ++b) {
            const double mag = hypot(out[b][0], out[b][1]) * norm;
            db[size_t(b)] = mag > 1e-10 ? 20 * log10(mag) : -200;
        }
        const unsigned col = unsigned(k * width / transforms);
        for (unsigned r = 0; r < kHeight; ++r) {
            double &cell = level[size_t(r) * width + col];
            for (int b = rows[r].first; b <= rows[r].second; ++b) cell = std::max(cell, db[size_t(b)]);
        }
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    *out_w = width;
    *seconds = double((transforms - 1) * uint64_t(hop) + uint64_t(n)) / w.rate;
    return level;
#else
    (void)w;
    (void)out_w;
    (void)seconds;
    return {};
#endif
}

// A step of 1, 2 or 5 times a power of ten that gives about `ticks` ticks
// over `span`.
[[maybe_unused]] double nice_step(double span, double ticks)
{
    double step = pow(10, floor(log10(span / ticks)));
    if (span / step > ticks * 5)
        step *= 5;
    else if (span / step > ticks * 2)
        step *= 2;
    return step;
}

[[maybe_unused]] std::string hz_text(double hz)
{
    return hz >= 1000 ? fixed(hz >= 10000 || fmod(hz, 1000) == 0 ? 0 : 1, hz / 1000) + " kHz"
                      : fixed(0, hz) + " Hz";
}

}  // namespace

std::string spectrogram_html(const Wav &w, const std::string &name)
{
#if defined(KA_HAVE_FFTW) && defined(KA_HAVE_PNG)
    unsigned width = 0;
    double seconds = 0;
    const std::vector<double> level = levels(w, &width, &seconds);
    if (level.empty()) return {};
    std::vector<uint8_t> rgb(size_t(width) * kHeight * 3);
    for (unsigned row = 0; row < kHeight; ++row)
        for (unsigned col = 0; col < width; ++col)
            colour(level[size_t(row) * width + col], &rgb[(size_t(kHeight - 1 - row) * width + col) * 3]);
    const std::string png = png_rgb(width, kHeight, rgb);
    if (png.empty()) return {};
    const double top_hz = w.rate / 2.0;
    const int plot_w = 1000, plot_h = int(kHeight), total_w = kLeft + plot_w + kRight;
    const int total_h = kTop + plot_h + kBottom, y0 = kTop + plot_h;
    std::ostringstream s;
    s << "<p class=\"note\">Spectrogram of " << name << " (" << int(kLowHz) << " Hz to " << hz_text(top_hz)
      << " on a logarithmic scale; level in dBFS):</p><svg class=\"spectrogram\" "
         "xmlns=\"http://www.w3.org/2000/svg\""
      << " width=\"" << total_w << "\" height=\"" << total_h << "\" viewBox=\"0 0 " << total_w << ' '
      << total_h << "\"><image class=\"spectrogram\" x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\""
      << plot_w << "\" height=\"" << plot_h << "\" preserveAspectRatio=\"none\" href=\"data:image/png;base64,"
      << base64(png) << "\"/><rect class=\"frame\" x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\""
      << plot_w << "\" height=\"" << plot_h << "\"/>";
    // Frequency ticks: 1, 2 and 5 times the powers of ten inside the axis.
    for (double decade = 10; decade <= top_hz; decade *= 10)
        for (double m : {1.0, 2.0, 5.0}) {
            const double hz = decade * m;
            if (hz < kLowHz || hz > top_hz) continue;
            const double y = y0 - log(hz / kLowHz) / log(top_hz / kLowHz) * plot_h;
            s << "<line class=\"tickline\" x1=\"" << kLeft - 5 << "\" x2=\"" << kLeft << "\" y1=\""
              << fixed(1, y) << "\" y2=\"" << fixed(1, y) << "\"/><text class=\"axis freq\" x=\"" << kLeft - 8
              << "\" y=\"" << fixed(1, y + 4) << "\">" << hz_text(hz) << "</text>";
        }
    // Time ticks, in seconds of the device's audio.
    const double step = nice_step(seconds, 8);
    for (double t = 0; t <= seconds + 1e-9; t += step) {
        const double x = kLeft + t / seconds * plot_w;
        s << "<line class=\"tickline\" x1=\"" << fixed(1, x) << "\" x2=\"" << fixed(1, x) << "\" y1=\"" << y0
          << "\" y2=\"" << y0 + 5 << "\"/><text class=\"axis time\" x=\"" << fixed(1, x) << "\" y=\""
          << y0 + 19 << "\">" << fixed(step < 0.1 ? 2 : 1, t) << " s</text>";
    }
    // The colour legend: the scale from -100 dBFS (bottom) to 0 dBFS.
    const int lx = kLeft + plot_w + 16;
    s << "<defs><linearGradient id=\"db-" << name << "\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">";
    for (int i = 0; i <= 10; ++i) {
        uint8_t c[3];
        colour(-100 + 10 * i, c);
        s << "<stop offset=\"" << fixed(1, i / 10.0) << "\" stop-color=\"rgb(" << int(c[0]) << ','
          << int(c[1]) << ',' << int(c[2]) << ")\"/>";
    }
    s << "</linearGradient></defs><rect class=\"bar\" x=\"" << lx << "\" y=\"" << kTop
      << "\" width=\"16\" height=\"" << plot_h << "\" fill=\"url(#db-" << name << ")\"/>";
    for (int db = -100; db <= 0; db += 20) {
        const double y = y0 - (db + 100) / 100.0 * plot_h;
        s << "<text class=\"axis legend\" x=\"" << lx + 22 << "\" y=\"" << fixed(1, y + 4) << "\">" << db
          << " dB</text>";
    }
    s << "</svg>";
    return s.str();
#else
    (void)w;
    (void)name;
    return {};
#endif
}

}  // namespace ka_report
