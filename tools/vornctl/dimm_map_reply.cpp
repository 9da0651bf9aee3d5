// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "dimm_map_reply.h"

#include <cstdint>

namespace vornctl {

namespace {

std::uint32_t le32(std::string_view b, std::size_t offset)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(b[offset + i])) << (8 * i);
    }
    return v;
}

} // namespace

std::optional<platform_data_t> decodeDimmMap(std::string_view b)
{
    if (b.size() != kDimmMapSize) {
        return std::nullopt;
    }
    platform_data_t m{};
    std::size_t off = 0;
    auto next = [&]() {
        const std::uint32_t v = le32(b, off);
        off += 4;
        return v;
    };
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        m.dram_base_reg[n] = next();
    }
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        m.dram_limit_reg[n] = next();
    }
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        for (int c = 0; c < DIMM_MAP_CS; ++c) {
            m.dram_cs_base_reg[n][c] = next();
        }
    }
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        for (int c = 0; c < DIMM_MAP_CS; ++c) {
            m.dram_cs_mask_reg[n][c] = next();
        }
    }
    return m;
}

} // namespace vornctl
