/* SPDX-License-Identifier: GPL-2.0-only OR Apache-2.0 */
/* SPDX-FileCopyrightText: the vorn developers */
/*
 * The conversion of one machine-check error report to the error record that
 * oxa_mc hands out. Pure: no kernel call, so it compiles in user space too.
 */
#ifndef VORN_MC_RECORD_CONV_H
#define VORN_MC_RECORD_CONV_H

#ifdef __KERNEL__
#include <linux/string.h>
#include <linux/types.h>
#else
#include <stdbool.h>
#include <stdint.h>
#include <string.h>
#endif

#include "mc.h"

/* Banks 0 to 4 have places in RegIfVals.val: control, status, address. */
#define MC_RECORD_BANKS 5
#define MC_RECORD_REGS_PER_BANK 3
/* MCi_STATUS.ADDRV: MCi_ADDR holds the error's address. */
#define MC_STATUS_ADDRV (1ULL << 58)

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

/*
 * Fills @rec from @rep: the global registers, and the bank's control, status
 * and address at the bank's places (the address only when the status says it
 * is valid); every other place 0. Returns false, with @rec all zero, for a
 * bank the record has no place for.
 */
static inline bool mc_report_to_record(const struct mc_report *rep,
				       RegIfVals *rec)
{
	unsigned int first;

	memset(rec, 0, sizeof(*rec));
	if (rep->bank >= MC_RECORD_BANKS)
		return false;

	first = eMC0_CTL_REG + rep->bank * MC_RECORD_REGS_PER_BANK;
	rec->cpuId = rep->cpu;
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

#endif
