// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The management-controller driver's reading of the kernel log, over any
// lines: it runs in the kernel at load, so no input may make it read out of
// bounds, and it never gives more errors than the lines that start one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mc_record_conv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    mc_log_scan scan{};
    mc_report rep;
    std::size_t starts = 0;
    std::size_t given = 0;
    std::size_t at = 0;
    while (at <= input.size()) {
        std::size_t end = input.find('\n', at);
        if (end == std::string::npos) {
            end = input.size();
        }
        const std::string line = input.substr(at, end - at); // cut at a NUL byte, as a C string
        if (line.find("[Hardware Error]: CPU") != std::string::npos) {
            ++starts;
        }
        given += mc_log_scan_line(&scan, line.c_str(), &rep) == MC_LOG_GIVEN ? 1 : 0;
        at = end + 1;
    }
    given += mc_log_scan_end(&scan, &rep) ? 1 : 0;
    if (given > starts) {
        std::abort();
    }
    return 0;
}
