// SPDX-License-Identifier: MIT
// Opening and configuring a PCM stream: the one routine through which the
// player, the recorder and the tone generator get their streams, and the
// parameter negotiation that the simple family's setups share with it.
#define KA_LOG_FILE "ka_lib_audio"
#include <alsa_audio.h>
#include <errno.h>
#include <stdlib.h>

#include "ka_devices.h"
#include "ka_internal.h"
#include "ka_pcm_params.h"

namespace {

// A parameter block that the platform has not taken over (it keeps the
// blocks it accepted in the stream record and releases them with the
// stream) is released here, so that a refused configuration leaks nothing.
template <typename Block>
void release_unless_taken(Block *block, Block *taken)
{
    if (block != taken) free(block);
}

// The core's streams log their setup failures.
void log_failure(ka_params_failure f)
{
    switch (f) {
        case ka_params_failure::hw_alloc:
            KA_LOGE("Failed to allocate ALSA hardware parameters!");
            break;
        case ka_params_failure::hw_refused:
            KA_LOGE("cannot set hw params\n");
            break;
        case ka_params_failure::sw_alloc:
            KA_LOGE("Failed to allocate ALSA software parameters!\n");
            break;
        case ka_params_failure::sw_refused:
            KA_LOGE("cannot set sw params");
            break;
    }
}

constexpr ka_params_family kCoreFamily{KA_PCM_CHANNEL_BITS, false, log_failure};

}  // namespace

// A refusal is reported as the negated errno; a platform that refused
// without setting errno still gets a failure (-EIO), never 0, which every
// caller would take for success.
int ka_neg_errno()
{
    return errno != 0 ? -errno : -EIO;
}

int ka_pcm_set_params(struct pcm *pcm, const ka_params_family &family)
{
    auto *hw = static_cast<struct snd_pcm_hw_params *>(calloc(1, sizeof(struct snd_pcm_hw_params)));
    if (hw == nullptr) {
        family.report(ka_params_failure::hw_alloc);
        return -ENOMEM;
    }
    param_init(hw);
    param_set_mask(
        hw, SNDRV_PCM_HW_PARAM_ACCESS,
        (pcm->flags & KA_PCM_MMAP) ? SNDRV_PCM_ACCESS_MMAP_INTERLEAVED : SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_FORMAT, pcm->format);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    param_set_min(hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    // Sample and frame bits are fixed at 16 bits per sample, whatever the
    // format: the module's streams carry 16-bit frames.
    param_set_int(hw, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, ka_devices::kSampleBits);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_FRAME_BITS, pcm->channels * ka_devices::kSampleBits);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_CHANNELS, pcm->channels);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_RATE, pcm->rate);

    param_set_hw_refine(pcm, hw);
    if (param_set_hw_params(pcm, hw) != 0) {
        // Taken before anything else can change errno.
        const int err = ka_neg_errno();
        release_unless_taken(hw, pcm->hw_p);
        family.report(ka_params_failure::hw_refused);
        return err;
    }

    pcm->buffer_size = static_cast<unsigned>(pcm_buffer_size(hw));
    pcm->period_size = static_cast<unsigned>(pcm_period_size(hw));
    // A zero period would only come from a broken negotiation; it must not
    // divide by zero here.
    pcm->period_cnt = pcm->period_size ? pcm->buffer_size / pcm->period_size : 0;

    auto *sw = static_cast<struct snd_pcm_sw_params *>(calloc(1, sizeof(struct snd_pcm_sw_params)));
    if (sw == nullptr) {
        family.report(ka_params_failure::sw_alloc);
        return -ENOMEM;
    }
    // Frames of 16-bit samples, as many as the family's channel bits name
    // (a count they do not name is carried as stereo).
    const unsigned frame_bytes = 2 * ka_channels_of_flags(pcm->flags, family.channel_bits);
    const unsigned period_frames = pcm->period_size / frame_bytes;
    sw->tstamp_mode = SNDRV_PCM_TSTAMP_NONE;
    sw->period_step = 1;
    sw->sleep_min = 0;
    sw->avail_min = period_frames;
    sw->xfer_align = period_frames;
    sw->silence_threshold = 0;
    if (family.capture) {
        sw->start_threshold = 1;
        sw->stop_threshold = 0x7FFFFFFF;
        sw->silence_size = 0x7FFFFFFF;
    } else {
        sw->start_threshold = period_frames;
        // The stop threshold is the buffer size as stored above, in bytes.
        sw->stop_threshold = pcm->buffer_size;
        sw->silence_size = 0;
    }

    if (param_set_sw_params(pcm, sw) != 0) {
        const int err = ka_neg_errno();
        release_unless_taken(sw, pcm->sw_p);
        family.report(ka_params_failure::sw_refused);
        return err;
    }
    return 0;
}

int __ka_pcm_setParams(struct pcm *pcm)
{
    KA_LOGD("%s, %d\n", "__ka_pcm_setParams", __LINE__);
    return ka_pcm_set_params(pcm, kCoreFamily);
}

struct pcm *__ka_pcm_open(const char *device, unsigned flags, int channels, unsigned rate, unsigned format)
{
    // The platform takes the name as a plain char pointer; it only reads it.
    // Wait: none that a fault can hold. The platform opens the node without
    // blocking (a busy device fails the open instead of waiting for it), and
    // the parameter and prepare calls below are ioctls that answer at once.
    struct pcm *pcm = pcm_open(flags, const_cast<char *>(device));
    if (pcm == nullptr) {
        KA_LOGE("%s:PCM open failed\n", "__ka_pcm_open");
        return nullptr;
    }
    if (!pcm_ready(pcm)) {
        KA_LOGE("%s:PCM open failed\n", "__ka_pcm_open");
        pcm_close(pcm);
        return nullptr;
    }

    pcm->flags = flags | ka_channel_flag(channels);
    pcm->channels = static_cast<unsigned>(channels);
    pcm->rate = rate;
    pcm->format = format;

    if (__ka_pcm_setParams(pcm) != 0) {
        KA_LOGE("%s:params setting failed\n", "__ka_pcm_open");
        KA_LOGE("%s:PCM open failed\n", "__ka_pcm_open");
        pcm_close(pcm);
        return nullptr;
    }
    if (pcm_prepare(pcm) != 0) {
        KA_LOGE("%s:Failed in pcm_prepare\n", "__ka_pcm_open");
        KA_LOGE("%s:PCM open failed\n", "__ka_pcm_open");
        pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}
