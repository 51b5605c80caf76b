// SPDX-License-Identifier: MIT
// The PCM devices' audio data in and out: what playback devices receive and
// what capture devices hand out is kept as WAV files in the output folder,
// and capture devices record silence, a tone or a WAV file's data.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <span>

#include "kb_pcm.h"
#include "kb_shim.h"

namespace kb {
namespace {

// ---- WAV output --------------------------------------------------------------

void put_le(uint8_t *p, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}

void write_all(int fd, const void *data, size_t len, off_t at)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t w = pwrite(fd, p, len, at);
        if (w <= 0) return;
        p += w;
        len -= size_t(w);
        at += w;
    }
}

// ---- capture data --------------------------------------------------------------

void put_sample(uint8_t *p, unsigned width, unsigned format, int v16)
{
    int32_t v;
    switch (width) {
        case 1:
            p[0] = uint8_t(int8_t(v16 >> 8));
            return;
        case 2:
            put_le(p, uint32_t(v16), 2);
            return;
        case 3:
            put_le(p, uint32_t(v16) << 8, 3);
            return;
        default:
            v = format == SNDRV_PCM_FORMAT_S24_LE ? int32_t(uint32_t(v16) << 8)
                                                  : int32_t(uint32_t(v16) << 16);
            put_le(p, uint32_t(v), 4);
            for (unsigned i = 4; i < width; ++i) p[i] = 0;
    }
}

}  // namespace

void wav_patch(PcmDevice &d)
{
    if (d.out_fd < 0) return;
    uint8_t h[44];
    unsigned ch = d.out_channels ? d.out_channels : 1;
    unsigned bits = d.out_bits ? d.out_bits : 16;
    uint32_t data = uint32_t(std::min<uint64_t>(d.out_bytes, 0xFFFFFFFFu - 36));
    memcpy(h, "RIFF", 4);
    put_le(h + 4, 36 + data, 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);
    put_le(h + 22, ch, 2);
    put_le(h + 24, d.out_rate, 4);
    put_le(h + 28, d.out_rate * ch * bits / 8, 4);
    put_le(h + 32, ch * bits / 8, 2);
    put_le(h + 34, bits, 2);
    memcpy(h + 36, "data", 4);
    put_le(h + 40, data, 4);
    write_all(d.out_fd, h, sizeof h, 0);
}

void wav_close(PcmDevice &d)
{
    if (d.out_fd < 0) return;
    wav_patch(d);
    kbi_real_close(d.out_fd);
    d.out_fd = -1;
    d.out_bytes = 0;
}

void wav_append(PcmDevice &d, const PcmStream &s, int device, const uint8_t *data, size_t len)
{
    PcmBoard &p = pcm();
    if (p.out_dir.empty()) return;
    if (d.out_fd < 0) {
        char path[PATH_MAX];
        snprintf(path, sizeof path, "%s/pcmC0D%d%c.wav", p.out_dir.c_str(), device,
                 s.dir == KB_CAPTURE ? 'c' : 'p');
        d.out_fd = kbi_real_open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        d.out_bytes = 0;
        if (d.out_fd < 0) {
            Event("wav_error", device, s.dir).str("path", path).str("error", strerror(errno));
            return;
        }
        Event("wav_file", device, s.dir).str("path", path);
    }
    d.out_rate = s.rate;
    d.out_channels = s.channels;
    d.out_bits = s.channels ? s.frame_bytes * 8 / s.channels : 16;
    if (d.out_bytes == 0) wav_patch(d);
    write_all(d.out_fd, data, len, off_t(44 + d.out_bytes));
    d.out_bytes += len;
}

// Fills frames [first, first + n) of the stream's capture data.
void produce(const PcmStream &s, uint64_t first, uint64_t n, uint8_t *out)
{
    const PcmDevice &d = dev_of(s);
    size_t bytes = size_t(n) * s.frame_bytes;
    if (d.src == 1 && s.rate) {
        unsigned w = s.sample_bytes ? s.sample_bytes : 2;
        for (uint64_t i = 0; i < n; ++i) {
            double t = double(first + i) / s.rate;
            int v = int16_t(lrint(d.amp * sin(2 * M_PI * d.freq * t)));
            uint8_t *f = out + i * s.frame_bytes;
            for (unsigned c = 0; c < s.channels && (c + 1) * w <= s.frame_bytes; ++c)
                put_sample(f + c * w, w, s.format, v);
        }
        return;
    }
    memset(out, 0, bytes);
    if (d.src == 2) {
        uint64_t off = first * s.frame_bytes;
        if (off < d.wav.size()) {
            size_t k = std::min<size_t>(bytes, d.wav.size() - size_t(off));
            memcpy(out, d.wav.data() + off, k);
        }
    }
}

void pcm_set_output_dir_locked(const char *dir)
{
    PcmBoard &p = pcm();
    for (auto &row : p.dev)
        for (auto &d : row) wav_close(d);
    p.out_dir = dir ? dir : "";
}

void pcm_exit_locked()
{
    for (auto &row : pcm().dev)
        for (auto &d : row) wav_close(d);
}

}  // namespace kb

using namespace kb;

extern "C" {

void kb_set_output_dir(const char *dir)
{
    ensure_init();
    Guard g;
    pcm_set_output_dir_locked(dir);
}

void kb_capture_silence(int device)
{
    if (!pcm_valid(device, KB_CAPTURE)) return;
    ensure_init();
    Guard g;
    PcmDevice &d = pcm().dev[device][KB_CAPTURE];
    d.src = 0;
    d.wav.clear();
}

void kb_capture_tone(int device, double freq_hz, double amplitude)
{
    if (!pcm_valid(device, KB_CAPTURE)) return;
    ensure_init();
    Guard g;
    PcmDevice &d = pcm().dev[device][KB_CAPTURE];
    d.src = 1;
    d.freq = freq_hz;
    d.amp = amplitude;
    d.wav.clear();
}

int kb_capture_wav(int device, const char *path)
{
    if (!pcm_valid(device, KB_CAPTURE) || !path) return -1;
    ensure_init();
    // Read the file outside the lock.
    std::string text;
    if (read_file(path, text) < 0) return -1;
    const std::span<const uint8_t> file(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    if (file.size() < 12 || memcmp(file.data(), "RIFF", 4) || memcmp(file.data() + 8, "WAVE", 4)) return -1;
    size_t off = 12;
    std::vector<uint8_t> data;
    bool found = false;
    while (off + 8 <= file.size()) {
        uint32_t len = uint32_t(file[off + 4]) | uint32_t(file[off + 5]) << 8 |
                       uint32_t(file[off + 6]) << 16 | uint32_t(file[off + 7]) << 24;
        if (!memcmp(file.data() + off, "data", 4)) {
            size_t n = std::min<size_t>(len, file.size() - off - 8);
            data.assign(file.begin() + long(off + 8), file.begin() + long(off + 8 + n));
            found = true;
            break;
        }
        off += 8 + size_t(len) + (len & 1);
    }
    if (!found) return -1;
    Guard g;
    PcmDevice &d = pcm().dev[device][KB_CAPTURE];
    d.src = 2;
    d.wav = std::move(data);
    return 0;
}

}  // extern "C"
