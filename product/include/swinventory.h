// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Names and descriptions of the software that the inventory reports besides
// the inventory files: the host's other device drivers. Each constant is one
// text shared by the whole process.
#pragma once

inline constexpr const char* SWNAME_LINUX_TRIDENT = "Trident";
inline constexpr const char* SWINFO_LINUX_TRIDENT = "Trident Video Accelerator Blade 3D";

inline constexpr const char* SWNAME_LINUX_BROADCOM = "Broadcom";
inline constexpr const char* SWINFO_LINUX_BROADCOM = "Broadcom NetXtreme Gigabit Ethernet";

inline constexpr const char* SWNAME_LINUX_LSI = "LSI";
inline constexpr const char* SWINFO_LINUX_LSI = "LSI Logic Ultra320 SCSI Adapter";

inline constexpr const char* SWNAME_LINUX_AMD_IOAPIC = "AMD";
inline constexpr const char* SWINFO_LINUX_AMD_IOAPIC = "AMD-8131 HyperTransport(tm) IOAPIC Controller";

inline constexpr const char* SWNAME_LINUX_AMD_EIDE = "AMD";
inline constexpr const char* SWINFO_LINUX_AMD_EIDE = "AMD-8111 PCI Bus Master IDEController";

inline constexpr const char* SWNAME_LINUX_AMD_SM = "AMD";
inline constexpr const char* SWINFO_LINUX_AMD_SM = "AMD-8111 System Management Controller";
