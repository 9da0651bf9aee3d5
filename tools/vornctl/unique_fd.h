// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl owns its descriptors as the agent owns its own: the agent's
// move-only UniqueFd, closed when it goes out of scope.
#pragma once

#include "shared/unique_fd.h"

namespace vornctl {

using vorn::UniqueFd;

} // namespace vornctl
