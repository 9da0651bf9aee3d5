// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Software inventory: the merged inventory files and the built elements.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "request/document.h"

namespace vorn {

void get_version(OutBuf& outBuf);

// Appends the tokens of the package inventory at path (wrapper tags dropped),
// or an error element when it cannot be opened.
void DisplaySubPackageVersions(OutBuf& outBuf, const char* path);

// Appends the element of the running Linux kernel, dated by the last access
// to "/etc/init.d/vorn".
void DisplaySystemVersion(OutBuf& outBuf);

// Appends the elements of the host's other vendors' device drivers.
void Display3rdPartyDriverVersions(OutBuf& outBuf);

// ---- Functional core (no I/O of its own) ----

inline constexpr const char* kMainInventoryPath = "/etc/kelmora/swinventory.xml";
inline constexpr const char* kHlinkInventoryPath = "/etc/kelmora/hlink/swinventory.xml";
inline constexpr const char* kMcInventoryPath = "/etc/kelmora/oxa_mc/swinventory.xml";
inline constexpr const char* kAgentInventoryPath = "/etc/kelmora/vorn/swinventory.xml";
inline constexpr const char* kOsDateFilePath = "/etc/init.d/vorn";

// Inventory files are read as tokens: runs of up to 256 characters other than
// white space, as the scanf conversion "%256s" reads them (a longer run gives
// several tokens).
inline constexpr std::size_t kInventoryTokenMax = 256;

enum class TokenRead {
    None,       // the input ended before another token began
    Token,      // a token, ended by white space or by its 256th character
    TokenAtEnd, // a token ended by the end of the input
};

// Reads the next token into token.
TokenRead readInventoryToken(std::istream& in, std::string& token);

// Opens an inventory file for reading; nullptr when it cannot be opened.
using InventoryOpener = std::function<std::unique_ptr<std::istream>(const char* path)>;

// Where the merge takes its inputs from.
struct InventorySources {
    InventoryOpener open;
    // Appends the operating-system element (DisplaySystemVersion).
    std::function<void(OutBuf&)> systemVersion;
};

// The package inventory's tokens, wrapper tags dropped, each followed by a blank.
void appendPackageTokens(OutBuf& outBuf, std::istream& in);

// appendPackageTokens of the file at path, or its error element.
void appendPackageInventory(OutBuf& outBuf, const char* path, const InventoryOpener& open);

// The whole 'L' document: the main inventory's tokens with the packages, the
// operating-system element and the driver elements put in at every
// "</Software>".
void buildInventory(OutBuf& outBuf, const InventorySources& sources);

// What the operating-system element is made of.
struct SystemIdentity {
    bool dateFileStatted = false; // "/etc/init.d/vorn" could be stat'ed
    std::int64_t date = 0;        // its last access, else the current time
    bool unameOk = false;
    std::string release; // the kernel release
};

void appendSystemVersion(OutBuf& outBuf, const SystemIdentity& identity);

// The inventory files as the handler opens them.
std::unique_ptr<std::istream> openInventoryFile(const char* path);

} // namespace vorn
