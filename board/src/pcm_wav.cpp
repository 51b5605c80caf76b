// SPDX-License-Identifier: MIT
// The PCM devices' audio data in and out: what playback devices play out and
// receive and what capture devices hand out is kept as WAV files in the
// output folder, and capture devices record silence, a tone or a WAV file's
// data.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <string>

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

namespace {

std::string wav_path(int device, int dir, WavKind kind)
{
    char name[64];
    snprintf(name, sizeof name, "/pcmC0D%d%c%s.wav", device, dir == KB_CAPTURE ? 'c' : 'p',
             kind == WavKind::received ? ".received" : "");
    return pcm().out_dir + name;
}

void patch(WavOut &w)
{
    if (w.fd < 0) return;
    uint8_t h[44];
    unsigned ch = w.channels ? w.channels : 1;
    unsigned bits = w.bits ? w.bits : 16;
    uint32_t data = uint32_t(std::min<uint64_t>(w.bytes, 0xFFFFFFFFu - 36));
    memcpy(h, "RIFF", 4);
    put_le(h + 4, 36 + data, 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);
    put_le(h + 22, ch, 2);
    put_le(h + 24, w.rate, 4);
    put_le(h + 28, w.rate * ch * bits / 8, 4);
    put_le(h + 32, ch * bits / 8, 2);
    put_le(h + 34, bits, 2);
    memcpy(h + 36, "data", 4);
    put_le(h + 40, data, 4);
    write_all(w.fd, h, sizeof h, 0);
}

// Whether two patched WAV files hold the same bytes.
bool same_bytes(const WavOut &a, const WavOut &b)
{
    if (a.bytes != b.bytes || a.rate != b.rate || a.channels != b.channels || a.bits != b.bits) return false;
    static uint8_t x[65536], y[65536];  // used under the board lock only
    for (uint64_t at = 0; at < 44 + a.bytes;) {
        size_t k = size_t(std::min<uint64_t>(sizeof x, 44 + a.bytes - at));
        if (pread(a.fd, x, k, off_t(at)) != ssize_t(k) || pread(b.fd, y, k, off_t(at)) != ssize_t(k) ||
            memcmp(x, y, k) != 0)
            return false;
        at += k;
    }
    return true;
}

// The received file is kept only where it differs from the played one: it
// is written all along, and at each patch removed while the two files hold
// the same bytes (its descriptor stays open and written); once they differ
// again it is made again from that descriptor's contents.
void settle_received(PcmDevice &d, int device)
{
    WavOut &r = d.out_received;
    if (r.fd < 0) return;
    bool same = same_bytes(d.out, r);
    std::string path = wav_path(device, KB_PLAYBACK, WavKind::received);
    if (same && !r.unlinked) {
        r.unlinked = unlink(path.c_str()) == 0;
    } else if (!same && r.unlinked) {
        int fd = kbi_real_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return;
        static uint8_t buf[65536];  // used under the board lock only
        for (uint64_t at = 0; at < 44 + r.bytes;) {
            ssize_t k =
                pread(r.fd, buf, size_t(std::min<uint64_t>(sizeof buf, 44 + r.bytes - at)), off_t(at));
            if (k <= 0) break;
            write_all(fd, buf, size_t(k), off_t(at));
            at += uint64_t(k);
        }
        kbi_real_close(r.fd);
        r.fd = fd;
        r.unlinked = false;
    }
}

}  // namespace

void wav_patch(PcmDevice &d)
{
    patch(d.out);
    patch(d.out_received);
    const ptrdiff_t i = &d - &pcm().dev[0][0];  // device * 2 + dir
    if (i % 2 == KB_PLAYBACK) settle_received(d, int(i / 2));
}

void wav_close(PcmDevice &d)
{
    wav_patch(d);
    for (WavOut *w : {&d.out, &d.out_received}) {
        if (w->fd >= 0) kbi_real_close(w->fd);
        *w = WavOut{};
    }
}

namespace {

// The device's file of that kind, opened (and its header written) when it
// is not yet; false when it cannot be.
bool wav_ready(PcmDevice &d, const PcmStream &s, WavKind kind)
{
    WavOut &w = kind == WavKind::received ? d.out_received : d.out;
    if (w.fd < 0) {
        std::string path = wav_path(s.device, s.dir, kind);
        w = WavOut{};
        w.fd = kbi_real_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (w.fd < 0) {
            Event("wav_error", s.device, s.dir).str("path", path).str("error", strerror(errno));
            return false;
        }
        Event("wav_file", s.device, s.dir)
            .str("path", path)
            .str("what", kind == WavKind::played     ? "played"
                         : kind == WavKind::received ? "received"
                                                     : "captured");
    }
    if (w.bytes == 0) {
        w.rate = s.rate;
        w.channels = s.channels;
        w.bits = s.channels ? s.frame_bytes * 8 / s.channels : 16;
        patch(w);
    }
    return true;
}

}  // namespace

void wav_append(PcmDevice &d, const PcmStream &s, WavKind kind, const uint8_t *data, size_t len)
{
    PcmBoard &p = pcm();
    if (p.out_dir.empty() || p.exited || len == 0) return;
    // A playback device's played-out file is there from its first received
    // bytes on, even when nothing of them is ever played out.
    if (kind == WavKind::received) wav_ready(d, s, WavKind::played);
    if (!wav_ready(d, s, kind)) return;
    WavOut &w = kind == WavKind::received ? d.out_received : d.out;
    w.rate = s.rate;
    w.channels = s.channels;
    w.bits = s.channels ? s.frame_bytes * 8 / s.channels : 16;
    write_all(w.fd, data, len, off_t(44 + w.bytes));
    w.bytes += len;
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
    // What the open playback streams played out until now goes to the
    // files; nothing after this (threads that outlive main() may still
    // write).
    int64_t now = now_ns();
    for (auto *s : pcm().streams) advance(*s, now);
    for (auto &row : pcm().dev)
        for (auto &d : row) wav_close(d);
    pcm().exited = true;
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
