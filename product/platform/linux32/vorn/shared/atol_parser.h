// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Numbers read as atol reads them, for the commands that take one.
#pragma once

#include <cstdint>
#include <string_view>

namespace vorn {

// Converts text by the rules of atol, one character at a time: leading white
// space skipped, an optional sign, decimal digits up to the first other
// character; saturated at the limits of a signed 64-bit number.
class AtolParser {
public:
    // Takes the next character; false once the number has ended (the
    // character is not part of it, and neither is anything after it).
    bool feed(char c) noexcept;

    // The number read so far (0 when no digit was read).
    [[nodiscard]] std::int64_t result() const noexcept;

private:
    enum class Phase { Lead, Digits, Ended };
    Phase phase_ = Phase::Lead;
    bool negative_ = false;
    std::uint64_t magnitude_ = 0; // capped just above the largest magnitude
};

// atol over a text (which need not be terminated).
std::int64_t parseAtol(std::string_view text) noexcept;

} // namespace vorn
