// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The one exchange with the agent: connect (from --source when given), send
// the request, read until the agent closes, all within one deadline.
#pragma once

#include <string_view>

#include "cli.h"
#include "transfer.h"

namespace vornctl {

TransferResult exchange(const Options& options, std::string_view request);

} // namespace vornctl
