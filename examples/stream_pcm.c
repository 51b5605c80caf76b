// SPDX-License-Identifier: MIT
/*
 * stream_pcm.c - stream PCM from the application to a playback device.
 *
 * Opens a player on "hw:0,0" for 8000 Hz mono 16-bit samples, hands it two
 * seconds of a 440 Hz tone, pauses and resumes in the middle, and stops.
 * The callback runs in the library's play thread and is told when that
 * thread ends (and, before that, when a write to the device failed); start
 * and pause are seen through Ka_AudPlayer_GetState().
 *
 *   ka-board run -- ./stream_pcm          (on a PC: the emulated module)
 */
#include <ka_lib_audio.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

enum { RATE = 8000, CHANNELS = 1, FORMAT_S16_LE = 2 };

/* Called from the player's play thread: AUD_PLAYER_FINISHED (5) once when
 * the thread ends, after a stop or a failure; a failed write to the device
 * comes first as AUD_PLAYER_ERROR (-1). Keep it short: no lock of the
 * library is held, but the player is still busy until it returns. */
static int on_player(int hdl, int result)
{
    fprintf(stderr, "player %d: result %d\n", hdl, result);
    return 0;
}

/* Hands `seconds` of a tone to the player, 20 ms at a time. Ka_AudPlayer_Play
 * blocks while the player's buffer is full, so this paces itself. */
static int play_tone(int hdl, double seconds, unsigned *phase)
{
    int16_t block[RATE / 50];
    for (int n = 0; n < (int)(seconds * 50); ++n) {
        for (unsigned i = 0; i < sizeof block / sizeof block[0]; ++i, ++*phase)
            block[i] = (int16_t)(8000 * sin(2 * M_PI * 440 * *phase / RATE));
        int put = Ka_AudPlayer_Play(hdl, block, sizeof block);
        if (put < 0) return -1;  /* the player failed */
        if (put == 0) return 0;  /* stopped meanwhile */
    }
    return 0;
}

int main(void)
{
    int hdl = Ka_AudPlayer_OpenExt("hw:0,0", on_player, 0, CHANNELS, RATE, FORMAT_S16_LE);
    if (hdl < 0) {
        fprintf(stderr, "cannot open the player on hw:0,0\n");
        return 1;
    }
    unsigned phase = 0;
    int rc = play_tone(hdl, 1.0, &phase);

    /* Pause holds the play thread at its next period (the state then reads
     * AUD_PLAYER_PAUSE; the callback is not called); Resume lets it go on
     * where it stopped. */
    if (rc == 0 && Ka_AudPlayer_Pause(hdl) == 0) {
        usleep(300 * 1000);
        fprintf(stderr, "player %d: state %s\n", hdl, Ka_AudPlayer_GetState(hdl, NULL));
        Ka_AudPlayer_Resume(hdl);
    }
    if (rc == 0) rc = play_tone(hdl, 1.0, &phase);

    /* Stop ends the play thread (what is still buffered is dropped; the
     * callback gets AUD_PLAYER_FINISHED); Close releases the device. */
    Ka_AudPlayer_Stop(hdl);
    Ka_AudPlayer_Close(hdl);
    return rc == 0 ? 0 : 1;
}
