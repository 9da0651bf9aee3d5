// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl: sends one request to the vorn agent, as the service processor
// does, and prints the reply.
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli.h"
#include "connection.h"
#include "exit_status.h"
#include "fd_io.h"
#include "render.h"
#include "sp_end_run.h"
#include "unique_fd.h"

namespace {

using namespace vornctl;

// Owns the controlling terminal, opened for the confirmation question.
class Terminal {
public:
    Terminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {}
    [[nodiscard]] bool open() const noexcept { return fd_.valid(); }

    std::string ask(std::string_view question) const
    {
        writeAll(fd_.get(), question);
        std::string answer;
        char c = 0;
        while (answer.size() < 64) {
            const ssize_t n = ::read(fd_.get(), &c, 1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || c == '\n') {
                break;
            }
            answer += c;
        }
        return answer;
    }

private:
    UniqueFd fd_;
};

int confirmPower(const Invocation& inv)
{
    Terminal tty;
    if (!tty.open()) {
        writeAll(2, "vornctl: " + std::string(inv.command->name) +
                        ": there is no terminal to confirm on; give --yes to run it\n");
        return kExitNotConfirmed;
    }
    if (!isConfirmation(tty.ask(confirmationPrompt(inv)))) {
        writeAll(2, "vornctl: " + std::string(inv.command->name) + ": not confirmed; nothing was sent\n");
        return kExitNotConfirmed;
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    // The SP's end: commands that take no request to the agent.
    const SpEndCommandLine spEnd = parseSpEndCommandLine(args);
    switch (spEnd.kind) {
    case SpEndCommandLine::Kind::Decode:
        return runDecode(spEnd.decode);
    case SpEndCommandLine::Kind::Sp:
        return runSp(spEnd.sp);
    case SpEndCommandLine::Kind::Usage:
        writeAll(2, "vornctl: " + spEnd.message + "\n");
        return kExitUsage;
    case SpEndCommandLine::Kind::None:
        break;
    }

    const ParsedCommandLine parsed = parseCommandLine(args);
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        writeAll(1, helpText());
        return kExitOk;
    case ParsedCommandLine::Action::Version:
        writeAll(1, "vornctl " VORNCTL_VERSION "\n");
        return kExitOk;
    case ParsedCommandLine::Action::Usage:
        writeAll(2, "vornctl: " + parsed.message + "\n");
        return kExitUsage;
    case ParsedCommandLine::Action::Run:
        break;
    }

    const Invocation& inv = parsed.invocation;
    if (!inv.command->power.empty() && !inv.options.yes) {
        if (const int status = confirmPower(inv); status != kExitOk) {
            return status;
        }
    }

    const TransferResult transfer = vornctl::exchange(inv.options, inv.request);
    const Rendered rendered = renderOutcome(inv, transfer);
    writeAll(1, rendered.out);
    writeAll(2, rendered.err);
    return rendered.status;
}
