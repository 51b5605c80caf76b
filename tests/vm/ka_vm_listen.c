// SPDX-License-Identifier: MIT
// A listener on a loopback sound card: records the capture side of a
// loopback device while a program plays into its playback side, so the file
// holds what that program's stream played out (the frames its hardware
// pointer passed, and silence around them).
//   ka_vm_listen DEVICE RATE CHANNELS OUT -- PROGRAM ARGS
// DEVICE is a capture node (e.g. /dev/snd/pcmC0D1c), S16_LE samples. The
// capture starts before PROGRAM and goes on for a second after it returns;
// OUT gets the raw samples. Exits with PROGRAM's status (1 when the capture
// failed). Raw ioctls, no ALSA library: it is linked statically.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sound/asound.h>

static struct snd_interval *interval(struct snd_pcm_hw_params *p, int n)
{
    return &p->intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

static void set_mask(struct snd_pcm_hw_params *p, int n, unsigned bit)
{
    struct snd_mask *m = &p->masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    memset(m->bits, 0, sizeof m->bits);
    m->bits[bit >> 5] = 1U << (bit & 31);
}

// Rate, channels and format fixed; the kernel chooses the rest (the smallest
// period, the largest buffer).
static int setup(int fd, unsigned rate, unsigned channels, unsigned *period)
{
    struct snd_pcm_hw_params p;
    memset(&p, 0, sizeof p);
    for (int n = SNDRV_PCM_HW_PARAM_FIRST_MASK; n <= SNDRV_PCM_HW_PARAM_LAST_MASK; ++n)
        memset(p.masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK].bits, 0xff, sizeof p.masks[0].bits);
    for (int n = SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; n <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL; ++n)
        interval(&p, n)->max = UINT_MAX;
    p.rmask = ~0U;
    set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    set_mask(&p, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    set_mask(&p, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    interval(&p, SNDRV_PCM_HW_PARAM_RATE)->min = interval(&p, SNDRV_PCM_HW_PARAM_RATE)->max = rate;
    interval(&p, SNDRV_PCM_HW_PARAM_CHANNELS)->min = interval(&p, SNDRV_PCM_HW_PARAM_CHANNELS)->max =
        channels;
    if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p) < 0) return -1;
    *period = interval(&p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min;
    fprintf(stderr, "listen: period %u frames, buffer %u frames\n", *period,
            interval(&p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min);
    if (ioctl(fd, SNDRV_PCM_IOCTL_PREPARE) < 0) return -1;
    return ioctl(fd, SNDRV_PCM_IOCTL_START);
}

int main(int argc, char **argv)
{
    if (argc < 7 || strcmp(argv[5], "--") != 0) {
        fprintf(stderr, "usage: ka_vm_listen DEVICE RATE CHANNELS OUT -- PROGRAM ARGS\n");
        return 2;
    }
    const unsigned rate = (unsigned)atoi(argv[2]), channels = (unsigned)atoi(argv[3]);
    const unsigned frame = 2 * channels;
    unsigned period = 0;
    int fd = open(argv[1], O_RDWR);
    FILE *out = fopen(argv[4], "wb");
    if (fd < 0 || !out || setup(fd, rate, channels, &period) < 0) {
        perror("listen: capture setup");
        return 1;
    }
    pid_t child = fork();
    if (child == 0) {
        close(fd);
        execvp(argv[6], argv + 6);
        perror("listen: exec");
        _exit(127);
    }
    // Reads of 20 ms; after the program ends, one more second.
    const unsigned chunk = rate / 50;
    static short buf[48000 / 50 * 8];
    unsigned long frames = 0, after = 0;
    int status = 0, done = child < 0, failed = child < 0;
    while (!failed && (!done || after < rate)) {
        struct snd_xferi x = {0, buf, chunk};
        if (ioctl(fd, SNDRV_PCM_IOCTL_READI_FRAMES, &x) < 0) {
            if (errno == EINTR) continue;
            // An overrun lost frames: what the file holds is no longer all
            // that was heard.
            perror("listen: read");
            failed = 1;
            break;
        }
        fwrite(buf, frame, (size_t)x.result, out);
        frames += (unsigned long)x.result;
        if (done) after += (unsigned long)x.result;
        if (!done && waitpid(child, &status, WNOHANG) == child) done = 1;
    }
    if (!done) waitpid(child, &status, 0);
    ioctl(fd, SNDRV_PCM_IOCTL_DROP);
    close(fd);
    fclose(out);
    fprintf(stderr, "listen: %lu frames\n", frames);
    if (failed) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
