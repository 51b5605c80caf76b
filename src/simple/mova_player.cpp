// SPDX-License-Identifier: MIT
// The simple family's blocking file player: raw 16-bit PCM from a descriptor,
// or a canonical WAV file, played one period at a time in the caller's
// thread. Another thread ends a playback early by clearing the play flag.
// A playback that reaches its end lets the device play what it holds before
// the stream is closed; one ended early may drop it.
#include "simple/mova_internal.h"

#include <alsa_audio.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

#include "files/ka_files_internal.h"
#include "ka_lib_audio.h"
#include "ka_pcm_params.h"
#include "ka_play_out.h"

namespace {

using ka_files::get_le16;
using ka_files::get_le32;
using ka_files::kWavHeaderSize;

// 1 between a start and the next stop or failed play. Written by any thread,
// read by the playing thread before every chunk.
constinit std::atomic<int> mova_play_file_need_running{0};

bool tag_is(const unsigned char *p, std::string_view tag) { return memcmp(p, tag.data(), tag.size()) == 0; }

// Ends a failed play: the stream closed, the flag cleared, the error handed on.
int fail_play(struct pcm *pcm, int err)
{
    if (pcm != nullptr) pcm_close(pcm);
    mova_play_file_need_running.store(0);
    return err;
}

// Reads the 44-byte header; the number of bytes read, or -1 on a read error.
ssize_t read_header(int fd, unsigned char *hdr)
{
    size_t got = 0;
    while (got < kWavHeaderSize) {
        ssize_t n = read(fd, hdr + got, kWavHeaderSize - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// The end of a play: the close would drop what the device still holds (up
// to a whole buffer, the whole of a prompt shorter than that), so the
// device plays it first, unless the application stops the play meanwhile.
// Nothing is left to play after a stop, or when the flag was clear from
// the start.
//
// Wait: polls the device at most a period apart, until it has played what
// it held, the flag is cleared (mova_stop_play_file) or the time a drain
// may take has run out (see ka_play_out::begin: a device that stops moving
// holds the play no longer than one and a half buffers).
void play_out(struct pcm *pcm)
{
    ka_play_out out;
    if (mova_play_file_need_running.load() == 0 || !out.begin(pcm)) return;
    while (mova_play_file_need_running.load() != 0 && !out.done(pcm)) out.nap();
}

}  // namespace

extern "C" KA_API int mova_play_file(unsigned rate, int channels, int fd, unsigned flags, const char *device,
                                     uint32_t data_sz)
{
    constexpr const char *name = "mova_play_file";
    flags |= ka_channel_flag(channels, kMovaPlayChannelBits);

    // A NULL device name is refused by the platform's open like any other
    // name it cannot open.
    struct pcm *pcm = pcm_open(flags, const_cast<char *>(device));
    if (pcm == nullptr) return fail_play(nullptr, -EBADFD);
    if (!pcm_ready(pcm)) return fail_play(pcm, -EBADFD);

    pcm->rate = rate;
    pcm->channels = static_cast<unsigned>(channels);
    pcm->flags = flags;
    pcm->format = SNDRV_PCM_FORMAT_S16_LE;
    // The setup's result is the negated errno of the refused call, taken
    // before anything else could change errno.
    if (int err = mova_play_set_params(pcm); err != 0) {
        fprintf(stderr, "%s:params setting failed\n", name);
        return fail_play(pcm, err);
    }
    if (pcm_prepare(pcm) != 0) {
        const int err = ka_neg_errno();
        fprintf(stderr, "%s:Failed in pcm_prepare\n", name);
        return fail_play(pcm, err);
    }

    const unsigned period = pcm->period_size;
    auto *buf = static_cast<unsigned char *>(calloc(1, period));
    if (buf == nullptr) {
        fprintf(stderr, "%s:could not allocate %d bytes\n", name, static_cast<int>(period));
        return fail_play(pcm, -ENOMEM);
    }

    // Whole chunks of one period (or of the data, if smaller). The remaining
    // count wraps modulo 2^32 and is tested as a signed value, so a data size
    // of 0xFFFFFFFF ends after the first chunk.
    const uint32_t chunk = data_sz < period ? data_sz : period;
    uint32_t remaining = data_sz;
    fprintf(stderr, "%s: data_sz = %d, mova_play_file_need_running: %d.\n", name, static_cast<int>(data_sz),
            mova_play_file_need_running.load());
    for (;;) {
        remaining -= chunk;
        if (read(fd, buf, chunk) <= 0) break;
        if (mova_play_file_need_running.load() == 0) break;  // stopped: what is queued may drop
        // Always the whole chunk: after a short read the rest is zeros.
        // Wait: pcm_write blocks until the device has taken the chunk, woken
        // by the device clock draining the buffer. A failing device returns
        // an error here and ends the play; mova_stop_play_file is seen only
        // between chunks, so a device whose clock stopped would keep this
        // call (and so mova_play_file) waiting in the platform layer.
        if (pcm_write(pcm, buf, chunk) < 0) {
            const int err = ka_neg_errno();
            fprintf(stderr, "%s: pcm_write failed\n", name);
            free(buf);
            return fail_play(pcm, err);
        }
        memset(buf, 0, period);
        if (static_cast<int32_t>(remaining) <= 0) break;
    }

    free(buf);
    play_out(pcm);
    pcm_close(pcm);
    fprintf(stderr, "%s: Done playing\n", name);
    return 0;
}

extern "C" KA_API int mova_play_wav_file(const char *device, const char *path)
{
    constexpr const char *name = "mova_play_wav_file";
    if (path == nullptr) return -EINVAL;

    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot open '%s'\n", name, path);
        return fd;
    }

    unsigned char hdr[kWavHeaderSize];
    errno = 0;
    const ssize_t got = read_header(fd, hdr);
    if (got != static_cast<ssize_t>(kWavHeaderSize)) {
        // A file that ends inside the header leaves errno alone; it is then
        // reported as an invalid argument.
        const int err = got < 0 ? ka_neg_errno() : -EINVAL;
        fprintf(stderr, "%s: cannot read header\n", name);
        close(fd);
        return err;
    }
    int result;
    if (!tag_is(hdr, "RIFF") || !tag_is(hdr + 8, "WAVE") || !tag_is(hdr + 12, "fmt ")) {
        fprintf(stderr, "%s: '%s' is not a riff/wave file\n", name, path);
        result = -EINVAL;
    } else if (get_le16(hdr + 20) != 1 || get_le32(hdr + 16) != 16) {
        fprintf(stderr, "%s: '%s' is not pcm format\n", name, path);
        result = -EINVAL;
    } else if (get_le16(hdr + 34) != 16) {
        fprintf(stderr, "%s: '%s' is not 16bit per sample\n", name, path);
        result = -EINVAL;
    } else {
        fprintf(stderr, "%s: Playing '%s'.\n", name, path);
        result = mova_play_file(get_le32(hdr + 24), get_le16(hdr + 22), fd, 0, device, get_le32(hdr + 40));
    }
    close(fd);
    return result;
}

extern "C" KA_API int mova_start_play_file(void)
{
    // Only one starter wins when several race: the flag is tested and set in
    // one step.
    int expected = 0;
    if (!mova_play_file_need_running.compare_exchange_strong(expected, 1)) {
        fprintf(stderr, "%s: stop play file, mova_play_file_need_running: %d\n", "mova_start_play_file", expected);
        return -ENOMEM;
    }
    fprintf(stderr, "%s: start play file, mova_play_file_need_running: %d\n", "mova_start_play_file", 1);
    return 0;
}

extern "C" KA_API int mova_stop_play_file(void)
{
    mova_play_file_need_running.store(0);
    return fprintf(stderr, "%s: stop play file, mova_play_file_need_running: %d\n", "mova_stop_play_file", 0);
}

extern "C" KA_API int mova_start_play_wav_file(void) { return mova_start_play_file(); }
extern "C" KA_API int mova_stop_play_wav_file(void) { return mova_stop_play_file(); }
