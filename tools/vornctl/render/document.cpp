// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Response documents: their elements as aligned lines, the inventory as a
// table, and their elements in JSON.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "vornctl/render/report.h"

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

} // namespace

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

std::string documentFields(const CommandSpec& command, const std::vector<Element>& elements)
{
    std::vector<Line> lines;
    collectLines(command, elements, 0, lines);
    return alignedLines(lines);
}

} // namespace vornctl
