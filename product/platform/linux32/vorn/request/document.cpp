// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "request/document.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn {

std::size_t documentLength(const OutBuf& outBuf) noexcept
{
    return ::strnlen(outBuf.data(), outBuf.size() - 1);
}

void printAppend(OutBuf& outBuf, std::string_view text) noexcept
{
    const std::size_t used = documentLength(outBuf);
    const std::size_t room = (outBuf.size() - 1) - used;
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(outBuf.data() + used, text.data(), n);
    outBuf[used + n] = '\0';
}

void printAppendAll(OutBuf& outBuf, std::initializer_list<std::string_view> texts) noexcept
{
    std::size_t used = documentLength(outBuf);
    for (const std::string_view text : texts) {
        const std::size_t room = (outBuf.size() - 1) - used;
        const std::size_t n = text.size() < room ? text.size() : room;
        std::memcpy(outBuf.data() + used, text.data(), n);
        used += n;
    }
    outBuf[used] = '\0';
}

void printAppendf(OutBuf& outBuf, const char* format, ...) noexcept
{
    // The element is formatted straight into the room left in the document:
    // whatever does not fit is cut there, as printAppend would cut it, and
    // no scratch line has to be cleared and copied for every element.
    const std::size_t used = documentLength(outBuf);
    char* const end = outBuf.data() + used;
    const std::size_t room = outBuf.size() - used;
    va_list ap;
    va_start(ap, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started on the line above; the checker loses track
    const int n = std::vsnprintf(end, room, format, ap);
    va_end(ap);
    if (n < 0) {
        outBuf[used] = '\0'; // a failed format appends nothing
    }
}

void printStart(OutBuf& outBuf) noexcept
{
    printAppend(outBuf, kPrologue);
    printAppend(outBuf, kRootStart);
}

void printEnd(OutBuf& outBuf) noexcept
{
    // " </vorn> %c" formatted with the byte 3.
    static constexpr char kRootEnd[] = {' ', '<', '/', 'v', 'o', 'r', 'n', '>', ' ', kEndOfDocument};
    printAppend(outBuf, std::string_view(kRootEnd, sizeof kRootEnd));
}

std::string_view documentText(const OutBuf& outBuf) noexcept
{
    return {outBuf.data(), documentLength(outBuf)};
}

} // namespace vorn
