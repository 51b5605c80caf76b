// SPDX-License-Identifier: MIT
// Hardware and software parameter setup of the simple family's streams: the
// core's negotiation, with the family's channel bits, thresholds and
// messages on the standard error stream.
#include <alsa_audio.h>
#include <stdio.h>

#include "ka_pcm_params.h"
#include "simple/mova_internal.h"

namespace {

// The setup's messages, in the order of ka_params_failure: playback writes
// them bare, capture prefixed with its name.
constexpr const char *kPlayMessages[] = {
    "Failed to allocate ALSA hardware parameters!",
    "cannot set hw params\n",
    "Failed to allocate ALSA software parameters!\n",
    "cannot set sw params",
};
constexpr const char *kRecordMessages[] = {
    "mova_record_set_params: Failed to allocate ALSA hardware parameters!",
    "mova_record_set_params:cannot set hw params",
    "mova_record_set_params:Failed to allocate ALSA software parameters!\n",
    "mova_record_set_params:cannot set sw params",
};
static_assert(static_cast<int>(ka_params_failure::sw_refused) == 3);

void report_play(ka_params_failure f)
{
    fputs(kPlayMessages[static_cast<int>(f)], stderr);
}
void report_record(ka_params_failure f)
{
    fputs(kRecordMessages[static_cast<int>(f)], stderr);
}

// Playback counts frames of mono and 5.1 streams, capture also of four
// channels; any other stream's frames count as stereo.
constexpr ka_params_family kPlay{kMovaPlayChannelBits, false, report_play};
constexpr ka_params_family kRecord{kMovaPlayChannelBits | PCM_QUAD, true, report_record};

}  // namespace

int mova_play_set_params(struct pcm *pcm)
{
    return ka_pcm_set_params(pcm, kPlay);
}
int mova_record_set_params(struct pcm *pcm)
{
    return ka_pcm_set_params(pcm, kRecord);
}
