// SPDX-License-Identifier: MIT
// Header reading for play and detect (see media_header.h). Every read is a
// bounded pread at an offset checked against the file's size, every loop
// advances by at least eight bytes and stops after a fixed count, so a
// damaged file ends in an error line, never in a long walk.
#include "media_header.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "ka_devices.h"
#include "ka_lib_audio.h"

namespace ka_tool {

namespace {

constexpr uint64_t kCanonicalDataAt = 44;  // where the library starts a WAV
constexpr unsigned kMaxChunks = 4096;      // chunks before the data chunk
constexpr unsigned kMaxTags = 64;          // ID3v2 tags in front of MPEG audio
constexpr size_t kFrameSearch = 65536;     // bytes behind the tags searched for a frame

uint32_t le16(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t le32(const uint8_t *p)
{
    return le16(p) | le16(p + 2) << 16;
}

// Exactly n bytes at `at`, or false.
bool read_at(int fd, uint64_t at, void *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, static_cast<uint8_t *>(buf) + got, n - got, off_t(at + got));
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

void read_wav(int fd, MediaHeader &h)
{
    uint64_t at = 12;
    bool have_fmt = false;
    for (unsigned n = 0;; ++n) {
        uint8_t c[8];
        if (n == kMaxChunks) {
            h.error = format("damaged WAV: more than %u chunks before the data", kMaxChunks);
            return;
        }
        if (at + 8 > h.file_size || !read_at(fd, at, c, 8)) {
            h.error = have_fmt ? "damaged WAV: no data chunk" : "damaged WAV: no fmt chunk";
            return;
        }
        const uint64_t size = le32(c + 4);
        if (memcmp(c, "fmt ", 4) == 0 && !have_fmt) {
            uint8_t f[40] = {};
            const size_t want = size >= 40 ? 40 : 16;
            if (size < 16 || !read_at(fd, at + 8, f, want)) {
                h.error = "damaged WAV: truncated fmt chunk";
                return;
            }
            h.tag = le16(f);
            h.channels = le16(f + 2);
            h.rate = le32(f + 4);
            h.bits = le16(f + 14);
            h.fmt_at = at;
            if (h.tag == 0xFFFE) {
                // The sub-format GUID begins with the format tag it stands for.
                if (want < 40) {
                    h.error = "damaged WAV: truncated extensible fmt chunk";
                    return;
                }
                h.extensible = true;
                h.tag = le16(f + 24);
            }
            have_fmt = true;
        } else if (memcmp(c, "data", 4) == 0) {
            if (!have_fmt) {
                h.error = "damaged WAV: the data chunk comes before the fmt chunk";
                return;
            }
            h.data_at = at + 8;
            // A size beyond the end (a file cut short, or a stream's
            // placeholder) stands for what is there.
            h.data_size = std::min(size, h.file_size - h.data_at);
            return;
        }
        at += 8 + size + (size & 1);  // chunks are padded to an even size
    }
}

// A frame header at `at`, confirmed by the next one where the frame's
// length says it lies inside the file.
bool frame_at(int fd, const MediaHeader &h, uint64_t at, const uint8_t *b, MpegFrame *f)
{
    if (!parse_mpeg_frame(b, f)) return false;
    uint8_t next[4];
    const uint64_t after = at + f->length;
    if (f->length == 0 || after + 4 > h.file_size || !read_at(fd, after, next, 4)) return true;
    MpegFrame g;
    return parse_mpeg_frame(next, &g) && g.version == f->version && g.layer == f->layer;
}

void read_mpeg(int fd, MediaHeader &h)
{
    uint64_t at = 0;
    uint8_t b[10];
    while (h.tags < kMaxTags && at + 10 <= h.file_size && read_at(fd, at, b, 10) &&
           memcmp(b, "ID3", 3) == 0) {
        if (b[3] == 0xFF || b[4] == 0xFF || ((b[6] | b[7] | b[8] | b[9]) & 0x80) != 0) {
            h.kind = MediaHeader::kMpeg;
            h.error = format("damaged MP3: a bad ID3v2 tag header at byte %llu", (unsigned long long)at);
            return;
        }
        const uint64_t size = uint64_t(b[6]) << 21 | uint64_t(b[7]) << 14 | uint64_t(b[8]) << 7 | b[9];
        const bool footer = b[3] >= 4 && (b[5] & 0x10) != 0;  // ID3v2.4 only
        if (h.tags == 0) h.first_tag_end = 10 + size;
        h.footer = h.footer || footer;
        ++h.tags;
        h.kind = MediaHeader::kMpeg;
        const uint64_t end = at + 10 + size + (footer ? 10 : 0);
        if (end > h.file_size) {
            h.error = format("damaged MP3: the ID3v2 tag at byte %llu runs past the end of the file",
                             (unsigned long long)at);
            return;
        }
        at = end;
    }
    MpegFrame f;
    if (h.tags == 0) {
        // Without a tag the audio must start at byte 0, as the library reads it.
        if (h.file_size < 4 || !read_at(fd, 0, b, 4) || !parse_mpeg_frame(b, &f)) return;
        h.kind = MediaHeader::kMpeg;
    } else {
        // Behind the tags: the first frame header within the search window.
        const size_t n = size_t(std::min<uint64_t>(kFrameSearch + 3, h.file_size - at));
        std::vector<uint8_t> w(n);
        bool found = false;
        if (n >= 4 && read_at(fd, at, w.data(), n))
            for (size_t i = 0; i + 4 <= n && !found; ++i)
                if (w[i] == 0xFF && frame_at(fd, h, at + i, &w[i], &f)) {
                    at += i;
                    found = true;
                }
        if (!found) {
            h.error = "damaged MP3: no MPEG audio frame behind the ID3v2 tag";
            return;
        }
    }
    uint8_t v1[3];
    h.id3v1 =
        h.file_size >= at + 128 + 4 && read_at(fd, h.file_size - 128, v1, 3) && memcmp(v1, "TAG", 3) == 0;
    h.frame_at = at;
    h.version = f.version;
    h.layer = f.layer;
    h.rate = f.rate;
    h.channels = f.channels;
}

const char *version_name(unsigned v)
{
    return v == 10 ? "MPEG-1" : v == 20 ? "MPEG-2" : "MPEG-2.5";
}

// The path as one shell word, for a command to copy.
std::string shell_word(const std::string &s)
{
    if (!s.empty() &&
        s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._/+,:@%=-") ==
            std::string::npos)
        return s;
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool channels_open(unsigned n)
{
    for (const auto &c : ka_devices::kChannels)
        if (unsigned(c.count) == n) return true;
    return false;
}

std::string channel_list()
{
    std::string s;
    const size_t count = sizeof ka_devices::kChannels / sizeof ka_devices::kChannels[0];
    for (size_t i = 0; i < count; ++i)
        s += (i == 0 ? "" : i + 1 == count ? " or " : ", ") + std::to_string(ka_devices::kChannels[i].count);
    return s;
}

std::string encoding_problem(const MediaHeader &h)
{
    switch (h.tag) {
        case 1:
            return h.bits == ka_devices::kSampleBits ? "" : format("%u-bit samples", h.bits);
        case 3:
            return format("%u-bit float samples", h.bits);
        case 6:
            return "A-law samples";
        case 7:
            return "mu-law samples";
        case 2:
            return "MS ADPCM samples";
        case 0x11:
            return "IMA ADPCM samples";
        case 0x55:
            return "MP3 data";
        default:
            return format("samples in encoding 0x%04x", h.tag);
    }
}

std::string wav_unplayable(const MediaHeader &h, const std::string &path, int lib_type, int lib_channels,
                           int lib_rate, int lib_format)
{
    std::vector<std::string> why;
    const std::string enc = encoding_problem(h);
    if (!enc.empty()) why.push_back(enc);
    const bool slow = h.rate < ka_devices::kRateMin;
    const bool fast = h.rate > ka_devices::kRateMax;
    if (slow || fast)
        why.push_back(format("%u Hz (outside %u-%u Hz)", h.rate, ka_devices::kRateMin, ka_devices::kRateMax));
    const bool channels = !channels_open(h.channels);
    if (channels) why.push_back(format("%u channels", h.channels));
    if (h.extensible)
        why.push_back(h.channels > 2 ? format("an extensible header (%u channels)", h.channels)
                                     : std::string("an extensible header"));
    if (why.empty()) {
        if (lib_type == AUD_FILE_WAV && unsigned(lib_channels) == h.channels &&
            unsigned(lib_rate) == h.rate && lib_format == 2)
            return "";
        // The library reads the fmt fields at bytes 20-35 only.
        why.push_back(
            format("the fmt chunk at byte %llu, where the module does not read it (only at byte 12)",
                   (unsigned long long)h.fmt_at));
    }
    std::string line;
    for (size_t i = 0; i < why.size(); ++i) line += (i ? ", " : "") + why[i];
    line += format("; the module plays %u-bit PCM WAV with a plain header at %u-%u Hz",
                   ka_devices::kSampleBits, ka_devices::kRateMin, ka_devices::kRateMax);
    if (channels) line += " with " + channel_list() + " channels";
    line += ": ffmpeg -i " + shell_word(path);
    if (slow || fast) line += format(" -ar %u", fast ? ka_devices::kRateMax : ka_devices::kRateMin);
    // Everyday tools write more than two channels with an extensible header.
    if (channels || (h.extensible && h.channels > 2)) line += " -ac 2";
    return line + " -c:a pcm_s16le out.wav";
}

std::string mpeg_unplayable(const MediaHeader &h, const std::string &path, int lib_type, int lib_channels,
                            int lib_rate)
{
    if (lib_type == AUD_FILE_MP3 && unsigned(lib_channels) == h.channels && unsigned(lib_rate) == h.rate)
        return "";
    const std::string rewrite = "ffmpeg -i " + shell_word(path) + " -c:a copy out.mp3";
    if (h.tags == 0)
        return format("%s at %u Hz, which the module recognises only behind an ID3v2 tag; ",
                      version_name(h.version), h.rate) +
               "this adds one: " + rewrite;
    std::string cause = h.tags > 1 ? format("%u ID3v2 tags in front of the audio", h.tags)
                        : h.footer ? std::string("an ID3v2 tag with a footer")
                                   : format("%llu bytes between the ID3v2 tag and the first frame",
                                            (unsigned long long)(h.frame_at - h.first_tag_end));
    std::string lib = lib_type == AUD_FILE_MP3
                          ? format("would play %d Hz, %d channel(s) instead of %u Hz, %u channel(s)",
                                   lib_rate, lib_channels, h.rate, h.channels)
                          : std::string("finds none there");
    return cause +
           format("; the module looks for the first frame right behind the first tag, at byte %llu, and ",
                  (unsigned long long)h.first_tag_end) +
           lib + "; this rewrites it with one tag: " + rewrite;
}

}  // namespace

bool parse_mpeg_frame(const uint8_t *b, MpegFrame *f)
{
    static const unsigned kBitrate[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const unsigned kRate[3] = {44100, 48000, 32000};
    const unsigned version = (b[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const unsigned layer_bits = (b[1] >> 1) & 3, bi = b[2] >> 4, ri = (b[2] >> 2) & 3;
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0 || version == 1 || layer_bits == 0 || bi == 15 || ri == 3)
        return false;
    const bool mpeg1 = version == 3;
    f->version = mpeg1 ? 10 : version == 2 ? 20 : 25;
    f->layer = 4 - layer_bits;
    f->rate = kRate[ri] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    f->channels = (b[3] >> 6) == 3 ? 1 : 2;
    const unsigned kbps = kBitrate[mpeg1 ? 0 : 1][f->layer - 1][bi];
    const unsigned pad = (b[2] >> 1) & 1;
    if (kbps == 0) {  // free format: the length is not in the header
        f->samples = f->layer == 1 ? 384 : (f->layer == 3 && !mpeg1) ? 576 : 1152;
        f->length = 0;
    } else if (f->layer == 1) {
        f->samples = 384;
        f->length = (size_t(12 * kbps * 1000 / f->rate) + pad) * 4;
    } else {
        f->samples = (f->layer == 3 && !mpeg1) ? 576 : 1152;
        f->length = size_t(f->samples / 8 * kbps * 1000 / f->rate) + pad;
    }
    return true;
}

MediaHeader read_media_header(int fd)
{
    MediaHeader h;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 0) return h;
    h.file_size = uint64_t(st.st_size);
    uint8_t b[12];
    if (h.file_size >= 12 && read_at(fd, 0, b, 12) && memcmp(b, "RIFF", 4) == 0 &&
        memcmp(b + 8, "WAVE", 4) == 0) {
        h.kind = MediaHeader::kWav;
        read_wav(fd, h);
        return h;
    }
    read_mpeg(fd, h);
    return h;
}

std::string describe_layout(const MediaHeader &h)
{
    if (h.kind == MediaHeader::kWav) {
        const uint64_t after = h.file_size - h.data_at - h.data_size;
        std::string s = format("data chunk at byte %llu, %llu bytes", (unsigned long long)h.data_at,
                               (unsigned long long)h.data_size);
        if (after) s += format(", then %llu bytes of other chunks", (unsigned long long)after);
        if (h.data_at < kCanonicalDataAt)
            return s + format("; the library alone plays from byte 44, without the first %llu bytes of sound",
                              (unsigned long long)(kCanonicalDataAt - h.data_at));
        std::string chunks;
        if (h.data_at > kCanonicalDataAt)
            chunks = format("the %llu bytes of other chunks before the data",
                            (unsigned long long)(h.data_at - kCanonicalDataAt));
        if (after)
            chunks += chunks.empty()
                          ? format("the %llu bytes of chunks after the data", (unsigned long long)after)
                          : format(" and the %llu after it", (unsigned long long)after);
        if (!chunks.empty())
            s += "; the library alone plays from byte 44 to the end, " + chunks + " as sound";
        return s;
    }
    if (h.kind != MediaHeader::kMpeg) return "";
    std::string s = format("%s layer %s, first frame at byte %llu", version_name(h.version),
                           h.layer == 1   ? "I"
                           : h.layer == 2 ? "II"
                                          : "III",
                           (unsigned long long)h.frame_at);
    if (h.tags == 1) s += " behind an ID3v2 tag; the library alone decodes from byte 0, through the tag";
    if (h.tags > 1)
        s += format(" behind %u ID3v2 tags; the library alone decodes from byte 0, through the tags", h.tags);
    // The decoder reads to the end and reports the tag as lost synchronization.
    if (h.id3v1) s += "; an ID3v1 tag at the end, which the decoder reports as lost synchronization";
    return s;
}

std::string unplayable(const MediaHeader &h, const std::string &path, int lib_type, int lib_channels,
                       int lib_rate, int lib_format)
{
    if (!h.error.empty()) return h.error;
    if (h.kind == MediaHeader::kWav)
        return wav_unplayable(h, path, lib_type, lib_channels, lib_rate, lib_format);
    if (h.kind == MediaHeader::kMpeg) return mpeg_unplayable(h, path, lib_type, lib_channels, lib_rate);
    return "";
}

}  // namespace ka_tool
