// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The name-server rewrite ('D') over any file contents and any request. The
// input is the old "/etc/resolv.conf"; after its last zero byte, if it has
// one, comes the request. The rewrite must keep every line it does not
// replace: the copy is checked against the file's lines, read as the rewrite
// reads them (at most 255 characters at a time).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "commands/cmd_dns.h"
#include "fuzz_support.h"

using namespace vorn;

namespace {

// The pieces that reads of at most 255 characters, each ending after a line
// feed, cut the text into.
std::vector<std::string_view> pieces(std::string_view text)
{
    std::vector<std::string_view> out;
    while (!text.empty()) {
        std::size_t n = std::min<std::size_t>(text.size(), 255);
        const std::size_t lf = text.substr(0, n).find('\n');
        if (lf != std::string_view::npos)
            n = lf + 1;
        out.push_back(text.substr(0, n));
        text.remove_prefix(n);
    }
    return out;
}

// What the file must become: each piece in order; after a piece that holds
// the marker, the name-server line in place of the piece that followed; a
// piece without its line end gets one before the name-server line and at
// the end of the file; without any marker, the marker and the line at the end.
std::string expectedCopy(std::string_view old, std::string_view newLine, bool& found)
{
    const std::vector<std::string_view> p = pieces(old);
    std::string out;
    found = false;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const bool marker = p[i].find(kResolvMarker) != std::string_view::npos;
        const bool ended = p[i].back() == '\n';
        out += p[i];
        if (!ended && (marker || i + 1 == p.size()))
            out += '\n';
        if (marker) {
            found = true;
            out += newLine;
            ++i;
        }
    }
    if (!found)
        out += std::string(kResolvMarker) + "\n" + std::string(newLine);
    return out;
}

std::string contentOf(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view old = input;
    ReqBuf buf{};
    const std::size_t zero = input.rfind('\0');
    if (zero == std::string_view::npos) {
        std::memcpy(buf.data(), "D 10.0.0.9\n", 11);
    } else {
        old = input.substr(0, zero);
        const std::string_view request = input.substr(zero + 1);
        std::memcpy(buf.data(), request.data(), std::min(request.size(), kRequestSize));
    }

    const NameServerLine line = nameServerLine(buf);
    const std::string_view newLine(line.data());
    fuzz::check(newLine.size() <= 255 && newLine.substr(0, 11) == "nameserver " && newLine.back() == '\n' &&
                    newLine.find_first_of("\r\n") == newLine.size() - 1,
                "the name-server line is not one whole line", newLine);

    fuzz::MemFile in(old);
    const int out = memfd_create("resolv.conf", MFD_CLOEXEC);
    fuzz::check(out >= 0, "no memory file");
    const ResolvRewrite result = rewriteResolvConf(in.get(), out, newLine);
    const std::string copy = contentOf(out);
    close(out);
    fuzz::check(result.failedWrites == 0, "a write to a memory file failed");
    bool found = false;
    const std::string expected = expectedCopy(old, newLine, found);
    fuzz::check(result.found == found, "a marker line found or missed wrongly");
    fuzz::check(copy == expected, "the rewrite did not keep every line it does not replace", copy);

    // A copy whose writes fail reports them and ends.
    if (!old.empty() && (data[0] & 1) != 0) {
        fuzz::MemFile again(old);
        const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
        fuzz::check(full >= 0, "no /dev/full");
        const ResolvRewrite failing = rewriteResolvConf(again.get(), full, newLine);
        close(full);
        fuzz::check(failing.failedWrites >= 1 && failing.failedWrites <= 2, "failed writes not reported");
    }
    return 0;
}
