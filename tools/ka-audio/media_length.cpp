// SPDX-License-Identifier: MIT
// Length in seconds of an audio file, read from its own structure without
// decoding: the WAV data chunk's size over the fmt chunk's rate, the AMR frame
// count (20 ms each), the MPEG frame count times the samples per frame.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "commands.h"
#include "ka_lib_audio.h"
#include "media_header.h"

namespace ka_tool {

namespace {

std::vector<uint8_t> read_all(int fd)
{
    std::vector<uint8_t> data;
    uint8_t block[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, block, sizeof block, at);
        if (n <= 0) break;
        data.insert(data.end(), block, block + n);
        at += n;
    }
    return data;
}

double amr_length(const std::vector<uint8_t> &d, bool wide)
{
    size_t at = wide ? 9 : 6;
    const int32_t *sizes = wide ? amrwb_sizes : amrnb_sizes;
    unsigned frames = 0;
    while (at < d.size()) {
        int32_t size = sizes[(d[at] >> 3) & 0x0F];
        if (size < 0 || at + 1 + size_t(size) > d.size()) break;
        at += 1 + size_t(size);
        ++frames;
    }
    return frames * 0.02;
}

// MPEG audio from its first frame on.
double mpeg_length(const std::vector<uint8_t> &d, size_t at)
{
    double seconds = 0;
    MpegFrame f;
    while (at + 4 <= d.size()) {
        if (!parse_mpeg_frame(&d[at], &f) || f.length == 0) {
            ++at;  // not a frame header: look further
            continue;
        }
        seconds += double(f.samples) / f.rate;
        at += f.length;
    }
    return seconds;
}

}  // namespace

double media_length(int fd, int type, const MediaHeader &h)
{
    if (type == AUD_FILE_WAV) {
        const double bytes_per_s = double(h.rate) * h.channels * h.bits / 8;
        return h.kind == MediaHeader::kWav && bytes_per_s > 0 ? double(h.data_size) / bytes_per_s : 0;
    }
    std::vector<uint8_t> d = read_all(fd);
    switch (type) {
        case AUD_FILE_AMRNB:
            return amr_length(d, false);
        case AUD_FILE_AMRWB:
            return amr_length(d, true);
        case AUD_FILE_MP3:
            return mpeg_length(d, h.kind == MediaHeader::kMpeg ? size_t(h.frame_at) : 0);
        default:
            return 0;
    }
}

}  // namespace ka_tool
