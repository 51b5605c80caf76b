// SPDX-License-Identifier: MIT
// Hardware and software parameter setup of the simple family's streams.
#include "simple/mova_internal.h"

#include <alsa_audio.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

enum class direction { playback, capture };

// The channel count the open flags name, as the frame size divisor:
// playback knows mono and 5.1, capture also four channels; anything else
// counts as stereo.
unsigned frame_factor(unsigned flags, direction dir)
{
    if (flags & PCM_MONO) return 1;
    if (dir == direction::capture && (flags & PCM_QUAD)) return 4;
    if (flags & PCM_5POINT1) return 6;
    return 2;
}

// The setup's failures, each with its message: playback writes them bare,
// capture prefixed with its name.
enum class failure { hw_alloc, hw_refused, sw_alloc, sw_refused };

void report(direction dir, failure f)
{
    constexpr const char *name = "mova_record_set_params";
    const bool play = dir == direction::playback;
    switch (f) {
    case failure::hw_alloc:
        if (play) fprintf(stderr, "Failed to allocate ALSA hardware parameters!");
        else fprintf(stderr, "%s: Failed to allocate ALSA hardware parameters!", name);
        break;
    case failure::hw_refused:
        if (play) fprintf(stderr, "cannot set hw params\n");
        else fprintf(stderr, "%s:cannot set hw params", name);
        break;
    case failure::sw_alloc:
        if (play) fprintf(stderr, "Failed to allocate ALSA software parameters!\n");
        else fprintf(stderr, "%s:Failed to allocate ALSA software parameters!\n", name);
        break;
    case failure::sw_refused:
        if (play) fprintf(stderr, "cannot set sw params");
        else fprintf(stderr, "%s:cannot set sw params", name);
        break;
    }
}

int set_params(struct pcm *pcm, direction dir)
{
    auto *hw = static_cast<struct snd_pcm_hw_params *>(calloc(1, sizeof(struct snd_pcm_hw_params)));
    if (hw == nullptr) {
        report(dir, failure::hw_alloc);
        return -ENOMEM;
    }
    param_init(hw);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_ACCESS,
                   (pcm->flags & PCM_MMAP) ? SNDRV_PCM_ACCESS_MMAP_INTERLEAVED : SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_FORMAT, pcm->format);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    param_set_min(hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, 16);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_FRAME_BITS, pcm->channels * 16);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_CHANNELS, pcm->channels);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_RATE, pcm->rate);
    param_set_hw_refine(pcm, hw);
    if (param_set_hw_params(pcm, hw) != 0) {
        const int err = mova_neg_errno();
        free(hw);  // a refused block stays ours; an accepted one is the stream's
        report(dir, failure::hw_refused);
        return err;
    }

    pcm->buffer_size = static_cast<unsigned>(pcm_buffer_size(hw));
    pcm->period_size = static_cast<unsigned>(pcm_period_size(hw));
    // A zero period would only come from a broken negotiation; it must not
    // divide by zero here.
    pcm->period_cnt = pcm->period_size ? pcm->buffer_size / pcm->period_size : 0;

    auto *sw = static_cast<struct snd_pcm_sw_params *>(calloc(1, sizeof(struct snd_pcm_sw_params)));
    if (sw == nullptr) {
        report(dir, failure::sw_alloc);
        return -ENOMEM;
    }
    const snd_pcm_uframes_t frames = pcm->period_size / (2 * frame_factor(pcm->flags, dir));
    sw->tstamp_mode = SNDRV_PCM_TSTAMP_NONE;
    sw->period_step = 1;
    sw->avail_min = frames;
    sw->xfer_align = frames;
    if (dir == direction::playback) {
        sw->start_threshold = frames;
        sw->stop_threshold = pcm->buffer_size;  // bytes, as stored
        sw->silence_size = 0;
    } else {
        sw->start_threshold = 1;
        sw->stop_threshold = 0x7FFFFFFF;
        sw->silence_size = 0x7FFFFFFF;
    }
    sw->silence_threshold = 0;
    if (param_set_sw_params(pcm, sw) != 0) {
        const int err = mova_neg_errno();
        free(sw);
        report(dir, failure::sw_refused);
        return err;
    }
    return 0;
}

}  // namespace

int mova_neg_errno() { return errno != 0 ? -errno : -EIO; }

int mova_play_set_params(struct pcm *pcm) { return set_params(pcm, direction::playback); }
int mova_record_set_params(struct pcm *pcm) { return set_params(pcm, direction::capture); }
