// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "render.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "cpuid_record.h"
#include "dimm_map_reply.h"
#include "escape.h"
#include "exit_status.h"
#include "json.h"

namespace vornctl {

namespace {

std::optional<std::int64_t> toInteger(std::string_view text)
{
    std::int64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return v;
}

// Seconds since the Epoch as a UTC date, with the time of day or without.
std::string utcTime(std::int64_t seconds, bool withTime)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (::gmtime_r(&t, &tm) == nullptr) {
        return {};
    }
    char text[64];
    const std::size_t n = withTime ? std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm)
                                   : std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return n > 0 ? std::string(text, n) : std::string();
}

// A status element's value explained: the agent reports a shell command's
// raw wait status.
std::string waitStatusNote(std::int64_t v)
{
    if (v <= 0 || v > 0xFFFF) {
        return {};
    }
    if ((v & 0x7F) == 0) {
        return " (exit status " + std::to_string((v >> 8) & 0xFF) + ")";
    }
    return " (killed by signal " + std::to_string(v & 0x7F) + ")";
}

std::string annotate(const CommandSpec& command, const Element& e)
{
    if (e.name == "cmdRetVal") {
        if (auto v = toInteger(e.text)) {
            return e.text + waitStatusNote(*v);
        }
    }
    if (command.letter == 'T' && e.name == "time") {
        if (auto v = toInteger(e.text)) {
            const std::string when = utcTime(*v, true);
            if (!when.empty()) {
                return e.text + " (" + when + ")";
            }
        }
    }
    return e.text;
}

struct Line {
    std::size_t depth = 0;
    std::string name;
    std::string value;
    bool blankBefore = false;
};

void collectLines(const CommandSpec& command, // NOLINT(misc-no-recursion): tinyxml2 bounds the depth
                  const std::vector<Element>& elements, std::size_t depth, std::vector<Line>& lines)
{
    for (const Element& e : elements) {
        if (e.name == "error") {
            continue; // errors go to standard error
        }
        Line line;
        line.depth = depth;
        line.name = e.name;
        line.value = e.leaf() ? annotate(command, e) : e.text;
        // The network status lists one interface after the other: a blank
        // line before each one after the first keeps them apart.
        line.blankBefore = command.letter == 'e' && depth == 0 && e.name == "interface" && !lines.empty();
        lines.push_back(std::move(line));
        if (!e.leaf()) {
            collectLines(command, e.children, depth + 1, lines);
        }
    }
}

std::string alignedLines(const std::vector<Line>& lines)
{
    std::size_t width = 0;
    for (const Line& l : lines) {
        width = std::max(width, 2 * l.depth + l.name.size());
    }
    std::string out;
    for (const Line& l : lines) {
        if (l.blankBefore) {
            out += '\n';
        }
        std::string left = std::string(2 * l.depth, ' ') + l.name;
        if (!l.value.empty()) {
            left.resize(width, ' ');
            left += "  ";
            left += l.value;
        }
        out += left;
        out += '\n';
    }
    return out;
}

// Inventory: every <Software> element is a row, nested ones included (the
// package inventories stand inside the platform's own element).
void collectSoftware(const Element& e, // NOLINT(misc-no-recursion): tinyxml2 bounds the depth
                     std::vector<const Element*>& rows, std::vector<const Element*>& others, bool insideSoftware)
{
    if (e.name == "Software") {
        rows.push_back(&e);
        for (const Element& c : e.children) {
            if (!c.leaf()) {
                collectSoftware(c, rows, others, true);
            }
        }
        return;
    }
    if (e.leaf()) {
        if (!insideSoftware && e.name != "error") {
            others.push_back(&e);
        }
        return;
    }
    for (const Element& c : e.children) {
        collectSoftware(c, rows, others, insideSoftware);
    }
}

std::string childText(const Element& e, std::string_view name)
{
    for (const Element& c : e.children) {
        if (c.leaf() && c.name == name) {
            return c.text;
        }
    }
    return {};
}

std::string installedDate(const std::string& text)
{
    if (auto v = toInteger(text)) {
        if (*v > 0) {
            std::string day = utcTime(*v, false);
            if (!day.empty()) {
                return day;
            }
        }
        return "-";
    }
    return text.empty() ? "-" : text;
}

std::string softwareTable(const std::vector<const Element*>& rows)
{
    std::vector<std::array<std::string, 4>> cells;
    cells.push_back({"NAME", "REVISION", "INSTALLED", "DESCRIPTION"});
    for (const Element* r : rows) {
        std::string rev = childText(*r, "SWRev");
        if (rev.empty()) {
            rev = "-";
        }
        cells.push_back(
            {childText(*r, "SWName"), rev, installedDate(childText(*r, "SWInstalledDate")), childText(*r, "SWInfo")});
    }
    std::array<std::size_t, 3> width{};
    for (const auto& row : cells) {
        for (std::size_t i = 0; i < width.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    std::string out;
    for (const auto& row : cells) {
        std::string line;
        for (std::size_t i = 0; i < width.size(); ++i) {
            std::string cell = row[i];
            cell.resize(width[i], ' ');
            line += cell + "  ";
        }
        line += row[3];
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out += line + "\n";
    }
    return out;
}

JsonValue elementsJson(const std::vector<Element>& elements) // NOLINT(misc-no-recursion): tinyxml2 bounds the depth
{
    JsonValue out = JsonValue::array();
    for (const Element& e : elements) {
        JsonValue& j = out.emplace_back(JsonValue::object());
        j["name"] = e.name;
        j["text"] = e.text;
        if (!e.leaf()) {
            j["children"] = elementsJson(e.children);
        }
    }
    return out;
}

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

void renderDocument(Report& r, std::string_view reply)
{
    const DocumentReply d = decodeDocument(reply);
    if (!d.decoded) {
        r.badReply("the reply is not a well-formed document, so it is printed as received: " + d.problem);
        r.out() = d.text + "\n";
        r.json()["text"] = d.text;
        return;
    }
    if (!d.complete) {
        r.warning("the reply does not end with the end-of-document byte 3");
    }

    const CommandSpec& command = r.command();
    std::vector<const Element*> rows;
    std::vector<const Element*> others;
    if (command.letter == 'L') {
        for (const Element& e : d.elements) {
            collectSoftware(e, rows, others, false);
        }
    }
    if (!rows.empty()) {
        r.out() = softwareTable(rows);
        std::vector<Element> rest;
        rest.reserve(others.size());
        for (const Element* e : others) {
            rest.push_back(*e);
        }
        if (!rest.empty()) {
            r.out() += "\n" + documentFields(command, rest);
        }
    } else {
        r.out() = documentFields(command, d.elements);
    }

    const std::vector<std::string> errors = errorTexts(d.elements);
    for (const std::string& e : errors) {
        r.agentError(e);
    }
    const auto status = commandStatus(d.elements);
    if (status && *status != 0 && errors.empty()) {
        r.agentError("the command failed: cmdRetVal " + std::to_string(*status) + waitStatusNote(*status));
    }
    if (r.out().empty() && errors.empty()) {
        r.out() = "ok\n";
    }

    r.json()["elements"] = elementsJson(d.elements);
    if (status) {
        r.json()["cmdRetVal"] = *status;
    }
    if (!rows.empty()) {
        JsonValue& software = r.json()["software"] = JsonValue::array();
        for (const Element* row : rows) {
            JsonValue& j = software.emplace_back(JsonValue::object());
            for (const Element& c : row->children) {
                if (c.leaf()) {
                    j[c.name] = c.text;
                }
            }
        }
    }
}

void renderCpuid(Report& r, std::string_view reply)
{
    const std::string cpu = r.invocation().args.empty() ? "?" : r.invocation().args.front();
    if (reply.size() == 1 && reply[0] == '\0') {
        r.agentError("no CPU " + cpu + ": the agent answers for CPUs 0 to 3 only");
        r.json()["cpu"] = cpu;
        r.json()["cpuid"] = nullptr;
        return;
    }
    if (reply.size() % kCpuidRecordSize != 0) {
        r.badReply("a CPU identity record is 128 bytes; the reply has " + std::to_string(reply.size()));
        r.out() = hexDump(reply);
        r.json()["hex"] = hexDump(reply);
        return;
    }
    const std::size_t count = reply.size() / kCpuidRecordSize;
    if (count > 1) {
        r.warning(std::to_string(count) + " records arrived (the host's CPU description is longer than one read); "
                                          "the last one is shown");
    }
    const std::string_view last = reply.substr(reply.size() - kCpuidRecordSize);
    const CpuidDecode d = decodeCpuidRecord(last);
    if (!d.ok) {
        r.badReply("the CPU identity record cannot be decoded: " + d.problem);
        r.out() = hexDump(last);
        r.json()["hex"] = hexDump(last);
        return;
    }
    char checksum[48];
    std::snprintf(checksum, sizeof checksum, "0x%02x (%s)", d.record.checksum, d.record.checksumOk ? "ok" : "WRONG");
    r.out() = alignedLines({{0, "cpu", cpu},
                            {0, "model", d.record.model},
                            {0, "vendor", d.record.vendor},
                            {0, "ec", d.record.ec},
                            {0, "mhz", std::to_string(d.record.mhz)},
                            {0, "checksum", checksum}});
    if (!d.record.checksumOk) {
        r.badReply("the CPU identity record's checksum is wrong: its bytes do not add up to 0");
    }
    r.json()["cpu"] = cpu;
    r.json()["records"] = count;
    r.json()["cpuid"] =
        JsonValue{{"model", d.record.model}, {"vendor", d.record.vendor},     {"ec", d.record.ec},
                  {"mhz", d.record.mhz},     {"checksum", d.record.checksum}, {"checksumOk", d.record.checksumOk}};
}

void renderDimmMap(Report& r, std::string_view reply)
{
    const auto map = decodeDimmMap(reply);
    if (!map) {
        r.badReply("the memory-module map is 576 bytes; the reply has " + std::to_string(reply.size()));
        r.out() = hexDump(reply);
        r.json()["hex"] = hexDump(reply);
        return;
    }
    r.out() = dimmMapTables(*map);
    std::uint32_t base[DIMM_MAP_NODES];
    std::uint32_t limit[DIMM_MAP_NODES];
    std::uint32_t csBase[DIMM_MAP_NODES][DIMM_MAP_CS];
    std::uint32_t csMask[DIMM_MAP_NODES][DIMM_MAP_CS];
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        base[n] = map->dram_base_reg[n];
        limit[n] = map->dram_limit_reg[n];
        for (int c = 0; c < DIMM_MAP_CS; ++c) {
            csBase[n][c] = map->dram_cs_base_reg[n][c];
            csMask[n][c] = map->dram_cs_mask_reg[n][c];
        }
    }
    JsonValue& json = r.json()["dimmMap"] = JsonValue::object();
    json["dram_base_reg"] = base;
    json["dram_limit_reg"] = limit;
    json["dram_cs_base_reg"] = csBase;
    json["dram_cs_mask_reg"] = csMask;
}

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

std::string documentFields(const CommandSpec& command, const std::vector<Element>& elements)
{
    std::vector<Line> lines;
    collectLines(command, elements, 0, lines);
    return alignedLines(lines);
}

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
