// SPDX-License-Identifier: MIT
// The devices' audio on the page: a WAV file read in, its levels, its
// waveform and its spectrogram.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace ka_report {

struct Wav {
    std::string path;
    unsigned rate = 0, channels = 0, bits = 0;
    uint64_t frames = 0;
    std::vector<float> samples;           // interleaved, full scale 1.0
    double peak = 0, rms = 0;             // of all samples
    std::vector<double> ch_peak, ch_rms;  // per channel
    uint64_t clipped = 0;                 // samples at the largest or smallest code
};

// Reads a PCM WAV file. A file whose data chunk runs to its end but whose
// header says less (a run killed before the board patched the header) is
// read to its end, and its header sizes are put right.
bool read_wav(const std::string &path, Wav &w);

// Level in dBFS of a linear value (full scale 1.0); -inf for 0.
double dbfs(double v);
// "-12.34", or "-inf".
std::string db_text(double db);

// A stretch marked over the waveform: frames [from, to) shaded, or a line at
// `from` when to == from; `cls` is its CSS class, `title` its tooltip.
struct WaveMark {
    uint64_t from, to;
    std::string cls, title;
};

// The waveform as inline SVG: per channel, the smallest and largest sample of
// each of up to 1000 columns (at least a pixel apart, so that a constant level
// shows as a line), with `marks` over all channels.
std::string waveform_svg(const Wav &w, const std::vector<WaveMark> &marks = {});

// The spectrogram of the channels' mean as inline HTML (the image, its axes
// and its colour legend), or "" when it cannot be made (too short, or built
// without FFTW or libpng).
std::string spectrogram_html(const Wav &w, const std::string &name);

}  // namespace ka_report
