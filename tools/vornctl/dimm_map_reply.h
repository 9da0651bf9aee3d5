// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The 576-byte memory-module map, decoded from the reply's bytes (render.h
// shows it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "dimm_map.h"

namespace vornctl {

inline constexpr std::size_t kDimmMapSize = sizeof(platform_data_t);

// The map from exactly 576 bytes (unsigned 32-bit values, least significant
// byte first, as the host's driver stores them); nothing for any other size.
std::optional<platform_data_t> decodeDimmMap(std::string_view bytes);

} // namespace vornctl
