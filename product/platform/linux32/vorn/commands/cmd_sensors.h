// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Sensor and memory-map queries through the management-controller driver.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "request/document.h"
#include "shared/atol_parser.h"

namespace vorn {

void get_temp(OutBuf& outBuf);
void get_dimmmap(int new_sock);

// The CPU model number from "/proc/cpuinfo": the number after the file's
// first "Processor" token; 0 when there is none or the file cannot be read.
int get_model_num();

inline constexpr int kTempCpus = 4;

// What get_temp read from the driver and the CPU information file.
struct SensorReadings {
    bool deviceOpen;
    std::array<bool, kTempCpus> tempRead;
    std::array<std::int32_t, kTempCpus> temp;
    bool cpuidRead;
    std::uint64_t cpuidValue;
    int modelNumber;
};

// Appends the elements of the 'C' reply (without prologue and end).
void appendSensorElements(OutBuf& outBuf, const SensorReadings& readings);

// Finds the model number in text fed in pieces of any size: the text is
// split into tokens at newline, colon and blank (a tab is not a separator),
// and the token after the first token that begins with "Processor" is
// converted by the rules of atoi. Tokens may span pieces.
class ModelNumberScan {
public:
    // Feeds the next piece; returns true once the model number is settled
    // (more text cannot change it).
    bool feed(std::string_view piece) noexcept;

    // Ends the text (the last token ends with it).
    void finish() noexcept;

    [[nodiscard]] bool settled() const noexcept { return phase_ == Phase::Settled; }

    // The model number; 0 without a match, and also when the matching
    // "Processor" token is the last token of the text.
    [[nodiscard]] int value() const noexcept { return value_; }

private:
    enum class Phase { Searching, AfterMatch, Number, Settled };
    void endToken() noexcept;

    Phase phase_ = Phase::Searching;
    bool inToken_ = false;
    std::size_t prefixLen_ = 0;
    std::array<char, 9> prefix_{};
    AtolParser number_{};
    int value_ = 0;
};

// Model number of a whole text (for instance a whole "/proc/cpuinfo").
int modelNumberFromText(std::string_view text) noexcept;

} // namespace vorn
