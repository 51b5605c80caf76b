// SPDX-License-Identifier: MIT
// Length in seconds of an audio file, read from its own structure without
// decoding: the WAV data size over the header's byte rate, the AMR frame count
// (20 ms each), the MPEG frame count times the samples per frame.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "commands.h"
#include "ka_lib_audio.h"

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

// MPEG-1, 2 and 2.5 audio, layers I to III.
double mpeg_length(const std::vector<uint8_t> &d)
{
    static const int kBitrate[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const int kRate[3] = {44100, 48000, 32000};
    size_t at = 0;
    if (d.size() >= 10 && memcmp(d.data(), "ID3", 3) == 0)
        at = 10 + ((size_t(d[6] & 0x7F) << 21) | (size_t(d[7] & 0x7F) << 14) | (size_t(d[8] & 0x7F) << 7) |
                   (d[9] & 0x7F));
    double seconds = 0;
    while (at + 4 <= d.size()) {
        const uint8_t *h = &d[at];
        unsigned version = (h[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
        unsigned layer = 4 - ((h[1] >> 1) & 3);
        unsigned bi = h[2] >> 4, ri = (h[2] >> 2) & 3;
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || layer == 4 || bi == 0 || bi == 15 ||
            ri == 3) {
            ++at;  // not a frame header: look further
            continue;
        }
        bool mpeg1 = version == 3;
        int kbps = kBitrate[mpeg1 ? 0 : 1][layer - 1][bi];
        int rate = kRate[ri] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
        unsigned pad = (h[2] >> 1) & 1;
        size_t len;
        unsigned samples;
        if (layer == 1) {
            len = (size_t(12 * kbps * 1000 / rate) + pad) * 4;
            samples = 384;
        } else {
            samples = (layer == 3 && !mpeg1) ? 576 : 1152;
            len = size_t(samples / 8 * kbps * 1000 / rate) + pad;
        }
        seconds += double(samples) / rate;
        at += len;
    }
    return seconds;
}

}  // namespace

double media_length(int fd, int type)
{
    std::vector<uint8_t> d = read_all(fd);
    switch (type) {
        case AUD_FILE_WAV: {
            if (d.size() < 44) return 0;
            uint32_t byte_rate =
                uint32_t(d[28]) | uint32_t(d[29]) << 8 | uint32_t(d[30]) << 16 | uint32_t(d[31]) << 24;
            return byte_rate ? double(d.size() - 44) / byte_rate : 0;
        }
        case AUD_FILE_AMRNB:
            return amr_length(d, false);
        case AUD_FILE_AMRWB:
            return amr_length(d, true);
        case AUD_FILE_MP3:
            return mpeg_length(d);
        default:
            return 0;
    }
}

}  // namespace ka_tool
