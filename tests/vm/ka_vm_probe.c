// SPDX-License-Identifier: MIT
// What the tools do not cover, for the scenarios in scenarios.sh:
//   ka_vm_probe hostless DEVICE play|capture   a hostless stream (mova_pcm_open
//       with hostless set), its state 200 ms later
//   ka_vm_probe stall|pause|stop DEVICE MS FILE   plays raw mono 8 kHz FILE
//       through the player; after its first second the writer stalls, the
//       player is paused, or it is stopped, for MS ms
//   ka_vm_probe params   the period and buffer a playback stream gets, for
//       a table of rates, channel counts and formats
//   ka_vm_probe codec   the codec detected from the sysfs node and its volumes
//       set and read back
//   ka_vm_probe controls   mixer, DTMF tone, codec volumes, DRC/AGC registers
//       and voice volume in one process, printing what each left behind
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <alsa_audio.h>

#include "ka_lib_audio.h"

static int hostless(const char *dev, int capture)
{
    struct pcm *p = mova_pcm_open(dev, capture ? PCM_IN : PCM_OUT, 8000, 1, 2, 1);
    if (!p) {
        printf("hostless %s: open failed\n", capture ? "capture" : "play");
        return 1;
    }
    usleep(200000);
    struct snd_pcm_status st;
    memset(&st, 0, sizeof st);
    int rc = ioctl(p->fd, SNDRV_PCM_IOCTL_STATUS, &st);
    printf("hostless %s: state %d\n", capture ? "capture" : "play", rc == 0 ? (int)st.state : -1);
    return mova_pcm_close(p) == 0 ? 0 : 1;
}

// Plays raw mono 8 kHz FILE through the player: its first second, then MS ms
// in which the writer stalls (stall), the player is paused (pause, resumed
// after), or the player waits to be stopped (stop); then the rest and a
// quarter second of silence, the stop and the close.
static int session(const char *mode, const char *dev, int ms, const char *path)
{
    FILE *f = fopen(path, "rb");
    int h = f ? Ka_AudPlayer_OpenExt(dev, NULL, 0, 1, 8000, 2) : -1;
    if (h < 0) return 1;
    static unsigned char buf[1 << 20];
    size_t n = fread(buf, 1, sizeof buf, f), first = n < 16000 ? n : 16000;
    fclose(f);
    const int pause = strcmp(mode, "pause") == 0, stop = strcmp(mode, "stop") == 0;
    int ok = Ka_AudPlayer_Play(h, buf, (unsigned)first) == (int)first;
    if (pause) ok = ok && Ka_AudPlayer_Pause(h) == 0;
    usleep((useconds_t)ms * 1000);
    if (pause) ok = ok && Ka_AudPlayer_Resume(h) == 0;
    if (!stop) ok = ok && Ka_AudPlayer_Play(h, buf + first, (unsigned)(n - first)) == (int)(n - first);
    static unsigned char silence[4000];
    if (!stop) ok = ok && Ka_AudPlayer_Play(h, silence, sizeof silence) == (int)sizeof silence;
    // The platform stream counts the underruns it recovered from.
    int underruns = audCtl.pctx[h].pcm ? audCtl.pctx[h].pcm->underruns : -1;
    Ka_AudPlayer_Stop(h);
    Ka_AudPlayer_Close(h);
    printf("%s: %s, %s\n", mode, ok ? "all bytes taken" : "the player refused bytes",
           underruns > 0 ? "recovered from an underrun" : "no underrun");
    return !ok;
}

// A codec register as the chip answers it: register byte out, two bytes in.
static unsigned read_reg(int fd, unsigned reg)
{
    unsigned char r = (unsigned char)reg, v[2] = {0xDE, 0xAD};
    struct i2c_msg m[2] = {{0x1B, 0, 1, &r}, {0x1B, I2C_M_RD, 2, v}};
    struct i2c_rdwr_ioctl_data d = {m, 2};
    ioctl(fd, I2C_RDWR, &d);
    return (unsigned)v[0] << 8 | v[1];
}

static void show(const char *name)
{
    struct snd_ctl_elem_value v;
    int n = Ka_clt_get_mixer_value(name, &v);
    printf("%s:", name);
    for (int i = 0; i < n && i < 8; ++i) printf(" %ld", v.value.integer.value[i]);
    printf("\n");
}

static void show_file(const char *path)
{
    char text[128] = "";
    FILE *f = fopen(path, "r");
    size_t n = f ? fread(text, 1, sizeof text - 1, f) : 0;
    text[n] = 0;
    if (f) fclose(f);
    printf("%s: %s%s", path, f ? text : "(none)", n && text[n - 1] == '\n' ? "" : "\n");
}

static int params(void)
{
    static const struct {
        int rate, channels, format;
    } cases[] = {{8000, 1, 2},  {11025, 2, 2}, {16000, 1, 2}, {22050, 2, 2}, {44100, 2, 2},
                 {48000, 8, 2}, {8000, 1, 0},  {8000, 2, 6},  {8000, 1, 10}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        struct pcm *p = mova_pcm_open("hw:0,0", 0, cases[i].rate, cases[i].channels, cases[i].format, 0);
        printf("%d Hz, %d channels, format %d: ", cases[i].rate, cases[i].channels, cases[i].format);
        if (p)
            printf("period %u bytes, buffer %u bytes\n", p->period_size, p->buffer_size);
        else
            printf("refused\n");
        if (p) mova_pcm_close(p);
    }
    return 0;
}

static int codec(void)
{
    int l = -1, r = -1, set = Ka_AudCodec_SetVolume(KA_CODEC_VOL_PLAYBACK, 40, 90);
    int get = Ka_AudCodec_GetVolume(KA_CODEC_VOL_PLAYBACK, &l, &r);
    printf("codec type %d: set %d, get %d: %d %d\n", codec_get_type(), set, get, l, r);
    return 0;
}

static int controls(void)
{
    printf("set route: %d\n", Ka_clt_set_mixer_value("SEC_MI2S_RX Audio Mixer MultiMedia2", 1, "1"));
    printf("set out of range: %d\n", Ka_clt_set_mixer_value("Master Playback Volume", 1, "128"));
    show("SEC_MI2S_RX Audio Mixer MultiMedia2");
    show("Master Playback Volume");
    const tone_param tone = {770, 1336, 250, 120};
    printf("tone: %d", Ka_AudTone_Open(NULL));
    printf(" %d\n", Ka_AudTone_Start(0, &tone));
    show("SEC_AUX_PCM_RX_Voice Mixer DTMF");
    show("DTMF_Generate Rx Low High Duration Gain");
    printf("tone stop: %d\n", Ka_AudTone_Stop());
    Ka_AudTone_Close();
    show("DTMF_Generate Rx Low High Duration Gain");
    int l = -1, r = -1;
    printf("codec type: %d\n", codec_get_type());
    printf("codec volume: %d", Ka_AudCodec_SetVolume(KA_CODEC_VOL_PLAYBACK, 60, 35));
    printf(" %d", Ka_AudCodec_GetVolume(KA_CODEC_VOL_PLAYBACK, &l, &r));
    printf(" playback %d %d", l, r);
    Ka_AudCodec_SetVolume(KA_CODEC_VOL_CAPTURE, 100, 0);
    Ka_AudCodec_GetVolume(KA_CODEC_VOL_CAPTURE, &l, &r);
    printf(" capture %d %d\n", l, r);
    show("DAC1 Playback Volume");
    show("ADC Capture Volume");
    const drcagc_param whole = {0xFFFF, 0x0F0F, 0xFFFF, 0xABCD, 0, 0};
    const drcagc_param bits = {0x00F0, 0x0050, 0x00FF, 0x1234, 0x8001, 0xFFFF};
    printf("drcagc: %d", Ka_AudCodec_Set_ALC5616_DRCAGC(NULL, &whole));
    printf(" %d", Ka_AudCodec_Set_ALC5616_DRCAGC(NULL, &bits));
    int fd = open("/dev/i2c-2", O_RDWR);
    for (unsigned reg = 0xB4; reg <= 0xB6; ++reg) {
        printf(" %02x=%04x", reg, read_reg(fd, reg));
    }
    printf("\n");
    if (fd >= 0) close(fd);
    // Mute flags for types 2 and 3, a level or gain for the others.
    for (int type = 0; type <= 4; ++type)
        printf("voice %d: %d\n", type, Ka_AudVoice_SetVolume(type, type == 2 || type == 3 ? 1 : type + 1));
    show("Voice Rx Gain");
    show("Voice Rx Device Mute");
    show("Voice Tx Device Mute");
    show_file("/data/alsaucm_test");
    show_file("/run/alsaucm_test");
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "hostless") == 0)
        return hostless(argv[2], strcmp(argv[3], "capture") == 0);
    if (argc == 2 && strcmp(argv[1], "controls") == 0) return controls();
    if (argc == 2 && strcmp(argv[1], "params") == 0) return params();
    if (argc == 2 && strcmp(argv[1], "codec") == 0) return codec();
    if (argc == 5 &&
        (strcmp(argv[1], "stall") == 0 || strcmp(argv[1], "pause") == 0 || strcmp(argv[1], "stop") == 0))
        return session(argv[1], argv[2], atoi(argv[3]), argv[4]);
    fprintf(stderr,
            "usage: ka_vm_probe hostless DEVICE play|capture | stall|pause|stop DEVICE MS FILE | params | "
            "codec | "
            "controls\n");
    return 2;
}
