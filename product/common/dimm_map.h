/* SPDX-License-Identifier: Apache-2.0 OR GPL-2.0-only */
/* SPDX-FileCopyrightText: the vorn developers */
/* The memory-module map: the memory controllers' DRAM register values as the
 * management-controller driver fills them. Shared with the driver and the
 * service processor's firmware: C and C++. */
#ifndef VORN_COMMON_DIMM_MAP_H
#define VORN_COMMON_DIMM_MAP_H

#ifdef __KERNEL__
#include <linux/build_bug.h>
#include <linux/stddef.h>
#include <linux/types.h>
#else
#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#endif

#define DIMM_MAP_NODES 8
#define DIMM_MAP_CS 8

typedef struct __attribute__((packed)) platform_data_t {
    uint32_t dram_base_reg[DIMM_MAP_NODES];
    uint32_t dram_limit_reg[DIMM_MAP_NODES];
    uint32_t dram_cs_base_reg[DIMM_MAP_NODES][DIMM_MAP_CS];
    uint32_t dram_cs_mask_reg[DIMM_MAP_NODES][DIMM_MAP_CS];
} platform_data_t;

static_assert(sizeof(platform_data_t) == 576, "platform_data_t is 576 bytes");
static_assert(offsetof(platform_data_t, dram_base_reg) == 0, "dram_base_reg offset");
static_assert(offsetof(platform_data_t, dram_limit_reg) == 32, "dram_limit_reg offset");
static_assert(offsetof(platform_data_t, dram_cs_base_reg) == 64, "dram_cs_base_reg offset");
static_assert(offsetof(platform_data_t, dram_cs_mask_reg) == 320, "dram_cs_mask_reg offset");

#endif
