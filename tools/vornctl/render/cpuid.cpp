// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The CPU identity record (cpuid), decoded by cpuid_record.cpp.
#include <cstdio>

#include "vornctl/cpuid_record.h"
#include "vornctl/escape.h"
#include "vornctl/render/report.h"

namespace vornctl {

void renderCpuid(Report& r, std::string_view reply)
{
    const std::string cpu = r.invocation().args.empty() ? "?" : r.invocation().args.front();
    if (reply.size() == 1 && reply[0] == '\0') {
        r.agentError("no CPU " + cpu + ": the agent answers for CPUs 0 to 3 only");
        r.json()["cpu"] = cpu;
        r.json()["cpuid"] = nullptr;
        return;
    }
    if (reply.size() % kCpuidRecordSize != 0) {
        r.badReply("a CPU identity record is 128 bytes; the reply has " + std::to_string(reply.size()));
        r.out() = hexDump(reply);
        r.json()["hex"] = hexDump(reply);
        return;
    }
    const std::size_t count = reply.size() / kCpuidRecordSize;
    if (count > 1) {
        r.warning(std::to_string(count) + " records arrived (the host's CPU description is longer than one read); "
                                          "the last one is shown");
    }
    const std::string_view last = reply.substr(reply.size() - kCpuidRecordSize);
    const CpuidDecode d = decodeCpuidRecord(last);
    if (!d.ok) {
        r.badReply("the CPU identity record cannot be decoded: " + d.problem);
        r.out() = hexDump(last);
        r.json()["hex"] = hexDump(last);
        return;
    }
    char checksum[48];
    std::snprintf(checksum, sizeof checksum, "0x%02x (%s)", d.record.checksum, d.record.checksumOk ? "ok" : "WRONG");
    r.out() = alignedLines({{0, "cpu", cpu},
                            {0, "model", d.record.model},
                            {0, "vendor", d.record.vendor},
                            {0, "ec", d.record.ec},
                            {0, "mhz", std::to_string(d.record.mhz)},
                            {0, "checksum", checksum}});
    if (!d.record.checksumOk) {
        r.badReply("the CPU identity record's checksum is wrong: its bytes do not add up to 0");
    }
    r.json()["cpu"] = cpu;
    r.json()["records"] = count;
    r.json()["cpuid"] =
        JsonValue{{"model", d.record.model}, {"vendor", d.record.vendor},     {"ec", d.record.ec},
                  {"mhz", d.record.mhz},     {"checksum", d.record.checksum}, {"checksumOk", d.record.checksumOk}};
}

} // namespace vornctl
