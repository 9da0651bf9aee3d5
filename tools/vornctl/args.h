// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The pieces of vornctl's command lines that every command shares: whole
// numbers and "--name=value" options.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace vornctl {

// The whole text as a number of type T (integers in `base`), or false.
template <typename T>
bool parseNumber(std::string_view text, T& value, int base = 10)
{
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    std::from_chars_result r{};
    if constexpr (std::is_floating_point_v<T>) {
        r = std::from_chars(text.data(), end, value);
    } else {
        r = std::from_chars(text.data(), end, value, base);
    }
    return r.ec == std::errc{} && r.ptr == end;
}

// Splits "--name=value" into name and value.
inline std::pair<std::string_view, std::optional<std::string_view>> splitOption(std::string_view arg)
{
    const auto eq = arg.find('=');
    if (eq == std::string_view::npos) {
        return {arg, std::nullopt};
    }
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

} // namespace vornctl
