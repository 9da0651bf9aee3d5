// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "dimm_map_reply.h"

#include <cstdint>
#include <cstdio>

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

std::string hex32(std::uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

std::string chipSelectTable(const char* title, const std::uint32_t (&regs)[DIMM_MAP_NODES][DIMM_MAP_CS])
{
    std::string out = title;
    out += "\nnode";
    for (int c = 0; c < DIMM_MAP_CS; ++c) {
        char head[16];
        std::snprintf(head, sizeof head, "  cs%-8d", c);
        out += head;
    }
    while (out.back() == ' ') {
        out.pop_back();
    }
    out += '\n';
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        out += std::to_string(n) + "   ";
        for (int c = 0; c < DIMM_MAP_CS; ++c) {
            out += "  " + hex32(regs[n][c]);
        }
        out += '\n';
    }
    return out;
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

std::string dimmMapTables(const platform_data_t& m)
{
    std::string out = "DRAM base and limit registers\nnode  base        limit\n";
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        out += std::to_string(n) + "     " + hex32(m.dram_base_reg[n]) + "  " + hex32(m.dram_limit_reg[n]) + "\n";
    }
    // Copies: the record is packed, and a reference to a packed member
    // may be misaligned.
    std::uint32_t base[DIMM_MAP_NODES][DIMM_MAP_CS];
    std::uint32_t mask[DIMM_MAP_NODES][DIMM_MAP_CS];
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        for (int c = 0; c < DIMM_MAP_CS; ++c) {
            base[n][c] = m.dram_cs_base_reg[n][c];
            mask[n][c] = m.dram_cs_mask_reg[n][c];
        }
    }
    out += '\n';
    out += chipSelectTable("DRAM chip-select base registers", base);
    out += '\n';
    out += chipSelectTable("DRAM chip-select mask registers", mask);
    return out;
}

} // namespace vornctl
