// SPDX-License-Identifier: GPL-2.0
/*
 * The I2C bus of the codec chip (an adapter that i2c-dev exposes as
 * /dev/i2c-<bus>) and the chip's register model: 8-bit register addresses,
 * 16-bit registers sent most significant byte first. A write message is
 * [register, high, low, high, low, ...], the register pointer advancing per
 * register; a message of the register byte alone sets the pointer for a
 * following read. Other addresses do not acknowledge (ENXIO).
 *
 * /proc/ka_snd/codec lists the registers that are not zero ("b5 abcd" per
 * line); writing such lines sets registers.
 */
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/uaccess.h>

#include "ka_snd.h"

static int codec_bus = 2;
module_param(codec_bus, int, 0444);
MODULE_PARM_DESC(codec_bus, "number of the codec's I2C bus");
static int codec_addr = 0x1b;
module_param(codec_addr, int, 0444);
MODULE_PARM_DESC(codec_addr, "I2C address of the codec");

static DEFINE_MUTEX(regs_lock);
static u16 regs[256];
static u8 reg_ptr;
static bool adapter_added;

static void run_message(struct i2c_msg *m)
{
	int i;

	if (m->flags & I2C_M_RD) {
		for (i = 0; i < m->len; i++) {
			u16 v = regs[reg_ptr];

			m->buf[i] = (i % 2 == 0) ? v >> 8 : v & 0xff;
			if (i % 2 == 1)
				reg_ptr++;
		}
		return;
	}
	if (m->len == 0)
		return;
	reg_ptr = m->buf[0];
	for (i = 1; i + 1 < m->len; i += 2)
		regs[reg_ptr++] = m->buf[i] << 8 | m->buf[i + 1];
}

static int ka_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	int i;

	for (i = 0; i < num; i++)
		if (msgs[i].addr != codec_addr)
			return -ENXIO;
	mutex_lock(&regs_lock);
	for (i = 0; i < num; i++)
		run_message(&msgs[i]);
	mutex_unlock(&regs_lock);
	return num;
}

static u32 ka_func(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C;
}

static const struct i2c_algorithm ka_algo = {
	.master_xfer = ka_xfer,
	.functionality = ka_func,
};

static struct i2c_adapter ka_adapter = {
	.owner = THIS_MODULE,
	.algo = &ka_algo,
	.name = "ka-codec-i2c",
};

static int regs_show(struct seq_file *m, void *unused)
{
	int r;

	mutex_lock(&regs_lock);
	for (r = 0; r < ARRAY_SIZE(regs); r++)
		if (regs[r])
			seq_printf(m, "%02x %04x\n", r, regs[r]);
	mutex_unlock(&regs_lock);
	return 0;
}

static int regs_open(struct inode *inode, struct file *file)
{
	return single_open(file, regs_show, NULL);
}

static ssize_t regs_write(struct file *file, const char __user *buf, size_t n, loff_t *pos)
{
	char text[256], *p, *line;
	unsigned int reg, value;

	if (n >= sizeof(text))
		return -EINVAL;
	if (copy_from_user(text, buf, n))
		return -EFAULT;
	text[n] = 0;
	p = text;
	while ((line = strsep(&p, "\n")) != NULL) {
		if (!*line)
			continue;
		if (sscanf(line, "%x %x", &reg, &value) != 2 || reg > 0xff || value > 0xffff)
			return -EINVAL;
		mutex_lock(&regs_lock);
		regs[reg] = value;
		mutex_unlock(&regs_lock);
	}
	return n;
}

static const struct proc_ops regs_ops = {
	.proc_open = regs_open,
	.proc_read = seq_read,
	.proc_write = regs_write,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
};

int ka_codec_init(struct device *parent, struct proc_dir_entry *dir)
{
	int err;

	if (!proc_create("codec", 0644, dir, &regs_ops))
		return -ENOMEM;
	ka_adapter.dev.parent = parent;
	ka_adapter.nr = codec_bus;
	err = i2c_add_numbered_adapter(&ka_adapter);
	if (err)
		return err;
	adapter_added = true;
	return 0;
}

void ka_codec_exit(void)
{
	if (adapter_added)
		i2c_del_adapter(&ka_adapter);
	adapter_added = false;
}
