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
 * driver was there. The kernel prints every error that no other consumer
 * handled in a fixed form that log readers rely on:
 *
 *   mce: [Hardware Error]: CPU 1: Machine Check: 0 Bank 3: 9400000000000135
 *   mce: [Hardware Error]: TSC 0 ADDR abcd000 MISC ...
 *
 * and AMD's decoder, where it is loaded, prints its own form instead:
 *
 *   [Hardware Error]: CPU:1 (f:6b:1) MC3_STATUS[-|CE|-|AddrV|-]: 0x9400000000000135
 *   [Hardware Error]: Error Addr: 0x000000000abcd000
 *
 * The driver marks the log with MC_LOG_LOADED when it starts taking errors
 * and MC_LOG_UNLOADED when it stops. An error logged between the two reached
 * it through the chain; one logged before a load mark was read back by that
 * load. So only the errors after the last unload mark (or since boot) and
 * before the driver's own, newest load mark are read back.
 */
#define MC_LOG_HW_ERR "[Hardware Error]: "
#define MC_LOG_LOADED "oxa_mc: forwarding machine-check errors from here on"
#define MC_LOG_UNLOADED "oxa_mc: machine-check errors no longer forwarded"

enum mc_log_form { MC_LOG_NONE, MC_LOG_KERNEL, MC_LOG_AMD };

/* What a line of the log came to. */
enum mc_log_step {
	MC_LOG_NOTHING,
	MC_LOG_GIVEN,	/* an error is complete: the reader takes it */
	MC_LOG_FORGET,	/* the errors given so far were taken already */
};

struct mc_log_scan {
	bool covered;			/* between a load and an unload mark */
	enum mc_log_form pending;	/* the form of @rep, still open */
	enum mc_log_form last;		/* the form of the last error given */
	struct mc_report rep;
	struct mc_report given;		/* the last error given */
};

/* The error that a line of either form starts, if it starts one. */
static inline enum mc_log_form mc_log_start(const char *text,
					    struct mc_report *rep)
{
	unsigned long long mcgstatus = 0, status;
	int cpu, bank;
	const char *rest;

	memset(rep, 0, sizeof(*rep));
	if (sscanf(text, "CPU %d: Machine Check", &cpu) == 1) {
		rest = strstr(text, "Machine Check");
		rest = rest ? strchr(rest, ':') : NULL;
		if (!rest || sscanf(rest + 1, "%llx Bank %d: %llx", &mcgstatus,
				    &bank, &status) != 3)
			return MC_LOG_NONE;
	} else if (sscanf(text, "CPU:%d (", &cpu) == 1) {
		rest = strstr(text, " MC");
		if (!rest || sscanf(rest + 3, "%d_STATUS", &bank) != 1)
			return MC_LOG_NONE;
		rest = strstr(rest, "]: 0x");
		if (!rest || sscanf(rest + 5, "%llx", &status) != 1)
			return MC_LOG_NONE;
	} else {
		return MC_LOG_NONE;
	}
	rep->cpu = (uint32_t)cpu;
	rep->bank = (uint32_t)bank;
	rep->mcgstatus = mcgstatus;
	rep->status = status;
	return text[3] == ':' ? MC_LOG_AMD : MC_LOG_KERNEL;
}

/*
 * Gives the open error, unless it is the one just given in the other form
 * (both forms print when the kernel is told to print every error).
 */
static inline bool mc_log_give(struct mc_log_scan *s, struct mc_report *out)
{
	bool twice = s->last != MC_LOG_NONE && s->last != s->pending &&
		     s->given.cpu == s->rep.cpu &&
		     s->given.bank == s->rep.bank &&
		     s->given.status == s->rep.status;

	s->last = twice ? MC_LOG_NONE : s->pending;
	s->given = s->rep;
	s->pending = MC_LOG_NONE;
	if (twice)
		return false;
	*out = s->rep;
	return true;
}

/*
 * Takes one line of the kernel log, in order. Gives MC_LOG_GIVEN with @out
 * filled (cpu, bank, MCG_STATUS where the form has it, status, address; the
 * rest 0) when an error logged while the driver was not there is complete:
 * at its address line, or at the next error's first line; MC_LOG_FORGET at
 * an unload mark.
 */
static inline enum mc_log_step mc_log_scan_line(struct mc_log_scan *s,
						const char *line,
						struct mc_report *out)
{
	unsigned long long addr;
	struct mc_report next;
	enum mc_log_form form;
	const char *text;
	bool given = false;

	if (strstr(line, MC_LOG_LOADED)) {
		s->covered = true;
		s->pending = MC_LOG_NONE;
		return MC_LOG_NOTHING;
	}
	if (strstr(line, MC_LOG_UNLOADED)) {
		s->covered = false;
		s->pending = MC_LOG_NONE;
		s->last = MC_LOG_NONE;
		return MC_LOG_FORGET;
	}
	text = strstr(line, MC_LOG_HW_ERR);
	if (!text)
		return MC_LOG_NOTHING;
	text += sizeof(MC_LOG_HW_ERR) - 1;

	form = mc_log_start(text, &next);
	if (form != MC_LOG_NONE) {
		if (s->pending != MC_LOG_NONE)
			given = mc_log_give(s, out);
		if (!s->covered) {
			s->rep = next;
			s->pending = form;
		}
		return given ? MC_LOG_GIVEN : MC_LOG_NOTHING;
	}
	if (s->pending == MC_LOG_KERNEL && strncmp(text, "TSC ", 4) == 0) {
		text = strstr(text, " ADDR ");
		if (text && sscanf(text + 6, "%llx", &addr) == 1)
			s->rep.addr = addr;
		return mc_log_give(s, out) ? MC_LOG_GIVEN : MC_LOG_NOTHING;
	}
	if (s->pending == MC_LOG_AMD &&
	    sscanf(text, "Error Addr: 0x%llx", &addr) == 1) {
		s->rep.addr = addr;
		return mc_log_give(s, out) ? MC_LOG_GIVEN : MC_LOG_NOTHING;
	}
	return MC_LOG_NOTHING;
}

/* After the last line: the error still open, if any. */
static inline bool mc_log_scan_end(struct mc_log_scan *s,
				   struct mc_report *out)
{
	return s->pending != MC_LOG_NONE && mc_log_give(s, out);
}

#endif
