// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Reading blank-separated words from a stream as fscanf's "%Ns" conversion
// reads them, without its format machinery, which costs more than the words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>

namespace vorn {

// White space as the C locale's isspace knows it.
inline bool isScanSpace(int c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What fscanf(in, "%<width>s", word) does: skips white space, then stores up
// to width characters up to the next white space (which stays in the
// stream) and a terminating zero. Returns 1, or EOF when the input ends (or
// fails) before a word begins; the stream's end-of-file indicator is left as
// fscanf leaves it. word must have room for width + 1 characters.
inline int scanWord(std::FILE* in, char* word, std::size_t width) noexcept
{
    int c = getc_unlocked(in);
    while (c != EOF && isScanSpace(c)) {
        c = getc_unlocked(in);
    }
    if (c == EOF) {
        return EOF;
    }
    std::size_t n = 0;
    for (;;) {
        word[n++] = static_cast<char>(c);
        if (n == width) {
            break;
        }
        c = getc_unlocked(in);
        if (c == EOF) {
            break;
        }
        if (isScanSpace(c)) {
            std::ungetc(c, in);
            break;
        }
    }
    word[n] = '\0';
    return 1;
}

// The same, as fscanf(in, "%<N-1>s", word.data()) does it.
template <std::size_t N>
int scanWord(std::FILE* in, std::array<char, N>& word) noexcept
{
    static_assert(N >= 2, "room for one character and the terminator");
    return scanWord(in, word.data(), N - 1);
}

} // namespace vorn
