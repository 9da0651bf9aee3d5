// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The pieces of vornctl's command lines that every command shares: whole
// numbers, addresses, and options with their values.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
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

// Whether the whole text is an IPv4 address in dotted-quad form.
bool isIpv4Address(std::string_view text);

// "ADDRESS:PORT" with an IPv4 dotted quad and a port from 1 to 65535.
bool parseListenAddress(std::string_view text, std::string& address, std::uint16_t& port);

// Splits "--name=value" into name and value.
inline std::pair<std::string_view, std::optional<std::string_view>> splitOption(std::string_view arg)
{
    const auto eq = arg.find('=');
    if (eq == std::string_view::npos) {
        return {arg, std::nullopt};
    }
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// The option at args[at]: "--name=value", or "--name" whose value, when it
// takes one, is the next argument (which value() then moves `at` past).
class OptionReader {
public:
    OptionReader(std::span<const std::string_view> args, std::size_t& at) noexcept : args_(args), at_(at)
    {
        std::tie(name_, inlineValue_) = splitOption(args[at]);
    }

    [[nodiscard]] std::string_view name() const noexcept { return name_; }
    // Given without "=value", as a flag is.
    [[nodiscard]] bool flag() const noexcept { return !inlineValue_; }
    // The option's value; false when it has none.
    bool value(std::string_view& out) noexcept
    {
        if (inlineValue_) {
            out = *inlineValue_;
            return true;
        }
        if (at_ + 1 < args_.size()) {
            out = args_[++at_];
            return true;
        }
        return false;
    }

private:
    std::span<const std::string_view> args_;
    std::size_t& at_;
    std::string_view name_;
    std::optional<std::string_view> inlineValue_;
};

} // namespace vornctl
