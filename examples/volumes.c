// SPDX-License-Identifier: MIT
/*
 * volumes.c - set mixer, codec and voice-call volumes.
 *
 *   ka-board run -- ./volumes
 */
#include <ka_lib_audio.h>
#include <stdio.h>

int main(void)
{
    int failed = 0;

    /* A mixer control by name; the value is given as text (several values
     * separated by spaces). 1 is success here, 0 failure. */
    if (!Ka_clt_set_mixer_value("SEC_AUX_PCM_RX Audio Mixer MultiMedia1", 1, "1")) {
        fprintf(stderr, "mixer: setting the control failed\n");
        failed = 1;
    }

    /* The codec's playback volume in percent, left and right. */
    if (Ka_AudCodec_SetVolume(KA_CODEC_VOL_PLAYBACK, 80, 80) != 0) {
        fprintf(stderr, "codec: no codec, or it refused the volume\n");
        failed = 1;
    } else {
        int left = 0, right = 0;
        if (Ka_AudCodec_GetVolume(KA_CODEC_VOL_PLAYBACK, &left, &right) == 0)
            printf("codec playback volume: %d %d\n", left, right);
    }

    /* Voice call: receive level 0..5, and unmute the microphone. */
    if (Ka_AudVoice_SetVolume(KA_VOICE_RX_LEVEL, 4) != 0 || Ka_AudVoice_SetVolume(KA_VOICE_TX_MUTE, 0) != 0) {
        fprintf(stderr, "voice: setting the volume failed\n");
        failed = 1;
    }
    printf("%s\n", Ka_AudVersion_Get());
    return failed;
}
