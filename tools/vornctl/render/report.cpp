// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "vornctl/render/report.h"

#include <algorithm>

namespace vornctl {

std::string alignedLines(const std::vector<Line>& lines)
{
    std::size_t width = 0;
    for (const Line& l : lines) {
        width = std::max(width, 2 * l.depth + l.name.size());
    }
    std::string out;
    for (const Line& l : lines) {
        if (l.blankBefore) {
            out += '\n';
        }
        std::string left = std::string(2 * l.depth, ' ') + l.name;
        if (!l.value.empty()) {
            left.resize(width, ' ');
            left += "  ";
            left += l.value;
        }
        out += left;
        out += '\n';
    }
    return out;
}

// Inventory: every <Software> element is a row, nested ones included (the

} // namespace vornctl
