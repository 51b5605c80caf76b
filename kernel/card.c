// SPDX-License-Identifier: GPL-2.0
/*
 * The module's sound card: card 0 under the sound node /sys/devices/soc:sound
 * (whose codec_name attribute names the codec chip and its I2C location),
 * and /proc/ka_snd, where a test reads what each playback device received
 * (pcmC0D<N>p) and what it played out (pcmC0D<N>p.out, what a listener
 * heard), and sets what each capture device delivers (pcmC0D<N>c).
 * Opening one of these files with O_TRUNC empties it; writes append.
 */
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <sound/initval.h>

#include "ka_snd.h"

MODULE_DESCRIPTION("Sound card, codec I2C bus and sound node of the KA cellular module");
MODULE_LICENSE("GPL");

static char *codec_name = "alc5616-codec.2-001b";
module_param(codec_name, charp, 0444);
MODULE_PARM_DESC(codec_name, "first text of the codec_name node (a newline is added)");

struct ka_tape ka_played[KA_SND_DEVICES];
struct ka_tape ka_out[KA_SND_DEVICES];
struct ka_tape ka_capture_in[KA_SND_DEVICES];

static struct device *sound_node;
static struct snd_card *card;
static struct proc_dir_entry *proc_dir;
static char codec_text[129];
static DEFINE_MUTEX(codec_text_lock);

int ka_tape_append(struct ka_tape *t, const void *src, size_t n, bool from_user)
{
	int err = 0;

	mutex_lock(&t->lock);
	if (t->len + n > t->cap) {
		size_t cap = max_t(size_t, t->cap * 2, 64 * 1024);
		u8 *bigger;

		while (cap < t->len + n)
			cap *= 2;
		bigger = vmalloc(cap);
		if (!bigger) {
			err = -ENOMEM;
			goto out;
		}
		if (t->len)
			memcpy(bigger, t->data, t->len);
		vfree(t->data);
		t->data = bigger;
		t->cap = cap;
	}
	if (from_user) {
		if (copy_from_user(t->data + t->len, (const void __user *)src, n)) {
			err = -EFAULT;
			goto out;
		}
	} else {
		memcpy(t->data + t->len, src, n);
	}
	t->len += n;
out:
	mutex_unlock(&t->lock);
	return err;
}

void ka_tape_clear(struct ka_tape *t)
{
	mutex_lock(&t->lock);
	t->len = 0;
	mutex_unlock(&t->lock);
}

void ka_tape_free(struct ka_tape *t)
{
	vfree(t->data);
	t->data = NULL;
	t->len = 0;
	t->cap = 0;
}

static int tape_open(struct inode *inode, struct file *file)
{
	if ((file->f_flags & O_TRUNC) && (file->f_mode & FMODE_WRITE))
		ka_tape_clear(pde_data(inode));
	return 0;
}

static ssize_t tape_read(struct file *file, char __user *buf, size_t n, loff_t *pos)
{
	struct ka_tape *t = pde_data(file_inode(file));
	ssize_t r;

	mutex_lock(&t->lock);
	r = simple_read_from_buffer(buf, n, pos, t->data, t->len);
	mutex_unlock(&t->lock);
	return r;
}

static ssize_t tape_write(struct file *file, const char __user *buf, size_t n, loff_t *pos)
{
	int err = ka_tape_append(pde_data(file_inode(file)), (const void __force *)buf, n, true);

	if (err)
		return err;
	*pos += n;
	return n;
}

static const struct proc_ops tape_ops = {
	.proc_open = tape_open,
	.proc_read = tape_read,
	.proc_write = tape_write,
	.proc_lseek = default_llseek,
};

static ssize_t codec_name_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	ssize_t n;

	mutex_lock(&codec_text_lock);
	n = sysfs_emit(buf, "%s", codec_text);
	mutex_unlock(&codec_text_lock);
	return n;
}

/* The text is kept as written (at most 128 bytes), newline included. */
static ssize_t codec_name_store(struct device *dev, struct device_attribute *attr, const char *buf,
				size_t n)
{
	if (n >= sizeof(codec_text))
		return -EINVAL;
	mutex_lock(&codec_text_lock);
	memcpy(codec_text, buf, n);
	codec_text[n] = 0;
	mutex_unlock(&codec_text_lock);
	return n;
}
static DEVICE_ATTR_RW(codec_name);

static void ka_snd_cleanup(void)
{
	int i;

	if (card)
		snd_card_free(card);
	ka_codec_exit();
	if (proc_dir)
		proc_remove(proc_dir);
	if (sound_node) {
		device_remove_file(sound_node, &dev_attr_codec_name);
		root_device_unregister(sound_node);
	}
	for (i = 0; i < KA_SND_DEVICES; i++) {
		ka_tape_free(&ka_played[i]);
		ka_tape_free(&ka_out[i]);
		ka_tape_free(&ka_capture_in[i]);
	}
}

static int __init ka_snd_init(void)
{
	char name[16];
	int i, err;

	for (i = 0; i < KA_SND_DEVICES; i++) {
		mutex_init(&ka_played[i].lock);
		mutex_init(&ka_out[i].lock);
		mutex_init(&ka_capture_in[i].lock);
	}
	snprintf(codec_text, sizeof(codec_text), "%s\n", codec_name);

	sound_node = root_device_register("soc:sound");
	if (IS_ERR(sound_node)) {
		err = PTR_ERR(sound_node);
		sound_node = NULL;
		return err;
	}
	err = device_create_file(sound_node, &dev_attr_codec_name);
	if (err)
		goto fail;

	proc_dir = proc_mkdir("ka_snd", NULL);
	if (!proc_dir) {
		err = -ENOMEM;
		goto fail;
	}
	for (i = 0; i < KA_SND_DEVICES; i++) {
		snprintf(name, sizeof(name), "pcmC0D%dp", i);
		if (!proc_create_data(name, 0644, proc_dir, &tape_ops, &ka_played[i]))
			goto nomem;
		snprintf(name, sizeof(name), "pcmC0D%dp.out", i);
		if (!proc_create_data(name, 0644, proc_dir, &tape_ops, &ka_out[i]))
			goto nomem;
		snprintf(name, sizeof(name), "pcmC0D%dc", i);
		if (!proc_create_data(name, 0644, proc_dir, &tape_ops, &ka_capture_in[i]))
			goto nomem;
	}

	err = ka_codec_init(sound_node, proc_dir);
	if (err)
		goto fail;

	err = snd_card_new(sound_node, 0, "kamodule", THIS_MODULE, 0, &card);
	if (err) {
		card = NULL;
		goto fail;
	}
	strscpy(card->driver, "ka-snd", sizeof(card->driver));
	strscpy(card->shortname, "ka-module-snd-card", sizeof(card->shortname));
	strscpy(card->longname, "KA cellular module sound card", sizeof(card->longname));
	strscpy(card->mixername, "ka-module mixer", sizeof(card->mixername));
	err = ka_pcm_create(card);
	if (!err)
		err = ka_controls_create(card);
	if (!err)
		err = snd_card_register(card);
	if (err)
		goto fail;
	return 0;

nomem:
	err = -ENOMEM;
fail:
	ka_snd_cleanup();
	return err;
}

static void __exit ka_snd_exit(void)
{
	ka_snd_cleanup();
}

module_init(ka_snd_init);
module_exit(ka_snd_exit);
