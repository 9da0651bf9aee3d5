// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// 'c': the identity record of one CPU, taken from the kernel's CPU
// description and written straight to the connection.
#include "commands/cmd_cpuid.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "request/net_io.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

constexpr const char* kCpuinfoPath = "/proc/cpuinfo";

struct Key {
    std::string_view text; // compared over its whole length
    CpuField state;
};

// "model name" must be tested before "model".
constexpr std::array<Key, 7> kKeys{{
    {"processor", CpuField::Processor},
    {"vendor_id", CpuField::Vendor_id},
    {"cpu family", CpuField::Cpu_family},
    {"model name", CpuField::Model_name},
    {"model", CpuField::Model},
    {"stepping", CpuField::Stepping},
    {"cpu MHz", CpuField::Mhz},
}};

bool isCSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The position of the next newline or colon at or after pos, or npos.
std::size_t findSeparator(std::string_view text, std::size_t pos) noexcept
{
    for (; pos < text.size(); ++pos) {
        if (text[pos] == '\n' || text[pos] == ':') {
            return pos;
        }
    }
    return std::string_view::npos;
}

bool isKnownCpu(int cpu) noexcept
{
    return cpu >= 0 && cpu < kCpuCount;
}

// Big enough that a real CPU description takes a handful of reads.
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

} // namespace

int decimalValue(std::string_view text) noexcept
{
    std::size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Digits beyond the range of int only need to keep the value out of it.
    constexpr std::int64_t kBeyondInt = std::int64_t{1} << 40;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < kBeyondInt) {
            value = value * 10 + (text[i] - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int requestedCpu(const ReqBuf& buf) noexcept
{
    const char* arg = buf.data() + 2;
    return decimalValue(std::string_view(arg, ::strnlen(arg, buf.size() - 2)));
}

void CpuinfoParser::takeToken(std::string_view token)
{
    if (state_ != CpuField::Unknown) {
        if (state_ == CpuField::Processor) {
            proc_ = decimalValue(token);
            if (proc_ >= kCpuCount) {
                // Only CPUs 0 to 3 are kept; the description lists them first.
                done_ = true;
                return;
            }
            if (isKnownCpu(proc_)) {
                table_.present[static_cast<std::size_t>(proc_)] = true;
            }
        } else {
            // Blanks only: a leading tab is part of the value.
            const std::size_t start = token.find_first_not_of(' ');
            token = start == std::string_view::npos ? std::string_view{} : token.substr(start);
            if (isKnownCpu(proc_)) {
                table_.fields[static_cast<std::size_t>(proc_)][static_cast<std::size_t>(state_)] =
                    std::string(token.substr(0, kCpuFieldMax));
            }
        }
        state_ = CpuField::Unknown;
    }
    // A value is a key too when it begins like one.
    for (const Key& key : kKeys) {
        if (token.starts_with(key.text)) {
            state_ = key.state;
            break;
        }
    }
}

void CpuinfoParser::feed(std::string_view piece)
{
    std::size_t pos = 0;
    while (!done_ && pos < piece.size()) {
        const std::size_t sep = findSeparator(piece, pos);
        if (sep == std::string_view::npos) {
            partial_.append(piece.substr(pos));
            return;
        }
        if (!partial_.empty()) {
            partial_.append(piece.substr(pos, sep - pos));
            takeToken(partial_);
            partial_.clear();
        } else if (sep > pos) {
            takeToken(piece.substr(pos, sep - pos));
        }
        pos = sep + 1;
    }
}

void CpuinfoParser::finish()
{
    if (!done_ && !partial_.empty()) {
        takeToken(partial_);
    }
    partial_.clear();
}

CpuTable parseCpuinfo(std::string_view text)
{
    CpuinfoParser parser;
    parser.feed(text);
    parser.finish();
    return parser.table();
}

CpuIdentity cpuIdentity(const CpuTable& table, int cpu)
{
    CpuIdentity id;
    id.modelName = table.at(cpu, CpuField::Model_name);
    id.vendor = table.at(cpu, CpuField::Vendor_id);
    id.ecLevel = "x86 Family " + table.at(cpu, CpuField::Cpu_family) + " Model " + table.at(cpu, CpuField::Model) +
                 " Stepping " + table.at(cpu, CpuField::Stepping);
    if (id.ecLevel.size() > kCpuFieldMax) {
        id.ecLevel.resize(kCpuFieldMax);
    }
    id.mhz = table.at(cpu, CpuField::Mhz);
    return id;
}

void fitCpuIdentity(CpuIdentity& id)
{
    std::size_t total = id.modelName.size() + id.vendor.size() + id.ecLevel.size();
    if (total <= kCpuRecordTextRoom) {
        return;
    }
    std::size_t excess = total - kCpuRecordTextRoom;
    for (std::string* text : {&id.modelName, &id.vendor, &id.ecLevel}) {
        const std::size_t cut = excess < text->size() ? excess : text->size();
        text->resize(text->size() - cut);
        excess -= cut;
    }
}

CpuRecord buildCpuRecord(CpuIdentity id)
{
    fitCpuIdentity(id);

    CpuRecord r{};
    std::size_t o = 0;
    auto put = [&r, &o](unsigned value) { r[o++] = static_cast<std::uint8_t>(value); };
    auto putText = [&r, &o](const std::string& text) {
        std::memcpy(r.data() + o, text.data(), text.size());
        o += text.size();
    };

    // Identifier string resource: the model name.
    put(0x82);
    put(static_cast<unsigned>(id.modelName.size()));
    put(0);
    putText(id.modelName);

    // Read-only resource; its stated length runs to offset 126.
    put(0x90);
    put(static_cast<unsigned>(125 - o));
    put(0);

    put('M');
    put('N');
    put(static_cast<unsigned>(id.vendor.size()));
    putText(id.vendor);

    put('E');
    put('C');
    put(static_cast<unsigned>(id.ecLevel.size()));
    putText(id.ecLevel);

    put('V');
    put('S');
    put(4);
    const auto clock = static_cast<std::uint32_t>(decimalValue(id.mhz));
    put(clock >> 24);
    put(clock >> 16);
    put(clock >> 8);
    put(clock);

    // The RV length counts up to and including offset 127.
    put('R');
    put('V');
    put(static_cast<unsigned>(127 - o));

    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < o; ++i) {
        sum = static_cast<std::uint8_t>(sum + r[i]);
    }
    put(static_cast<std::uint8_t>(-sum));

    // Bytes up to 126 stay zero; the end tag closes the record.
    r[kCpuRecordSize - 1] = 0x78;
    return r;
}

void getCpuid(int s, int desired)
{
    UniqueFd file(::open(kCpuinfoPath, O_RDONLY | O_CLOEXEC));
    if (!file) {
        logf(LOG_CRIT, "unable to open %s\n", kCpuinfoPath);
        return;
    }

    // The whole description is parsed as one text, read in large pieces,
    // until the CPUs 0 to 3 have been passed.
    CpuinfoParser parser;
    // Not cleared: only the bytes each read delivers are looked at (clearing
    // 64 KiB cost more than parsing a small host's description).
    std::array<char, kReadChunk> chunk;
    while (!parser.done()) {
        const ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        parser.feed(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
    }
    parser.finish();
    file.reset();

    if (!isKnownCpu(desired) || !parser.table().present[static_cast<std::size_t>(desired)]) {
        return;
    }
    const CpuRecord record = buildCpuRecord(cpuIdentity(parser.table(), desired));
    sendOnce(s, record.data(), record.size());
}

void get_cpuid(int new_sock, const ReqBuf& buf)
{
    const int desired = requestedCpu(buf);
    if (!isKnownCpu(desired)) {
        // A CPU number outside 0 to 3 is answered with one zero byte.
        const std::uint8_t none = 0;
        sendOnce(new_sock, &none, 1);
        return;
    }
    getCpuid(new_sock, desired);
}

} // namespace vorn
