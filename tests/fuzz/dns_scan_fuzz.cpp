// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The name-server scan ('d') over any file contents: a whole document, a
// <dns> element only for a value that begins with a digit, and the search
// value as the last word after "search" or "domain".
#include "commands/cmd_dns.h"
#include "fuzz_support.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzz::MemFile in(text);
    OutBuf out{};
    printStart(out);
    const DnsScan scan = scanResolvConf(in.get(), out);
    fuzz::check(scan.formatErrors >= 0, "a negative count of format faults");
    fuzz::check(scan.search[scan.search.size() - 1] == '\0', "a search value without its terminator");
    if (scan.haveSearch)
        printAppendf(out, "<searchDns>%s</searchDns> ", scan.search.data());
    printEnd(out);
    fuzz::checkDocument(out);

    // The elements the scan appended: "<dns>VALUE</dns> ", VALUE a word.
    std::string_view rest = documentText(out).substr(kPrologue.size() + kRootStart.size());
    while (rest.substr(0, 5) == "<dns>") {
        fuzz::check(rest.size() == 5 || (rest[5] >= '0' && rest[5] <= '9'),
                    "a <dns> value that does not begin with a digit", rest);
        const std::size_t blank = rest.find(' ');
        if (blank == std::string_view::npos)
            break;
        rest.remove_prefix(blank + 1);
    }
    return 0;
}
