// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The results files' JSON: nlohmann's, with the members in the order they
// are set.
#pragma once

#include <nlohmann/json.hpp>

namespace bench {

using Json = nlohmann::ordered_json;

} // namespace bench
