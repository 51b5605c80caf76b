// SPDX-License-Identifier: MIT
// Opening and configuring a PCM stream: the one routine through which the
// player, the recorder and the tone generator get their streams.
#define KA_LOG_FILE "ka_lib_audio"
#include <alsa_audio.h>
#include <errno.h>
#include <stdlib.h>

#include "ka_devices.h"
#include "ka_internal.h"

namespace {

// Channel count named by the channel bits of the open flags; no bit means
// stereo. Any other count the caller asked for is carried as stereo.
constexpr unsigned channels_of_flags(unsigned flags)
{
    if (flags & KA_PCM_MONO) return 1;
    if (flags & KA_PCM_QUAD) return 4;
    if (flags & KA_PCM_5POINT1) return 6;
    if (flags & KA_PCM_7POINT1) return 8;
    return 2;
}

// The channel bit of a count (none for stereo and for counts the card does
// not take).
constexpr unsigned channel_bits(int channels)
{
    for (const auto &c : ka_devices::kChannels)
        if (c.count == channels) return c.flag;
    return 0;
}
static_assert(channel_bits(1) == KA_PCM_MONO && channel_bits(4) == KA_PCM_QUAD &&
              channel_bits(6) == KA_PCM_5POINT1 && channel_bits(8) == KA_PCM_7POINT1 && channel_bits(3) == 0);

// A parameter block that the platform has not taken over (it keeps the
// blocks it accepted in the stream record and releases them with the
// stream) is released here, so that a refused configuration leaks nothing.
template <typename Block>
void release_unless_taken(Block *block, Block *taken)
{
    if (block != taken) free(block);
}

}  // namespace

int __ka_pcm_setParams(struct pcm *pcm)
{
    KA_LOGD("%s, %d\n", "__ka_pcm_setParams", __LINE__);

    auto *hw = static_cast<struct snd_pcm_hw_params *>(calloc(1, sizeof(struct snd_pcm_hw_params)));
    if (hw == nullptr) {
        KA_LOGE("Failed to allocate ALSA hardware parameters!");
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
        int err = errno;
        KA_LOGE("cannot set hw params\n");
        release_unless_taken(hw, pcm->hw_p);
        return -err;
    }

    pcm->buffer_size = static_cast<unsigned>(pcm_buffer_size(hw));
    pcm->period_size = static_cast<unsigned>(pcm_period_size(hw));
    pcm->period_cnt = pcm->period_size ? pcm->buffer_size / pcm->period_size : 0;

    auto *sw = static_cast<struct snd_pcm_sw_params *>(calloc(1, sizeof(struct snd_pcm_sw_params)));
    if (sw == nullptr) {
        KA_LOGE("Failed to allocate ALSA software parameters!\n");
        return -ENOMEM;
    }
    const unsigned frame_bytes = 2 * channels_of_flags(pcm->flags);
    const unsigned period_frames = pcm->period_size / frame_bytes;
    sw->tstamp_mode = SNDRV_PCM_TSTAMP_NONE;
    sw->period_step = 1;
    sw->sleep_min = 0;
    sw->avail_min = period_frames;
    sw->xfer_align = period_frames;
    sw->start_threshold = period_frames;
    // The stop threshold is the buffer size as stored above, in bytes.
    sw->stop_threshold = pcm->buffer_size;
    sw->silence_threshold = 0;
    sw->silence_size = 0;

    if (param_set_sw_params(pcm, sw) != 0) {
        int err = errno;
        KA_LOGE("cannot set sw params");
        release_unless_taken(sw, pcm->sw_p);
        return -err;
    }
    return 0;
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

    pcm->flags = flags | channel_bits(channels);
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
