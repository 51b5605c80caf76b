// SPDX-License-Identifier: MIT
/*
 * louder.c - the application's code, kept apart from its main() so that its
 * test (louder_test.cpp) runs the very same code on the emulated module.
 */
#include "louder.h"

#include <ka_lib_audio.h>
#include <stdint.h>
#include <stdlib.h>

enum { FORMAT_S16_LE = 2, MONO = 0x01000000 };

/* The mixer control that connects the first playback stream to the speaker. */
static const char SPEAKER_ROUTE[] = "SEC_AUX_PCM_RX Audio Mixer MultiMedia1";

int louder_echo(unsigned ms, int gain)
{
    const unsigned frames = LOUDER_RATE / 1000 * ms, bytes = frames * sizeof(int16_t);
    int16_t *audio = malloc(bytes);
    if (!audio) return -1;

    /* The recorder switches the microphone's route on (and off at its
     * close); Record reads the stream in this thread until it has all. */
    int rec = Ka_AudRecorder_OpenExt("hw:0,0", NULL, 0, 1, LOUDER_RATE, FORMAT_S16_LE);
    int rc = rec < 0 ? -1 : Ka_AudRecorder_Record(rec, audio, bytes);
    if (rec >= 0) Ka_AudRecorder_HClose(rec);

    for (unsigned i = 0; rc == 0 && i < frames; ++i) {
        long v = (long)audio[i] * gain;
        audio[i] = (int16_t)(v > INT16_MAX ? INT16_MAX : v < INT16_MIN ? INT16_MIN : v);
    }

    /* The speaker's route on, a playback stream of our own that takes all
     * the samples (the write blocks until the device has room), then off. */
    if (rc == 0 && Ka_clt_set_mixer_value(SPEAKER_ROUTE, 1, "1") != 1) rc = -1;
    struct pcm *out = rc == 0 ? mova_pcm_open("hw:0,0", MONO, LOUDER_RATE, 1, FORMAT_S16_LE, 0) : NULL;
    if (rc == 0 && (!out || mova_write_pcm(out, audio, bytes) < 0)) rc = -1;
    if (out) mova_pcm_close(out);
    if (rc == 0 || out) Ka_clt_set_mixer_value(SPEAKER_ROUTE, 1, "0");
    free(audio);
    return rc;
}
