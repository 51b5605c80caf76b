// SPDX-License-Identifier: GPL-2.0
/*
 * The mixer controls of card 0: for each front end, three playback routes
 * and four capture routes (switches), the DTMF route and tone generator, the
 * codec volumes of every codec the module is built with (a control shared by
 * several codecs takes the widest range any of them uses), and the voice
 * controls (level or flag, session, ramp time in ms). Every value starts at
 * 0; a write with a value out of range fails with EINVAL.
 */
#include <linux/slab.h>
#include <sound/control.h>

#include "ka_snd.h"

#define KA_MAX_VALUES 8

struct ka_ctl {
	const char *name;
	bool boolean;
	int count;
	long min, max;
};

static const char *const front_ends[] = { "MultiMedia1", "MultiMedia2", "MultiMedia6",
					  "MultiMedia5" };
static const char *const playback_routes[] = { "SEC_AUX_PCM_RX Audio Mixer %s",
					       "SEC_MI2S_RX Audio Mixer %s",
					       "Incall_Music Audio Mixer %s" };
static const char *const capture_routes[] = { "%s Mixer SEC_AUX_PCM_UL_TX", "%s Mixer SEC_MI2S_TX",
					      "%s Mixer VOC_REC_UL", "%s Mixer VOC_REC_DL" };

static const struct ka_ctl other_controls[] = {
	{ "SEC_AUX_PCM_RX_Voice Mixer DTMF", true, 1, 0, 1 },
	{ "DTMF_Generate Rx Low High Duration Gain", false, 4, 0, 2147483647L },
	{ "DAC1 Playback Volume", false, 2, 0, 175 },
	{ "ADC Capture Volume", false, 2, 0, 125 },
	{ "Playback Volume", false, 1, 0, 255 },
	{ "Capture Volume", false, 1, 0, 255 },
	{ "Master Playback Volume", false, 1, 0, 127 },
	{ "PCM Playback Volume", false, 2, 0, 127 },
	{ "PGA Capture Volume", false, 2, 0, 119 },
	{ "Voice Rx Gain", false, 3, -1, 5000 },
	{ "Voice Rx Device Mute", false, 3, -1, 5000 },
	{ "Voice Tx Device Mute", false, 3, -1, 5000 },
};

struct ka_value {
	struct ka_ctl def;
	char name[SNDRV_CTL_ELEM_ID_NAME_MAXLEN];
	long value[KA_MAX_VALUES];
};

static int ka_ctl_info(struct snd_kcontrol *kc, struct snd_ctl_elem_info *info)
{
	struct ka_value *v = kc->private_data;

	info->type = v->def.boolean ? SNDRV_CTL_ELEM_TYPE_BOOLEAN : SNDRV_CTL_ELEM_TYPE_INTEGER;
	info->count = v->def.count;
	info->value.integer.min = v->def.min;
	info->value.integer.max = v->def.max;
	info->value.integer.step = 0;
	return 0;
}

static int ka_ctl_get(struct snd_kcontrol *kc, struct snd_ctl_elem_value *val)
{
	struct ka_value *v = kc->private_data;
	int i;

	for (i = 0; i < v->def.count; i++)
		val->value.integer.value[i] = v->value[i];
	return 0;
}

static int ka_ctl_put(struct snd_kcontrol *kc, struct snd_ctl_elem_value *val)
{
	struct ka_value *v = kc->private_data;
	int i, changed = 0;

	for (i = 0; i < v->def.count; i++)
		if (val->value.integer.value[i] < v->def.min ||
		    val->value.integer.value[i] > v->def.max)
			return -EINVAL;
	for (i = 0; i < v->def.count; i++) {
		changed |= v->value[i] != val->value.integer.value[i];
		v->value[i] = val->value.integer.value[i];
	}
	return changed;
}

static void ka_ctl_free(struct snd_kcontrol *kc)
{
	kfree(kc->private_data);
}

static int add_control(struct snd_card *card, const struct ka_ctl *def, const char *fmt,
		       const char *arg)
{
	struct snd_kcontrol_new tmpl = {
		.iface = SNDRV_CTL_ELEM_IFACE_MIXER,
		.access = SNDRV_CTL_ELEM_ACCESS_READWRITE,
		.info = ka_ctl_info,
		.get = ka_ctl_get,
		.put = ka_ctl_put,
	};
	struct snd_kcontrol *kc;
	struct ka_value *v;

	v = kzalloc(sizeof(*v), GFP_KERNEL);
	if (!v)
		return -ENOMEM;
	v->def = *def;
	snprintf(v->name, sizeof(v->name), fmt, arg);
	tmpl.name = v->name;
	kc = snd_ctl_new1(&tmpl, v);
	if (!kc) {
		kfree(v);
		return -ENOMEM;
	}
	kc->private_free = ka_ctl_free;
	return snd_ctl_add(card, kc);
}

int ka_controls_create(struct snd_card *card)
{
	static const struct ka_ctl route = { NULL, true, 1, 0, 1 };
	int f, r, i, err;

	for (f = 0; f < ARRAY_SIZE(front_ends); f++) {
		for (r = 0; r < ARRAY_SIZE(playback_routes); r++) {
			err = add_control(card, &route, playback_routes[r], front_ends[f]);
			if (err)
				return err;
		}
		for (r = 0; r < ARRAY_SIZE(capture_routes); r++) {
			err = add_control(card, &route, capture_routes[r], front_ends[f]);
			if (err)
				return err;
		}
	}
	for (i = 0; i < ARRAY_SIZE(other_controls); i++) {
		err = add_control(card, &other_controls[i], "%s", other_controls[i].name);
		if (err)
			return err;
	}
	return 0;
}
