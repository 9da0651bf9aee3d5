// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// 'L': the software inventory. The main inventory file's tokens are copied
// into the document; at every "</Software>" the package inventories, the
// running kernel's element and the other vendors' driver elements go in.
#include "commands/cmd_inventory.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "shared/log.h"
#include "shared/unique_fd.h"
#include "swinventory.h"

namespace vorn {

namespace {

constexpr std::string_view kSoftwareEnd = "</Software>";
constexpr std::array<std::string_view, 4> kWrapperTags{
    "<Inventory>",
    "</Inventory>",
    "<SoftwareInventory>",
    "</SoftwareInventory>",
};

struct DriverRow {
    const char* name;
    const char* info;
};

const std::array<DriverRow, 6> kDrivers{{
    {SWNAME_LINUX_TRIDENT, SWINFO_LINUX_TRIDENT},
    {SWNAME_LINUX_BROADCOM, SWINFO_LINUX_BROADCOM},
    {SWNAME_LINUX_LSI, SWINFO_LINUX_LSI},
    {SWNAME_LINUX_AMD_IOAPIC, SWINFO_LINUX_AMD_IOAPIC},
    {SWNAME_LINUX_AMD_EIDE, SWINFO_LINUX_AMD_EIDE},
    {SWNAME_LINUX_AMD_SM, SWINFO_LINUX_AMD_SM},
}};

// White space as the C locale's isspace knows it.
bool isCSpace(int c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A token is handled as the terminated text its buffer holds: a zero byte
// inside a token ends it.
std::string_view tokenText(const std::string& token) noexcept
{
    return std::string_view(token.c_str());
}

bool isWrapperTag(std::string_view text) noexcept
{
    for (std::string_view tag : kWrapperTags) {
        if (text == tag) {
            return true;
        }
    }
    return false;
}

void appendToken(OutBuf& outBuf, std::string_view text) noexcept
{
    printAppend(outBuf, text);
    printAppend(outBuf, " ");
}

void appendCantOpen(OutBuf& outBuf, const char* path) noexcept
{
    printAppendf(outBuf, "<error>Can't open %s</error>", path);
}

// An inventory file read as a stream, a block at a time; the file is closed
// with the stream.
class InventoryFileBuf : public std::streambuf {
public:
    explicit InventoryFileBuf(UniqueFd file) : file_(std::move(file)) {}

protected:
    int_type underflow() override
    {
        if (gptr() == egptr()) {
            ssize_t n = 0;
            do {
                n = ::read(file_.get(), block_.data(), block_.size());
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                return traits_type::eof();
            }
            setg(block_.data(), block_.data(), block_.data() + n);
        }
        return traits_type::to_int_type(*gptr());
    }

private:
    UniqueFd file_;
    // Not cleared: only the bytes a read delivered are ever handed out.
    std::array<char, std::size_t{16} * 1024> block_;
};

class InventoryFileStream : public std::istream {
public:
    explicit InventoryFileStream(UniqueFd file) : std::istream(nullptr), buf_(std::move(file)) { rdbuf(&buf_); }

private:
    InventoryFileBuf buf_;
};

} // namespace

TokenRead readInventoryToken(std::istream& in, std::string& token)
{
    token.clear();
    std::streambuf* sb = in.rdbuf();
    if (sb == nullptr) {
        return TokenRead::None;
    }
    constexpr auto eof = std::char_traits<char>::eof();
    int c = sb->sgetc();
    while (c != eof && isCSpace(c)) {
        c = sb->snextc();
    }
    if (c == eof) {
        return TokenRead::None;
    }
    for (;;) {
        token.push_back(static_cast<char>(c));
        if (token.size() == kInventoryTokenMax) {
            // At its 256th character a token ends without a look at the next
            // one: a run of exactly 256 characters at the end of the input is
            // not ended by the end of the input.
            sb->sbumpc();
            return TokenRead::Token;
        }
        c = sb->snextc();
        if (c == eof) {
            return TokenRead::TokenAtEnd;
        }
        if (isCSpace(c)) {
            return TokenRead::Token;
        }
    }
}

void appendPackageTokens(OutBuf& outBuf, std::istream& in)
{
    std::string token;
    token.reserve(kInventoryTokenMax);
    // A package inventory's last token counts even with no white space after it.
    while (readInventoryToken(in, token) != TokenRead::None) {
        const std::string_view text = tokenText(token);
        if (!isWrapperTag(text)) {
            appendToken(outBuf, text);
        }
    }
}

void appendPackageInventory(OutBuf& outBuf, const char* path, const InventoryOpener& open)
{
    const std::unique_ptr<std::istream> in = open(path);
    if (!in) {
        appendCantOpen(outBuf, path);
        return;
    }
    appendPackageTokens(outBuf, *in);
}

void buildInventory(OutBuf& outBuf, const InventorySources& sources)
{
    printStart(outBuf);
    const std::unique_ptr<std::istream> main = sources.open(kMainInventoryPath);
    if (!main) {
        appendCantOpen(outBuf, kMainInventoryPath);
        printEnd(outBuf);
        return;
    }

    std::string token;
    token.reserve(kInventoryTokenMax);
    // A token ended by the end of the main inventory (no white space after
    // it) is not used.
    while (readInventoryToken(*main, token) == TokenRead::Token) {
        const std::string_view text = tokenText(token);
        if (text != kSoftwareEnd) {
            appendToken(outBuf, text);
            continue;
        }
        appendPackageInventory(outBuf, kHlinkInventoryPath, sources.open);
        appendPackageInventory(outBuf, kMcInventoryPath, sources.open);
        appendPackageInventory(outBuf, kAgentInventoryPath, sources.open);
        printAppend(outBuf, "</Software> ");
        sources.systemVersion(outBuf);
        Display3rdPartyDriverVersions(outBuf);
    }
    printEnd(outBuf);
}

void appendSystemVersion(OutBuf& outBuf, const SystemIdentity& identity)
{
    if (!identity.dateFileStatted) {
        printAppend(outBuf, "<error>cant stat config_file</error>");
    }
    if (!identity.unameOk) {
        printAppend(outBuf, "<error>Unable to obtain utsname info</error>");
        return;
    }
    printAppend(outBuf, "<Software><SWName>Linux</SWName>");
    printAppendf(outBuf, "<SWRev>%s</SWRev>", identity.release.c_str());
    printAppendf(outBuf, "<SWInfo>Platform OS</SWInfo><SWInstalledDate>%lld</SWInstalledDate>",
                 static_cast<long long>(identity.date));
    printAppend(outBuf, "</Software>");
}

void Display3rdPartyDriverVersions(OutBuf& outBuf)
{
    std::array<char, 16> bits{};
    std::snprintf(bits.data(), bits.size(), "%d", 64);
    for (const DriverRow& row : kDrivers) {
        printAppendf(outBuf,
                     "<Software> <SWName>%s</SWName> <SWRev></SWRev><IIIPartySWRevName>NA</IIIPartySWRevName>"
                     "<SWInfo>%s</SWInfo><SWInstalledDate>-1</SWInstalledDate><bits>%s</bits> </Software>",
                     row.name, row.info, bits.data());
    }
}

std::unique_ptr<std::istream> openInventoryFile(const char* path)
{
    UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file) {
        return nullptr;
    }
    return std::make_unique<InventoryFileStream>(std::move(file));
}

void DisplaySubPackageVersions(OutBuf& outBuf, const char* path)
{
    appendPackageInventory(outBuf, path, openInventoryFile);
}

void DisplaySystemVersion(OutBuf& outBuf)
{
    SystemIdentity identity;
    struct stat st {};
    if (::stat(kOsDateFilePath, &st) == 0) {
        identity.dateFileStatted = true;
        identity.date = st.st_atime;
    } else {
        identity.date = ::time(nullptr);
    }
    utsname names{};
    if (::uname(&names) < 0) {
        logText(LOG_CRIT, "Unable to obtain utsname info\n");
    } else {
        identity.unameOk = true;
        identity.release = names.release;
    }
    appendSystemVersion(outBuf, identity);
}

void get_version(OutBuf& outBuf)
{
    buildInventory(outBuf, InventorySources{openInventoryFile, DisplaySystemVersion});
}

} // namespace vorn
