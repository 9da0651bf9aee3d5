// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The software inventory merge ('L') over any file contents. The input holds
// the main inventory, the three package inventories and the kernel release,
// apart by kSeparator; a part that is the single byte 0x02 is a file that
// cannot be opened, and so are the parts the input does not reach.
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "commands/cmd_inventory.h"
#include "fuzz_support.h"

using namespace vorn;

namespace {

constexpr std::string_view kSeparator = "\n\x01\x01\n";
constexpr std::string_view kMissing = "\x02";

std::vector<std::string_view> split(std::string_view input)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = input.find(kSeparator);
        if (at == std::string_view::npos) {
            parts.push_back(input);
            return parts;
        }
        parts.push_back(input.substr(0, at));
        input.remove_prefix(at + kSeparator.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string_view> parts = split(std::string_view(reinterpret_cast<const char*>(data), size));
    auto part = [&](std::size_t i) -> std::optional<std::string_view> {
        if (i >= parts.size() || parts[i] == kMissing)
            return std::nullopt;
        return parts[i];
    };
    const std::vector<const char*> paths = {kMainInventoryPath, kHlinkInventoryPath, kMcInventoryPath,
                                            kAgentInventoryPath};
    int opens = 0;
    InventorySources sources;
    sources.open = [&](const char* path) -> std::unique_ptr<std::istream> {
        ++opens;
        for (std::size_t i = 0; i < paths.size(); ++i)
            if (std::string_view(path) == paths[i]) {
                const auto text = part(i);
                return text ? std::make_unique<std::istringstream>(std::string(*text)) : nullptr;
            }
        fuzz::fail("the merge opened a file that is no inventory", path);
    };
    sources.systemVersion = [&](OutBuf& out) {
        SystemIdentity id;
        const auto release = part(4);
        id.unameOk = release.has_value();
        id.release = std::string(release.value_or(""));
        id.dateFileStatted = parts.size() % 2 == 0;
        id.date = static_cast<std::int64_t>(size) * 1000003;
        appendSystemVersion(out, id);
    };

    OutBuf out{};
    buildInventory(out, sources);
    fuzz::checkDocument(out);
    fuzz::check(opens >= 1, "the main inventory was not opened");

    // A package inventory alone, as the merge puts it in.
    if (const auto hlink = part(1)) {
        std::istringstream in{std::string(*hlink)};
        OutBuf alone{};
        printStart(alone);
        appendPackageTokens(alone, in);
        printEnd(alone);
        fuzz::checkDocument(alone);
        // Tokens are read as "%256s" reads them.
        std::istringstream again{std::string(*hlink)};
        std::string token;
        while (readInventoryToken(again, token) != TokenRead::None) {
            fuzz::check(!token.empty() && token.size() <= kInventoryTokenMax, "a token of the wrong size", token);
            for (const char c : token)
                fuzz::check(std::string_view(" \t\n\v\f\r").find(c) == std::string_view::npos,
                            "a token holds white space", token);
        }
    }
    return 0;
}
