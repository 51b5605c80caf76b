/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The cellular module's audio hardware as seen from its kernel: sound card 0
 * with the numbered PCM devices and the mixer controls, the codec chip on an
 * I2C bus, and the sound node in sysfs that names the codec.
 */
#ifndef KA_SND_H
#define KA_SND_H

#include <linux/mutex.h>
#include <linux/types.h>
#include <sound/core.h>

#define KA_SND_DEVICES 32

/* A growing byte store: what a playback device received or played out, or
 * what a capture device is to deliver. */
struct ka_tape {
	struct mutex lock;
	u8 *data;
	size_t len, cap;
};

int ka_tape_append(struct ka_tape *t, const void *src, size_t n, bool from_user);
void ka_tape_clear(struct ka_tape *t);
void ka_tape_free(struct ka_tape *t);

extern struct ka_tape ka_played[KA_SND_DEVICES]; /* received: every byte written */
extern struct ka_tape ka_out[KA_SND_DEVICES];	 /* played out: what the pointer passed */
extern struct ka_tape ka_capture_in[KA_SND_DEVICES];

int ka_pcm_create(struct snd_card *card);
int ka_controls_create(struct snd_card *card);
int ka_codec_init(struct device *parent, struct proc_dir_entry *dir);
void ka_codec_exit(void);

#endif
