// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Host files for the benchmark: a typical set, and the large ones of the
// growth runs (CPU descriptions, inventories, interfaces).
#pragma once

#include <string>

namespace bench {

// A typical main inventory and the three package inventories, the date file
// and a resolver configuration written by the SP.
struct InventoryFiles {
    std::string main;
    std::string hlink;
    std::string mc;
    std::string agent;
};
InventoryFiles typicalInventory();
std::string typicalResolvConf();

// A main inventory of one component whose element holds `records`
// firmware records: about 60 bytes each, one "</Software>".
std::string inventoryWithRecords(unsigned records);
// A main inventory of `components` components, each closed by "</Software>"
// (each one makes the agent insert the package inventories again).
std::string inventoryWithComponents(unsigned components);

// A CPU description of `cpus` CPUs, each like the first CPU of `model`
// (the text of a real "/proc/cpuinfo"), renumbered.
std::string cpuinfoOf(unsigned cpus, const std::string& model);

// An "ip -batch" script that adds `count` interfaces (macvlan on `parent`,
// each with an IPv4 address of its own subnet), and one that removes them.
std::string addInterfacesScript(unsigned first, unsigned count, const std::string& parent);
std::string removeInterfacesScript(unsigned count);

} // namespace bench
