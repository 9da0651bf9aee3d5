// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The host-link address command ('J'): answers and closes the connection,
// then writes the new platform address into the init script, moves hlink0
// to it and hands both addresses to the host-link driver.
#include "commands/cmd_hlink.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/host_link.h"
#include "hlink_shared.h"
#include "request/net_io.h"
#include "shared/free_space.h"
#include "shared/ipv4.h"
#include "shared/log.h"
#include "shared/shell.h"

namespace vorn {

namespace {

bool isSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Closes the connection after one write of the finished document.
void answer(UniqueFd& new_sock, const OutBuf& outBuf) noexcept
{
    sendOnce(new_sock.get(), documentText(outBuf));
    new_sock.reset();
}

// What the handler returns once it has answered a valid request: the host
// link is moving, and the listener makes its socket anew.
constexpr int kHostLinkMoving = 1;

// An init script larger than this is not measured before its rewrite.
constexpr off_t kInitScriptMeasured = off_t{1} << 20;

// The init-script step writes the new script to ".vorn" in the working
// directory and then copies it over the old script: a file system without
// room for the whole new script would leave the working copy cut short, and
// the cut copy would become the init script, or leave the script itself cut
// short. Measured when the script can be read; otherwise the step runs and
// fares as it may.
bool roomForInitScript(std::uint32_t platIp)
{
    // Only a regular file is measured: reading anything else (a pipe) could
    // wait, or take what the step itself is to read.
    struct stat old {};
    if (::stat(kInitScriptPath, &old) != 0 || !S_ISREG(old.st_mode) || old.st_size > kInitScriptMeasured) {
        return true;
    }
    UniqueFd fd(::open(kInitScriptPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &old) != 0 || !S_ISREG(old.st_mode)) {
        return true;
    }
    std::string script;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return true;
        }
        if (n == 0) {
            break;
        }
        script.append(chunk.data(), static_cast<std::size_t>(n));
    }
    const Ipv4Text addr = ipv4ToText(platIp);
    const std::uint64_t size = rewrittenInitScriptSize(script, addr.data());
    const std::uint64_t freed = old.st_nlink == 1 ? static_cast<std::uint64_t>(old.st_blocks) * 512 : 0;
    struct stat work {};
    if (::stat(".", &work) == 0 && work.st_dev == old.st_dev) {
        // The working copy is removed only after the copy over the script.
        return fileSystemHasRoom(kInitScriptPath, size, 2, freed);
    }
    return fileSystemHasRoom(".", size, 1, 0) && fileSystemHasRoom(kInitScriptPath, size, 1, freed);
}

} // namespace

std::uint64_t rewrittenInitScriptSize(std::string_view script, std::string_view address) noexcept
{
    constexpr std::string_view key = "ifconfig hlink0 ";
    std::uint64_t size = 0;
    std::size_t begin = 0;
    while (begin < script.size()) {
        const std::size_t end = script.find('\n', begin);
        const std::size_t lineEnd = end == std::string_view::npos ? script.size() : end;
        const std::string_view line = script.substr(begin, lineEnd - begin);
        bool hostLinkLine = false;
        for (std::size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
            const std::size_t next = at + key.size();
            if (next < line.size() && line[next] >= '0' && line[next] <= '9') {
                hostLinkLine = true;
                break;
            }
        }
        size += hostLinkLine ? key.size() + address.size() : line.size();
        if (end == std::string_view::npos) {
            break;
        }
        size += 1;
        begin = end + 1;
    }
    return size;
}

HlinkFields findHlinkFields(char* text) noexcept
{
    HlinkFields fields{};
    if (char* p = std::strstr(text, "p="); p != nullptr) {
        fields.platIp = p + 2;
    }
    if (char* s = std::strstr(text, "s="); s != nullptr) {
        fields.spIp = s + 2;
        *s = '\0';
    }
    return fields;
}

bool hlinkFieldsValid(const HlinkFields& fields) noexcept
{
    return std::strlen(fields.platIp) >= 3 && std::strlen(fields.spIp) >= 3;
}

void buildHlinkReply(OutBuf& outBuf, const HlinkFields& fields, bool valid) noexcept
{
    printStart(outBuf);
    if (valid) {
        printAppend(outBuf, "<cmdRetVal>0</cmdRetVal>");
    } else {
        printAppendf(outBuf, "<error>Invalid ip addresses plat = %s, sp = %s</error>", fields.platIp, fields.spIp);
        printAppend(outBuf, "<cmdRetVal>-1</cmdRetVal>");
    }
    printEnd(outBuf);
}

std::optional<std::uint32_t> parsePlatformAddress(const char* text) noexcept
{
    std::array<char, 16> quad{};
    std::size_t n = 0;
    while (text[n] != '\0' && !isSpace(text[n])) {
        if (n + 1 >= quad.size()) {
            return std::nullopt;
        }
        quad[n] = text[n];
        ++n;
    }
    for (const char* rest = text + n; *rest != '\0'; ++rest) {
        if (!isSpace(*rest)) {
            return std::nullopt;
        }
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, quad.data(), &parsed) != 1) {
        return std::nullopt;
    }
    return ntohl(parsed.s_addr);
}

std::uint32_t driverAddress(const char* text, std::uint32_t fallback) noexcept
{
    in_addr parsed{};
    if (::inet_aton(text, &parsed) == 0) {
        return fallback;
    }
    return ntohl(parsed.s_addr);
}

CommandLine initScriptCommand(std::uint32_t platIp) noexcept
{
    const Ipv4Text addr = ipv4ToText(platIp);
    CommandLine command{};
    std::snprintf(command.data(), command.size(),
                  "/bin/sed 's/^.*ifconfig hlink0 [0-9].*$/ifconfig hlink0 %s/' /etc/init.d/vorn > .vorn; "
                  "/bin/cp .vorn /etc/init.d/vorn;/bin/rm .vorn;",
                  addr.data());
    return command;
}

CommandLine hlinkAddressCommand(std::uint32_t platIp) noexcept
{
    const Ipv4Text addr = ipv4ToText(platIp);
    CommandLine command{};
    std::snprintf(command.data(), command.size(), "/sbin/ifconfig hlink0 down; ifconfig hlink0 %s", addr.data());
    return command;
}

int set_hlink_ip(UniqueFd new_sock, OutBuf& outBuf, ReqBuf& buf)
{
    const HlinkFields fields = findHlinkFields(buf.data());
    if (!hlinkFieldsValid(fields)) {
        // A refused request changes nothing and the listener keeps its socket.
        buildHlinkReply(outBuf, fields, false);
        answer(new_sock, outBuf);
        return 0;
    }

    // The SP learns only that the request was accepted; what follows is
    // reported in the log alone.
    buildHlinkReply(outBuf, fields, true);
    answer(new_sock, outBuf);

    // Only a parsed address, written out as a dotted quad, reaches the shell.
    const std::optional<std::uint32_t> platIp = parsePlatformAddress(fields.platIp);
    if (!platIp) {
        logText(LOG_CRIT, "Hlink set ip failed\n");
        return kHostLinkMoving;
    }
    if (!roomForInitScript(*platIp) || runShell(initScriptCommand(*platIp).data()) != 0) {
        logText(LOG_CRIT, "Hlink set ip failed\n");
        return kHostLinkMoving;
    }
    if (runShell(hlinkAddressCommand(*platIp).data()) != 0) {
        logText(LOG_CRIT, "Hlink set ip failed\n");
        return kHostLinkMoving;
    }
    setDriverAddresses(*platIp, driverAddress(fields.spIp, HLINK_DEFAULT_SP_IP));
    return kHostLinkMoving;
}

} // namespace vorn
