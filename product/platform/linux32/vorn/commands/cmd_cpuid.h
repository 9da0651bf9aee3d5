// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// CPU identity record: a 128-byte record of one CPU, written to the connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "request/document.h"

namespace vorn {

void get_cpuid(int new_sock, const ReqBuf& buf);

// Parses "/proc/cpuinfo" and writes the identity record of CPU desired
// (0 to 3) to s; writes nothing when that CPU is absent.
void getCpuid(int s, int desired);

// ---- Functional core (no I/O) ----

// The kept fields of a CPU: the column index of the field table and, with
// Unknown and Processor, the parser's state.
enum class CpuField : int {
    Unknown = -1,
    Vendor_id = 0,
    Cpu_family = 1,
    Model = 2,
    Model_name = 3,
    Stepping = 4,
    Mhz = 5,
    Processor = 99,
};

inline constexpr int kCpuCount = 4;              // CPUs 0 to 3 are kept
inline constexpr int kCpuFieldCount = 6;         // Vendor_id .. Mhz
inline constexpr std::size_t kCpuFieldMax = 255; // characters kept per value

// The fields of CPUs 0 to 3 and whether each CPU's "processor" line was seen.
// A field the file does not supply is the empty text.
struct CpuTable {
    std::array<std::array<std::string, kCpuFieldCount>, kCpuCount> fields;
    std::array<bool, kCpuCount> present{};

    [[nodiscard]] const std::string& at(int cpu, CpuField field) const
    {
        return fields.at(static_cast<std::size_t>(cpu)).at(static_cast<std::size_t>(field));
    }
};

// The CPU description parser. The text is cut into tokens at every newline
// and colon (runs of separators give no empty token); a token that begins
// with a key ("processor", "vendor_id", "cpu family", "model name", "model",
// "stepping", "cpu MHz", tested in that order) makes the next token its value.
// Values lose their leading blanks (0x20 only) and are cut to 255 characters.
// Parsing ends at the first "processor" whose number is above 3.
//
// The text may be fed in pieces of any size: a token cut between two pieces is
// joined again, so the result does not depend on how the file was read.
class CpuinfoParser {
public:
    // Feeds the next piece of the text. Does nothing once done().
    void feed(std::string_view piece);
    // Ends the text: a last token without a separator after it is taken.
    void finish();
    // True once a processor number above 3 was seen: the rest is not needed.
    [[nodiscard]] bool done() const noexcept { return done_; }
    [[nodiscard]] const CpuTable& table() const noexcept { return table_; }

private:
    void takeToken(std::string_view token);

    CpuTable table_;
    std::string partial_; // a token not yet ended by a separator
    CpuField state_ = CpuField::Unknown;
    int proc_ = -1; // number of the most recent "processor" line
    bool done_ = false;
};

// Parses a whole CPU description.
CpuTable parseCpuinfo(std::string_view text);

// The integer value of a decimal text, read the way atoi reads it: leading
// white space skipped, an optional sign, digits up to the first non-digit;
// no digits give 0. Values beyond the range of int are held at its limits.
int decimalValue(std::string_view text) noexcept;

// The CPU number a 'c' request asks for: the decimal value at offset 2.
int requestedCpu(const ReqBuf& buf) noexcept;

// The CPU identity record: an identifier string resource with the model name,
// a read-only resource with "MN" (vendor), "EC" (family, model, stepping),
// "VS" (clock in MHz), "RV" (checksum), and the end tag at offset 127.
inline constexpr std::size_t kCpuRecordSize = 128;
using CpuRecord = std::array<std::uint8_t, kCpuRecordSize>;
static_assert(sizeof(CpuRecord) == 128, "the CPU identity record is 128 bytes");

// Room for the model name, vendor and engineering-change texts together.
inline constexpr std::size_t kCpuRecordTextRoom = 104;

// The texts that go into a record.
struct CpuIdentity {
    std::string modelName;
    std::string vendor;
    std::string ecLevel; // "x86 Family %s Model %s Stepping %s", at most 255 characters
    std::string mhz;
};

// The identity texts of one CPU of the table.
CpuIdentity cpuIdentity(const CpuTable& table, int cpu);

// Cuts the texts until they fit the record's 104 bytes together: the model
// name is shortened first (down to nothing if need be), then the vendor, then
// the engineering-change text; each keeps its beginning. Texts that fit
// already are left alone.
void fitCpuIdentity(CpuIdentity& id);

// Lays the record out, after fitting the texts (fitCpuIdentity).
CpuRecord buildCpuRecord(CpuIdentity id);

} // namespace vorn
