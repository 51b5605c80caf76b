// SPDX-License-Identifier: MIT
// PCM streams through the kernel interface, as the board's tests drive them,
// and the fixture of those tests.
#pragma once

#include <alsa_audio.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "ka_test.h"

namespace board_pcm {

using Board = ka_test::BoardTest;
using ka_test::pcm_info;

inline int open_pcm(int dev, int dir, int extra_flags = 0)
{
    return open(("/dev/snd/pcmC0D" + std::to_string(dev) + (dir ? "c" : "p")).c_str(), O_RDWR | extra_flags);
}

// Result of an ioctl as 0 or the errno value.
inline int io(int fd, unsigned long req, void *arg = nullptr)
{
    return ioctl(fd, req, arg) < 0 ? errno : 0;
}

inline snd_interval *iv(snd_pcm_hw_params &p, int n)
{
    return &p.intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

// What the audio library asks for: 16 bits per sample counted whatever the
// format, a period of at least 10 us.
inline snd_pcm_hw_params library_params(unsigned format, unsigned channels, unsigned rate)
{
    snd_pcm_hw_params p;
    param_init(&p);
    param_set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(&p, SNDRV_PCM_HW_PARAM_FORMAT, format);
    param_set_min(&p, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, 16);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_RATE, rate);
    return p;
}

inline struct pcm *open_stream(const char *name, unsigned flags = PCM_OUT)
{
    return pcm_open(flags, const_cast<char *>(name));
}

// Negotiates the way the audio library does; accepted blocks become the record's.
inline int negotiate(struct pcm *p, unsigned channels, unsigned rate)
{
    auto *hw = static_cast<snd_pcm_hw_params *>(malloc(sizeof(snd_pcm_hw_params)));
    *hw = library_params(SNDRV_PCM_FORMAT_S16_LE, channels, rate);
    param_set_max(hw, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, ~0u);  // the sample size left open
    param_set_hw_refine(p, hw);
    if (param_set_hw_params(p, hw) != 0) return free(hw), -1;
    auto *sw = static_cast<snd_pcm_sw_params *>(calloc(1, sizeof(snd_pcm_sw_params)));
    sw->period_step = 1;
    sw->avail_min = sw->start_threshold = unsigned(pcm_period_size(hw)) / (channels * 2);
    sw->stop_threshold = unsigned(pcm_buffer_size(hw)) / (channels * 2);
    if (param_set_sw_params(p, sw) != 0) return free(sw), -1;
    return pcm_prepare(p);
}

// WRITEI / READI of `frames` frames; 0 or an errno, frames moved in *done.
inline int xfer(int fd, bool write, void *buf, unsigned long frames, long *done = nullptr)
{
    snd_xferi x{0, buf, frames};
    int e = io(fd, write ? SNDRV_PCM_IOCTL_WRITEI_FRAMES : SNDRV_PCM_IOCTL_READI_FRAMES, &x);
    if (done) *done = e ? -1 : long(x.result);
    return e;
}

// Device `dev` set up (S16_LE at 8 kHz, mono or stereo, the devices' period
// and buffer) with `access`, and prepared, as the library sets a stream up:
// avail_min and the start threshold a period; -1 if any step fails. The stop
// threshold is `stop_buffers` buffers; with none (0) a late writer or reader
// finds the stream running, never in XRUN. The buffer's frames in *buffer.
inline int prepared_pcm(int dev, int dir, unsigned channels,
                        unsigned access = SNDRV_PCM_ACCESS_RW_INTERLEAVED, unsigned stop_buffers = 0,
                        unsigned *buffer = nullptr)
{
    const int fd = open_pcm(dev, dir);
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, channels, 8000);
    param_set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, access);
    if (fd < 0 || io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) return -1;
    const unsigned frames = iv(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min;
    if (buffer) *buffer = frames;
    snd_pcm_sw_params sw{};
    sw.avail_min = sw.start_threshold = iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min;
    sw.stop_threshold = stop_buffers ? stop_buffers * frames : ~0ul;
    return io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) || io(fd, SNDRV_PCM_IOCTL_PREPARE) ? -1 : fd;
}

}  // namespace board_pcm
