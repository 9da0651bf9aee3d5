// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The CPU description parser and the identity record built from it, over any
// text as "/proc/cpuinfo": the parse does not depend on how the text is cut
// into reads, every present CPU gives a well-formed 128-byte record with a
// valid checksum, and the model-number scan agrees with itself the same way.
#include <climits>
#include <cstdlib>

#include "commands/cmd_cpuid.h"
#include "commands/cmd_sensors.h"
#include "fuzz_support.h"

using namespace vorn;

namespace {

// Read sizes chosen by the input itself, so that every cut gets tried.
std::size_t pieceSize(std::string_view text, std::size_t at)
{
    const auto seed = static_cast<unsigned char>(text[at % text.size()]);
    return 1 + (seed * 7 + at) % 97;
}

bool sameTable(const CpuTable& a, const CpuTable& b)
{
    return a.fields == b.fields && a.present == b.present;
}

// atoi as the C library reads a terminated text, held to the range of int.
int referenceDecimal(const std::string& text)
{
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CpuTable whole = parseCpuinfo(text);

    if (!text.empty()) {
        CpuinfoParser parser;
        for (std::size_t at = 0; at < text.size() && !parser.done();) {
            const std::size_t n = std::min(pieceSize(text, at), text.size() - at);
            parser.feed(text.substr(at, n));
            at += n;
        }
        parser.finish();
        fuzz::check(sameTable(parser.table(), whole), "the parse depends on the size of the reads");

        ModelNumberScan scan;
        for (std::size_t at = 0; at < text.size() && !scan.settled();) {
            const std::size_t n = std::min(pieceSize(text, at + 1), text.size() - at);
            scan.feed(text.substr(at, n));
            at += n;
        }
        scan.finish();
        fuzz::check(scan.value() == modelNumberFromText(text), "the model number depends on the size of the reads");
    }

    for (int cpu = 0; cpu < kCpuCount; ++cpu) {
        for (int f = 0; f < kCpuFieldCount; ++f)
            fuzz::check(whole.at(cpu, static_cast<CpuField>(f)).size() <= kCpuFieldMax,
                        "a field beyond 255 characters");
        if (!whole.present[static_cast<std::size_t>(cpu)])
            continue;
        const CpuIdentity id = cpuIdentity(whole, cpu);
        fuzz::check(id.ecLevel.size() <= kCpuFieldMax, "an engineering-change text beyond 255 characters");
        CpuIdentity fitted = id;
        fitCpuIdentity(fitted);
        fuzz::check(fitted.modelName.size() + fitted.vendor.size() + fitted.ecLevel.size() <= kCpuRecordTextRoom,
                    "fitted texts beyond the record's room");
        // Each fitted text keeps its beginning.
        fuzz::check(id.modelName.compare(0, fitted.modelName.size(), fitted.modelName) == 0 &&
                        id.vendor.compare(0, fitted.vendor.size(), fitted.vendor) == 0 &&
                        id.ecLevel.compare(0, fitted.ecLevel.size(), fitted.ecLevel) == 0,
                    "a fitted text lost its beginning");
        const CpuRecord record = buildCpuRecord(id);
        fuzz::checkCpuRecord(record.data(), record.size());
    }

    // The request's CPU number, read as atoi reads the text from offset 2.
    ReqBuf buf{};
    std::memcpy(buf.data(), text.data(), std::min(text.size(), kRequestSize));
    const std::string arg(buf.data() + 2);
    fuzz::check(requestedCpu(buf) == referenceDecimal(arg), "the CPU number is not read as atoi reads it", arg);
    return 0;
}
