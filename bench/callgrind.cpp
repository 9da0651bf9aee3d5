// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "callgrind.h"

#include <cstdlib>
#include <map>

namespace bench {

namespace {

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// "(id) name" or "(id)": returns the name, remembering it under its id.
std::string_view compressedName(std::string_view value, std::map<std::string, std::string>& names)
{
    if (value.empty() || value[0] != '(')
        return value;
    const std::size_t close = value.find(')');
    if (close == std::string_view::npos)
        return value;
    const std::string id(value.substr(1, close - 1));
    std::string_view rest = value.substr(close + 1);
    while (!rest.empty() && rest[0] == ' ')
        rest.remove_prefix(1);
    if (!rest.empty())
        names[id] = std::string(rest);
    return names[id];
}

std::uint64_t firstCost(std::string_view line)
{
    // A cost line is "position cost..."; a position may be "+n", "-n", "*" or a number.
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return 0;
    const std::string rest(line.substr(space + 1));
    return std::strtoull(rest.c_str(), nullptr, 10);
}

} // namespace

CallgrindCost parseCallgrind(std::string_view profile, std::string_view excludedObject)
{
    CallgrindCost cost;
    std::map<std::string, std::string> objects;
    std::string currentObject;
    bool afterCalls = false;
    std::uint64_t selfSum = 0;
    while (!profile.empty()) {
        const std::size_t end = profile.find('\n');
        const std::string_view line = profile.substr(0, end);
        profile.remove_prefix(end == std::string_view::npos ? profile.size() : end + 1);
        if (line.empty())
            continue;
        const char c = line[0];
        const bool costLine = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*';
        if (costLine) {
            if (afterCalls) {
                afterCalls = false; // the inclusive cost of a call, not self cost
                continue;
            }
            const std::uint64_t ir = firstCost(line);
            selfSum += ir;
            if (!excludedObject.empty() && currentObject.find(excludedObject) != std::string::npos)
                cost.excluded += ir;
            continue;
        }
        afterCalls = false;
        if (startsWith(line, "ob=")) {
            currentObject = std::string(compressedName(line.substr(3), objects));
        } else if (startsWith(line, "cob=")) {
            compressedName(line.substr(4), objects); // only to learn the name of its id
        } else if (startsWith(line, "calls=")) {
            afterCalls = true;
        } else if (startsWith(line, "totals:") || startsWith(line, "summary:")) {
            const std::string value(line.substr(line.find(':') + 1));
            cost.total = std::strtoull(value.c_str(), nullptr, 10);
            cost.ok = true;
        }
    }
    if (!cost.ok && selfSum > 0) {
        cost.total = selfSum;
        cost.ok = true;
    }
    return cost;
}

} // namespace bench
