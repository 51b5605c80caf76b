// SPDX-License-Identifier: GPL-2.0
/*
 * The PCM devices 0 to KA_SND_DEVICES - 1 of card 0, one playback and one
 * capture substream each, read/write interleaved access only. A
 * high-resolution timer per running stream moves the hardware pointer at the
 * sample clock and signals each period, so a program that falls behind gets
 * a real under- or overrun. Data goes by copy.
 *
 * A playback stream has a ring of its buffer size (zeros at hw_params): a
 * write of frame f goes to slot f % buffer and is appended to the device's
 * received tape (ka_played). What the hardware pointer passes is what a
 * listener hears: slot f % buffer for every frame f the pointer moved over,
 * which past the program's data is whatever the slot last held. Those frames
 * are appended to the device's played-out tape (ka_out) at each period tick
 * (from a work item, as the tape grows by sleeping allocations), before each
 * write into the ring (so a slot is recorded before it is overwritten), and at
 * stop and close up to the pointer where the stream stopped. Frames written
 * but not reached by then are never played out (a close drops them).
 *
 * A capture stream delivers its device's input tape from its start at every
 * prepare, then silence.
 */
#include <linux/hrtimer.h>
#include <linux/math64.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/uio.h>
#include <linux/version.h>
#include <linux/workqueue.h>
#include <sound/pcm.h>

#include "ka_snd.h"

/* Periods of at least 20 ms, at most four per buffer: a program that leaves
 * them open gets 20 ms and four periods. */
#define KA_PERIOD_US_MIN 20000

struct ka_stream {
	struct snd_pcm_substream *substream;
	struct hrtimer timer;
	ktime_t period;
	int device;
	/* The sample clock: guarded by clock_lock (taken in atomic context). */
	spinlock_t clock_lock;
	ktime_t base;
	bool running;
	u64 stop_frames; /* frames the pointer passed when the stream stopped */
	/* Guarded by lock: the playback ring and how much of it was played out. */
	struct mutex lock;
	u8 *ring;
	size_t ring_bytes;
	u64 out_frames; /* frames since prepare recorded on the played-out tape */
	struct work_struct out_work;
	size_t done; /* capture: bytes delivered since prepare */
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

static bool is_playback(struct ka_stream *s)
{
	return s->substream->stream == SNDRV_PCM_STREAM_PLAYBACK;
}

/* Frames the pointer has passed since the start (not wrapped at the buffer):
 * the clock while the stream runs, where it stopped after that. */
static u64 ka_frames_locked(struct ka_stream *s)
{
	if (!s->running)
		return s->stop_frames;
	return div_u64(ktime_to_ns(ktime_sub(ktime_get(), s->base)) * s->substream->runtime->rate,
		       NSEC_PER_SEC);
}

static u64 ka_frames_now(struct ka_stream *s)
{
	unsigned long flags;
	u64 frames;

	spin_lock_irqsave(&s->clock_lock, flags);
	frames = ka_frames_locked(s);
	spin_unlock_irqrestore(&s->clock_lock, flags);
	return frames;
}

/* Appends the ring's slots from the last recorded frame up to the pointer to
 * the played-out tape. Called with s->lock held, in process context. */
static void ka_play_out(struct ka_stream *s)
{
	struct snd_pcm_runtime *rt = s->substream->runtime;
	u64 upto = ka_frames_now(s);

	if (!s->ring || !rt->buffer_size)
		return;
	while (s->out_frames < upto) {
		u64 f = s->out_frames;
		u32 slot = do_div(f, rt->buffer_size);
		u64 n = min_t(u64, upto - s->out_frames, rt->buffer_size - slot);

		if (ka_tape_append(&ka_out[s->device], s->ring + frames_to_bytes(rt, slot),
				   frames_to_bytes(rt, n), false))
			return;
		s->out_frames += n;
	}
}

static void ka_out_work(struct work_struct *work)
{
	struct ka_stream *s = container_of(work, struct ka_stream, out_work);

	mutex_lock(&s->lock);
	ka_play_out(s);
	mutex_unlock(&s->lock);
}

static enum hrtimer_restart ka_tick(struct hrtimer *timer)
{
	struct ka_stream *s = container_of(timer, struct ka_stream, timer);

	if (!READ_ONCE(s->running))
		return HRTIMER_NORESTART;
	if (is_playback(s))
		schedule_work(&s->out_work);
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
	spin_lock_init(&s->clock_lock);
	mutex_init(&s->lock);
	INIT_WORK(&s->out_work, ka_out_work);
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

/* The ring goes after what the pointer passed in it is recorded. */
static void ka_free_ring(struct ka_stream *s)
{
	mutex_lock(&s->lock);
	ka_play_out(s);
	kvfree(s->ring);
	s->ring = NULL;
	s->ring_bytes = 0;
	mutex_unlock(&s->lock);
}

static int ka_close(struct snd_pcm_substream *substream)
{
	struct ka_stream *s = substream->runtime->private_data;

	hrtimer_cancel(&s->timer);
	cancel_work_sync(&s->out_work);
	ka_free_ring(s);
	kfree(s);
	return 0;
}

static int ka_hw_params(struct snd_pcm_substream *substream, struct snd_pcm_hw_params *params)
{
	struct ka_stream *s = substream->runtime->private_data;
	size_t bytes = params_buffer_bytes(params);
	u8 *ring;

	if (!is_playback(s))
		return 0;
	ring = kvzalloc(bytes, GFP_KERNEL);
	if (!ring)
		return -ENOMEM;
	ka_free_ring(s);
	mutex_lock(&s->lock);
	s->ring = ring;
	s->ring_bytes = bytes;
	s->out_frames = 0;
	s->stop_frames = 0;
	mutex_unlock(&s->lock);
	return 0;
}

static int ka_hw_free(struct snd_pcm_substream *substream)
{
	struct ka_stream *s = substream->runtime->private_data;

	cancel_work_sync(&s->out_work);
	ka_free_ring(s);
	return 0;
}

/* The pointer starts again at frame 0 of the ring's frame count; the ring
 * keeps what it holds. */
static int ka_prepare(struct snd_pcm_substream *substream)
{
	struct snd_pcm_runtime *rt = substream->runtime;
	struct ka_stream *s = rt->private_data;

	s->done = 0;
	s->period = ns_to_ktime(div_u64((u64)rt->period_size * NSEC_PER_SEC, rt->rate));
	if (is_playback(s)) {
		mutex_lock(&s->lock);
		ka_play_out(s);
		s->out_frames = 0;
		s->stop_frames = 0;
		mutex_unlock(&s->lock);
	}
	return 0;
}

static int ka_trigger(struct snd_pcm_substream *substream, int cmd)
{
	struct ka_stream *s = substream->runtime->private_data;
	unsigned long flags;

	switch (cmd) {
	case SNDRV_PCM_TRIGGER_START:
	case SNDRV_PCM_TRIGGER_RESUME:
		spin_lock_irqsave(&s->clock_lock, flags);
		s->base = ktime_get();
		WRITE_ONCE(s->running, true);
		spin_unlock_irqrestore(&s->clock_lock, flags);
		hrtimer_start(&s->timer, s->period, HRTIMER_MODE_REL_SOFT);
		return 0;
	case SNDRV_PCM_TRIGGER_STOP:
	case SNDRV_PCM_TRIGGER_SUSPEND:
		spin_lock_irqsave(&s->clock_lock, flags);
		s->stop_frames = ka_frames_locked(s);
		WRITE_ONCE(s->running, false);
		spin_unlock_irqrestore(&s->clock_lock, flags);
		hrtimer_try_to_cancel(&s->timer);
		if (is_playback(s))
			schedule_work(&s->out_work);
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
	u64 frames = ka_frames_now(rt->private_data);

	return do_div(frames, rt->buffer_size);
}

/* Playback: the ring's slots at byte pos are recorded as played out where the
 * pointer passed them, then take the written bytes, which the received tape
 * gets too. Returns where to copy them, with s->lock held. */
static u8 *ka_write_begin(struct ka_stream *s, unsigned long pos, unsigned long bytes)
{
	mutex_lock(&s->lock);
	ka_play_out(s);
	if (!s->ring || pos + bytes > s->ring_bytes) {
		mutex_unlock(&s->lock);
		return NULL;
	}
	return s->ring + pos;
}

static int ka_write_end(struct ka_stream *s, unsigned long pos, unsigned long bytes, int err)
{
	if (!err)
		err = ka_tape_append(&ka_played[s->device], s->ring + pos, bytes, false);
	mutex_unlock(&s->lock);
	return err;
}

/* Capture: the next bytes of the device's input tape, silence past its end,
 * in a buffer of their own (freed by the caller). */
static u8 *ka_capture_next(struct ka_stream *s, unsigned long bytes)
{
	struct ka_tape *in = &ka_capture_in[s->device];
	unsigned long k;
	u8 *tmp = kvzalloc(bytes, GFP_KERNEL);

	if (!tmp)
		return NULL;
	mutex_lock(&in->lock);
	if (s->done < in->len) {
		k = min_t(unsigned long, bytes, in->len - s->done);
		memcpy(tmp, in->data + s->done, k);
	}
	mutex_unlock(&in->lock);
	s->done += bytes;
	return tmp;
}

/* Linux 6.6 replaced the copy_user/copy_kernel pair by one copy callback
 * whose iov_iter stands for user and kernel memory alike. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
static int ka_copy(struct snd_pcm_substream *substream, int channel, unsigned long pos,
		   struct iov_iter *iter, unsigned long bytes)
{
	struct ka_stream *s = substream->runtime->private_data;
	u8 *p;
	int err = 0;

	if (is_playback(s)) {
		p = ka_write_begin(s, pos, bytes);
		if (!p)
			return -EINVAL;
		if (copy_from_iter(p, bytes, iter) != bytes)
			err = -EFAULT;
		return ka_write_end(s, pos, bytes, err);
	}
	p = ka_capture_next(s, bytes);
	if (!p)
		return -ENOMEM;
	if (copy_to_iter(p, bytes, iter) != bytes)
		err = -EFAULT;
	kvfree(p);
	return err;
}
#else
static int ka_copy(struct snd_pcm_substream *substream, unsigned long pos, unsigned long bytes,
		   void *buf, bool user)
{
	struct ka_stream *s = substream->runtime->private_data;
	u8 *p;
	int err = 0;

	if (is_playback(s)) {
		p = ka_write_begin(s, pos, bytes);
		if (!p)
			return -EINVAL;
		if (user)
			err = copy_from_user(p, (const void __user *)buf, bytes) ? -EFAULT : 0;
		else
			memcpy(p, buf, bytes);
		return ka_write_end(s, pos, bytes, err);
	}
	p = ka_capture_next(s, bytes);
	if (!p)
		return -ENOMEM;
	if (user)
		err = copy_to_user((void __user *)buf, p, bytes) ? -EFAULT : 0;
	else
		memcpy(buf, p, bytes);
	kvfree(p);
	return err;
}

static int ka_copy_user(struct snd_pcm_substream *substream, int channel, unsigned long pos,
			void __user *buf, unsigned long bytes)
{
	return ka_copy(substream, pos, bytes, (void __force *)buf, true);
}

static int ka_copy_kernel(struct snd_pcm_substream *substream, int channel, unsigned long pos,
			  void *buf, unsigned long bytes)
{
	return ka_copy(substream, pos, bytes, buf, false);
}
#endif

/* Silence into the ring (the kernel fills only for a stream with a silence
 * size, which the library never sets). It runs in atomic context, where the
 * played-out tape cannot grow: slots the pointer passed within the last
 * period and not yet recorded read as silence on that tape. */
static int ka_fill_silence(struct snd_pcm_substream *substream, int channel, unsigned long pos,
			   unsigned long bytes)
{
	struct snd_pcm_runtime *rt = substream->runtime;
	struct ka_stream *s = rt->private_data;

	if (s->ring && pos + bytes <= s->ring_bytes)
		snd_pcm_format_set_silence(rt->format, s->ring + pos, bytes_to_samples(rt, bytes));
	return 0;
}

static const struct snd_pcm_ops ka_pcm_ops = {
	.open = ka_open,
	.close = ka_close,
	.hw_params = ka_hw_params,
	.hw_free = ka_hw_free,
	.prepare = ka_prepare,
	.trigger = ka_trigger,
	.sync_stop = ka_sync_stop,
	.pointer = ka_pointer,
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
	.copy = ka_copy,
#else
	.copy_user = ka_copy_user,
	.copy_kernel = ka_copy_kernel,
#endif
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
