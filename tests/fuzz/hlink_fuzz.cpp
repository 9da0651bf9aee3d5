// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The host-link address command's parsing over any request: the search for
// "p=" and "s=", the validity test, the reply, and the two shell command
// lines, which only a parsed address may reach. Also the size measure of the
// rewritten init script.
#include <arpa/inet.h>

#include "commands/cmd_hlink.h"
#include "fuzz_support.h"
#include "hlink_shared.h"
#include "shared/ipv4.h"

using namespace vorn;

namespace {

bool inside(const char* p, const ReqBuf& buf)
{
    return p >= buf.data() && p < buf.data() + buf.size();
}

// The line is prefix, a dotted quad and suffix.
void checkLine(const CommandLine& line, std::string_view prefix, std::string_view suffix, const Ipv4Text& addr)
{
    const std::string expected = std::string(prefix) + addr.data() + std::string(suffix);
    fuzz::check(std::string_view(line.data()) == expected, "a command line differs from its template", line.data());
    for (const char c : std::string_view(addr.data()))
        fuzz::check((c >= '0' && c <= '9') || c == '.', "an address text that is no dotted quad", addr.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ReqBuf buf{};
    std::memcpy(buf.data(), data, std::min(size, kRequestSize));
    const ReqBuf original = buf;

    const HlinkFields fields = findHlinkFields(buf.data());
    const char* s = std::strstr(original.data(), "s=");
    const char* p = std::strstr(original.data(), "p=");
    fuzz::check(std::string_view(fields.platIp).empty() || inside(fields.platIp, buf),
                "platform text outside the request");
    fuzz::check(std::string_view(fields.spIp).empty() || inside(fields.spIp, buf), "SP text outside the request");
    if (s != nullptr) {
        const std::size_t at = static_cast<std::size_t>(s - original.data());
        fuzz::check(buf[at] == '\0', "the 's' of \"s=\" was not cut");
        fuzz::check(std::string_view(fields.spIp) == std::string_view(original.data() + at + 2), "wrong SP text");
    }
    if (p != nullptr)
        fuzz::check(fields.platIp == buf.data() + (p - original.data()) + 2, "wrong platform text");
    // Only the "s=" cut changed the request.
    for (std::size_t i = 0; i < buf.size(); ++i)
        fuzz::check(buf[i] == original[i] || (s != nullptr && i == static_cast<std::size_t>(s - original.data())),
                    "the search changed the request");

    const bool valid = hlinkFieldsValid(fields);
    fuzz::check(valid == (std::strlen(fields.platIp) >= 3 && std::strlen(fields.spIp) >= 3), "wrong validity");
    OutBuf out{};
    buildHlinkReply(out, fields, valid);
    fuzz::checkDocument(out);

    const std::optional<std::uint32_t> plat = parsePlatformAddress(fields.platIp);
    if (plat) {
        const Ipv4Text addr = ipv4ToText(*plat);
        in_addr back{};
        fuzz::check(inet_pton(AF_INET, addr.data(), &back) == 1 && ntohl(back.s_addr) == *plat,
                    "the address text does not read back as the address", addr.data());
        checkLine(initScriptCommand(*plat), "/bin/sed 's/^.*ifconfig hlink0 [0-9].*$/ifconfig hlink0 ",
                  "/' /etc/init.d/vorn > .vorn; /bin/cp .vorn /etc/init.d/vorn;/bin/rm .vorn;", addr);
        checkLine(hlinkAddressCommand(*plat), "/sbin/ifconfig hlink0 down; ifconfig hlink0 ", "", addr);
    }
    driverAddress(fields.platIp, HLINK_DEFAULT_PLAT_IP);
    driverAddress(fields.spIp, HLINK_DEFAULT_SP_IP);

    // The rest of the input as an init script.
    if (size > kRequestSize) {
        const std::string_view script(reinterpret_cast<const char*>(data) + kRequestSize, size - kRequestSize);
        const std::uint64_t grown = rewrittenInitScriptSize(script, "255.255.255.255");
        const std::uint64_t shrunk = rewrittenInitScriptSize(script, "1.2.3.4");
        fuzz::check(shrunk <= grown && grown - shrunk <= 8 * script.size(), "an unreasonable init script size");
    }
    return 0;
}
