// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The interface address command ('E'): runs /sbin/ifconfig with the
// request's tokens, refusing the host link, and reports the raw status and,
// on failure, the command's error output.
#include "commands/cmd_setip.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "shared/log.h"
#include "shared/shell.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

constexpr const char* kSeparators = " \t,";

void copyBounded(SetIpToken& to, const char* from) noexcept
{
    const std::size_t n = ::strnlen(from, to.size() - 1);
    std::memcpy(to.data(), from, n);
    to[n] = '\0';
}

// Formats into a line of the given size; what does not fit is cut.
void formatBounded(char* line, std::size_t size, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

void formatBounded(char* line, std::size_t size, const char* format, ...) noexcept
{
    va_list ap;
    va_start(ap, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started on the line above; the checker loses track
    std::vsnprintf(line, size, format, ap);
    va_end(ap);
}

bool mayReachShell(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '/';
}

} // namespace

SetIpParams tokenise(char* text) noexcept
{
    SetIpParams params{};
    char* save = nullptr;
    int stored = 0;
    for (char* tok = ::strtok_r(text, kSeparators, &save); tok != nullptr && stored < 5;
         tok = ::strtok_r(nullptr, kSeparators, &save)) {
        copyBounded(params.param[static_cast<std::size_t>(stored)], tok);
        ++stored;
    }
    params.argCount = stored - 1;
    return params;
}

bool refusesInterface(const SetIpParams& params) noexcept
{
    return std::strcmp(params.param[1].data(), "hlink0") == 0;
}

void stripInterfacePrefix(SetIpToken& token) noexcept
{
    const std::size_t len = ::strnlen(token.data(), token.size() - 1);
    if (token[0] != '-' || len < 7) {
        return;
    }
    std::memmove(token.data(), token.data() + 6, len - 6 + 1);
    if (char* quote = std::strchr(token.data(), '"'); quote != nullptr) {
        *quote = '\0';
    }
}

void cleanse(char* text) noexcept
{
    for (; *text != '\0'; ++text) {
        if (!mayReachShell(*text)) {
            *text = ' ';
        }
    }
}

CommandLine buildIfconfigCommand(const SetIpParams& params, const char* logFileName) noexcept
{
    CommandLine redirect{};
    if (logFileName != nullptr) {
        std::snprintf(redirect.data(), redirect.size(), " 2>%s", logFileName);
    }
    const std::size_t redirectLen = std::strlen(redirect.data());

    // The request's part, bounded so that the redirection always fits whole:
    // a cut must never shorten the error file's name into another path.
    CommandLine command{};
    const std::size_t room = command.size() - redirectLen;
    const char* p1 = params.param[1].data();
    const char* p2 = params.param[2].data();
    const char* p3 = params.param[3].data();
    switch (params.argCount) {
    case 2:
        formatBounded(command.data(), room, "/sbin/ifconfig %s %s", p1, p2);
        break;
    case 3:
    case 4:
        formatBounded(command.data(), room, "/sbin/ifconfig %s %s netmask %s", p1, p2, p3);
        break;
    default:
        formatBounded(command.data(), room, "/sbin/ifconfig %s", p1);
        break;
    }
    cleanse(command.data());

    const std::size_t used = std::strlen(command.data());
    std::memcpy(command.data() + used, redirect.data(), redirectLen + 1);
    return command;
}

void appendWords(OutBuf& outBuf, std::FILE* in) noexcept
{
    std::array<char, 256> word{};
    while (std::fscanf(in, "%255s", word.data()) == 1) {
        printAppend(outBuf, word.data());
        printAppend(outBuf, " ");
    }
}

void printLog(OutBuf& outBuf, const char* logFileName)
{
    printAppend(outBuf, "<error>");
    if (UniqueFile in = openFile(logFileName, "r")) {
        appendWords(outBuf, in.get());
        in.reset();
        if (::unlink(logFileName) != 0) {
            logText(LOG_INFO, "unable to remove log file\n");
        }
    }
    printAppend(outBuf, "</error> ");
}

void set_ip(OutBuf& outBuf, ReqBuf& buf)
{
    std::array<char, 256> logFileName{};
    std::snprintf(logFileName.data(), logFileName.size(), "%s", kSetIpLogTemplate);

    printStart(outBuf);
    SetIpParams params = tokenise(buf.data());

    // Only the host-link command moves the host link. The test sees the
    // token as received, before any prefix is dropped.
    if (refusesInterface(params)) {
        printAppend(outBuf, kHlinkRefusal);
        printEnd(outBuf);
        return;
    }
    stripInterfacePrefix(params.param[1]);

    // The error file is only the target of the redirection. Without it the
    // command runs with its error output unredirected: it must never go to
    // a file that the agent did not create.
    const bool haveLogFile = UniqueFd(::mkostemp(logFileName.data(), O_CLOEXEC)).valid();

    const CommandLine command = buildIfconfigCommand(params, haveLogFile ? logFileName.data() : nullptr);
    const int val = runShell(command.data());
    printAppendf(outBuf, "<cmdRetVal>%d</cmdRetVal>\n", val);

    if (val != 0) {
        if (haveLogFile) {
            printLog(outBuf, logFileName.data());
        } else {
            printAppend(outBuf, "<error></error> ");
        }
    } else if (haveLogFile) {
        ::unlink(logFileName.data());
    }
    printEnd(outBuf);
}

} // namespace vorn
