// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Replies for a person, for scripts (--json) and byte for byte (--raw), with
// the exit status that goes with them.
#pragma once

#include <string>
#include <string_view>

#include "cli.h"
#include "document_reply.h"
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

// The question asked before a power command.
std::string confirmationPrompt(const Invocation& invocation);

// Whether a typed answer confirms: y or yes, in any case.
bool isConfirmation(std::string_view answer);

} // namespace vornctl
