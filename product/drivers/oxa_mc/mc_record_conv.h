/* SPDX-License-Identifier: GPL-2.0-only OR Apache-2.0 */
/* SPDX-FileCopyrightText: the vorn developers */
/*
 * The conversion of one machine-check error report to the error record that
 * oxa_mc hands out. Pure: no kernel call, so it compiles in user space too.
 */
#ifndef VORN_MC_RECORD_CONV_H
#define VORN_MC_RECORD_CONV_H

#ifdef __KERNEL__
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/types.h>
#else
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#endif

#include "mc.h"

/* Banks 0 to 4 have places in RegIfVals.val: control, status, address. */
#define MC_RECORD_BANKS 5
#define MC_RECORD_REGS_PER_BANK 3
/*
 * Errors that the firmware reports (APEI/GHES) come with this bank, and on
 * AMD's firmware path possibly with no CPU. A firmware-reported error is a
 * memory error: it takes the memory controller's place, bank 4, and a
 * record without a CPU is given CPU 0.
 */
#define MC_FIRMWARE_BANK 0xff
#define MC_MEMORY_BANK 4
#define MC_NO_CPU 0xffffffffU

static_assert(eMC1_CTL_REG - eMC0_CTL_REG == MC_RECORD_REGS_PER_BANK,
	      "three places per bank");
static_assert(eMC0_CTL_REG + MC_RECORD_BANKS * MC_RECORD_REGS_PER_BANK ==
	      eREG_IF_FIELDS_COUNT, "banks 0 to 4 fill the record");

/* The registers of one reported error, as the driver gathers them. */
struct mc_report {
	uint32_t cpu;		/* the CPU that saw the error */
	uint32_t bank;		/* the bank that reported it */
	uint64_t mcgcap;	/* MCG_CAP */
	uint64_t mcgstatus;	/* MCG_STATUS */
	uint64_t mcgctl;	/* MCG_CTL, 0 where the CPU has none */
	uint64_t ctl;		/* the bank's MCi_CTL */
	uint64_t status;	/* the bank's MCi_STATUS */
	uint64_t addr;		/* the bank's MCi_ADDR */
};

/* The bank whose places in the record hold @bank's registers. */
static inline uint32_t mc_record_bank(uint32_t bank)
{
	return bank == MC_FIRMWARE_BANK ? MC_MEMORY_BANK : bank;
}

/*
 * Fills @rec from @rep: the global registers, and the bank's control, status
 * and address at the bank's places (the address only when the status says it
 * is valid); every other place 0. Returns false, with @rec all zero, for a
 * bank the record has no place for.
 */
static inline bool mc_report_to_record(const struct mc_report *rep,
				       RegIfVals *rec)
{
	uint32_t bank = mc_record_bank(rep->bank);
	unsigned int first;

	memset(rec, 0, sizeof(*rec));
	if (bank >= MC_RECORD_BANKS)
		return false;

	first = eMC0_CTL_REG + bank * MC_RECORD_REGS_PER_BANK;
	rec->cpuId = rep->cpu == MC_NO_CPU ? 0 : rep->cpu;
	rec->version = MC_RECORD_VERSION;
	rec->errOccurred = 1;
	rec->val[eMCG_CAP_REG] = rep->mcgcap;
	rec->val[eMCG_STATUS_REG] = rep->mcgstatus;
	rec->val[eMCG_CTL_REG] = rep->mcgctl;
	rec->val[first] = rep->ctl;
	rec->val[first + (eMC0_STATUS_REG - eMC0_CTL_REG)] = rep->status;
	if (rep->status & MC_STATUS_ADDRV)
		rec->val[first + (eMC0_ADDR_REG - eMC0_CTL_REG)] = rep->addr;
	return true;
}

/*
 * Whether two records report the same error: the same CPU and the same
 * status and address in every bank (the control registers may have been
 * read at other times).
 */
static inline bool mc_record_same_error(const RegIfVals *a, const RegIfVals *b)
{
	unsigned int reg;

	if (a->cpuId != b->cpuId)
		return false;
	for (reg = eMC0_STATUS_REG; reg < eREG_IF_FIELDS_COUNT;
	     reg += MC_RECORD_REGS_PER_BANK) {
		if (a->val[reg] != b->val[reg] ||
		    a->val[reg + 1] != b->val[reg + 1])
			return false;
	}
	return true;
}

/*
 * A full queue of @len records, the oldest at @head of a ring of @size, of
 * which the @busy oldest are being handed out: the ring position of the
 * record that a new uncorrected one replaces (the oldest corrected record not
 * being handed out), or -1 when none may make way. A corrected newcomer
 * never replaces anything.
 */
static inline int mc_queue_victim(const RegIfVals *ring, unsigned int size,
				  unsigned int head, unsigned int len,
				  unsigned int busy)
{
	unsigned int i, pos;

	for (i = busy; i < len; i++) {
		pos = (head + i) % size;
		if (!mc_record_uncorrected(&ring[pos]))
			return (int)pos;
	}
	return -1;
}

/*
 * Reading back the machine-check errors that the kernel logged before the
 * driver was there. The kernel prints every error it does not leave to
 * another consumer in a fixed form that log readers rely on:
 *
 *   mce: [Hardware Error]: CPU 1: Machine Check: 0 Bank 3: 9400000000000135
 *   mce: [Hardware Error]: TSC 0 ADDR abcd000 MISC ...
 *
 * The driver marks the log with MC_LOG_LOADED when it starts taking errors
 * and MC_LOG_UNLOADED when it stops: an error logged between the two reached
 * it already and is not read back again.
 */
#define MC_LOG_HW_ERR "[Hardware Error]: "
#define MC_LOG_LOADED "oxa_mc: forwarding machine-check errors from here on"
#define MC_LOG_UNLOADED "oxa_mc: machine-check errors no longer forwarded"

struct mc_log_scan {
	bool covered;	/* between a load and an unload mark */
	bool pending;	/* @rep waits for its TSC line */
	struct mc_report rep;
};

/*
 * Takes one line of the kernel log, in order. Returns true with @out filled
 * (cpu, bank, MCG_STATUS, status, address; the rest 0) when the line
 * completes an error logged while the driver was not there; an error line
 * whose TSC line never comes is completed by the next error line.
 */
static inline bool mc_log_scan_line(struct mc_log_scan *s, const char *line,
				    struct mc_report *out)
{
	const char *text, *addr;
	unsigned long long mcgstatus, status, value;
	int cpu, bank;
	bool done = false;

	if (strstr(line, MC_LOG_LOADED)) {
		s->covered = true;
		s->pending = false;
		return false;
	}
	if (strstr(line, MC_LOG_UNLOADED)) {
		s->covered = false;
		return false;
	}
	text = strstr(line, MC_LOG_HW_ERR);
	if (!text)
		return false;
	text += sizeof(MC_LOG_HW_ERR) - 1;

	if (sscanf(text, "CPU %d: Machine Check", &cpu) == 1) {
		text = strstr(text, "Machine Check");
		text = text ? strchr(text, ':') : NULL;
		if (!text || sscanf(text + 1, "%llx Bank %d: %llx",
				    &mcgstatus, &bank, &status) != 3)
			return false;
		if (s->pending) {
			*out = s->rep;
			done = true;
		}
		s->pending = !s->covered;
		memset(&s->rep, 0, sizeof(s->rep));
		s->rep.cpu = (uint32_t)cpu;
		s->rep.bank = (uint32_t)bank;
		s->rep.mcgstatus = mcgstatus;
		s->rep.status = status;
		return done;
	}
	if (s->pending && strncmp(text, "TSC ", 4) == 0) {
		addr = strstr(text, " ADDR ");
		if (addr && sscanf(addr + 6, "%llx", &value) == 1)
			s->rep.addr = value;
		*out = s->rep;
		s->pending = false;
		return true;
	}
	return false;
}

/* After the last line: an error whose TSC line never came. */
static inline bool mc_log_scan_end(struct mc_log_scan *s,
				   struct mc_report *out)
{
	if (!s->pending)
		return false;
	*out = s->rep;
	s->pending = false;
	return true;
}

#endif
