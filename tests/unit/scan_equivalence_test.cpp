// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The fast scans must read exactly as the slow ones they replace: scanWord as
// fscanf's "%Ns" (the name-server and network-status scans depend on it for
// replies that stay byte for byte the same). Compared over generated texts.
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/cmd_sensors.h"
#include "commands/cmd_small.h"
#include "commands/netstat_tables.h"
#include "shared/atol_parser.h"
#include "shared/scan_word.h"

namespace {

using vorn::scanWord;

struct Step {
    int result;
    std::string buffer; // the whole word buffer, filled with '#' before the call
    long position;
    bool atEof;
};

// The conversion under comparison, with the width N-1 written out.
template <std::size_t N>
int scanfWord(std::FILE* in, char* word)
{
    static_assert(N == 2 || N == 5 || N == 256 || N == 4096);
    if constexpr (N == 2)
        return std::fscanf(in, "%1s", word);
    else if constexpr (N == 5)
        return std::fscanf(in, "%4s", word);
    else if constexpr (N == 256)
        return std::fscanf(in, "%255s", word);
    else
        return std::fscanf(in, "%4095s", word);
}

template <std::size_t N>
std::vector<Step> readAll(const std::string& text, bool withFscanf)
{
    std::vector<Step> steps;
    std::FILE* in = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (in == nullptr) {
        ADD_FAILURE() << "fmemopen";
        return steps;
    }
    for (int i = 0; i < 64; ++i) {
        std::array<char, N> word;
        word.fill('#');
        const int r = withFscanf ? scanfWord<N>(in, word.data()) : scanWord(in, word);
        // The whole buffer: what was stored, and what was left alone.
        const std::string stored(word.data(), word.size());
        steps.push_back({r, stored, std::ftell(in), std::feof(in) != 0});
        if (r != 1)
            break;
    }
    std::fclose(in);
    return steps;
}

std::string generated(std::mt19937& rng)
{
    static const std::string pieces[] = {
        " ",        "\t",       "\n",     "\v", "\f", "\r", "a", "nameserver", "10.0.0.1", "x", std::string(1, '\0'),
        "\x80\xff", "eth0:123", "  \n\n "};
    std::string text;
    const int count = static_cast<int>(rng() % 24);
    for (int i = 0; i < count; ++i) {
        if (rng() % 16 == 0)
            text += std::string(rng() % 12, 'w'); // runs around the width
        else
            text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    }
    return text;
}

template <std::size_t N>
void compareOn(const std::string& text)
{
    const auto expected = readAll<N>(text, true);
    const auto actual = readAll<N>(text, false);
    ASSERT_EQ(actual.size(), expected.size()) << "text: " << testing::PrintToString(text);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].result, expected[i].result) << i << " " << testing::PrintToString(text);
        EXPECT_EQ(actual[i].buffer, expected[i].buffer) << i << " " << testing::PrintToString(text);
        EXPECT_EQ(actual[i].position, expected[i].position) << i << " " << testing::PrintToString(text);
        EXPECT_EQ(actual[i].atEof, expected[i].atEof) << i << " " << testing::PrintToString(text);
    }
}

TEST(ScanWord, ReadsAsFscanfOverGeneratedTexts)
{
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so that a failure replays
    std::mt19937 rng(20261208);
    for (int i = 0; i < 3000; ++i) {
        const std::string text = generated(rng);
        compareOn<2>(text);
        compareOn<5>(text);
        compareOn<256>(text);
        if (HasFailure())
            return;
    }
}

TEST(ScanWord, WordsAtTheWidthAndAtTheEnd)
{
    for (const std::string text : {"abcd", "abcd ", "abcdefgh", "abcdefgh\n", " abcd\tefgh ijk", "", "   ", "\n\n"}) {
        compareOn<5>(text);
        compareOn<4096>(text);
    }
}

} // namespace

// ModelNumberScan passes over most of a token while it searches; the model
// number must stay what the plain rule gives: the token after the first
// token that begins with "Processor", read as atoi reads it.
namespace {

int modelNumberByTheRule(const std::string& text)
{
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : text) {
        if (c == '\n' || c == ':' || c == ' ') {
            if (!token.empty())
                tokens.push_back(token);
            token.clear();
        } else {
            token.push_back(c);
        }
    }
    if (!token.empty())
        tokens.push_back(token);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].rfind("Processor", 0) == 0)
            return i + 1 < tokens.size() ? static_cast<int>(vorn::parseAtol(tokens[i + 1])) : 0;
    }
    return 0;
}

std::string cpuText(std::mt19937& rng)
{
    static const std::string pieces[] = {
        "Processor", "Processo", "Processors",  "processor",  "Proc",  "P",    " ",     ":",          "\n", "\t", "42",
        "-7",        "+3x",      "99999999999", "model name", "flags", "\t: ", "ARMv7", "rProcessor", "0"};
    std::string text;
    const int count = static_cast<int>(rng() % 30);
    for (int i = 0; i < count; ++i)
        text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    return text;
}

TEST(ModelNumberScanEquivalence, SameNumberAsThePlainRuleInAnyPieces)
{
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so that a failure replays
    std::mt19937 rng(1208);
    for (int i = 0; i < 5000; ++i) {
        const std::string text = cpuText(rng);
        vorn::ModelNumberScan scan;
        std::size_t at = 0;
        while (at < text.size() && !scan.settled()) {
            const std::size_t len = 1 + rng() % 7;
            scan.feed(std::string_view(text).substr(at, len));
            at += len;
        }
        scan.finish();
        ASSERT_EQ(scan.value(), modelNumberByTheRule(text)) << testing::PrintToString(text);
    }
}

} // namespace

// scanDefaultRoute reads the route table's columns without fscanf; its
// outcome must stay the one of the fscanf scan it replaced, kept here as the
// reference.
namespace {

vorn::DefaultRoute defaultRouteByFscanf(std::FILE* in)
{
    using vorn::DefaultRoute;
    std::array<char, 4096> header{};
    if (std::fgets(header.data(), static_cast<int>(header.size()), in) == nullptr)
        return {DefaultRoute::Outcome::None, 0};
    std::array<char, 4096> iface{};
    std::array<char, 4096> dest{};
    std::array<char, 4096> gw{};
    std::array<char, 4096> mask{};
    unsigned int flags = 0;
    int refCnt = 0;
    int use = 0;
    int metric = 0;
    int mtu = 0;
    int window = 0;
    int irtt = 0;
    while (!std::feof(in)) {
        // NOLINTNEXTLINE(cert-err34-c): the reference is fscanf itself, as the agent once called it
        const int got = std::fscanf(in, "%16s%128s%128s%x%d%d%d%128s%d%d%d", iface.data(), dest.data(), gw.data(),
                                    &flags, &refCnt, &use, &metric, mask.data(), &mtu, &window, &irtt);
        if (got == EOF)
            break;
        if (got < 11)
            return {DefaultRoute::Outcome::FormatWrong, 0};
        if (std::strcmp(dest.data(), "00000000") == 0) {
            std::array<char, 4096> hex{};
            const int len = std::snprintf(hex.data(), hex.size(), "0x%s", gw.data());
            unsigned int val = 0;
            if (len < 0 || static_cast<std::size_t>(len) >= hex.size() ||
                std::isxdigit(static_cast<unsigned char>(gw[0])) == 0 ||
                std::sscanf(hex.data(), "%X", &val) != 1) // NOLINT(cert-err34-c): the reference reads as the agent does
                return {DefaultRoute::Outcome::FormatWrong, 0};
            return {DefaultRoute::Outcome::Found, val};
        }
    }
    return {DefaultRoute::Outcome::None, 0};
}

std::string routeToken(std::mt19937& rng)
{
    static const std::string tokens[] = {"eth0",     "hlink0",   "a-very-long-interface-name0",
                                         "00000000", "0101A8C0", "0000FEA9",
                                         "0003",     "0x1F",     "0X",
                                         "0x",       "0",        "-",
                                         "+",        "-12",      "+7",
                                         "12",       "0012",     "FFFFFFFF",
                                         "ffff00zz", "g123",     "99999999999999999999",
                                         "1e5",      "0x0x",     "-0x3",
                                         "+0",       "00FFFF00", "x",
                                         "1-2",      "12abc",    "0xfg"};
    return tokens[rng() % (sizeof tokens / sizeof tokens[0])];
}

std::string routeSeparator(std::mt19937& rng)
{
    static const std::string seps[] = {"\t", "\t", " ", "  \t", "\n", "\t\v", "\r\n", "\f"};
    return seps[rng() % (sizeof seps / sizeof seps[0])];
}

std::string routeTable(std::mt19937& rng)
{
    std::string text =
        rng() % 10 == 0 ? "" : "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const int lines = static_cast<int>(rng() % 5);
    for (int l = 0; l < lines; ++l) {
        if (rng() % 2 == 0) {
            // A well-formed line, sometimes with one column spoiled.
            std::vector<std::string> cols = {"eth" + std::to_string(rng() % 3),
                                             rng() % 3 == 0 ? "00000000" : "0000FEA9",
                                             "0101A8C0",
                                             "0003",
                                             "0",
                                             "0",
                                             "100",
                                             "00FFFFFF",
                                             "0",
                                             "0",
                                             "0"};
            if (rng() % 2 == 0)
                cols[rng() % cols.size()] = routeToken(rng);
            if (rng() % 8 == 0)
                cols.pop_back();
            for (std::size_t c = 0; c < cols.size(); ++c)
                text += (c ? "\t" : "") + cols[c];
            text += rng() % 4 == 0 ? std::string(20, ' ') + "\n" : "\n";
        } else {
            const int n = static_cast<int>(rng() % 14);
            for (int t = 0; t < n; ++t)
                text += routeToken(rng) + routeSeparator(rng);
        }
    }
    if (rng() % 3 == 0 && !text.empty())
        text.pop_back(); // no newline at the end
    return text;
}

TEST(DefaultRouteEquivalence, SameOutcomeAsTheFscanfScan)
{
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so that a failure replays
    std::mt19937 rng(20261208);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = routeTable(rng);
        std::FILE* a = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        std::FILE* b = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        ASSERT_TRUE(a && b);
        const vorn::DefaultRoute expected =
            text.empty() ? vorn::DefaultRoute{vorn::DefaultRoute::Outcome::None, 0} : defaultRouteByFscanf(a);
        const vorn::DefaultRoute actual =
            text.empty() ? vorn::DefaultRoute{vorn::DefaultRoute::Outcome::None, 0} : vorn::scanDefaultRoute(b);
        std::fclose(a);
        std::fclose(b);
        ASSERT_EQ(static_cast<int>(actual.outcome), static_cast<int>(expected.outcome)) << testing::PrintToString(text);
        ASSERT_EQ(actual.gateway, expected.gateway) << testing::PrintToString(text);
    }
}

} // namespace
