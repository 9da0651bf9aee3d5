// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// What one reply comes to, collected for all three output modes, and the
// renderers of each kind of reply that fill it (render/document.cpp,
// render/cpuid.cpp, render/dimm_map.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vornctl/exit_status.h"
#include "vornctl/json.h"
#include "vornctl/render.h"

namespace vornctl {

// Collects what one reply comes to, for all three output modes.
class Report {
public:
    explicit Report(const Invocation& inv) : inv_(inv)
    {
        json_["command"] = inv.command->name;
        if (inv.command->letter != 0) {
            json_["letter"] = std::string(1, inv.command->letter);
        }
        json_["request"] = inv.request;
        json_["host"] = inv.options.host;
        json_["port"] = inv.options.port;
    }

    [[nodiscard]] const Invocation& invocation() const noexcept { return inv_; }
    [[nodiscard]] const CommandSpec& command() const noexcept { return *inv_.command; }
    JsonValue& json() noexcept { return json_; }
    std::string& out() noexcept { return out_; }

    std::string peer() const { return inv_.options.host + ":" + std::to_string(inv_.options.port); }

    // A failure of the exchange itself: no reply to show.
    void fail(int status, std::string_view name, const std::string& message)
    {
        set(status, name);
        failure_ += "vornctl: " + message + "\n";
        message_ = message;
    }

    // A reply that arrived but cannot be decoded.
    void badReply(const std::string& message)
    {
        set(kExitBadReply, "bad-reply");
        notes_ += "vornctl: " + message + "\n";
        message_ = message;
    }

    void agentError(const std::string& text)
    {
        set(kExitAgentError, "agent-error");
        notes_ += "vornctl: agent: " + text + "\n";
        errors_.push_back(text);
    }

    void warning(const std::string& text)
    {
        notes_ += "vornctl: warning: " + text + "\n";
        warnings_.push_back(text);
    }

    Rendered finish(const TransferResult& t)
    {
        Rendered r;
        r.status = status_;
        switch (inv_.options.output) {
        case OutputMode::Raw:
            r.out = t.reply;
            r.err = failure_;
            break;
        case OutputMode::Json:
            json_["status"] = statusName_;
            json_["exit"] = status_;
            json_["errors"] = errors_;
            json_["warnings"] = warnings_;
            if (!message_.empty()) {
                json_["message"] = message_;
            }
            r.out = jsonLine(json_);
            r.err = failure_;
            break;
        case OutputMode::Person:
            r.out = out_;
            r.err = failure_ + notes_;
            break;
        }
        return r;
    }

private:
    void set(int status, std::string_view name)
    {
        // The first problem decides, except that a failure to decode
        // outranks an agent error found before it.
        if (status_ == kExitOk || status == kExitBadReply) {
            status_ = status;
            statusName_ = name;
        }
    }

    const Invocation& inv_;
    JsonValue json_ = JsonValue::object();
    std::string out_;
    std::string failure_;
    std::string notes_;
    std::string message_;
    std::vector<std::string> errors_;
    std::vector<std::string> warnings_;
    int status_ = kExitOk;
    std::string statusName_ = "ok";
};

struct Line {
    std::size_t depth = 0;
    std::string name;
    std::string value;
    bool blankBefore = false;
};

// Lines as "name  value", the values aligned, groups indented by depth.
std::string alignedLines(const std::vector<Line>& lines);

// Each kind of reply, rendered into the report.
void renderDocument(Report& r, std::string_view reply);
void renderCpuid(Report& r, std::string_view reply);
void renderDimmMap(Report& r, std::string_view reply);

} // namespace vornctl
