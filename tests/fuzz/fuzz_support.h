// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Helpers shared by the fuzz targets: inputs read as files, and the
// invariants that every reply of the agent must keep.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "request/document.h"

namespace fuzz {

// Ends the run: libFuzzer keeps the input that broke an invariant as a crash.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {})
{
    std::fprintf(stderr, "\n*** invariant broken: %s\n", what);
    if (!detail.empty()) {
        std::fprintf(stderr, "*** ");
        for (const char c : detail) {
            const auto u = static_cast<unsigned char>(c);
            if (u >= 0x20 && u < 0x7f)
                std::fputc(c, stderr);
            else
                std::fprintf(stderr, "\\x%02x", u);
        }
        std::fputc('\n', stderr);
    }
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {})
{
    if (!ok)
        fail(what, detail);
}

// A read-only stream over bytes, which must outlive it.
class MemFile {
public:
    explicit MemFile(std::string_view bytes)
    {
        // An empty buffer is refused by fmemopen; an empty stream is not.
        f_ = bytes.empty() ? std::fopen("/dev/null", "re")
                           : fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
        check(f_ != nullptr, "cannot open the input as a stream");
    }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    ~MemFile() { std::fclose(f_); }
    std::FILE* get() const { return f_; }

private:
    std::FILE* f_;
};

inline constexpr std::string_view kDocumentEnd = " </vorn> \x03";

// A response document as it goes on the wire: at most 4095 characters, the
// prologue and root tag first, and, unless the bound cut it, the end last.
inline void checkDocumentText(std::string_view text)
{
    check(text.size() <= vorn::kResponseSize - 1, "document longer than 4095 characters");
    const std::string start = std::string(vorn::kPrologue) + std::string(vorn::kRootStart);
    check(text.substr(0, start.size()) == start, "document without its prologue", text);
    if (text.size() < vorn::kResponseSize - 1)
        check(text.size() >= start.size() + kDocumentEnd.size() &&
                  text.substr(text.size() - kDocumentEnd.size()) == kDocumentEnd,
              "document shorter than the bound but without its end", text);
}

// A document in its buffer: terminated within the bound.
inline void checkDocument(const vorn::OutBuf& outBuf)
{
    check(outBuf[vorn::kResponseSize - 1] == '\0', "the document's last byte is not its terminator");
    checkDocumentText(vorn::documentText(outBuf));
}

// The 128-byte CPU identity record: its resources in their order, lengths
// that agree with the offsets, the checksum and the end tag.
inline void checkCpuRecord(const std::uint8_t* r, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(r), size);
    check(size == 128, "a CPU identity record that is not 128 bytes", bytes);
    std::size_t p = 0;
    auto need = [&](bool ok, const char* what) { check(ok, what, bytes); };
    need(r[0] == 0x82 && r[2] == 0, "record: no identifier string resource");
    const std::size_t model = r[1];
    p = 3 + model;
    need(p + 3 <= 127 && r[p] == 0x90 && r[p + 1] == 125 - (p + 1) && r[p + 2] == 0,
         "record: read-only resource misplaced or its length wrong");
    p += 3;
    std::size_t texts = model;
    for (const char* key : {"MN", "EC"}) {
        need(p + 3 <= 127 && r[p] == static_cast<std::uint8_t>(key[0]) && r[p + 1] == static_cast<std::uint8_t>(key[1]),
             "record: a keyword is missing");
        texts += r[p + 2];
        p += 3 + r[p + 2];
    }
    need(texts <= 104, "record: the texts take more than their 104 bytes");
    need(p + 7 <= 127 && r[p] == 'V' && r[p + 1] == 'S' && r[p + 2] == 4, "record: no clock field");
    p += 7;
    need(p + 4 <= 127 && r[p] == 'R' && r[p + 1] == 'V' && r[p + 2] == 127 - (p + 2), "record: no checksum field");
    const std::size_t sum = p + 3;
    unsigned total = 0;
    for (std::size_t i = 0; i <= sum; ++i)
        total += r[i];
    need(total % 256 == 0, "record: wrong checksum");
    for (std::size_t i = sum + 1; i < 127; ++i)
        need(r[i] == 0, "record: bytes after the checksum are not zero");
    need(r[127] == 0x78, "record: no end tag");
}

// Bytes that must never reach the shell from a request.
inline bool isCleanCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '/' ||
           c == ' ';
}

} // namespace fuzz
