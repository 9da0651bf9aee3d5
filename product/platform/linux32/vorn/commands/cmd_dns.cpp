// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The name-server commands: 'D' puts one name-server line after the marker
// line of /etc/resolv.conf through a temporary copy moved into place; 'd'
// reports the file's name servers and search domain.
#include "commands/cmd_dns.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shared/free_space.h"
#include "shared/log.h"
#include "shared/scan_word.h"
#include "shared/shell.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

// One write that must write every byte.
bool writeAll(int fd, std::string_view bytes) noexcept
{
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool atEnd(std::FILE* in) noexcept
{
    const int c = std::getc(in);
    if (c == EOF) {
        return true;
    }
    std::ungetc(c, in);
    return false;
}

// Reads the next piece of a line as fgets does with 256 bytes (at most 255
// characters, up to and including a line feed) and returns its length. A
// zero byte inside a line is kept: after fgets it would end the text, and
// the rest of the piece would be lost from the copy.
std::size_t readPiece(std::FILE* in, std::array<char, 256>& line) noexcept
{
    std::size_t n = 0;
    while (n < line.size() - 1) {
        const int c = std::getc(in);
        if (c == EOF) {
            break;
        }
        line[n++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    line[n] = '\0';
    return n;
}

bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// The temporary copy takes the old file's owner and permission bits, which
// the move carries over: the file stays readable to every user who could
// read it before.
bool keepAttributes(std::FILE* in, int outFd) noexcept
{
    struct stat st {};
    if (::fstat(::fileno(in), &st) != 0) {
        return false;
    }
    return ::fchown(outFd, st.st_uid, st.st_gid) == 0 && ::fchmod(outFd, st.st_mode & 07777) == 0;
}

// "/bin/mv" renames the copy into place when it lies on the file system of
// "/etc/resolv.conf"; otherwise it copies it over the old file, which a file
// system without room for the whole copy would leave cut short.
bool roomToMove(std::FILE* in, int outFd) noexcept
{
    struct stat old {};
    struct stat copy {};
    if (::fstat(::fileno(in), &old) != 0 || ::fstat(outFd, &copy) != 0 || old.st_dev == copy.st_dev) {
        return true;
    }
    // The old file's blocks are released only when no other name keeps them.
    const std::uint64_t freed = old.st_nlink == 1 ? static_cast<std::uint64_t>(old.st_blocks) * 512 : 0;
    return fileSystemHasRoom(kResolvConf, static_cast<std::uint64_t>(copy.st_size), 1, freed);
}

} // namespace

NameServerLine nameServerLine(const ReqBuf& buf) noexcept
{
    const std::size_t requestLen = ::strnlen(buf.data(), buf.size());
    std::string_view text;
    if (requestLen > 2) {
        text = std::string_view(buf.data() + 2, requestLen - 2);
        text = text.substr(0, text.find_first_of("\r\n"));
    }
    constexpr std::string_view prefix = "nameserver ";
    NameServerLine line{};
    const std::size_t room = line.size() - 1 - prefix.size() - 1; // the LF and the terminator
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(line.data(), prefix.data(), prefix.size());
    if (n > 0) {
        // An empty text may have no storage at all, which memcpy must not be given.
        std::memcpy(line.data() + prefix.size(), text.data(), n);
    }
    line[prefix.size() + n] = '\n';
    return line;
}

ResolvRewrite rewriteResolvConf(std::FILE* in, int outFd, std::string_view newLine) noexcept
{
    ResolvRewrite result{};
    std::array<char, 256> line{};
    for (std::size_t n = 0; (n = readPiece(in, line)) > 0;) {
        const std::string_view piece(line.data(), n);
        const bool marker = piece.find(kResolvMarker) != std::string_view::npos;
        const bool ended = !piece.empty() && piece.back() == '\n';
        // A piece without a line end is part of a longer line, unless the
        // file ends there; it needs one of its own before the name-server
        // line too.
        const bool addEnd = !ended && (marker || atEnd(in));
        result.found = result.found || marker;
        bool ok = writeAll(outFd, piece) && (!addEnd || writeAll(outFd, "\n"));
        if (ok && marker) {
            ok = writeAll(outFd, newLine);
            // The line after the marker is the old name-server line.
            readPiece(in, line);
        }
        if (!ok) {
            ++result.failedWrites;
            break;
        }
    }
    if (!result.found) {
        if (!writeAll(outFd, kResolvMarker) || !writeAll(outFd, "\n") || !writeAll(outFd, newLine)) {
            ++result.failedWrites;
        }
    }
    return result;
}

void set_dns(OutBuf& outBuf, const ReqBuf& buf)
{
    const NameServerLine newLine = nameServerLine(buf);
    printStart(outBuf);

    UniqueFile inFile = openFile(kResolvConf, "r");
    if (!inFile) {
        printAppendf(outBuf, "<error>can't open %s</error>", kResolvConf);
        printEnd(outBuf);
        return;
    }
    std::array<char, 32> outFileName{};
    std::snprintf(outFileName.data(), outFileName.size(), "%s", kResolvTempTemplate);
    UniqueFd outFile(::mkostemp(outFileName.data(), O_CLOEXEC));
    if (!outFile) {
        inFile.reset();
        printAppendf(outBuf, "<error>can't open %s</error>", outFileName.data());
        printEnd(outBuf);
        return;
    }

    const ResolvRewrite rewrite = rewriteResolvConf(inFile.get(), outFile.get(), newLine.data());
    for (int i = 0; i < rewrite.failedWrites; ++i) {
        printAppend(outBuf, kAddEntryError);
    }
    // The copy must be whole, on disk and with the old file's attributes
    // before it may replace the old file.
    bool complete = rewrite.failedWrites == 0;
    if (complete && (!keepAttributes(inFile.get(), outFile.get()) || ::fsync(outFile.get()) != 0)) {
        printAppend(outBuf, kAddEntryError);
        complete = false;
    }
    if (complete && !roomToMove(inFile.get(), outFile.get())) {
        printAppend(outBuf, kAddEntryError);
        complete = false;
    }
    inFile.reset();
    if (::close(outFile.release()) != 0 && complete) {
        printAppend(outBuf, kAddEntryError);
        complete = false;
    }
    if (!complete) {
        // The old file stays as it was.
        ::unlink(outFileName.data());
        printEnd(outBuf);
        return;
    }

    std::array<char, 256> line{};
    std::snprintf(line.data(), line.size(), "/bin/mv %s %s", outFileName.data(), kResolvConf);
    const int rc = runShell(line.data());
    printAppendf(outBuf, "<cmdRetVal>%d</cmdRetVal>", rc);
    printEnd(outBuf);
}

DnsScan scanResolvConf(std::FILE* in, OutBuf& outBuf) noexcept
{
    DnsScan scan{};
    std::array<char, 256> word{};
    std::array<char, 256> command{};
    for (;;) {
        word.fill('\0');
        if (scanWord(in, word) != 1) {
            break;
        }
        const std::string_view w(word.data());
        const bool isNameServer = w == "nameserver";
        if (!isNameServer && w != "search" && w != "domain") {
            continue;
        }
        if (scanWord(in, command) != 1) {
            ++scan.formatErrors;
            continue;
        }
        if (isNameServer) {
            if (isDigit(command[0])) {
                printAppendAll(outBuf, {"<dns>", command.data(), "</dns> "});
            }
        } else {
            scan.search = command;
            scan.haveSearch = true;
        }
    }
    return scan;
}

void get_dns(OutBuf& outBuf)
{
    printStart(outBuf);
    // The stream reads through a buffer of its own on the stack, so that
    // opening it costs neither an fstat nor an allocation. It outlives the
    // stream, which is declared after it. Not cleared: the stream fills it
    // before it reads from it.
    std::array<char, 4096> streamBuf;
    UniqueFile in = openFile(kResolvConf, "r");
    if (!in) {
        printAppendf(outBuf, "<error>open %s failed</error>\n", kResolvConf);
        printEnd(outBuf);
        return;
    }
    std::setvbuf(in.get(), streamBuf.data(), _IOFBF, streamBuf.size());
    const DnsScan scan = scanResolvConf(in.get(), outBuf);
    in.reset();
    for (int i = 0; i < scan.formatErrors; ++i) {
        logf(LOG_INFO, "%s file format wrong\n", kResolvConf);
    }
    if (scan.haveSearch) {
        printAppendf(outBuf, "<searchDns>%s</searchDns> ", scan.search.data());
    }
    printEnd(outBuf);
}

} // namespace vorn
