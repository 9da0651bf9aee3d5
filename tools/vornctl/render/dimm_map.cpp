// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The memory-module map (dimm-map), decoded by dimm_map_reply.cpp, as tables.
#include <cstdint>
#include <cstdio>

#include "vornctl/escape.h"
#include "vornctl/render/report.h"

namespace vornctl {

namespace {

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

void renderDimmMap(Report& r, std::string_view reply)
{
    const auto map = decodeDimmMap(reply);
    if (!map) {
        r.badReply("the memory-module map is 576 bytes; the reply has " + std::to_string(reply.size()));
        r.out() = hexDump(reply);
        r.json()["hex"] = hexDump(reply);
        return;
    }
    r.out() = dimmMapTables(*map);
    std::uint32_t base[DIMM_MAP_NODES];
    std::uint32_t limit[DIMM_MAP_NODES];
    std::uint32_t csBase[DIMM_MAP_NODES][DIMM_MAP_CS];
    std::uint32_t csMask[DIMM_MAP_NODES][DIMM_MAP_CS];
    for (int n = 0; n < DIMM_MAP_NODES; ++n) {
        base[n] = map->dram_base_reg[n];
        limit[n] = map->dram_limit_reg[n];
        for (int c = 0; c < DIMM_MAP_CS; ++c) {
            csBase[n][c] = map->dram_cs_base_reg[n][c];
            csMask[n][c] = map->dram_cs_mask_reg[n][c];
        }
    }
    JsonValue& json = r.json()["dimmMap"] = JsonValue::object();
    json["dram_base_reg"] = base;
    json["dram_limit_reg"] = limit;
    json["dram_cs_base_reg"] = csBase;
    json["dram_cs_mask_reg"] = csMask;
}

} // namespace vornctl
