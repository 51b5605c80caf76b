// SPDX-License-Identifier: GPL-2.0
/*
 * The PCM devices 0 to KA_SND_DEVICES - 1 of card 0, one playback and one
 * capture substream each, read/write interleaved access only. A
 * high-resolution timer per running stream moves the hardware pointer at the
 * sample clock and signals each period, so a program that falls behind gets
 * a real under- or overrun. Data goes by copy: what a program writes to a
 * playback device is appended to the device's tape as it is written; a
 * capture stream delivers its device's input tape from its start at every
 * prepare, then silence.
 */
#include <linux/hrtimer.h>
#include <linux/math64.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <sound/pcm.h>

#include "ka_snd.h"

/* Periods of at least 20 ms, at most four per buffer: a program that leaves
 * them open gets 20 ms and four periods. */
#define KA_PERIOD_US_MIN 20000

struct ka_stream {
	struct snd_pcm_substream *substream;
	struct hrtimer timer;
	ktime_t base;
	ktime_t period;
	bool running;
	size_t done; /* capture: bytes delivered since prepare */
	int device;
};

static const struct snd_pcm_hardware ka_hw = {
	.info = SNDRV_PCM_INFO_INTERLEAVED | SNDRV_PCM_INFO_BLOCK_TRANSFER,
	.formats = SNDRV_PCM_FMTBIT_S8 | SNDRV_PCM_FMTBIT_S16_LE | SNDRV_PCM_FMTBIT_S24_LE |
		   SNDRV_PCM_FMTBIT_S32_LE,
	.rates = SNDRV_PCM_RATE_CONTINUOUS | SNDRV_PCM_RATE_8000_48000,
	.rate_min = 8000,
	.rate_max = 48000,
	.channels_min = 1,
	.channels_max = 8,
	.buffer_bytes_max = 512 * 1024,
	.period_bytes_min = 16,
	.period_bytes_max = 128 * 1024,
	.periods_min = 1,
	.periods_max = 4,
};

static const unsigned int ka_channels[] = { 1, 2, 4, 6, 8 };
static const struct snd_pcm_hw_constraint_list ka_channel_list = {
	.count = ARRAY_SIZE(ka_channels),
	.list = ka_channels,
};

static enum hrtimer_restart ka_tick(struct hrtimer *timer)
{
	struct ka_stream *s = container_of(timer, struct ka_stream, timer);

	if (!READ_ONCE(s->running))
		return HRTIMER_NORESTART;
	snd_pcm_period_elapsed(s->substream);
	if (!READ_ONCE(s->running))
		return HRTIMER_NORESTART;
	hrtimer_forward_now(timer, s->period);
	return HRTIMER_RESTART;
}

static int ka_open(struct snd_pcm_substream *substream)
{
	struct snd_pcm_runtime *rt = substream->runtime;
	struct ka_stream *s;
	int err;

	s = kzalloc(sizeof(*s), GFP_KERNEL);
	if (!s)
		return -ENOMEM;
	s->substream = substream;
	s->device = substream->pcm->device;
	hrtimer_init(&s->timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL_SOFT);
	s->timer.function = ka_tick;
	rt->private_data = s;
	rt->hw = ka_hw;
	err = snd_pcm_hw_constraint_list(rt, 0, SNDRV_PCM_HW_PARAM_CHANNELS, &ka_channel_list);
	if (err >= 0)
		err = snd_pcm_hw_constraint_minmax(rt, SNDRV_PCM_HW_PARAM_PERIOD_TIME,
						   KA_PERIOD_US_MIN, UINT_MAX);
	if (err >= 0)
		err = snd_pcm_hw_constraint_integer(rt, SNDRV_PCM_HW_PARAM_PERIODS);
	if (err < 0) {
		kfree(s);
		return err;
	}
	return 0;
}

static int ka_close(struct snd_pcm_substream *substream)
{
	struct ka_stream *s = substream->runtime->private_data;

	hrtimer_cancel(&s->timer);
	kfree(s);
	return 0;
}

static int ka_prepare(struct snd_pcm_substream *substream)
{
	struct snd_pcm_runtime *rt = substream->runtime;
	struct ka_stream *s = rt->private_data;

	s->done = 0;
	s->period = ns_to_ktime(div_u64((u64)rt->period_size * NSEC_PER_SEC, rt->rate));
	return 0;
}

static int ka_trigger(struct snd_pcm_substream *substream, int cmd)
{
	struct ka_stream *s = substream->runtime->private_data;

	switch (cmd) {
	case SNDRV_PCM_TRIGGER_START:
	case SNDRV_PCM_TRIGGER_RESUME:
		s->base = ktime_get();
		WRITE_ONCE(s->running, true);
		hrtimer_start(&s->timer, s->period, HRTIMER_MODE_REL_SOFT);
		return 0;
	case SNDRV_PCM_TRIGGER_STOP:
	case SNDRV_PCM_TRIGGER_SUSPEND:
		WRITE_ONCE(s->running, false);
		hrtimer_try_to_cancel(&s->timer);
		return 0;
	}
	return -EINVAL;
}

static int ka_sync_stop(struct snd_pcm_substream *substream)
{
	struct ka_stream *s = substream->runtime->private_data;

	hrtimer_cancel(&s->timer);
	return 0;
}

/* Frames the clock has moved since the start, within the buffer. */
static snd_pcm_uframes_t ka_pointer(struct snd_pcm_substream *substream)
{
	struct snd_pcm_runtime *rt = substream->runtime;
	struct ka_stream *s = rt->private_data;
	u64 ns = ktime_to_ns(ktime_sub(ktime_get(), s->base));
	u64 frames = div_u64(ns * rt->rate, NSEC_PER_SEC);

	return do_div(frames, rt->buffer_size);
}

static int ka_copy(struct snd_pcm_substream *substream, unsigned long bytes, void *buf, bool user)
{
	struct ka_stream *s = substream->runtime->private_data;
	struct ka_tape *in = &ka_capture_in[s->device];
	unsigned long k = 0;
	u8 *tmp;
	int err = 0;

	if (substream->stream == SNDRV_PCM_STREAM_PLAYBACK)
		return ka_tape_append(&ka_played[s->device], buf, bytes, user);

	tmp = kvzalloc(bytes, GFP_KERNEL);
	if (!tmp)
		return -ENOMEM;
	mutex_lock(&in->lock);
	if (s->done < in->len) {
		k = min_t(unsigned long, bytes, in->len - s->done);
		memcpy(tmp, in->data + s->done, k);
	}
	mutex_unlock(&in->lock);
	s->done += bytes;
	if (user)
		err = copy_to_user((void __user *)buf, tmp, bytes) ? -EFAULT : 0;
	else
		memcpy(buf, tmp, bytes);
	kvfree(tmp);
	return err;
}

static int ka_copy_user(struct snd_pcm_substream *substream, int channel, unsigned long pos,
			void __user *buf, unsigned long bytes)
{
	return ka_copy(substream, bytes, (void __force *)buf, true);
}

static int ka_copy_kernel(struct snd_pcm_substream *substream, int channel, unsigned long pos,
			  void *buf, unsigned long bytes)
{
	return ka_copy(substream, bytes, buf, false);
}

/* No buffer to silence: a playback device has nothing but its tape. */
static int ka_fill_silence(struct snd_pcm_substream *substream, int channel, unsigned long pos,
			   unsigned long bytes)
{
	return 0;
}

static const struct snd_pcm_ops ka_pcm_ops = {
	.open = ka_open,
	.close = ka_close,
	.prepare = ka_prepare,
	.trigger = ka_trigger,
	.sync_stop = ka_sync_stop,
	.pointer = ka_pointer,
	.copy_user = ka_copy_user,
	.copy_kernel = ka_copy_kernel,
	.fill_silence = ka_fill_silence,
};

int ka_pcm_create(struct snd_card *card)
{
	struct snd_pcm *pcm;
	int dev, err;

	for (dev = 0; dev < KA_SND_DEVICES; dev++) {
		err = snd_pcm_new(card, "ka-pcm", dev, 1, 1, &pcm);
		if (err < 0)
			return err;
		snprintf(pcm->id, sizeof(pcm->id), "ka-pcm-%d", dev);
		snprintf(pcm->name, sizeof(pcm->name), "KA module PCM %d", dev);
		snd_pcm_set_ops(pcm, SNDRV_PCM_STREAM_PLAYBACK, &ka_pcm_ops);
		snd_pcm_set_ops(pcm, SNDRV_PCM_STREAM_CAPTURE, &ka_pcm_ops);
	}
	return 0;
}
