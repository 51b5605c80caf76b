// SPDX-License-Identifier: MIT
// Hardware and software parameter setup of the simple family's streams: the
// core's negotiation, with the family's channel bits, thresholds and
// messages on the standard error stream.
#include <alsa_audio.h>
#include <stdio.h>

#include "ka_pcm_params.h"
#include "simple/mova_internal.h"

namespace {

// The setup's failures, each with its message: playback writes them bare,
// capture prefixed with its name.
void report_play(ka_params_failure f)
{
    switch (f) {
        case ka_params_failure::hw_alloc:
            fprintf(stderr, "Failed to allocate ALSA hardware parameters!");
            break;
        case ka_params_failure::hw_refused:
            fprintf(stderr, "cannot set hw params\n");
            break;
        case ka_params_failure::sw_alloc:
            fprintf(stderr, "Failed to allocate ALSA software parameters!\n");
            break;
        case ka_params_failure::sw_refused:
            fprintf(stderr, "cannot set sw params");
            break;
    }
}

void report_record(ka_params_failure f)
{
    constexpr const char *name = "mova_record_set_params";
    switch (f) {
        case ka_params_failure::hw_alloc:
            fprintf(stderr, "%s: Failed to allocate ALSA hardware parameters!", name);
            break;
        case ka_params_failure::hw_refused:
            fprintf(stderr, "%s:cannot set hw params", name);
            break;
        case ka_params_failure::sw_alloc:
            fprintf(stderr, "%s:Failed to allocate ALSA software parameters!\n", name);
            break;
        case ka_params_failure::sw_refused:
            fprintf(stderr, "%s:cannot set sw params", name);
            break;
    }
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
