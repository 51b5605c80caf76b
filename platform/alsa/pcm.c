// SPDX-License-Identifier: MIT
/*
 * libalsa_intf for the host: PCM streams and their parameter blocks.
 *
 * A thin client of the Linux ALSA PCM kernel interface. Every record size and
 * ioctl request number comes from <sound/asound.h>, so that the same source is
 * right on the 32-bit module and on a 64-bit host. Nothing is mmapped: the
 * status and control pages are never mapped, transfers use the plain
 * WRITEI_FRAMES / READI_FRAMES ioctls.
 *
 * Ownership of the parameter blocks: the caller allocates the
 * struct snd_pcm_hw_params / struct snd_pcm_sw_params blocks with malloc (or
 * calloc) and hands them over. From a successful param_set_hw_params() /
 * param_set_sw_params() on, the block belongs to the stream record (pcm->hw_p,
 * pcm->sw_p): pcm_close() frees it, and handing in a different block later
 * frees the one held before. The caller must therefore never free such a block
 * itself and never hand in a block that is not on the heap. A block whose
 * ioctl failed stays the caller's.
 */
#define _GNU_SOURCE

#include "alsa_audio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define ALSA_EXPORT __attribute__((visibility("default")))

/* Card 0 devices behind the platform's virtual PCM names. */
static const struct {
    const char *name;
    int card;
    int device;
} virtual_devices[] = {
    {"audio_bluetooth", 0, 20},
    {"audio_usb", 0, 21},
    {"audio_net", 0, 22},
};

/* Consecutive under- or overruns, without a single frame moved in between,
 * after which a transfer gives up instead of preparing again forever. A
 * stream that can't take one frame right after PREPARE is broken. */
enum { MAX_XRUN_RETRIES = 16 };

/* Stores "what: reason" in pcm->error, errno left as it was. */
static void set_error(struct pcm *pcm, int err, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static void set_error(struct pcm *pcm, int err, const char *fmt, ...)
{
    int saved = errno;
    char what[96];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    snprintf(pcm->error, sizeof pcm->error, "%s: %s", what, strerror(err));
    errno = saved;
}

/* Parses a non-negative decimal number at *s, advancing *s; -1 if none. */
static int parse_uint(const char **s)
{
    const char *p = *s;
    long v = 0;
    if (*p < '0' || *p > '9') return -1;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX) return -1;
        ++p;
    }
    *s = p;
    return (int)v;
}

/* "hw:C,D" or one of the virtual names. 0 on success, -1 if not parsable. */
static int parse_name(const char *name, int *card, int *device)
{
    for (size_t i = 0; i < sizeof virtual_devices / sizeof virtual_devices[0]; ++i) {
        if (strcmp(name, virtual_devices[i].name) == 0) {
            *card = virtual_devices[i].card;
            *device = virtual_devices[i].device;
            return 0;
        }
    }
    if (strncmp(name, "hw:", 3) != 0) return -1;
    const char *p = name + 3;
    int c = parse_uint(&p);
    if (c < 0 || *p != ',') return -1;
    ++p;
    int d = parse_uint(&p);
    if (d < 0 || *p != '\0') return -1;
    *card = c;
    *device = d;
    return 0;
}

ALSA_EXPORT struct pcm *pcm_open(unsigned flags, char *device)
{
    int card, dev;
    if (!device || parse_name(device, &card, &dev) != 0) {
        errno = EINVAL;
        return NULL;
    }

    struct pcm *pcm = calloc(1, sizeof *pcm);
    if (!pcm) return NULL; /* errno is ENOMEM */
    pcm->fd = -1;
    pcm->timer_fd = -1;
    pcm->flags = flags;
    pcm->card_no = card;
    pcm->device_no = dev;

    char path[64];
    snprintf(path, sizeof path, "/dev/snd/pcmC%dD%d%c", card, dev, (flags & PCM_IN) ? 'c' : 'p');

    /* Non-blocking, so that a device held by somebody else does not hang the
     * open; transfers block, so the flag is cleared right after. */
    int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        free(pcm);
        errno = err;
        return NULL;
    }
    pcm->fd = fd;

    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        int err = errno;
        set_error(pcm, err, "cannot make %s blocking", path);
        close(fd);
        pcm->fd = -1;
        errno = err;
        return pcm;
    }

    struct snd_pcm_info info;
    memset(&info, 0, sizeof info);
    if (ioctl(fd, SNDRV_PCM_IOCTL_INFO, &info) < 0) {
        int err = errno;
        set_error(pcm, err, "cannot get info for %s", path);
        close(fd);
        pcm->fd = -1;
        errno = err;
        return pcm;
    }
    return pcm;
}

ALSA_EXPORT int pcm_ready(struct pcm *pcm)
{
    return pcm && pcm->fd >= 0;
}

ALSA_EXPORT int pcm_close(struct pcm *pcm)
{
    if (!pcm) return -1;
    if (pcm->fd >= 0) close(pcm->fd);
    /* The parameter blocks belong to the record once accepted (see top).
     * timer_fd and sync_ptr are never opened or allocated here, so they are
     * left alone. */
    free(pcm->hw_p);
    free(pcm->sw_p);
    free(pcm);
    return 0;
}

/* Fails the call when the record has no open stream. */
static int check_open(struct pcm *pcm, const char *what)
{
    if (!pcm) {
        errno = EINVAL;
        return -1;
    }
    if (pcm->fd < 0) {
        set_error(pcm, EBADF, "%s: stream not open", what);
        errno = EBADF;
        return -1;
    }
    return 0;
}

ALSA_EXPORT int pcm_prepare(struct pcm *pcm)
{
    if (check_open(pcm, "prepare") < 0) return -1;
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_PREPARE) < 0) {
        set_error(pcm, errno, "cannot prepare stream");
        return -1;
    }
    pcm->running = 0;
    return 0;
}

/* ---- Parameter blocks ---------------------------------------------------- */

static int is_mask(int n)
{
    return n >= SNDRV_PCM_HW_PARAM_FIRST_MASK && n <= SNDRV_PCM_HW_PARAM_LAST_MASK;
}

static int is_interval(int n)
{
    return n >= SNDRV_PCM_HW_PARAM_FIRST_INTERVAL && n <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL;
}

static struct snd_mask *param_mask(struct snd_pcm_hw_params *p, int n)
{
    return &p->masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK];
}

static struct snd_interval *param_interval(struct snd_pcm_hw_params *p, int n)
{
    return &p->intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

ALSA_EXPORT void param_init(struct snd_pcm_hw_params *p)
{
    if (!p) return;
    memset(p, 0, sizeof *p);
    for (int n = SNDRV_PCM_HW_PARAM_FIRST_MASK; n <= SNDRV_PCM_HW_PARAM_LAST_MASK; ++n) {
        struct snd_mask *m = param_mask(p, n);
        memset(m->bits, 0xff, sizeof m->bits);
    }
    for (int n = SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; n <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL; ++n) {
        struct snd_interval *i = param_interval(p, n);
        i->min = 0;
        i->max = UINT_MAX;
    }
    p->rmask = ~0U;
    p->cmask = 0;
    p->info = ~0U;
}

/* Setters for a parameter number of the wrong kind, or a mask bit out of
 * range, leave the block unchanged. */
ALSA_EXPORT void param_set_mask(struct snd_pcm_hw_params *p, int n, unsigned bit)
{
    if (!p || !is_mask(n) || bit >= SNDRV_MASK_MAX) return;
    struct snd_mask *m = param_mask(p, n);
    memset(m->bits, 0, sizeof m->bits);
    m->bits[bit >> 5] = 1U << (bit & 31);
}

ALSA_EXPORT void param_set_min(struct snd_pcm_hw_params *p, int n, unsigned val)
{
    if (!p || !is_interval(n)) return;
    param_interval(p, n)->min = val;
}

ALSA_EXPORT void param_set_max(struct snd_pcm_hw_params *p, int n, unsigned val)
{
    if (!p || !is_interval(n)) return;
    param_interval(p, n)->max = val;
}

ALSA_EXPORT void param_set_int(struct snd_pcm_hw_params *p, int n, unsigned val)
{
    if (!p || !is_interval(n)) return;
    struct snd_interval *i = param_interval(p, n);
    i->min = val;
    i->max = val;
    i->integer = 1;
}

ALSA_EXPORT int param_set_hw_refine(struct pcm *pcm, struct snd_pcm_hw_params *params)
{
    if (check_open(pcm, "hw refine") < 0) return -1;
    if (!params) {
        errno = EINVAL;
        return -1;
    }
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_HW_REFINE, params) < 0) {
        set_error(pcm, errno, "cannot refine hw params");
        return -1;
    }
    return 0;
}

ALSA_EXPORT int param_set_hw_params(struct pcm *pcm, struct snd_pcm_hw_params *params)
{
    if (check_open(pcm, "hw params") < 0) return -1;
    if (!params) {
        set_error(pcm, EINVAL, "no hw params");
        errno = EINVAL;
        return -1;
    }
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_HW_PARAMS, params) < 0) {
        set_error(pcm, errno, "cannot set hw params");
        return -1;
    }
    if (pcm->hw_p != params) free(pcm->hw_p);
    pcm->hw_p = params;
    return 0;
}

ALSA_EXPORT int param_set_sw_params(struct pcm *pcm, struct snd_pcm_sw_params *sparams)
{
    if (check_open(pcm, "sw params") < 0) return -1;
    if (!sparams) {
        set_error(pcm, EINVAL, "no sw params");
        errno = EINVAL;
        return -1;
    }
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_SW_PARAMS, sparams) < 0) {
        set_error(pcm, errno, "cannot set sw params");
        return -1;
    }
    if (pcm->sw_p != sparams) free(pcm->sw_p);
    pcm->sw_p = sparams;
    return 0;
}

ALSA_EXPORT int pcm_buffer_size(struct snd_pcm_hw_params *params)
{
    if (!params) return 0;
    return (int)param_interval(params, SNDRV_PCM_HW_PARAM_BUFFER_BYTES)->min;
}

ALSA_EXPORT int pcm_period_size(struct snd_pcm_hw_params *params)
{
    if (!params) return 0;
    return (int)param_interval(params, SNDRV_PCM_HW_PARAM_PERIOD_BYTES)->min;
}

/* ---- Transfers ----------------------------------------------------------- */

/* Bytes per frame: the negotiated frame width, else 16-bit samples of the
 * record's channel count (or of the channel count its flags name). */
static unsigned frame_bytes(const struct pcm *pcm)
{
    if (pcm->hw_p) {
        unsigned bits = param_interval(pcm->hw_p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min;
        if (bits >= 8 && bits != UINT_MAX) return bits / 8;
    }
    unsigned ch = pcm->channels;
    if (ch == 0) {
        if (pcm->flags & PCM_MONO) ch = 1;
        else if (pcm->flags & PCM_QUAD) ch = 4;
        else if (pcm->flags & PCM_5POINT1) ch = 6;
        else if (pcm->flags & PCM_7POINT1) ch = 8;
        else ch = 2;
    }
    return ch * 2;
}

/* Prepares the stream again after an xrun. The kernel reports EPIPE only in
 * the XRUN state, where PREPARE is allowed; a driver that reports it while the
 * stream still runs gets EBUSY from PREPARE, and then the stream is stopped
 * with DROP first (what was queued counts as lost with the xrun anyway). */
static int recover(struct pcm *pcm)
{
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_PREPARE) == 0) return 0;
    if (errno != EBUSY) return -1;
    if (ioctl(pcm->fd, SNDRV_PCM_IOCTL_DROP) < 0) return -1;
    return ioctl(pcm->fd, SNDRV_PCM_IOCTL_PREPARE);
}

/* Moves `bytes` of interleaved frames with WRITEI_FRAMES or READI_FRAMES.
 * Bytes beyond the last whole frame are not transferred. An under- or overrun
 * (EPIPE) is counted, the stream prepared again and the rest retried. */
static int transfer(struct pcm *pcm, void *data, unsigned bytes, int capture)
{
    const char *what = capture ? "read" : "write";
    if (check_open(pcm, what) < 0) return -1;
    if (!data && bytes) {
        set_error(pcm, EINVAL, "%s: no buffer", what);
        errno = EINVAL;
        return -1;
    }
    const unsigned fsize = frame_bytes(pcm);
    const unsigned long request =
        capture ? SNDRV_PCM_IOCTL_READI_FRAMES : SNDRV_PCM_IOCTL_WRITEI_FRAMES;
    snd_pcm_uframes_t left = bytes / fsize;
    char *p = data;
    int xruns = 0;

    while (left > 0) {
        struct snd_xferi x;
        memset(&x, 0, sizeof x);
        x.buf = p;
        x.frames = left;
        if (ioctl(pcm->fd, request, &x) < 0) {
            int err = errno;
            if (err == EINTR) continue;
            if (err == EPIPE && xruns < MAX_XRUN_RETRIES) {
                ++pcm->underruns;
                ++xruns;
                pcm->running = 0;
                if (recover(pcm) < 0) {
                    set_error(pcm, errno, "cannot recover from %s", capture ? "overrun" : "underrun");
                    return -1;
                }
                continue;
            }
            set_error(pcm, err, "cannot %s stream data", what);
            errno = err;
            return -1;
        }
        if (x.result <= 0 || (snd_pcm_uframes_t)x.result > left) {
            /* A blocking transfer always moves something; anything else
             * would make this loop spin. */
            set_error(pcm, EIO, "%s moved %ld frames", what, (long)x.result);
            errno = EIO;
            return -1;
        }
        pcm->running = 1;
        xruns = 0;
        left -= (snd_pcm_uframes_t)x.result;
        p += (size_t)x.result * fsize;
    }
    return 0;
}

ALSA_EXPORT int pcm_write(struct pcm *pcm, void *data, unsigned count)
{
    return transfer(pcm, data, count, 0);
}

ALSA_EXPORT int pcm_read(struct pcm *pcm, void *data, unsigned count)
{
    return transfer(pcm, data, count, 1);
}
