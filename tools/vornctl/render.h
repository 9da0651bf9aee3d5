// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Replies for a person, for scripts (--json) and byte for byte (--raw), with
// the exit status that goes with them; and each record that vornctl shows,
// rendered (render/: one file for each kind of reply).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "dimm_map_reply.h"
#include "document_reply.h"
#include "mc_record.h"
#include "transfer.h"

namespace vornctl {

struct Rendered {
    std::string out; // standard output
    std::string err; // standard error
    int status = 0;  // exit status
};

Rendered renderOutcome(const Invocation& invocation, const TransferResult& transfer);

// A response document's elements as aligned "name  value" lines (groups of
// elements indented under their name; the inventory as a table).
std::string documentFields(const CommandSpec& command, const std::vector<Element>& elements);

// The memory-module map as three tables: base and limit per node,
// chip-select bases, chip-select masks; values as eight hexadecimal digits.
std::string dimmMapTables(const platform_data_t& map);

// A machine-check record as one paragraph for a person, ending in a blank line.
std::string renderMcRecordText(const McRecord& record);
// A machine-check record as one JSON object on one line, ending in "\n" (JSON Lines).
std::string renderMcRecordJson(const McRecord& record);

// The question asked before a power command.
std::string confirmationPrompt(const Invocation& invocation);

// Whether a typed answer confirms: y or yes, in any case.
bool isConfirmation(std::string_view answer);

} // namespace vornctl
