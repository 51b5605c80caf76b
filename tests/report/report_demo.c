// SPDX-License-Identifier: MIT
// report_demo: an application as the run report has to show it. Sets the
// playback and capture routes and a codec volume, sends a receive-gain
// command to the audio service, writes the codec's DRC/AGC registers, tries a
// device that the board is told to refuse, plays a stereo tone on hw:0,1 that
// stalls in the middle (an underrun) and carries a few clipped samples, and
// records half a second from hw:0,2.
//
//   report_demo [--kill-during-play | --kill-launcher]
//
// --kill-during-play: the program kills itself with SIGKILL in the middle of
// playing, with the stream still open.
// --kill-launcher: the same, and first the launcher that runs it (its parent),
// which then writes neither the program's exit nor the page.
#include <ka_audio_controls.h>
#include <ka_audio_simple.h>
#include <ka_lib_audio.h>
#include <math.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { RATE = 16000, CAPTURE_RATE = 8000, FORMAT_S16_LE = 2 };

// Tone frames [first, first + n): 1 kHz, left at half scale, right at a
// quarter, with the first four frames of the second half-second at full
// scale (clipped) in both channels.
static void tone(int16_t *out, unsigned first, unsigned n)
{
    for (unsigned i = 0; i < n; ++i) {
        unsigned f = first + i;
        double s = sin(2 * M_PI * 1000.0 * f / RATE);
        out[2 * i] = (int16_t)lrint(16384 * s);
        out[2 * i + 1] = (int16_t)lrint(8192 * s);
        if (f >= RATE / 2 && f < RATE / 2 + 4) {
            out[2 * i] = 32767;
            out[2 * i + 1] = -32768;
        }
    }
}

static int play(struct pcm *p, unsigned *frame, unsigned frames)
{
    int16_t buf[2 * 320];
    while (frames > 0) {
        unsigned n = frames < 320 ? frames : 320;
        tone(buf, *frame, n);
        if (mova_write_pcm(p, buf, n * 4) != 0) return -1;
        *frame += n;
        frames -= n;
    }
    return 0;
}

int main(int argc, char **argv)
{
    int kill_launcher = argc > 1 && strcmp(argv[1], "--kill-launcher") == 0;
    int kill_during_play = kill_launcher || (argc > 1 && strcmp(argv[1], "--kill-during-play") == 0);

    Ka_clt_set_mixer_value("SEC_AUX_PCM_RX Audio Mixer MultiMedia1", 1, "1");
    Ka_clt_set_mixer_value("MultiMedia2 Mixer SEC_AUX_PCM_UL_TX", 1, "1");
    Ka_AudCodec_SetVolume(KA_CODEC_VOL_PLAYBACK, 80, 60);
    Ka_AudVoice_SetVolume(KA_VOICE_RX_GAIN_CMD, 3);
    drcagc_param drc = {0xFFFF, 0x1234, 0x00F0, 0x0050, 0, 0};
    if (Ka_AudCodec_Set_ALC5616_DRCAGC(NULL, &drc) != 0) fprintf(stderr, "report_demo: DRC/AGC not set\n");

    // The board is told to refuse this one (--fault pcm_open@5:0:1).
    struct pcm *refused = mova_pcm_open("hw:0,5", 0, RATE, 2, FORMAT_S16_LE, 0);
    if (refused) mova_pcm_close(refused);

    struct pcm *out = mova_pcm_open("hw:0,1", 0, RATE, 2, FORMAT_S16_LE, 0);
    if (!out) return 1;
    unsigned frame = 0;
    if (play(out, &frame, RATE / 2) != 0) return 1;
    if (kill_launcher) kill(getppid(), SIGKILL);
    if (kill_during_play) kill(getpid(), SIGKILL);
    // The stall: the device runs dry, and underruns when its stop threshold
    // (the buffer size in bytes, given as frames: 240 ms past the 80 ms
    // buffer) is reached. The test runs the board's clock at a quarter of
    // real time, so a loaded machine's late write (under 1.28 s) does not
    // underrun; this stall, 500 ms of the device's time, does.
    usleep(2000 * 1000);
    if (play(out, &frame, RATE / 2) != 0) return 1;
    mova_pcm_close(out);

    struct pcm *in = mova_pcm_open("hw:0,2", 0x10000000 /* PCM_IN */ | 0x01000000 /* PCM_MONO */,
                                   CAPTURE_RATE, 1, FORMAT_S16_LE, 0);
    if (!in) return 1;
    int16_t rec[160];
    for (int i = 0; i < CAPTURE_RATE / 2 / 160; ++i)
        if (mova_read_pcm(in, rec, sizeof rec) != 0) return 1;
    mova_pcm_close(in);

    Ka_clt_set_mixer_value("SEC_AUX_PCM_RX Audio Mixer MultiMedia1", 1, "0");
    Ka_clt_set_mixer_value("MultiMedia2 Mixer SEC_AUX_PCM_UL_TX", 1, "0");
    return 0;
}
