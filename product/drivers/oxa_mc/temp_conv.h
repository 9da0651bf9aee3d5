/* SPDX-License-Identifier: GPL-2.0-only OR Apache-2.0 */
/* SPDX-FileCopyrightText: the vorn developers */
/*
 * The decoding of the CPUs' temperature registers to whole degrees Celsius,
 * one function per processor family. Pure: no kernel call, so it compiles in
 * user space too. Each decoder returns false, leaving *celsius alone, for a
 * value that is no reading.
 *
 * Registers that count eighths of a degree are rounded to the nearest whole
 * degree, halves away from zero: 40.5 is 41, -40.5 is -41.
 */
#ifndef VORN_TEMP_CONV_H
#define VORN_TEMP_CONV_H

#ifdef __KERNEL__
#include <linux/string.h>
#include <linux/types.h>
#else
#include <stdbool.h>
#include <stddef.h>
#include <string.h>
#endif

/*
 * AMD family 0Fh: F3xE4, the northbridge's Thermtrip Status register.
 * CurTmp in bits 23:16 is the temperature plus 49; the select bits choose
 * the core (ThermSenseCoreSel) and the sensor (ThermSenseSel) it shows.
 */
#define TEMP_K8_REG 0xe4
#define TEMP_K8_SEL_CORE 0x04
#define TEMP_K8_SEL_PLACE 0x40
/* From model 40h (revision F) on, ThermSenseCoreSel 1 selects core 0. */
#define TEMP_K8_SWAP_MODEL 0x40
/* Revision G desktop parts read 21 degrees low. */
#define TEMP_K8_REV_G_OFFSET 21

/*
 * AMD families 10h to 16h: F3xA4, Reported Temperature Control, and on
 * family 17h and later its copy in the System Management Network: CurTmp in
 * bits 31:21, eighths of a degree; 49 degrees less where the range select
 * (bit 19, family 17h and later only) or both CurTmpTjSel bits (17:16) are
 * set.
 */
#define TEMP_K10_REG 0xa4
#define TEMP_ZEN_SMN_REG 0x00059800
#define TEMP_CUR_TMP_SHIFT 21
#define TEMP_RANGE_SEL 0x00080000U
#define TEMP_TJ_SEL 0x00030000U
#define TEMP_RANGE_OFFSET 49

/*
 * Intel's digital thermal sensor: IA32_THERM_STATUS holds the readout below
 * TjMax in bits 22:16 and the valid flag in bit 31; TjMax is bits 23:16 of
 * MSR_IA32_TEMPERATURE_TARGET.
 */
#define TEMP_DTS_VALID 0x80000000U

static inline int temp_eighths_to_celsius(int eighths)
{
	if (eighths < 0)
		return -((-eighths + 4) / 8);
	return (eighths + 4) / 8;
}

/*
 * Revision G desktop parts of family 0Fh (model 69h and later, bar the
 * mobile models and brands that Constructing the Processor Name String
 * lists): brand index in bits 13:9 of CPUID 8000_0001h EBX.
 */
static inline bool temp_k8_rev_g_desktop(unsigned int model,
					 unsigned int cpuid_ebx)
{
	unsigned int brand = (cpuid_ebx >> 9) & 0x1f;

	if (model < 0x69 || model == 0xc1 || model == 0x6c || model == 0x7c)
		return false;
	if ((model == 0x6f || model == 0x7f) &&
	    (brand == 0x7 || brand == 0x9 || brand == 0xc))
		return false;
	if (model == 0x6b && (brand == 0xb || brand == 0xc))
		return false;
	return true;
}

/* The value of F3xE4's low byte that selects sensor 0 of @core (0 or 1). */
static inline unsigned int temp_k8_select(unsigned int byte, unsigned int core,
					  unsigned int model)
{
	byte &= ~(unsigned int)(TEMP_K8_SEL_CORE | TEMP_K8_SEL_PLACE);
	if (model >= TEMP_K8_SWAP_MODEL)
		core ^= 1;
	return core ? byte | TEMP_K8_SEL_CORE : byte;
}

/*
 * AMD family 0Fh, F3xE4 @reg: CurTmp less 49, plus 21 on a revision G
 * desktop part. No reading: a CurTmp of 0 (no sensor answers), or a part
 * older than revision SH-C0 (model 4 stepping 0, model 5 stepping 0 or 1).
 */
static inline bool temp_k8_decode(unsigned int reg, unsigned int model,
				  unsigned int stepping, unsigned int cpuid_ebx,
				  int *celsius)
{
	unsigned int cur = (reg >> 16) & 0xff;

	if (!cur || (model == 4 && stepping == 0) ||
	    (model == 5 && stepping <= 1))
		return false;
	*celsius = (int)cur - TEMP_RANGE_OFFSET;
	if (temp_k8_rev_g_desktop(model, cpuid_ebx))
		*celsius += TEMP_K8_REV_G_OFFSET;
	return true;
}

/*
 * Erratum 319 of family 10h: the sensor of socket F and AM2+ parts is
 * unreliable. Package type in bits 31:28 of CPUID 8000_0001h EBX (0: F,
 * 1: AM2r2/AM3); on AM3 DDR3 memory (DCT0 Configuration High, F2x94 bit 8)
 * clears it, else the models that also came as AM2+ have it.
 */
static inline bool temp_k10_erratum_319(unsigned int family, unsigned int model,
					unsigned int stepping,
					unsigned int cpuid_ebx,
					unsigned int dct0_config_high)
{
	unsigned int pkg = cpuid_ebx >> 28;

	if (family != 0x10)
		return false;
	if (pkg == 0)
		return true;
	if (pkg != 1 || (dct0_config_high & 0x100))
		return false;
	return model < 4 || (model == 4 && stepping <= 2);
}

/*
 * AMD families 10h to 16h, F3xA4 @reg: CurTmp, less 49 where both
 * CurTmpTjSel bits are set. No reading: all ones, what a read of an absent
 * device gives.
 */
static inline bool temp_k10_decode(unsigned int reg, int *celsius)
{
	int eighths = (int)(reg >> TEMP_CUR_TMP_SHIFT);

	if (reg == 0xffffffffU)
		return false;
	if ((reg & TEMP_TJ_SEL) == TEMP_TJ_SEL)
		eighths -= TEMP_RANGE_OFFSET * 8;
	*celsius = temp_eighths_to_celsius(eighths);
	return true;
}

/*
 * The offset of Tctl above the die's temperature on the family 17h parts
 * that have one, by the model name's text (CPUID 8000_0002h to 8000_0004h).
 */
static inline int temp_zen_tctl_offset(unsigned int family,
				       const char *model_name)
{
	static const struct {
		const char *name;
		int offset;
	} parts[] = {
		{ "AMD Ryzen 5 1600X", 20 },
		{ "AMD Ryzen 7 1700X", 20 },
		{ "AMD Ryzen 7 1800X", 20 },
		{ "AMD Ryzen 7 2700X", 10 },
		{ "AMD Ryzen Threadripper 19", 27 },
		{ "AMD Ryzen Threadripper 29", 27 },
		{ NULL, 0 },
	};
	unsigned int i;

	if (family != 0x17)
		return 0;
	for (i = 0; parts[i].name; i++)
		if (strstr(model_name, parts[i].name))
			return parts[i].offset;
	return 0;
}

/*
 * AMD family 17h and later, the SMN register @reg: the die's temperature,
 * CurTmp less 49 where the range select or both CurTmpTjSel bits are set,
 * less the part's Tctl offset @tctl_offset. No reading: all ones.
 */
static inline bool temp_zen_decode(unsigned int reg, int tctl_offset,
				   int *celsius)
{
	int eighths = (int)(reg >> TEMP_CUR_TMP_SHIFT);

	if (reg == 0xffffffffU)
		return false;
	if ((reg & TEMP_RANGE_SEL) || (reg & TEMP_TJ_SEL) == TEMP_TJ_SEL)
		eighths -= TEMP_RANGE_OFFSET * 8;
	*celsius = temp_eighths_to_celsius(eighths - tctl_offset * 8);
	return true;
}

/*
 * Intel's digital thermal sensor: TjMax (from the low half of
 * MSR_IA32_TEMPERATURE_TARGET, @target) less the readout of
 * IA32_THERM_STATUS (@status). No reading: the valid flag clear, or no TjMax.
 */
static inline bool temp_dts_decode(unsigned int target, unsigned int status,
				   int *celsius)
{
	int tjmax = (int)((target >> 16) & 0xff);

	if (!(status & TEMP_DTS_VALID) || !tjmax)
		return false;
	*celsius = tjmax - (int)((status >> 16) & 0x7f);
	return true;
}

#endif
