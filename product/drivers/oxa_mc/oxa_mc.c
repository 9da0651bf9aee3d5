// SPDX-License-Identifier: GPL-2.0-only
// SPDX-FileCopyrightText: the vorn developers
/*
 * oxa_mc: the management controller's device for the vorn agent.
 *
 * /dev/oxa_mc answers five requests: the machine-check error records, the
 * heartbeat, a CPU's temperature, the memory controllers' DRAM map and a CPU
 * id value. Error records come from the kernel's machine-check decode chain,
 * and at load from the kernel log for the errors reported before the driver
 * was there; they wait in a bounded queue until the records reader (the
 * first opener that asks for them, until it closes) takes them, each once
 * and in order. The counters are read-only attributes of the device in sysfs.
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/atomic.h>
#include <linux/cpumask.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/kmsg_dump.h>
#include <linux/ktime.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/notifier.h>
#include <linux/pci.h>
#include <linux/slab.h>
#include <linux/smp.h>
#include <linux/spinlock.h>
#include <linux/topology.h>
#include <linux/uaccess.h>
#include <asm/amd_nb.h>
#include <asm/cpufeature.h>
#include <asm/mce.h>
#include <asm/msr.h>
#include <asm/processor.h>

#include "dimm_map.h"
#include "mc.h"
#include "mc_record_conv.h"
#include "temp_conv.h"

/*
 * Records that wait for a request; beyond that an uncorrected error takes a
 * corrected one's place, and whatever cannot be kept is counted and dropped.
 */
#define OXA_MC_QUEUE_LEN 256
/* The longest line of the kernel log that recovery reads. */
#define OXA_MC_LOG_LINE 1024
/* IOCTL_GET_CPU_TEMP serves CPUs 0 to 3. */
#define OXA_MC_TEMP_CPUS 4

/* AMD family 0Fh northbridge: node n is PCI 00:(18h + n). */
#define OXA_MC_K8_FAMILY 0xf
#define OXA_MC_K8_FIRST_SLOT 0x18
#define OXA_MC_K8_DRAM_BASE(n) (0x40 + 8 * (n))	/* function 1 */
#define OXA_MC_K8_DRAM_LIMIT(n) (0x44 + 8 * (n))	/* function 1 */
#define OXA_MC_K8_CS_BASE(cs) (0x40 + 4 * (cs))	/* function 2 */
#define OXA_MC_K8_CS_MASK(cs) (0x60 + 4 * (cs))	/* function 2 */
/* Revision F (model 40h and later) has one mask per pair of chip selects. */
#define OXA_MC_K8_REV_F_MODEL 0x40
#define OXA_MC_K8_REV_F_MASKS 4

/* Records in a ring of OXA_MC_QUEUE_LEN, oldest first. */
struct oxa_mc_ring {
	RegIfVals *rec;
	unsigned int head;	/* the oldest record */
	unsigned int count;	/* records waiting */
	unsigned int busy;	/* the oldest ones, being handed out */
};

/*
 * The queue's lock is held only to move records in memory: never across a
 * user copy, so the decode chain never waits for a reader.
 */
static DEFINE_SPINLOCK(queue_lock);
static struct oxa_mc_ring queue;
static struct file *records_reader;	/* the one opener that takes records */
static atomic_long_t records_dropped = ATOMIC_LONG_INIT(0);
static atomic_long_t records_unmapped = ATOMIC_LONG_INIT(0);
static atomic_long_t records_recovered = ATOMIC_LONG_INIT(0);

static DEFINE_SPINLOCK(beat_lock);
static u64 beats;
static ktime_t last_beat;

static u64 oxa_mc_read_msr(unsigned int cpu, u32 msr)
{
	u64 value;

	if (rdmsrl_safe_on_cpu(cpu, msr, &value))
		return 0;
	return value;
}

static u32 oxa_mc_bank_ctl_msr(unsigned int bank)
{
	if (boot_cpu_has(X86_FEATURE_SMCA))
		return MSR_AMD64_SMCA_MCx_CTL(bank);
	return MSR_IA32_MCx_CTL(bank);
}

static RegIfVals *oxa_mc_at(struct oxa_mc_ring *r, unsigned int i)
{
	return &r->rec[(r->head + i) % OXA_MC_QUEUE_LEN];
}

/* Removes the record at ring position @pos; the newer ones move up. */
static void oxa_mc_erase(struct oxa_mc_ring *r, unsigned int pos)
{
	unsigned int i = (pos + OXA_MC_QUEUE_LEN - r->head) % OXA_MC_QUEUE_LEN;

	for (; i + 1 < r->count; i++)
		*oxa_mc_at(r, i) = *oxa_mc_at(r, i + 1);
	r->count--;
}

/*
 * Adds @rec as the newest record. In a full ring an uncorrected error takes
 * the place of the oldest corrected one not being handed out; a record that
 * finds no place is left out. Returns 0 when nothing was lost, 1 when a
 * corrected record made way, -1 when @rec was left out.
 */
static int oxa_mc_add(struct oxa_mc_ring *r, const RegIfVals *rec)
{
	int victim = -1;

	if (r->count == OXA_MC_QUEUE_LEN) {
		if (mc_record_uncorrected(rec))
			victim = mc_queue_victim(r->rec, OXA_MC_QUEUE_LEN,
						 r->head, r->count, r->busy);
		if (victim < 0)
			return -1;
		oxa_mc_erase(r, victim);
	}
	*oxa_mc_at(r, r->count) = *rec;
	r->count++;
	return victim >= 0;
}

static void oxa_mc_count_drop(int lost, u32 cpu)
{
	if (!lost)
		return;
	atomic_long_inc(&records_dropped);
	pr_warn_ratelimited("CPU %u: %s error dropped, %d records wait already\n",
			    cpu, lost > 0 ? "a corrected" : "this",
			    OXA_MC_QUEUE_LEN);
}

/* Queues @rec as the newest record; a record lost is counted. */
static void oxa_mc_queue(const RegIfVals *rec)
{
	unsigned long flags;
	int lost;

	spin_lock_irqsave(&queue_lock, flags);
	lost = oxa_mc_add(&queue, rec);
	spin_unlock_irqrestore(&queue_lock, flags);
	oxa_mc_count_drop(lost, rec->cpuId);
}

/*
 * Reads from the CPU what a report does not carry: MCG_CTL where MCG_CAP has
 * MCG_CTL_P, and the bank's CTL (0 for a bank the record does not hold, a
 * firmware-reported error, or a CPU that is not there).
 */
static void oxa_mc_read_ctls(struct mc_report *rep)
{
	if (rep->bank >= MC_RECORD_BANKS || rep->cpu >= nr_cpu_ids)
		return;
	if (rep->mcgcap & MCG_CTL_P)
		rep->mcgctl = oxa_mc_read_msr(rep->cpu, MSR_IA32_MCG_CTL);
	rep->ctl = oxa_mc_read_msr(rep->cpu, oxa_mc_bank_ctl_msr(rep->bank));
}

/* Converts @rep; an error the record cannot hold is counted and logged. */
static bool oxa_mc_convert(const struct mc_report *rep, RegIfVals *rec)
{
	if (mc_report_to_record(rep, rec))
		return true;
	atomic_long_inc(&records_unmapped);
	pr_warn_ratelimited("CPU %u bank %u: error not forwarded, the record holds banks 0 to %d only\n",
			    rep->cpu, rep->bank, MC_RECORD_BANKS - 1);
	return false;
}

/*
 * Takes the report of every machine-check error that the kernel's decode
 * chain passes on, converts it to a record and queues it. Called in process
 * context, before any other consumer of the chain; it neither stops the
 * chain nor skips a record that another consumer has handled.
 */
static int oxa_mc_take_report(struct notifier_block *nb, unsigned long val,
			      void *data)
{
	struct mce *m = data;
	struct mc_report rep = {};
	RegIfVals rec;

	if (!m)
		return NOTIFY_DONE;

	rep.cpu = m->extcpu;
	rep.bank = m->bank;
	rep.mcgcap = m->mcgcap;
	rep.mcgstatus = m->mcgstatus;
	rep.status = m->status;
	rep.addr = m->addr;
	oxa_mc_read_ctls(&rep);
	if (oxa_mc_convert(&rep, &rec))
		oxa_mc_queue(&rec);
	return NOTIFY_DONE;
}

static struct notifier_block oxa_mc_nb = {
	.notifier_call = oxa_mc_take_report,
	.priority = MCE_PRIO_HIGHEST,
};

/*
 * Hands out up to MC_RECORDS_PER_POLL records to the records reader; returns
 * how many. The records leave the queue only once the copy has succeeded.
 */
static long oxa_mc_take_records(struct file *file, void __user *to)
{
	RegIfVals out[MC_RECORDS_PER_POLL];
	unsigned long flags;
	unsigned int n, i;

	memset(out, 0, sizeof(out));
	spin_lock_irqsave(&queue_lock, flags);
	if (!records_reader)
		records_reader = file;
	if (records_reader != file || queue.busy) {
		spin_unlock_irqrestore(&queue_lock, flags);
		return -EBUSY;
	}
	n = min_t(unsigned int, queue.count, MC_RECORDS_PER_POLL);
	for (i = 0; i < n; i++)
		out[i] = *oxa_mc_at(&queue, i);
	queue.busy = n;
	spin_unlock_irqrestore(&queue_lock, flags);

	if (copy_to_user(to, out, sizeof(out))) {
		spin_lock_irqsave(&queue_lock, flags);
		queue.busy = 0;	/* the records stay queued */
		spin_unlock_irqrestore(&queue_lock, flags);
		return -EFAULT;
	}

	spin_lock_irqsave(&queue_lock, flags);
	queue.head = (queue.head + n) % OXA_MC_QUEUE_LEN;
	queue.count -= n;
	queue.busy = 0;
	spin_unlock_irqrestore(&queue_lock, flags);
	return n;
}

static int oxa_mc_release(struct inode *inode, struct file *file)
{
	unsigned long flags;

	spin_lock_irqsave(&queue_lock, flags);
	if (records_reader == file)
		records_reader = NULL;
	spin_unlock_irqrestore(&queue_lock, flags);
	return 0;
}

static void oxa_mc_beat(void)
{
	spin_lock(&beat_lock);
	beats++;
	last_beat = ktime_get();
	spin_unlock(&beat_lock);
}

/*
 * Serialises the sequences of configuration accesses below: a sensor
 * selected, then read; an index written, then its data read.
 */
static DEFINE_MUTEX(temp_lock);

/* DCT0 Configuration High (function 2): DDR3 memory in bit 8. */
#define OXA_MC_K10_DCT0_CONFIG_HIGH 0x94
/*
 * Family 15h models 60h to 7Fh report the temperature through the root
 * complex's index/data pair D0F0xB8/D0F0xBC, at index D820_0CA4h.
 */
#define OXA_MC_F15H_NB_INDEX 0xb8
#define OXA_MC_F15H_NB_DATA 0xbc
#define OXA_MC_F15H_REPORTED_TEMP 0xd8200ca4

/*
 * Function @fn of AMD node @node, PCI 00:(18h + node), when it is there and
 * is an AMD device @device (any with PCI_ANY_ID); NULL otherwise.
 */
static struct pci_dev *oxa_mc_nb_function(unsigned int node, unsigned int fn,
					  unsigned int device)
{
	unsigned int devfn = PCI_DEVFN(OXA_MC_K8_FIRST_SLOT + node, fn);
	struct pci_dev *pdev;

	pdev = pci_get_domain_bus_and_slot(0, 0, devfn);
	if (pdev && (pdev->vendor != PCI_VENDOR_ID_AMD ||
		     (device != PCI_ANY_ID && pdev->device != device))) {
		pci_dev_put(pdev);
		pdev = NULL;
	}
	return pdev;
}

/*
 * Whether the online CPUs span more than @node AMD nodes (their die ids,
 * the kernel's node ids), @node below OXA_MC_TEMP_CPUS.
 */
static bool oxa_mc_node_online(unsigned int node)
{
	u16 seen[OXA_MC_TEMP_CPUS];
	unsigned int cpu, n = 0, i;
	u16 id;

	for_each_online_cpu(cpu) {
		id = topology_die_id(cpu);
		for (i = 0; i < n; i++)
			if (seen[i] == id)
				break;
		if (i < n)
			continue;
		if (n == node)
			return true;
		seen[n++] = id;
	}
	return false;
}

/*
 * AMD family 0Fh: the hotter of the node's two cores, sensor 0 of each, in
 * F3xE4. A core whose select bit does not stick (a single-core node), or
 * whose sensor reads nothing, is left out. The select bits are put back.
 */
static int oxa_mc_k8_temp(unsigned int node, s32 *temp)
{
	const struct cpuinfo_x86 *c = &boot_cpu_data;
	u32 brand = cpuid_ebx(0x80000001);
	unsigned int core, sel;
	struct pci_dev *f3;
	bool found = false;
	u8 saved, back;
	u32 reg;
	int t;

	f3 = oxa_mc_nb_function(node, 3, PCI_DEVICE_ID_AMD_K8_NB_MISC);
	if (!f3)
		return -ENODATA;
	mutex_lock(&temp_lock);
	if (pci_read_config_byte(f3, TEMP_K8_REG, &saved))
		goto out;
	for (core = 0; core < 2; core++) {
		sel = temp_k8_select(saved, core, c->x86_model);
		if (pci_write_config_byte(f3, TEMP_K8_REG, sel) ||
		    pci_read_config_byte(f3, TEMP_K8_REG, &back) ||
		    ((back ^ sel) & (TEMP_K8_SEL_CORE | TEMP_K8_SEL_PLACE)) ||
		    pci_read_config_dword(f3, TEMP_K8_REG, &reg))
			continue;
		if (temp_k8_decode(reg, c->x86_model, c->x86_stepping, brand,
				   &t) && (!found || t > *temp)) {
			*temp = t;
			found = true;
		}
	}
	pci_write_config_byte(f3, TEMP_K8_REG, saved);
out:
	mutex_unlock(&temp_lock);
	pci_dev_put(f3);
	return found ? 0 : -ENODATA;
}

/*
 * AMD families 10h to 16h: F3xA4 (on family 15h models 60h to 7Fh, its copy
 * behind the root complex's index). Nothing on a part with erratum 319.
 */
static int oxa_mc_k10_temp(unsigned int node, s32 *temp)
{
	const struct cpuinfo_x86 *c = &boot_cpu_data;
	u32 dct = 0, reg = ~0U;
	struct pci_dev *f3;
	int t, ret = -ENODATA;

	f3 = oxa_mc_nb_function(node, 3, PCI_ANY_ID);
	if (!f3)
		return -ENODATA;
	if (c->x86 == 0x10)
		pci_bus_read_config_dword(f3->bus,
					  PCI_DEVFN(PCI_SLOT(f3->devfn), 2),
					  OXA_MC_K10_DCT0_CONFIG_HIGH, &dct);
	if (temp_k10_erratum_319(c->x86, c->x86_model, c->x86_stepping,
				 cpuid_ebx(0x80000001), dct))
		goto out;
	if (c->x86 == 0x15 && ((c->x86_model & 0xf0) == 0x60 ||
			       (c->x86_model & 0xf0) == 0x70)) {
		mutex_lock(&temp_lock);
		if (!pci_bus_write_config_dword(f3->bus, PCI_DEVFN(0, 0),
						OXA_MC_F15H_NB_INDEX,
						OXA_MC_F15H_REPORTED_TEMP))
			pci_bus_read_config_dword(f3->bus, PCI_DEVFN(0, 0),
						  OXA_MC_F15H_NB_DATA, &reg);
		mutex_unlock(&temp_lock);
	} else {
		pci_read_config_dword(f3, TEMP_K10_REG, &reg);
	}
	if (temp_k10_decode(reg, &t)) {
		*temp = t;
		ret = 0;
	}
out:
	pci_dev_put(f3);
	return ret;
}

/*
 * AMD family 17h and later: the reported temperature in the node's System
 * Management Network, less the part's Tctl offset.
 */
static int oxa_mc_zen_temp(unsigned int node, s32 *temp)
{
	u32 reg;
	int t;

	if (!IS_ENABLED(CONFIG_AMD_NB) || node >= amd_nb_num() ||
	    amd_smn_read(node, TEMP_ZEN_SMN_REG, &reg))
		return -ENODATA;
	if (!temp_zen_decode(reg,
			     temp_zen_tctl_offset(boot_cpu_data.x86,
						  boot_cpu_data.x86_model_id),
			     &t))
		return -ENODATA;
	*temp = t;
	return 0;
}

/* AMD: the temperature of node @node, one sensor register per node. */
static int oxa_mc_amd_temp(unsigned int node, s32 *temp)
{
	unsigned int family = boot_cpu_data.x86;

	if (!oxa_mc_node_online(node))
		return -ENODEV;
	if (family == OXA_MC_K8_FAMILY)
		return oxa_mc_k8_temp(node, temp);
	if (family >= 0x10 && family <= 0x16)
		return oxa_mc_k10_temp(node, temp);
	if (family >= 0x17)
		return oxa_mc_zen_temp(node, temp);
	return -ENODATA;
}

/* Intel's digital thermal sensor of CPU @cpu: TjMax less its readout. */
static int oxa_mc_dts_temp(unsigned int cpu, s32 *temp)
{
	u32 target, status, high;
	int t;

	if (cpu >= nr_cpu_ids || !cpu_online(cpu))
		return -ENODEV;
	if (!cpu_has(&cpu_data(cpu), X86_FEATURE_DTHERM) ||
	    rdmsr_safe_on_cpu(cpu, MSR_IA32_TEMPERATURE_TARGET, &target,
			      &high) ||
	    rdmsr_safe_on_cpu(cpu, MSR_IA32_THERM_STATUS, &status, &high) ||
	    !temp_dts_decode(target, status, &t))
		return -ENODATA;
	*temp = t;
	return 0;
}

/*
 * The temperature of index 0 to 3, whole degrees Celsius: on AMD, of the
 * index-th node (the sensor is the node's); elsewhere, of the index-th CPU.
 */
static long oxa_mc_cpu_temp(s32 __user *argp)
{
	s32 index, temp;
	int ret;

	if (get_user(index, argp))
		return -EFAULT;
	if (index < 0 || index >= OXA_MC_TEMP_CPUS)
		return -EINVAL;
	if (boot_cpu_data.x86_vendor == X86_VENDOR_AMD ||
	    boot_cpu_data.x86_vendor == X86_VENDOR_HYGON)
		ret = oxa_mc_amd_temp(index, &temp);
	else
		ret = oxa_mc_dts_temp(index, &temp);
	if (ret)
		return ret;
	return put_user(temp, argp);
}

static u32 oxa_mc_read_config(struct pci_dev *pdev, int where)
{
	u32 value;

	if (!pdev || pci_read_config_dword(pdev, where, &value))
		return 0;
	return value;
}

/*
 * On AMD family 0Fh: each node's own DRAM base/limit pair (function 1) and
 * its chip-select base and mask registers (function 2). Zero elsewhere.
 */
static void oxa_mc_fill_dimm_map(platform_data_t *map)
{
	unsigned int node, cs, masks;
	struct pci_dev *f1, *f2;

	memset(map, 0, sizeof(*map));
	if (boot_cpu_data.x86_vendor != X86_VENDOR_AMD ||
	    boot_cpu_data.x86 != OXA_MC_K8_FAMILY)
		return;

	masks = boot_cpu_data.x86_model >= OXA_MC_K8_REV_F_MODEL ?
		OXA_MC_K8_REV_F_MASKS : DIMM_MAP_CS;
	for (node = 0; node < DIMM_MAP_NODES; node++) {
		f1 = oxa_mc_nb_function(node, 1,
					PCI_DEVICE_ID_AMD_K8_NB_ADDRMAP);
		f2 = oxa_mc_nb_function(node, 2,
					PCI_DEVICE_ID_AMD_K8_NB_MEMCTL);
		map->dram_base_reg[node] =
			oxa_mc_read_config(f1, OXA_MC_K8_DRAM_BASE(node));
		map->dram_limit_reg[node] =
			oxa_mc_read_config(f1, OXA_MC_K8_DRAM_LIMIT(node));
		for (cs = 0; cs < DIMM_MAP_CS; cs++) {
			map->dram_cs_base_reg[node][cs] =
				oxa_mc_read_config(f2, OXA_MC_K8_CS_BASE(cs));
			if (cs < masks)
				map->dram_cs_mask_reg[node][cs] =
					oxa_mc_read_config(f2,
							   OXA_MC_K8_CS_MASK(cs));
		}
		pci_dev_put(f1);
		pci_dev_put(f2);
	}
}

static long oxa_mc_dimm_map(void __user *to)
{
	platform_data_t *map;
	long ret = 0;

	map = kmalloc(sizeof(*map), GFP_KERNEL);
	if (!map)
		return -ENOMEM;
	oxa_mc_fill_dimm_map(map);
	if (copy_to_user(to, map, sizeof(*map)))
		ret = -EFAULT;
	kfree(map);
	return ret;
}

static void oxa_mc_signature(void *info)
{
	*(u64 *)info = cpuid_eax(1);
}

/*
 * CPU 0's processor signature, CPUID leaf 1 EAX: its least significant byte
 * is the model's low four bits above the stepping.
 */
static long oxa_mc_cpuid_value(u64 __user *to)
{
	u64 value = 0;
	int ret;

	ret = smp_call_function_single(0, oxa_mc_signature, &value, 1);
	if (ret)
		return ret;
	return put_user(value, to);
}

static long oxa_mc_ioctl(struct file *file, unsigned int cmd,
			 unsigned long arg)
{
	void __user *argp = (void __user *)arg;

	switch (cmd) {
	case IOCTL_MC_REG_IF:
		return oxa_mc_take_records(file, argp);
	case IOCTL_HB_BEAT:
		oxa_mc_beat();
		return 0;
	case IOCTL_GET_CPU_TEMP:
		return oxa_mc_cpu_temp(argp);
	case IOCTL_GET_DIMM_MAP:
		return oxa_mc_dimm_map(argp);
	case IOCTL_GET_CPUID_VALUE:
		return oxa_mc_cpuid_value(argp);
	default:
		return -ENOTTY;
	}
}

static const struct file_operations oxa_mc_fops = {
	.owner = THIS_MODULE,
	.release = oxa_mc_release,
	.unlocked_ioctl = oxa_mc_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
	.llseek = noop_llseek,
};

static ssize_t heartbeats_show(struct device *dev,
			       struct device_attribute *attr, char *buf)
{
	u64 n;

	spin_lock(&beat_lock);
	n = beats;
	spin_unlock(&beat_lock);
	return sysfs_emit(buf, "%llu\n", n);
}
static DEVICE_ATTR_RO(heartbeats);

static ssize_t heartbeat_age_ms_show(struct device *dev,
				     struct device_attribute *attr, char *buf)
{
	ktime_t last;
	u64 n;

	spin_lock(&beat_lock);
	n = beats;
	last = last_beat;
	spin_unlock(&beat_lock);
	if (!n)
		return sysfs_emit(buf, "-1\n");
	return sysfs_emit(buf, "%lld\n", ktime_ms_delta(ktime_get(), last));
}
static DEVICE_ATTR_RO(heartbeat_age_ms);

static ssize_t records_queued_show(struct device *dev,
				   struct device_attribute *attr, char *buf)
{
	unsigned long flags;
	unsigned int n;

	spin_lock_irqsave(&queue_lock, flags);
	n = queue.count;
	spin_unlock_irqrestore(&queue_lock, flags);
	return sysfs_emit(buf, "%u\n", n);
}
static DEVICE_ATTR_RO(records_queued);

static ssize_t records_dropped_show(struct device *dev,
				    struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%ld\n", atomic_long_read(&records_dropped));
}
static DEVICE_ATTR_RO(records_dropped);

static ssize_t records_unmapped_show(struct device *dev,
				     struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%ld\n", atomic_long_read(&records_unmapped));
}
static DEVICE_ATTR_RO(records_unmapped);

static ssize_t records_recovered_show(struct device *dev,
				      struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%ld\n", atomic_long_read(&records_recovered));
}
static DEVICE_ATTR_RO(records_recovered);

static struct attribute *oxa_mc_attrs[] = {
	&dev_attr_heartbeats.attr,
	&dev_attr_heartbeat_age_ms.attr,
	&dev_attr_records_queued.attr,
	&dev_attr_records_dropped.attr,
	&dev_attr_records_unmapped.attr,
	&dev_attr_records_recovered.attr,
	NULL,
};
ATTRIBUTE_GROUPS(oxa_mc);

static struct miscdevice oxa_mc_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = MC_DEVICE_NAME,
	.fops = &oxa_mc_fops,
	.groups = oxa_mc_groups,
	.mode = 0600,
};

/* The errors that a load reads back from the kernel log. */
struct oxa_mc_found {
	struct oxa_mc_ring ring;
	unsigned int unmapped;	/* of banks the record cannot hold */
	unsigned int dropped;	/* beyond the ring's room */
};

/*
 * One error read back from the kernel log: the registers the log does not
 * carry are read from its CPU now.
 */
static void oxa_mc_recovered(struct mc_report *rep, struct oxa_mc_found *found)
{
	RegIfVals rec;

	if (rep->cpu < nr_cpu_ids && cpu_online(rep->cpu))
		rep->mcgcap = oxa_mc_read_msr(rep->cpu, MSR_IA32_MCG_CAP);
	oxa_mc_read_ctls(rep);
	if (!mc_report_to_record(rep, &rec))
		found->unmapped++;
	else if (oxa_mc_add(&found->ring, &rec))
		found->dropped++;
}

/*
 * Queues, before the records that arrived since the driver joined the decode
 * chain, the errors that the kernel logged while no driver took them: since
 * boot, or since the driver was last removed, until its own load mark. An
 * error that also arrived through the chain, in the instant between joining
 * it and marking the log, is kept once.
 */
static void oxa_mc_recover(void)
{
	struct oxa_mc_found found = {};
	struct oxa_mc_ring merged = {};
	struct mc_log_scan scan = {};
	struct kmsg_dump_iter iter;
	struct mc_report rep;
	unsigned long flags;
	unsigned int i, j, recovered = 0;
	char *line;
	size_t len;
	bool dup;

	line = kmalloc(OXA_MC_LOG_LINE, GFP_KERNEL);
	found.ring.rec = kcalloc(OXA_MC_QUEUE_LEN, sizeof(RegIfVals), GFP_KERNEL);
	merged.rec = kcalloc(OXA_MC_QUEUE_LEN, sizeof(RegIfVals), GFP_KERNEL);
	if (!line || !found.ring.rec || !merged.rec) {
		pr_warn("no memory to read back earlier machine-check errors\n");
		goto out;
	}

	kmsg_dump_rewind(&iter);
	while (kmsg_dump_get_line(&iter, false, line, OXA_MC_LOG_LINE - 1,
				  &len)) {
		line[len] = '\0';
		switch (mc_log_scan_line(&scan, line, &rep)) {
		case MC_LOG_GIVEN:
			oxa_mc_recovered(&rep, &found);
			break;
		case MC_LOG_FORGET:
			found.ring.count = 0;
			found.unmapped = 0;
			found.dropped = 0;
			break;
		case MC_LOG_NOTHING:
			break;
		}
	}
	if (mc_log_scan_end(&scan, &rep))
		oxa_mc_recovered(&rep, &found);

	spin_lock_irqsave(&queue_lock, flags);
	for (i = 0; i < found.ring.count; i++) {
		dup = false;
		for (j = 0; j < queue.count && !dup; j++)
			dup = mc_record_same_error(oxa_mc_at(&found.ring, i),
						   oxa_mc_at(&queue, j));
		if (!dup) {
			oxa_mc_add(&merged, oxa_mc_at(&found.ring, i));
			recovered++;
		}
	}
	for (j = 0; j < queue.count; j++)
		if (oxa_mc_add(&merged, oxa_mc_at(&queue, j)))
			found.dropped++;
	swap(queue.rec, merged.rec);
	queue.head = 0;
	queue.count = merged.count;
	spin_unlock_irqrestore(&queue_lock, flags);

	atomic_long_add(recovered, &records_recovered);
	atomic_long_add(found.unmapped, &records_unmapped);
	atomic_long_add(found.dropped, &records_dropped);
	if (recovered || found.unmapped || found.dropped)
		pr_info("from before loading: %u machine-check errors queued, %u of banks the record cannot hold, %u dropped\n",
			recovered, found.unmapped, found.dropped);
out:
	kfree(merged.rec);
	kfree(found.ring.rec);
	kfree(line);
}

static int __init oxa_mc_init(void)
{
	int ret;

	queue.rec = kcalloc(OXA_MC_QUEUE_LEN, sizeof(RegIfVals), GFP_KERNEL);
	if (!queue.rec)
		return -ENOMEM;

	/* The marks enclose the errors that reach the driver through the chain. */
	mce_register_decode_chain(&oxa_mc_nb);
	pr_info("forwarding machine-check errors from here on\n");
	oxa_mc_recover();

	ret = misc_register(&oxa_mc_dev);
	if (ret) {
		mce_unregister_decode_chain(&oxa_mc_nb);
		pr_info("machine-check errors no longer forwarded\n");
		kfree(queue.rec);
		return ret;
	}
	return 0;
}

static void __exit oxa_mc_exit(void)
{
	/* No record arrives after this; then no request, then no memory. */
	mce_unregister_decode_chain(&oxa_mc_nb);
	pr_info("machine-check errors no longer forwarded, %u not handed out\n",
		queue.count);
	misc_deregister(&oxa_mc_dev);
	kfree(queue.rec);
}

module_init(oxa_mc_init);
module_exit(oxa_mc_exit);

MODULE_DESCRIPTION("vorn management controller: machine-check records, heartbeat, temperatures, DRAM map");
MODULE_LICENSE("GPL");
