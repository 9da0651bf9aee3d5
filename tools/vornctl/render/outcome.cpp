// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The outcome of one exchange: the failures of the exchange itself, the
// reply rendered by its kind, and the confirmation of power commands.
#include <cstdio>

#include "vornctl/escape.h"
#include "vornctl/render/report.h"

namespace vornctl {

namespace {

void renderAny(Report& r, std::string_view reply)
{
    if (looksLikeDocument(reply)) {
        renderDocument(r, reply);
        return;
    }
    r.out() = hexDump(reply);
    r.json()["bytes"] = showBytes(reply);
    r.json()["size"] = reply.size();
}

std::string noReplyMessage(const Report& r)
{
    const std::string closed = r.peer() + " closed the connection without ";
    const std::string filter =
        "the agent answers only the SP's address over hlink0 (run on the SP's side of the link, with --source)";
    switch (r.command().reply) {
    case ReplyKind::CpuidRecord:
        return closed + "a record: the CPU is not in the first part of the host's CPU description, or " + filter;
    case ReplyKind::DimmMap:
        return closed + "a map: the agent could not read the management controller's map, or " + filter;
    case ReplyKind::Document:
    case ReplyKind::Any:
        break;
    }
    return closed + "a reply: " + filter;
}

std::string seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

} // namespace

Rendered renderOutcome(const Invocation& invocation, const TransferResult& t)
{
    Report r(invocation);
    const ReplyKind kind = invocation.command->reply;
    const double timeout = invocation.options.timeoutSeconds;
    bool replied = t.status == TransferStatus::Replied;

    switch (t.status) {
    case TransferStatus::Replied:
        break;
    case TransferStatus::Refused:
        r.fail(kExitRefused, "refused", "connection refused by " + r.peer() + " (is the agent running there?)");
        break;
    case TransferStatus::ConnectTimeout:
        r.fail(kExitTimeout, "timeout", "no connection to " + r.peer() + " within " + seconds(timeout));
        break;
    case TransferStatus::NetworkError:
        r.fail(kExitNetwork, "network-error", r.peer() + ": " + t.detail);
        break;
    case TransferStatus::NoReply:
        r.fail(kExitNoReply, "no-reply", noReplyMessage(r));
        break;
    case TransferStatus::ReplyTimeout:
        // A whole document counts as the reply even when the agent has not
        // closed the connection yet.
        if ((kind == ReplyKind::Document || kind == ReplyKind::Any) && looksLikeDocument(t.reply) &&
            t.reply.back() == '\x03') {
            replied = true;
        } else if (t.reply.empty()) {
            r.fail(kExitTimeout, "timeout", "no reply from " + r.peer() + " within " + seconds(timeout));
        } else {
            r.fail(kExitTimeout, "timeout",
                   "the reply from " + r.peer() + " was not complete within " + seconds(timeout) + " (" +
                       std::to_string(t.reply.size()) + " bytes arrived)");
            r.json()["bytes"] = showBytes(t.reply);
        }
        break;
    }

    if (replied) {
        switch (kind) {
        case ReplyKind::Document:
            renderDocument(r, t.reply);
            break;
        case ReplyKind::CpuidRecord:
            renderCpuid(r, t.reply);
            break;
        case ReplyKind::DimmMap:
            renderDimmMap(r, t.reply);
            break;
        case ReplyKind::Any:
            renderAny(r, t.reply);
            break;
        }
    }
    return r.finish(t);
}

std::string confirmationPrompt(const Invocation& invocation)
{
    return "vornctl: " + std::string(invocation.command->name) + ": this will " +
           std::string(invocation.command->power) + " at " + invocation.options.host + ". Continue? [y/N] ";
}

bool isConfirmation(std::string_view answer)
{
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' ')) {
        answer.remove_suffix(1);
    }
    while (!answer.empty() && answer.front() == ' ') {
        answer.remove_prefix(1);
    }
    std::string lower;
    for (const char c : answer) {
        lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return lower == "y" || lower == "yes";
}

} // namespace vornctl
