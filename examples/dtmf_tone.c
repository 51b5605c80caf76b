// SPDX-License-Identifier: MIT
/*
 * dtmf_tone.c - play the DTMF digit "5" into the voice receive path.
 *
 *   ka-board run -- ./dtmf_tone
 */
#include <ka_lib_audio.h>
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    /* NULL: the tone device "hw:0,7". */
    if (Ka_AudTone_Open(NULL) != 0) {
        fprintf(stderr, "cannot open the tone stream\n");
        return 1;
    }
    /* "5": 770 Hz and 1336 Hz; gain 0..1000; the duration in ms is handed to
     * the tone generator. */
    tone_param five = {.low = 770, .high = 1336, .gain = 500, .duration = 200};
    int rc = Ka_AudTone_Start(0, &five);
    if (rc == 0) {
        usleep(200 * 1000);
        if (Ka_AudTone_Stop() != 1) rc = -1;  /* 1: the generator was silenced */
    }
    Ka_AudTone_Close();
    if (rc != 0) fprintf(stderr, "the tone generator did not take the tone\n");
    return rc == 0 ? 0 : 1;
}
