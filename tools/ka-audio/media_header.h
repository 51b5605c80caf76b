// SPDX-License-Identifier: MIT
// Where the audio of a WAV or MPEG file really starts and what it holds, read
// from the file's own structure: the RIFF chunks of a WAV (fmt, LIST, fact
// and the rest, each padded to an even size) up to its data chunk, the ID3v2
// tags in front of MPEG audio and its first frame header. The library's
// detection reads a fixed 44-byte WAV header and decodes an MPEG file from
// byte 0; play hands the library the offset found here, and both play and
// detect name what the module cannot play.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace ka_tool {

struct MediaHeader {
    enum Kind { kOther, kWav, kMpeg };
    Kind kind = kOther;  // kOther: neither (an AMR file, or unknown)
    std::string error;   // a WAV or MPEG file that cannot be read: why
    uint64_t file_size = 0;
    unsigned channels = 0, rate = 0;

    // WAV: the fmt chunk's fields (those of the sub-format for an
    // extensible header) and the data chunk's body.
    unsigned tag = 0;  // 1 PCM, 3 float, 6 A-law, 7 mu-law, ...
    unsigned bits = 0;
    bool extensible = false;
    uint64_t fmt_at = 0, data_at = 0, data_size = 0;

    // MPEG: the ID3v2 tags in front, where the first of them ends without a
    // footer (where the library looks for a frame header), and the first
    // frame.
    unsigned tags = 0;
    bool footer = false;
    bool id3v1 = false;  // a 128-byte ID3v1 tag ends the file
    uint64_t first_tag_end = 0, frame_at = 0;
    unsigned version = 0;  // 10 MPEG-1, 20 MPEG-2, 25 MPEG-2.5
    unsigned layer = 0;

    // The byte the audio starts at: the data chunk's body or the first frame.
    uint64_t audio_at() const { return kind == kWav ? data_at : kind == kMpeg ? frame_at : 0; }
};

// One MPEG audio frame header (MPEG-1, 2 and 2.5, layers I to III).
struct MpegFrame {
    unsigned version = 0;  // 10, 20 or 25
    unsigned layer = 0, rate = 0, channels = 0, samples = 0;
    size_t length = 0;  // bytes of the frame; 0 for a free-format bitrate
};
// False when the four bytes are no frame header.
bool parse_mpeg_frame(const uint8_t *h, MpegFrame *f);

// Reads the header of the file open on fd with pread (the offset is kept).
// Never reads more than the chunk and tag headers and 64 KiB after the
// tags; a damaged or truncated header gives `error`.
MediaHeader read_media_header(int fd);

// The words of `detect` about a WAV or MPEG file: where its audio starts and
// what the library alone would do with the rest.
std::string describe_layout(const MediaHeader &h);

// Why the module cannot play the file, with what would play, as one line
// ("24-bit samples; the module plays ...: ffmpeg -i ... out.wav"), or empty
// when it plays. `path` is named in the suggested command. `lib_type`,
// `lib_channels` and `lib_rate` are what the library's own detection made of
// the file (check_audio_format), so that a file it reads otherwise is named.
std::string unplayable(const MediaHeader &h, const std::string &path, int lib_type, int lib_channels,
                       int lib_rate, int lib_format);

}  // namespace ka_tool
