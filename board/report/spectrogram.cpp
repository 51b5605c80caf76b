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

// The spectrogram as a data: URL of a PNG image, or "". Columns are time
// (the loudest of the transforms that fall in a column), rows frequency
// from 0 (bottom) to half the rate (top).
std::string spectrogram(const Wav &w, unsigned *out_w, unsigned *out_h)
{
#if defined(KA_HAVE_FFTW) && defined(KA_HAVE_PNG)
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

}  // namespace

std::string spectrogram_html(const Wav &w, const std::string &name)
{
    unsigned sw = 0, sh = 0;
    std::string img = spectrogram(w, &sw, &sh);
    if (img.empty()) return {};
    std::ostringstream s;
    s << "<p class=\"note\">Spectrogram (0 to " << w.rate / 2
      << " Hz upwards, -100 to 0 dBFS):</p><img class=\"spectrogram\" alt=\"spectrogram of " << name
      << "\" width=\"" << sw << "\" height=\"" << sh << "\" src=\"" << img << "\">";
    return s.str();
}

}  // namespace ka_report
