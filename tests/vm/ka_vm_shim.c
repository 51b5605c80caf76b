// SPDX-License-Identifier: MIT
// Preloaded into a program on a real kernel: with KA_SHIM_PERIOD_US and
// KA_SHIM_PERIODS set, the period time and period count of its hw params
// (HW_REFINE and HW_PARAMS) are narrowed to them, so the program runs on a
// geometry of our choosing; and at each playback stream's close it prints
//   shim: received R, played out P, dropped D frames
// R the frames written, P the frames its hardware pointer passed, D those
// written and not reached when the stream was stopped (summed over the
// stream's starts: the pointers are read at every prepare and at the close).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include <sound/asound.h>

#define MAX_FD 1024

static struct {
    unsigned long received, played, dropped;
    int writer;
} streams[MAX_FD];

static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_close)(int);

static void narrow(struct snd_interval *i, unsigned v)
{
    if (i->min < v) i->min = v;
    if (i->max > v) i->max = v;
    i->openmin = i->openmax = 0;
}

static void narrow_params(struct snd_pcm_hw_params *p)
{
    const char *us = getenv("KA_SHIM_PERIOD_US"), *count = getenv("KA_SHIM_PERIODS");
    if (us && *us)
        narrow(&p->intervals[SNDRV_PCM_HW_PARAM_PERIOD_TIME - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL],
               (unsigned)atoi(us));
    if (count && *count)
        narrow(&p->intervals[SNDRV_PCM_HW_PARAM_PERIODS - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL],
               (unsigned)atoi(count));
}

// Adds what the pointers say since the last prepare.
static void account(int fd)
{
    struct snd_pcm_status st;
    memset(&st, 0, sizeof st);
    if (real_ioctl(fd, SNDRV_PCM_IOCTL_STATUS, &st) < 0) return;
    streams[fd].played += st.hw_ptr;
    if (st.appl_ptr > st.hw_ptr) streams[fd].dropped += st.appl_ptr - st.hw_ptr;
}

int ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const int ours = fd >= 0 && fd < MAX_FD;
    if (req == SNDRV_PCM_IOCTL_HW_REFINE || req == SNDRV_PCM_IOCTL_HW_PARAMS) narrow_params(arg);
    if (ours && req == SNDRV_PCM_IOCTL_PREPARE && streams[fd].writer) account(fd);
    int rc = real_ioctl(fd, req, arg);
    if (ours && rc == 0 && req == SNDRV_PCM_IOCTL_WRITEI_FRAMES) {
        streams[fd].writer = 1;
        streams[fd].received += (unsigned long)((struct snd_xferi *)arg)->result;
    }
    return rc;
}

int close(int fd)
{
    if (!real_close) real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < MAX_FD && streams[fd].writer) {
        // Stopped here, as the close would: the pointer where it stops.
        real_ioctl(fd, SNDRV_PCM_IOCTL_DROP);
        account(fd);
        fprintf(stderr, "shim: received %lu, played out %lu, dropped %lu frames\n", streams[fd].received,
                streams[fd].played, streams[fd].dropped);
        memset(&streams[fd], 0, sizeof streams[fd]);
    }
    return real_close(fd);
}
