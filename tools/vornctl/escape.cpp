// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "escape.h"

#include <cstdio>

namespace vornctl {

namespace {

int hexValue(char c) noexcept
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void appendHex(std::string& out, unsigned char b)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
}

} // namespace

std::optional<std::string> decodeEscapes(std::string_view text, std::string* why)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) {
            if (why != nullptr) {
                *why = "a backslash at the end (write \\\\ for a backslash)";
            }
            return std::nullopt;
        }
        const char e = text[++i];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            const int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                if (why != nullptr) {
                    *why = "\\x needs two hexadecimal digits";
                }
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            if (why != nullptr) {
                *why = std::string("unknown escape \\") + e;
            }
            return std::nullopt;
        }
    }
    return out;
}

std::string showBytes(std::string_view bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            appendHex(out, b);
        }
    }
    return out;
}

std::string hexDump(std::string_view bytes)
{
    std::string out;
    for (std::size_t line = 0; line < bytes.size(); line += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%04zx ", line);
        out += offset;
        std::string text;
        for (std::size_t i = line; i < line + 16; ++i) {
            if (i < bytes.size()) {
                const auto b = static_cast<unsigned char>(bytes[i]);
                out += ' ';
                appendHex(out, b);
                text += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  ";
        out += text;
        out += '\n';
    }
    return out;
}

} // namespace vornctl
