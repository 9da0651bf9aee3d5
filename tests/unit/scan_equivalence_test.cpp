// The fast scans must read exactly as the slow ones they replace: scanWord as
// fscanf's "%Ns" (the name-server and network-status scans depend on it for
// replies that stay byte for byte the same). Compared over generated texts.
#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cmd_sensors.h"
#include "cmd_small.h"
#include "scan_word.h"

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
    static const std::string pieces[] = {" ", "\t", "\n", "\v", "\f", "\r", "a", "nameserver", "10.0.0.1", "x",
                                         std::string(1, '\0'), "\x80\xff", "eth0:123", "  \n\n "};
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
    static const std::string pieces[] = {"Processor", "Processo", "Processors", "processor", "Proc", "P", " ", ":",
                                         "\n", "\t", "42", "-7", "+3x", "99999999999", "model name", "flags",
                                         "\t: ", "ARMv7", "rProcessor", "0"};
    std::string text;
    const int count = static_cast<int>(rng() % 30);
    for (int i = 0; i < count; ++i)
        text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    return text;
}

TEST(ModelNumberScanEquivalence, SameNumberAsThePlainRuleInAnyPieces)
{
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
