// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
/* Compiles the shared driver headers as C; their static assertions check the
 * record layouts and request codes. */
#include "dimm_map.h"
#include "hlink_shared.h"
#include "mc.h"

int vorn_common_c_check(void)
{
    RegIfVals r;
    platform_data_t p;
    return (int)(sizeof r + sizeof p + sizeof r.val + sizeof p.dram_cs_mask_reg);
}
