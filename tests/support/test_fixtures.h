// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Fixture files and golden texts shared by the unit and integration tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vorn::testsupport {

// The text of tests/fixtures/<subdir>/<name>; a missing file fails the test.
inline std::string readFixture(std::string_view subdir, std::string_view name)
{
    const auto path = std::filesystem::path(__FILE__).parent_path() / ".." / "fixtures" / subdir / name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "missing fixture " << path;
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The six vendor-driver elements of the inventory reply, as the agent writes them.
inline const std::string kVendorDriverElements =
    "<Software> <SWName>Trident</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
    "<SWInfo>Trident Video Accelerator Blade 3D</SWInfo><SWInstalledDate>-1</SWInstalledDate><bits>64</bits> "
    "</Software>"
    "<Software> <SWName>Broadcom</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
    "<SWInfo>Broadcom NetXtreme Gigabit Ethernet</SWInfo><SWInstalledDate>-1</SWInstalledDate><bits>64</bits> "
    "</Software>"
    "<Software> <SWName>LSI</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
    "<SWInfo>LSI Logic Ultra320 SCSI Adapter</SWInfo><SWInstalledDate>-1</SWInstalledDate><bits>64</bits> "
    "</Software>"
    "<Software> <SWName>AMD</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
    "<SWInfo>AMD-8131 HyperTransport(tm) IOAPIC Controller</SWInfo><SWInstalledDate>-1</SWInstalledDate>"
    "<bits>64</bits> </Software>"
    "<Software> <SWName>AMD</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
    "<SWInfo>AMD-8111 PCI Bus Master IDEController</SWInfo><SWInstalledDate>-1</SWInstalledDate><bits>64</bits> "
    "</Software>"
    "<Software> <SWName>AMD</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
    "<SWInfo>AMD-8111 System Management Controller</SWInfo><SWInstalledDate>-1</SWInstalledDate><bits>64</bits> "
    "</Software>";

// One CPU of a /proc/cpuinfo, as the sensor and CPU tests describe it.
inline const std::string kOpteronCpuinfo = "processor\t: 0\n"
                                           "vendor_id\t: AuthenticAMD\n"
                                           "cpu family\t: 15\n"
                                           "model\t\t: 33\n"
                                           "model name\t: AMD Opteron(tm) Processor 248\n"
                                           "stepping\t: 2\n"
                                           "cpu MHz\t\t: 2193.798\n"
                                           "cache size\t: 1024 KB\n\n";

// A CPU identity record laid out as the agent sends it, for texts that fit
// (model + vendor + EC text at most 104 characters): the model element, the
// "MN", "EC", "VS" and "RV" fields, the checksum byte, zeros up to byte 126
// and the end tag.
inline std::string cpuIdentityRecord(const std::string& model, const std::string& vendor, const std::string& ec,
                                     std::uint32_t mhz)
{
    const std::size_t x = model.size() + vendor.size() + ec.size();
    std::string r;
    r += '\x82';
    r += static_cast<char>(model.size());
    r += '\0';
    r += model;
    r += '\x90';
    r += static_cast<char>(121 - model.size());
    r += '\0';
    r += "MN";
    r += static_cast<char>(vendor.size());
    r += vendor;
    r += "EC";
    r += static_cast<char>(ec.size());
    r += ec;
    r += "VS";
    r += '\x04';
    for (int shift = 24; shift >= 0; shift -= 8) {
        r += static_cast<char>((mhz >> shift) & 0xFF);
    }
    r += "RV";
    r += static_cast<char>(106 - x);
    unsigned sum = 0;
    for (const char c : r) {
        sum += static_cast<unsigned char>(c);
    }
    r += static_cast<char>((256 - (sum & 0xFF)) & 0xFF);
    r.resize(127, '\0');
    r += '\x78';
    return r;
}

} // namespace vorn::testsupport
