// Raw kernel-interface helpers for the board's own tests: they talk to the
// emulated nodes with open/ioctl exactly as a thin ALSA client does.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <sound/asound.h>

#include <cstring>
#include <string>
#include <vector>

namespace board_raw {

inline std::string pcm_path(int dev, int dir)
{
    return "/dev/snd/pcmC0D" + std::to_string(dev) + (dir ? "c" : "p");
}

inline int open_pcm(int dev, int dir, int extra_flags = 0)
{
    return open(pcm_path(dev, dir).c_str(), O_RDWR | extra_flags);
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
inline snd_mask *mk(snd_pcm_hw_params &p, int n) { return &p.masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK]; }

// "Everything allowed", as a client starts.
inline snd_pcm_hw_params any_params()
{
    snd_pcm_hw_params p;
    memset(&p, 0, sizeof p);
    for (auto &m : p.masks) memset(m.bits, 0xff, sizeof m.bits);
    for (auto &i : p.intervals) {
        i.min = 0;
        i.max = ~0u;
    }
    p.rmask = ~0u;
    return p;
}
inline void set_mask(snd_pcm_hw_params &p, int n, unsigned bit)
{
    snd_mask *m = mk(p, n);
    memset(m->bits, 0, sizeof m->bits);
    m->bits[bit >> 5] = 1u << (bit & 31);
}
inline void set_int(snd_pcm_hw_params &p, int n, unsigned v)
{
    iv(p, n)->min = iv(p, n)->max = v;
    iv(p, n)->integer = 1;
}
inline unsigned get(snd_pcm_hw_params &p, int n) { return iv(p, n)->min; }

// The parameters the audio library asks for: 16 bits per sample counted
// whatever the format, a period of at least 10 us.
inline snd_pcm_hw_params library_params(unsigned format, unsigned channels, unsigned rate)
{
    snd_pcm_hw_params p = any_params();
    set_mask(p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    set_mask(p, SNDRV_PCM_HW_PARAM_FORMAT, format);
    set_mask(p, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME)->min = 10;
    set_int(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, 16);
    set_int(p, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    set_int(p, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    set_int(p, SNDRV_PCM_HW_PARAM_RATE, rate);
    return p;
}

struct Geometry {
    unsigned period = 0, buffer = 0;  // frames
};

// HW_PARAMS (S16_LE, library style), SW_PARAMS and PREPARE; 0 or an errno.
inline int setup(int fd, unsigned channels, unsigned rate, Geometry *out = nullptr,
                 unsigned long start_threshold = 0)
{
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, channels, rate);
    if (int e = io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) return e;
    Geometry s{get(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE), get(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)};
    snd_pcm_sw_params sw;
    memset(&sw, 0, sizeof sw);
    sw.avail_min = s.period;
    sw.start_threshold = start_threshold ? start_threshold : s.period;
    sw.stop_threshold = s.buffer;
    if (int e = io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw)) return e;
    if (out) *out = s;
    return io(fd, SNDRV_PCM_IOCTL_PREPARE);
}

// WRITEI / READI of `frames` frames; 0 or an errno, frames moved in *done.
inline int xfer(int fd, bool write, void *buf, unsigned long frames, long *done = nullptr)
{
    snd_xferi x;
    memset(&x, 0, sizeof x);
    x.buf = buf;
    x.frames = frames;
    int e = io(fd, write ? SNDRV_PCM_IOCTL_WRITEI_FRAMES : SNDRV_PCM_IOCTL_READI_FRAMES, &x);
    if (done) *done = e ? -1 : long(x.result);
    return e;
}

}  // namespace board_raw
