// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The interface address command's parsing over any request: the tokeniser,
// the host-link refusal, the prefix strip, `cleanse` and the command line.
// No shell metacharacter of the request survives into the command line; the
// only '>' is the fixed redirection into the agent's error file.
#include "commands/cmd_setip.h"
#include "fuzz_support.h"

using namespace vorn;

namespace {

constexpr std::string_view kLogFile = "/tmp/vorn.logAb3xY9";
constexpr std::string_view kSeparators = " \t,";

bool isSeparator(char c)
{
    return kSeparators.find(c) != std::string_view::npos;
}

void checkTokens(const ReqBuf& before, const ReqBuf& after, const SetIpParams& params)
{
    fuzz::check(params.argCount >= -1 && params.argCount <= 4, "argument count out of range");
    fuzz::check(after[0] == before[0], "the tokeniser changed the command letter");
    for (std::size_t i = 0; i < after.size(); ++i)
        fuzz::check(after[i] == before[i] || (after[i] == '\0' && isSeparator(before[i])),
                    "the tokeniser wrote over a byte that is no separator");
    for (int k = 0; k < 5; ++k) {
        const SetIpToken& t = params.param[static_cast<std::size_t>(k)];
        const std::size_t n = ::strnlen(t.data(), t.size());
        fuzz::check(n < t.size(), "a token without its terminator");
        fuzz::check(k <= params.argCount || n == 0, "a token beyond the count is not empty");
        for (std::size_t i = 0; i < n; ++i)
            fuzz::check(!isSeparator(t[i]), "a token holds a separator");
    }
}

// The request's part of a command line holds only clean characters.
void checkCommand(const CommandLine& command, bool redirected)
{
    const std::size_t n = ::strnlen(command.data(), command.size());
    fuzz::check(n < command.size(), "a command line without its terminator");
    std::string_view line(command.data(), n);
    constexpr std::string_view kProgram = "/sbin/ifconfig ";
    fuzz::check(line.substr(0, kProgram.size()) == kProgram, "the command does not run ifconfig", line);
    if (redirected) {
        const std::string redirect = " 2>" + std::string(kLogFile);
        fuzz::check(line.size() >= redirect.size() && line.substr(line.size() - redirect.size()) == redirect,
                    "the redirection into the error file is not whole at the end", line);
        line.remove_suffix(redirect.size());
    }
    for (const char c : line)
        fuzz::check(fuzz::isCleanCharacter(c), "a shell metacharacter reached the command line", command.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ReqBuf buf{};
    std::memcpy(buf.data(), data, std::min(size, kRequestSize));

    // cleanse on the request text itself: same length, only clean characters,
    // the clean ones unchanged.
    {
        ReqBuf text = buf;
        const std::size_t n = std::strlen(text.data());
        cleanse(text.data());
        fuzz::check(std::strlen(text.data()) == n, "cleanse changed the length");
        for (std::size_t i = 0; i < n; ++i) {
            fuzz::check(fuzz::isCleanCharacter(text[i]), "cleanse left a metacharacter", text.data());
            fuzz::check(!fuzz::isCleanCharacter(buf[i]) || text[i] == buf[i], "cleanse changed a clean character");
        }
    }

    ReqBuf work = buf;
    SetIpParams params = tokenise(work.data());
    checkTokens(buf, work, params);

    const bool refused = refusesInterface(params);
    fuzz::check(refused == (std::string_view(params.param[1].data()) == "hlink0"), "the refusal is not exact");

    SetIpToken& iface = params.param[1];
    const std::string beforeStrip(iface.data());
    stripInterfacePrefix(iface);
    const std::string_view stripped(iface.data());
    if (beforeStrip.size() >= 7 && beforeStrip[0] == '-') {
        const std::string_view rest = std::string_view(beforeStrip).substr(6);
        fuzz::check(stripped == rest.substr(0, rest.find('"')), "the prefix strip is wrong", beforeStrip);
    } else {
        fuzz::check(stripped == beforeStrip, "a short or unprefixed token was changed", beforeStrip);
    }

    checkCommand(buildIfconfigCommand(params, std::string(kLogFile).c_str()), true);
    checkCommand(buildIfconfigCommand(params, nullptr), false);

    // The error output's words, whatever it holds, stay inside the document.
    if (size > kRequestSize) {
        const std::string_view errorOutput(reinterpret_cast<const char*>(data) + kRequestSize, size - kRequestSize);
        fuzz::MemFile in(errorOutput);
        OutBuf out{};
        printStart(out);
        printAppend(out, "<error>");
        appendWords(out, in.get());
        printAppend(out, "</error> ");
        printEnd(out);
        fuzz::checkDocument(out);
    }
    return 0;
}
