// SPDX-License-Identifier: MIT
// ka-board-audio: the host end of an emulated PCM stream.
//
//   ka-board-audio play    PCM NAME FORMAT RATE CHANNELS FRAME_BYTES
//   ka-board-audio capture PCM NAME FORMAT RATE CHANNELS FRAME_BYTES
//   ka-board-audio probe   PCM play|capture
//
// Started by the board without LD_PRELOAD, so alsa-lib here reaches the
// machine's sound system and not the emulated card. Standard input is a
// stream socket to the board: `play` writes what arrives on it to the host
// PCM, `capture` sends what the host PCM records; FORMAT is the kernel's
// format number (the same as alsa-lib's). Descriptor 3 is a shared page
// whose first 64-bit word counts the frames the host PCM took, which paces
// the emulated stream. With KA_BOARD_LOG=1, and whenever the host had xruns,
// a line at the end reports the frames, the xruns and how long bytes waited
// between the emulated device and the host write.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

constexpr unsigned kLatencyUs = 60000;  // host buffer: 3 periods of 20 ms

const char *g_pcm = "default";
const char *g_name = "";

void no_sound(const char *what, int err, bool capture)
{
    fprintf(stderr, "ka-board: no host sound: %s ALSA PCM '%s' for %s: %s; the run goes on without it\n",
            what, g_pcm, capture ? "capture" : "playback", snd_strerror(err));
}

snd_pcm_t *open_pcm(bool capture, snd_pcm_format_t fmt, unsigned channels, unsigned rate)
{
    snd_pcm_t *pcm = nullptr;
    int err = snd_pcm_open(&pcm, g_pcm, capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        no_sound("cannot open", err, capture);
        return nullptr;
    }
    // Soft resampling on: where the host PCM goes through the plug layer it
    // converts; where the format matches, bytes pass unchanged.
    err = snd_pcm_set_params(pcm, fmt, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1, kLatencyUs);
    if (err < 0) {
        no_sound("cannot set up", err, capture);
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

struct Report {
    uint64_t frames = 0;
    unsigned xruns = 0;
    double wait_sum = 0, wait_max = 0;  // seconds queued before the host write
    uint64_t waits = 0;
};

void report(const Report &r, bool capture, unsigned rate)
{
    const char *log = getenv("KA_BOARD_LOG");
    if (r.xruns == 0 && !(log && !strcmp(log, "1"))) return;
    if (capture)
        fprintf(stderr, "ka-board-audio: %s from '%s': %llu frames (%.3f s), %u xruns\n", g_name, g_pcm,
                (unsigned long long)r.frames, rate ? double(r.frames) / rate : 0.0, r.xruns);
    else
        fprintf(stderr,
                "ka-board-audio: %s on '%s': %llu frames (%.3f s), %u xruns, queued before the "
                "host write: mean %.1f ms, max %.1f ms\n",
                g_name, g_pcm, (unsigned long long)r.frames, rate ? double(r.frames) / rate : 0.0, r.xruns,
                r.waits ? r.wait_sum / double(r.waits) * 1e3 : 0.0, r.wait_max * 1e3);
}

// Writes frames to the host, recovering from underruns (counted).
bool host_write(snd_pcm_t *pcm, const uint8_t *p, snd_pcm_uframes_t frames, unsigned fb, Report &r)
{
    while (frames > 0) {
        snd_pcm_sframes_t w = snd_pcm_writei(pcm, p, frames);
        if (w == -EPIPE) ++r.xruns;
        if (w < 0) {
            if (snd_pcm_recover(pcm, int(w), 1) < 0) {
                no_sound("cannot write to", int(w), false);
                return false;
            }
            continue;
        }
        p += size_t(w) * fb;
        frames -= snd_pcm_uframes_t(w);
    }
    return true;
}

int play(snd_pcm_t *pcm, unsigned fb, unsigned rate, std::atomic<uint64_t> *taken)
{
    Report r;
    snd_pcm_uframes_t period = std::max(1u, rate / 50);  // 20 ms
    std::vector<uint8_t> buf(size_t(period) * fb);
    size_t have = 0;
    bool ok = true;
    for (;;) {
        ssize_t n = read(0, buf.data() + have, buf.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += size_t(n);
        size_t frames = have / fb;
        if (frames == 0) continue;
        // Bytes still waiting in the socket: how far the host lags behind
        // the emulated device's writes.
        int inq = 0;
        if (ioctl(0, FIONREAD, &inq) == 0) {
            double wait = double(inq / int(fb)) / rate;
            r.wait_sum += wait;
            r.wait_max = std::max(r.wait_max, wait);
            ++r.waits;
        }
        if (ok) ok = host_write(pcm, buf.data(), frames, fb, r);
        // A failed host goes on taking (and dropping) the bytes, so that
        // the program is never held up.
        r.frames += frames;
        if (taken) taken->fetch_add(frames, std::memory_order_release);
        have -= frames * fb;
        memmove(buf.data(), buf.data() + frames * fb, have);
    }
    if (ok) snd_pcm_drain(pcm);
    report(r, false, rate);
    return 0;
}

int capture(snd_pcm_t *pcm, unsigned fb, unsigned rate)
{
    Report r;
    snd_pcm_uframes_t period = std::max(1u, rate / 50);
    std::vector<uint8_t> buf(size_t(period) * fb);
    for (;;) {
        snd_pcm_sframes_t got = snd_pcm_readi(pcm, buf.data(), period);
        if (got == -EPIPE) ++r.xruns;
        if (got < 0) {
            if (snd_pcm_recover(pcm, int(got), 1) < 0) {
                no_sound("cannot read from", int(got), true);
                break;
            }
            continue;
        }
        size_t len = size_t(got) * fb, done = 0;
        while (done < len) {
            ssize_t w = write(0, buf.data() + done, len - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                report(r, true, rate);
                return 0;  // the board closed the stream
            }
            done += size_t(w);
        }
        r.frames += snd_pcm_uframes_t(got);
    }
    report(r, true, rate);
    return 1;
}

unsigned num(const char *s)
{
    return unsigned(strtoul(s, nullptr, 10));
}

// alsa-lib's own error lines would repeat what the one message says.
void quiet(const char *, int, const char *, int, const char *, ...) {}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    snd_lib_error_set_handler(quiet);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "probe" && argc == 4) {
        g_pcm = argv[2];
        snd_pcm_t *pcm = nullptr;
        bool cap = !strcmp(argv[3], "capture");
        int err = snd_pcm_open(&pcm, g_pcm, cap ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                               SND_PCM_NONBLOCK);
        if (err < 0) {
            no_sound("cannot open", err, cap);
            return 1;
        }
        snd_pcm_close(pcm);
        return 0;
    }
    if ((mode != "play" && mode != "capture") || argc != 8) {
        fprintf(stderr,
                "usage: ka-board-audio play|capture PCM NAME FORMAT RATE CHANNELS "
                "FRAME_BYTES\n       ka-board-audio probe PCM play|capture\n");
        return 2;
    }
    g_pcm = argv[2];
    g_name = argv[3];
    auto fmt = snd_pcm_format_t(num(argv[4]));
    unsigned rate = num(argv[5]), channels = num(argv[6]), fb = num(argv[7]);
    bool cap = mode == "capture";
    std::atomic<uint64_t> *taken = nullptr;
    void *page = mmap(nullptr, sizeof *taken, PROT_READ | PROT_WRITE, MAP_SHARED, 3, 0);
    if (page != MAP_FAILED) taken = static_cast<std::atomic<uint64_t> *>(page);
    close(3);
    if (fb == 0 || channels == 0 || rate == 0 ||
        snd_pcm_format_physical_width(fmt) * int(channels) != int(fb) * 8) {
        fprintf(stderr, "ka-board: no host sound for %s: its frame layout has no ALSA format\n", g_name);
        return 1;
    }
    snd_pcm_t *pcm = open_pcm(cap, fmt, channels, rate);
    if (!pcm) return 1;
    int rc = cap ? capture(pcm, fb, rate) : play(pcm, fb, rate, taken);
    snd_pcm_close(pcm);
    return rc;
}
