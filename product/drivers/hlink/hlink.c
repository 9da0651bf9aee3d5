// SPDX-License-Identifier: GPL-2.0-only
// SPDX-FileCopyrightText: the vorn developers
/*
 * hlink: the host link's addresses for the vorn agent.
 *
 * /dev/hlink reads and sets the IPv4 addresses of the link's two ends (the
 * host's, "plat", and the service processor's, "sp"); /proc/hlink/sp_ip
 * shows the SP's as a dotted quad. Both start from the module parameters at
 * every load.
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/compiler.h>
#include <linux/fs.h>
#include <linux/inet.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/uaccess.h>

#include "hlink_shared.h"

static char *plat_ip;
module_param(plat_ip, charp, 0);
MODULE_PARM_DESC(plat_ip, "the host end's address, a dotted quad (default 169.254.101.3)");

static char *sp_ip;
module_param(sp_ip, charp, 0);
MODULE_PARM_DESC(sp_ip, "the service processor end's address, a dotted quad (default 169.254.101.2)");

/* Host byte order, first octet most significant; read and written whole. */
static u32 plat_addr;
static u32 sp_addr;

/* A dotted quad, or the default when the parameter is not given. */
static int hlink_parse(const char *name, const char *text, u32 dflt,
		       u32 *addr)
{
	const char *end;
	u8 octets[4];

	if (!text) {
		*addr = dflt;
		return 0;
	}
	/* With no delimiter given, in4_pton() stops at any other character. */
	if (!in4_pton(text, -1, octets, -1, &end) || *end) {
		pr_err("%s=%s is not a dotted-quad IPv4 address\n", name, text);
		return -EINVAL;
	}
	*addr = (u32)octets[0] << 24 | (u32)octets[1] << 16 |
		(u32)octets[2] << 8 | octets[3];
	return 0;
}

static long hlink_set(u32 *addr, unsigned long arg)
{
	if (arg > U32_MAX)
		return -EINVAL;
	WRITE_ONCE(*addr, (u32)arg);
	return 0;
}

static long hlink_get(const u32 *addr, unsigned long arg)
{
	u64 value = READ_ONCE(*addr);

	return put_user(value, (u64 __user *)arg);
}

static long hlink_ioctl(struct file *file, unsigned int cmd,
			unsigned long arg)
{
	switch (cmd) {
	case IOCTL_SET_PLAT_IP:
		return hlink_set(&plat_addr, arg);
	case IOCTL_GET_PLAT_IP:
		return hlink_get(&plat_addr, arg);
	case IOCTL_GET_SP_IP:
		return hlink_get(&sp_addr, arg);
	case IOCTL_SET_SP_IP:
		return hlink_set(&sp_addr, arg);
	default:
		return -ENOTTY;
	}
}

static const struct file_operations hlink_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = hlink_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
	.llseek = noop_llseek,
};

static struct miscdevice hlink_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = HLINK_DEVICE_NAME,
	.fops = &hlink_fops,
	.mode = 0600,
};

static int hlink_sp_ip_show(struct seq_file *m, void *v)
{
	__be32 addr = cpu_to_be32(READ_ONCE(sp_addr));

	seq_printf(m, "%pI4\n", &addr);
	return 0;
}

static int __init hlink_init(void)
{
	struct proc_dir_entry *dir;
	int ret;

	ret = hlink_parse("plat_ip", plat_ip, HLINK_DEFAULT_PLAT_IP,
			  &plat_addr);
	if (!ret)
		ret = hlink_parse("sp_ip", sp_ip, HLINK_DEFAULT_SP_IP,
				  &sp_addr);
	if (ret)
		return ret;

	dir = proc_mkdir(HLINK_PROC_DIR, NULL);
	if (!dir)
		return -ENOMEM;
	if (!proc_create_single(HLINK_SP_IP_FILE, 0444, dir,
				hlink_sp_ip_show)) {
		ret = -ENOMEM;
		goto remove_dir;
	}

	ret = misc_register(&hlink_dev);
	if (ret)
		goto remove_dir;
	return 0;

remove_dir:
	remove_proc_subtree(HLINK_PROC_DIR, NULL);
	return ret;
}

static void __exit hlink_exit(void)
{
	misc_deregister(&hlink_dev);
	remove_proc_subtree(HLINK_PROC_DIR, NULL);
}

module_init(hlink_init);
module_exit(hlink_exit);

MODULE_DESCRIPTION("vorn host link: the addresses of the link's two ends");
MODULE_LICENSE("GPL");
