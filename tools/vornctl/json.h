// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's JSON: nlohmann's, with the members in the order they are set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vornctl {

using JsonValue = nlohmann::ordered_json;

// The value on one line, ended by a newline. A byte that is not part of valid
// UTF-8 comes out as U+FFFD, so the line is always valid JSON.
inline std::string jsonLine(const JsonValue& value)
{
    return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace) + "\n";
}

} // namespace vornctl
