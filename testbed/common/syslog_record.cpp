// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/common/syslog_record.h"

#include <array>
#include <cctype>
#include <charconv>

#include <syslog.h>

namespace testbed {

namespace {

bool isTimestamp(std::string_view s)
{
    // "Mmm dd hh:mm:ss " (the day is padded with a blank)
    if (s.size() < 16 || s[3] != ' ' || s[6] != ' ' || s[9] != ':' || s[12] != ':' || s[15] != ' ')
        return false;
    for (std::size_t i : {0u, 1u, 2u})
        if (!std::isalpha(static_cast<unsigned char>(s[i])))
            return false;
    for (std::size_t i : {7u, 8u, 10u, 11u, 13u, 14u})
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

template <class T>
bool toNumber(std::string_view s, T& out)
{
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && end == s.data() + s.size();
}

} // namespace

SyslogMessage parseDatagram(std::string_view d)
{
    SyslogMessage m;
    m.severity = LOG_NOTICE;
    m.facility = LOG_USER;
    if (d.size() > 2 && d[0] == '<') {
        const auto close = d.find('>');
        int pri = 0;
        if (close != std::string_view::npos && close < 5 && toNumber(d.substr(1, close - 1), pri)) {
            m.severity = LOG_PRI(pri);
            m.facility = pri & LOG_FACMASK;
            d.remove_prefix(close + 1);
        }
    }
    if (isTimestamp(d))
        d.remove_prefix(16);
    const auto colon = d.find(": ");
    if (colon != std::string_view::npos && d.substr(0, colon).find(' ') == std::string_view::npos) {
        std::string_view tag = d.substr(0, colon);
        const auto open = tag.find('[');
        if (open != std::string_view::npos && tag.back() == ']') {
            int pid = 0;
            if (toNumber(tag.substr(open + 1, tag.size() - open - 2), pid))
                m.pid = pid;
            tag = tag.substr(0, open);
        }
        m.ident = tag;
        d.remove_prefix(colon + 2);
    }
    m.text = d;
    return m;
}

std::string escapeField(std::string_view raw)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(raw.size());
    for (const char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 0xf];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string unescapeField(std::string_view e)
{
    std::string out;
    out.reserve(e.size());
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i] != '\\' || i + 1 == e.size()) {
            out += e[i];
            continue;
        }
        const char c = e[++i];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'x': {
            unsigned value = 0;
            const auto hex = e.substr(i + 1, 2);
            const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
            if (ec == std::errc{} && end == hex.data() + hex.size() && hex.size() == 2) {
                out += static_cast<char>(value);
                i += 2;
            } else {
                out += "\\x";
            }
            break;
        }
        default:
            out += c;
        }
    }
    return out;
}

std::string formatRecord(const SyslogMessage& m)
{
    return std::to_string(m.timeNs) + '\t' + std::to_string(m.severity) + '\t' + std::to_string(m.facility) + '\t' +
           escapeField(m.ident) + '\t' + std::to_string(m.pid) + '\t' + escapeField(m.text) + '\n';
}

std::optional<SyslogMessage> parseRecord(std::string_view line)
{
    std::array<std::string_view, 6> f;
    for (std::size_t k = 0; k < f.size(); ++k) {
        const auto tab = k + 1 < f.size() ? line.find('\t') : std::string_view::npos;
        if (k + 1 < f.size() && tab == std::string_view::npos)
            return std::nullopt;
        f[k] = line.substr(0, tab);
        line.remove_prefix(tab == std::string_view::npos ? line.size() : tab + 1);
    }
    SyslogMessage m;
    if (!toNumber(f[0], m.timeNs) || !toNumber(f[1], m.severity) || !toNumber(f[2], m.facility) ||
        !toNumber(f[4], m.pid))
        return std::nullopt;
    m.ident = unescapeField(f[3]);
    m.text = unescapeField(f[5]);
    return m;
}

} // namespace testbed
