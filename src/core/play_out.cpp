// SPDX-License-Identifier: MIT
// Draining a playback stream before its close (see ka_play_out.h). The
// kernel's own close drops whatever the device still holds; the kernel's
// DRAIN lets the device play it and stops the stream at the last written
// frame, so nothing past the data (old buffer contents) is played either.
#include "ka_play_out.h"

#include <alsa_audio.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>

namespace {

constexpr int64_t kMs = 1000000;

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Frames the device still holds, or -1 when the stream is not running or
// draining (an underrun stopped it, or a drain has ended: the kernel then
// answers EPIPE or EBADFD).
int64_t queued_frames(const struct pcm *pcm)
{
    snd_pcm_sframes_t delay = 0;
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_DELAY, &delay) < 0) return -1;
    return delay > 0 ? int64_t(delay) : 0;
}

}  // namespace

bool ka_play_out::begin(struct pcm *pcm)
{
    if (pcm == nullptr || pcm->fd < 0 || pcm->rate == 0) return false;
    const int64_t queued = queued_frames(pcm);
    if (queued < 0) return false;

    // Frames of 16-bit samples (the only width the streams are opened with).
    const unsigned channels = pcm->channels ? pcm->channels : 1;
    frame_ns_ = 1000000000 / int64_t(pcm->rate);
    period_ns_ = std::clamp(int64_t(pcm->period_size / (2 * channels)) * frame_ns_, kMs, 20 * kMs);

    // The drain is asked for without blocking: the kernel then only turns
    // the stream to draining (starting it if the data never reached the
    // start threshold) and answers EAGAIN, and the caller polls. A blocking
    // drain would keep the caller in the kernel for as long as the device
    // takes: an application's stop could not cut it short, and a device
    // that stops moving would hold it until the kernel gives up (ten
    // seconds without progress). Nothing else writes to the stream
    // meanwhile, so the flag is set for this one call only.
    const int fl = fcntl(pcm->fd, F_GETFL);
    if (fl < 0 || fcntl(pcm->fd, F_SETFL, fl | O_NONBLOCK) < 0) return false;
    const int r = ioctl(pcm->fd, SNDRV_PCM_IOCTL_DRAIN);
    const int err = errno;
    fcntl(pcm->fd, F_SETFL, fl);
    if (r < 0 && err != EAGAIN) return false;

    // How long the drain may take: a device moving at its rate plays the
    // queued frames (at most a buffer) in their own duration, and the
    // kernel sees the end at the period interrupt after the last frame. It
    // is given half as long again, and two periods: a device whose clock
    // runs somewhat slow, or a late wake-up of this side, still ends
    // normally, while a device that has stopped moving holds the play at
    // most one and a half buffers and two periods; then the close drops
    // what is left.
    const int64_t play_ns = queued * frame_ns_;
    deadline_ns_ = now_ns() + play_ns + play_ns / 2 + 2 * period_ns_;
    nap_ns_ = std::clamp(play_ns, kMs, period_ns_);
    return true;
}

bool ka_play_out::done(struct pcm *pcm)
{
    const int64_t queued = queued_frames(pcm);
    if (queued < 0) return true;  // drained and stopped, or failed
    nap_ns_ = std::clamp(queued * frame_ns_, kMs, period_ns_);
    return now_ns() >= deadline_ns_;
}

void ka_play_out::nap() const
{
    // Wait: a plain sleep of at most a period (20 ms); the caller tests its
    // stop and the stream again after it.
    sleep_ns(nap_ns_);
}

void ka_play_out::sleep_ns(int64_t ns)
{
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}
