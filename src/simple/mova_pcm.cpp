// SPDX-License-Identifier: MIT
// PCM streams handed to the application as the platform's stream record:
// opened and prepared with the simple family's parameter setups, optionally
// started at once (hostless) so that they run without being read or written.
#include "simple/mova_internal.h"

#include <alsa_audio.h>
#include <errno.h>
#include <stdio.h>
#include <sys/ioctl.h>

#include "ka_lib_audio.h"

namespace {
constexpr const char *kOpenName = "mova_pcm_open";
}

extern "C" KA_API struct pcm *mova_pcm_open(const char *device, unsigned flags, int rate, int channels, int format,
                                            int hostless)
{
    // The platform refuses a NULL name; the messages show it as "NULL".
    const char *shown = device != nullptr ? device : "NULL";
    fprintf(stderr, "%s, device: %s, flag: 0x%x, rate: %d, channel: %d, format: %d, hostless: %d.\n", kOpenName,
            shown, flags, rate, channels, format, hostless);

    struct pcm *pcm = pcm_open(flags, const_cast<char *>(device));
    if (pcm == nullptr || !pcm_ready(pcm)) {
        fprintf(stderr, "%s, device: %s, pcm is not ready\n", kOpenName, shown);
        if (pcm != nullptr) pcm_close(pcm);
        return nullptr;
    }

    pcm->rate = static_cast<unsigned>(rate);
    pcm->channels = static_cast<unsigned>(channels);
    pcm->flags = flags;
    pcm->format = static_cast<unsigned>(format);

    if (flags & PCM_IN) {
        if (mova_record_set_params(pcm) != 0) {
            fprintf(stderr, "%s, device: %s, pcm in  params setting failed\n", kOpenName, shown);
            pcm_close(pcm);
            return nullptr;
        }
    } else if (mova_play_set_params(pcm) != 0) {
        fprintf(stderr, "%s, device: %s, pcm out params setting failed\n", kOpenName, shown);
        pcm_close(pcm);
        return nullptr;
    }

    if (pcm_prepare(pcm) != 0) {
        fprintf(stderr, "%s, device: %s, Failed in pcm_prepare\n", kOpenName, shown);
        pcm_close(pcm);
        return nullptr;
    }

    // A hostless stream runs from now on without transfers: the DSP moves the
    // data between its front and back ends.
    if (hostless != 0 && ioctl(pcm->fd, SNDRV_PCM_IOCTL_START) < 0) {
        fprintf(stderr, "%s, device: %s, Hostless IOCTL_START Error no %d \n", kOpenName, shown, errno);
        pcm_close(pcm);
        return nullptr;
    }

    fprintf(stderr, "%s, device: %s, open pcm sucess\n", kOpenName, shown);
    return pcm;
}

extern "C" KA_API int mova_pcm_close(struct pcm *pcm)
{
    fprintf(stderr, "%s \n", "mova_pcm_close");
    return pcm_close(pcm);  // the platform refuses a NULL stream with -1
}

// Read and write go straight to the platform, which refuses a NULL stream.
// Wait: both block until the device has room or data (woken by its clock);
// a device error returns at once. The stream is the caller's, and so is the
// choice to close it from another thread to end a wait.
extern "C" KA_API int mova_write_pcm(struct pcm *pcm, const void *data, unsigned len)
{
    return pcm_write(pcm, const_cast<void *>(data), len);
}

extern "C" KA_API int mova_read_pcm(struct pcm *pcm, void *buf, unsigned len) { return pcm_read(pcm, buf, len); }

extern "C" KA_API unsigned mova_get_pem_buffer_len(struct pcm *pcm)
{
    // No stream, no period: 0 rather than a crash.
    return pcm != nullptr ? pcm->period_size : 0;
}
