// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "commands/netstat_tables.h"

#include <cctype>
#include <cstring>

#include <arpa/inet.h>

#include "shared/scan_word.h"

namespace vorn {

NetDevScan::NetDevScan(std::FILE* in) : in_(in)
{
    for (int header = 0; header < 2; ++header) {
        if (std::fgets(line_.data(), static_cast<int>(line_.size()), in_) == nullptr) {
            break;
        }
    }
}

bool NetDevScan::next(std::string_view& device)
{
    while (!std::feof(in_)) {
        const int got = scanWord(in_, name_);
        if (got != 1 || std::feof(in_)) {
            return false;
        }
        // The rest of the line (the counters) is not needed.
        if (std::fgets(line_.data(), static_cast<int>(line_.size()), in_) == nullptr) {
            line_[0] = '\0';
        }
        const char* colon = std::strchr(name_.data(), ':');
        if (colon == nullptr) {
            continue;
        }
        device = std::string_view(name_.data(), static_cast<std::size_t>(colon - name_.data()));
        return true;
    }
    return false;
}

namespace {

enum class Conversion { Done, MatchFailed, InputEnded };

// What one "%d" (or, hex, "%x") conversion of fscanf without a width does to
// the stream, the value aside (the route table's numbers are not used):
// white space, a sign, for "%x" a "0x" after a leading 0, then the digits;
// the character after them stays in the stream. No digit at all (a sign
// alone included) is a matching failure.
Conversion skipNumber(std::FILE* in, bool hex) noexcept
{
    int c = getc_unlocked(in);
    while (c != EOF && isScanSpace(c)) {
        c = getc_unlocked(in);
    }
    if (c == EOF) {
        return Conversion::InputEnded;
    }
    std::size_t taken = 0;
    bool signed_ = false;
    if (c == '-' || c == '+') {
        signed_ = true;
        ++taken;
        c = getc_unlocked(in);
    }
    if (c == '0') {
        ++taken;
        c = getc_unlocked(in);
        if (hex && (c == 'x' || c == 'X')) {
            c = getc_unlocked(in);
        }
    }
    while (c != EOF && (hex ? std::isxdigit(c) != 0 : (c >= '0' && c <= '9'))) {
        ++taken;
        c = getc_unlocked(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    return taken == 0 || (taken == 1 && signed_) ? Conversion::MatchFailed : Conversion::Done;
}

struct RouteColumns {
    std::array<char, 4096>& iface;
    std::array<char, 4096>& dest;
    std::array<char, 4096>& gw;
    std::array<char, 4096>& mask;
};

// What fscanf(in, "%16s%128s%128s%x%d%d%d%128s%d%d%d", ...) returns and does
// to the stream and the four text columns, without the format machinery.
int scanRouteLine(std::FILE* in, const RouteColumns& cols) noexcept
{
    struct Step {
        char* text; // a text column, or nullptr for a number
        std::size_t width;
        bool hex;
    };
    const Step steps[] = {
        {cols.iface.data(), 16, false},
        {cols.dest.data(), 128, false},
        {cols.gw.data(), 128, false},
        {nullptr, 0, true},
        {nullptr, 0, false},
        {nullptr, 0, false},
        {nullptr, 0, false},
        {cols.mask.data(), 128, false},
        {nullptr, 0, false},
        {nullptr, 0, false},
        {nullptr, 0, false},
    };
    int done = 0;
    for (const Step& step : steps) {
        Conversion result = Conversion::Done;
        if (step.text != nullptr) {
            result = scanWord(in, step.text, step.width) == 1 ? Conversion::Done : Conversion::InputEnded;
        } else {
            result = skipNumber(in, step.hex);
        }
        if (result == Conversion::InputEnded) {
            return done == 0 ? EOF : done;
        }
        if (result == Conversion::MatchFailed) {
            return done;
        }
        ++done;
    }
    return done;
}

} // namespace

DefaultRoute scanDefaultRoute(std::FILE* in)
{
    // The text buffers are not cleared: each is read only after fgets,
    // fscanf or snprintf has filled it.
    std::array<char, 4096> header;
    if (std::fgets(header.data(), static_cast<int>(header.size()), in) == nullptr) {
        return {DefaultRoute::Outcome::None, 0};
    }

    std::array<char, 4096> iface;
    std::array<char, 4096> dest;
    std::array<char, 4096> gw;
    std::array<char, 4096> mask;
    const RouteColumns cols{iface, dest, gw, mask};
    while (!std::feof(in)) {
        // The table's own column format; only the two text columns are used,
        // and a line that does not fit it ends the scan as a format fault.
        const int got = scanRouteLine(in, cols);
        if (got == EOF) {
            break;
        }
        if (got < 11) {
            return {DefaultRoute::Outcome::FormatWrong, 0};
        }
        if (std::strcmp(dest.data(), "00000000") == 0) {
            std::array<char, 4096> hex;
            // The column holds at most 128 characters, so the text always fits.
            const int len = std::snprintf(hex.data(), hex.size(), "0x%s", gw.data());
            unsigned int val = 0;
            // A "0x" with no hexadecimal digit after it is no number. The C
            // library's scanf reads it as 0, so the first digit is checked
            // here: a gateway column that is not hexadecimal is a format
            // fault, not the address 0.0.0.0.
            if (len < 0 || static_cast<std::size_t>(len) >= hex.size() ||
                std::isxdigit(static_cast<unsigned char>(gw[0])) == 0 ||
                std::sscanf(hex.data(), "%X", &val) != 1) { // NOLINT(cert-err34-c): eight hex digits
                return {DefaultRoute::Outcome::FormatWrong, 0};
            }
            return {DefaultRoute::Outcome::Found, val};
        }
    }
    return {DefaultRoute::Outcome::None, 0};
}

Ipv4Text storedAddressText(std::uint32_t stored) noexcept
{
    return ipv4ToText(ntohl(stored));
}

} // namespace vorn
