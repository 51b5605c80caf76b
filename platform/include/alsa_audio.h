// SPDX-License-Identifier: MIT
/*
 * alsa_audio.h - the module's ALSA interface library (libalsa_intf).
 *
 * Host build of the platform header: same names, signatures and record
 * layouts as the module's own, so that code compiled against it links
 * against the module's libalsa_intf unchanged.
 */
#ifndef ALSA_AUDIO_H
#define ALSA_AUDIO_H

#include <sound/asound.h>

#ifdef __cplusplus
extern "C" {
#endif

struct pcm {
    int fd;
    int timer_fd;
    unsigned rate;
    unsigned channels;
    unsigned flags;
    unsigned format;
    unsigned running : 1;
    int underruns;
    unsigned buffer_size;
    unsigned period_size;
    unsigned period_cnt;
    char error[128];
    struct snd_pcm_hw_params *hw_p;
    struct snd_pcm_sw_params *sw_p;
    struct snd_pcm_sync_ptr *sync_ptr;
    struct snd_pcm_channel_info ch[2];
    void *addr;
    int card_no;
    int device_no;
    int start;
};

#define PCM_OUT 0x00000000
#define PCM_IN 0x10000000

#define PCM_STEREO 0x00000000
#define PCM_MONO 0x01000000
#define PCM_QUAD 0x02000000
#define PCM_5POINT1 0x04000000
#define PCM_7POINT1 0x08000000

#define PCM_44100HZ 0x00000000
#define PCM_48000HZ 0x00100000
#define PCM_8000HZ 0x00200000
#define PCM_RATE_MASK 0x00F00000

#define PCM_MMAP 0x00010000
#define PCM_NMMAP 0x00000000

#define DEBUG_ON 0x00000001
#define DEBUG_OFF 0x00000000

struct mixer_ctl {
    struct mixer *mixer;
    struct snd_ctl_elem_info *info;
    char **ename;
};

struct mixer {
    int fd;
    struct snd_ctl_elem_info *info;
    struct mixer_ctl *ctl;
    unsigned count;
};

struct pcm *pcm_open(unsigned flags, char *device);
int pcm_close(struct pcm *pcm);
int pcm_ready(struct pcm *pcm);
int pcm_prepare(struct pcm *pcm);
int pcm_write(struct pcm *pcm, void *data, unsigned count);
int pcm_read(struct pcm *pcm, void *data, unsigned count);
int pcm_buffer_size(struct snd_pcm_hw_params *params);
int pcm_period_size(struct snd_pcm_hw_params *params);

void param_init(struct snd_pcm_hw_params *p);
void param_set_mask(struct snd_pcm_hw_params *p, int n, unsigned bit);
void param_set_min(struct snd_pcm_hw_params *p, int n, unsigned val);
void param_set_max(struct snd_pcm_hw_params *p, int n, unsigned val);
void param_set_int(struct snd_pcm_hw_params *p, int n, unsigned val);
int param_set_hw_refine(struct pcm *pcm, struct snd_pcm_hw_params *params);
int param_set_hw_params(struct pcm *pcm, struct snd_pcm_hw_params *params);
int param_set_sw_params(struct pcm *pcm, struct snd_pcm_sw_params *sparams);

struct mixer *mixer_open(const char *device);
void mixer_close(struct mixer *mixer);
struct mixer_ctl *mixer_get_control(struct mixer *mixer, const char *name, unsigned index);
int mixer_ctl_set_value(struct mixer_ctl *ctl, int count, char **argv);
int mixer_ctl_mulvalues(struct mixer_ctl *ctl, int count, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* ALSA_AUDIO_H */
