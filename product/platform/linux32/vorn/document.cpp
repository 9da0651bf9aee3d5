#include "document.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {
// Large enough for any element whose arguments come from the agent's own
// buffers (at most 4096 bytes each) plus its tags; an element longer than
// this could not fit in the document anyway.
constexpr std::size_t kElementScratch = kResponseSize + 256;
} // namespace

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

void printAppendf(OutBuf& outBuf, const char* format, ...) noexcept
{
    std::array<char, kElementScratch> line{};
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(line.data(), line.size(), format, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    printAppend(outBuf, std::string_view(line.data(), ::strnlen(line.data(), line.size())));
}

void printStart(OutBuf& outBuf) noexcept
{
    printAppend(outBuf, kPrologue);
    printAppend(outBuf, kRootStart);
}

void printEnd(OutBuf& outBuf) noexcept
{
    std::array<char, 256> line{};
    std::snprintf(line.data(), line.size(), " </vorn> %c", kEndOfDocument);
    printAppend(outBuf, line.data());
}

std::string_view documentText(const OutBuf& outBuf) noexcept
{
    return {outBuf.data(), documentLength(outBuf)};
}

} // namespace vorn
