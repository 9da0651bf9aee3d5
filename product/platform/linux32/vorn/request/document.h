// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The request and response buffers, and the response document: the XML
// prologue, the root element and the elements that a command appends.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace vorn {

// At most this many bytes of a request are read; the buffer has one more byte
// that always stays zero, so the request can be handled as a terminated text.
inline constexpr std::size_t kRequestSize = 256;
using ReqBuf = std::array<char, kRequestSize + 1>;

// The response document is a terminated text of at most 4095 characters.
inline constexpr std::size_t kResponseSize = 4096;
using OutBuf = std::array<char, kResponseSize>;

inline constexpr std::string_view kPrologue = "<?xml version=\"1.0\" encoding =\"UTF-8\"?> ";
inline constexpr std::string_view kRootStart = "<vorn> ";
inline constexpr char kEndOfDocument = 3;

// Length of the document held in outBuf.
std::size_t documentLength(const OutBuf& outBuf) noexcept;

// Appends text, bounded by the room left (4095 less the current length);
// what does not fit is dropped.
void printAppend(OutBuf& outBuf, std::string_view text) noexcept;

// Appends the texts one after the other, bounded as printAppend bounds
// their concatenation: for elements built of fixed tags and texts at hand.
void printAppendAll(OutBuf& outBuf, std::initializer_list<std::string_view> texts) noexcept;

// Formats an element and appends it. The element is formatted whole (it is
// never cut at a scratch line's end, which would lose its end tag); only the
// document's own bound cuts it.
void printAppendf(OutBuf& outBuf, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

// Opens the document: the prologue and the root start tag.
void printStart(OutBuf& outBuf) noexcept;

// Closes the document: " </vorn> " and the byte 3.
void printEnd(OutBuf& outBuf) noexcept;

// The document as it goes on the wire (without the terminating zero).
std::string_view documentText(const OutBuf& outBuf) noexcept;

} // namespace vorn
