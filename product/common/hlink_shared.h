/* SPDX-License-Identifier: Apache-2.0 OR GPL-2.0-only */
/* SPDX-FileCopyrightText: the vorn developers */
/* Host-link driver interface: the device, the SP address file and the four
 * address requests. Addresses are IPv4 numbers in host byte order (first
 * octet most significant) carried in an unsigned 64-bit value.
 * Shared with the driver and the service processor's firmware: C and C++. */
#ifndef VORN_COMMON_HLINK_SHARED_H
#define VORN_COMMON_HLINK_SHARED_H

#ifdef __KERNEL__
#include <linux/build_bug.h>
#include <linux/ioctl.h>
#include <linux/types.h>
#else
#include <assert.h>
#include <linux/ioctl.h>
#include <stdint.h>
#endif

#define HLINK_DEVICE_NAME "hlink"
#define HLINK_DRIVER_PATH "/dev/" HLINK_DEVICE_NAME
#define HLINK_PROC_ROOT "/proc/%s"
#define HLINK_PROC_DIR "hlink"
#define HLINK_SP_IP_FILE "sp_ip"
#define HLINK_SP_IP_ENTRY HLINK_PROC_DIR "/" HLINK_SP_IP_FILE
#define HLINK_IFNAME "hlink0"

#define HLINK_DEFAULT_PLAT_IP 0xA9FE6503u /* 169.254.101.3 */
#define HLINK_DEFAULT_SP_IP 0xA9FE6502u   /* 169.254.101.2 */

#define IOCTL_SET_PLAT_IP _IOW('J', 11, uint64_t) /* argument: the address */
#define IOCTL_GET_PLAT_IP _IOR('J', 12, uint64_t) /* uint64_t * */
#define IOCTL_GET_SP_IP _IOR('J', 13, uint64_t)   /* uint64_t * */
#define IOCTL_SET_SP_IP _IOW('J', 14, uint64_t)   /* argument: the address */

static_assert(IOCTL_SET_PLAT_IP == 0x40084a0bu, "IOCTL_SET_PLAT_IP code");
static_assert(IOCTL_GET_PLAT_IP == 0x80084a0cu, "IOCTL_GET_PLAT_IP code");
static_assert(IOCTL_GET_SP_IP == 0x80084a0du, "IOCTL_GET_SP_IP code");
static_assert(IOCTL_SET_SP_IP == 0x40084a0eu, "IOCTL_SET_SP_IP code");

#endif
