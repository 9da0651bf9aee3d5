/* SPDX-License-Identifier: Apache-2.0 OR GPL-2.0-only */
/* SPDX-FileCopyrightText: the vorn developers */
/* Management-controller driver interface: the machine-check error record,
 * its register index, and the driver's request codes.
 * Shared with the driver and the service processor's firmware: C and C++. */
#ifndef VORN_COMMON_MC_H
#define VORN_COMMON_MC_H

#ifdef __KERNEL__
#include <linux/build_bug.h>
#include <linux/ioctl.h>
#include <linux/stddef.h>
#include <linux/types.h>
#else
#include <assert.h>
#include <linux/ioctl.h>
#include <stddef.h>
#include <stdint.h>
#endif

#define MC_DEVICE_NAME "oxa_mc"
#define MC_DRIVER_PATH "/dev/" MC_DEVICE_NAME

/* Index into RegIfVals.val: the global machine-check registers first, then
 * the control, status and address registers of banks 0 to 4. */
enum eREG_IF_FIELDS {
    eMCG_CAP_REG = 0,
    eMCG_STATUS_REG,
    eMCG_CTL_REG,
    eMC0_CTL_REG,
    eMC0_STATUS_REG,
    eMC0_ADDR_REG,
    eMC1_CTL_REG,
    eMC1_STATUS_REG,
    eMC1_ADDR_REG,
    eMC2_CTL_REG,
    eMC2_STATUS_REG,
    eMC2_ADDR_REG,
    eMC3_CTL_REG,
    eMC3_STATUS_REG,
    eMC3_ADDR_REG,
    eMC4_CTL_REG,
    eMC4_STATUS_REG,
    eMC4_ADDR_REG,
    eREG_IF_FIELDS_COUNT
};

/* One CPU's machine-check record, exactly as the driver stores it and as the
 * SP receives it: host (little-endian) byte order, no padding. */
typedef struct __attribute__((packed)) RegIfVals {
    uint32_t cpuId;
    uint32_t version;
    uint32_t errOccurred; /* 1: the record reports an error */
    uint64_t val[eREG_IF_FIELDS_COUNT];
} RegIfVals;

#define MC_RECORDS_PER_POLL 4

/* Bits of a bank's MCi_STATUS: the register holds an error (VAL), the error
 * was not corrected (UC), the processor context is corrupt (PCC), MCi_ADDR
 * holds the error's address (ADDRV). */
#define MC_STATUS_VAL (1ULL << 63)
#define MC_STATUS_UC (1ULL << 61)
#define MC_STATUS_PCC (1ULL << 57)
#define MC_STATUS_ADDRV (1ULL << 58)

/* Whether a record reports an uncorrected error: a bank's status in it holds
 * a valid error with UC set. Such a record is kept before a corrected one
 * wherever records must be dropped. */
static inline int mc_record_uncorrected(const RegIfVals* rec)
{
    const uint64_t uc = MC_STATUS_VAL | MC_STATUS_UC;
    int reg;

    for (reg = eMC0_STATUS_REG; reg < eREG_IF_FIELDS_COUNT; reg += eMC1_CTL_REG - eMC0_CTL_REG) {
        if ((rec->val[reg] & uc) == uc) {
            return 1;
        }
    }
    return 0;
}

/* RegIfVals.version of the records this driver interface fills. */
#define MC_RECORD_VERSION 1

/* Plain request numbers. */
#define IOCTL_MC_REG_IF 5    /* RegIfVals[4], zeroed by the caller */
#define IOCTL_HB_BEAT 6      /* argument value 0 */
#define IOCTL_GET_CPU_TEMP 8 /* int32_t *: in CPU index 0..3, out temperature */
/* Encoded requests: read, size field 8, type 'M'. */
#define IOCTL_GET_DIMM_MAP _IOR('M', 9, uint64_t)     /* platform_data_t * */
#define IOCTL_GET_CPUID_VALUE _IOR('M', 10, uint64_t) /* 8-byte buffer */

static_assert(eREG_IF_FIELDS_COUNT == 18, "18 register values");
static_assert(eMC4_ADDR_REG == 17, "register index");
static_assert(sizeof(RegIfVals) == 156, "RegIfVals is 156 bytes");
static_assert(offsetof(RegIfVals, cpuId) == 0, "cpuId offset");
static_assert(offsetof(RegIfVals, version) == 4, "version offset");
static_assert(offsetof(RegIfVals, errOccurred) == 8, "errOccurred offset");
static_assert(offsetof(RegIfVals, val) == 12, "val offset");
static_assert(IOCTL_GET_DIMM_MAP == 0x80084d09u, "IOCTL_GET_DIMM_MAP code");
static_assert(IOCTL_GET_CPUID_VALUE == 0x80084d0au, "IOCTL_GET_CPUID_VALUE code");

#endif
