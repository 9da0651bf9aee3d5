// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vornctl's SP end, run: decode-mce reads files, sp listens for the agent.
// Each returns vornctl's exit status.
#pragma once

#include "sp_end.h"

namespace vornctl {

// 0 when every file held whole records only; 6 when one ended inside a
// record (its whole records are decoded); 7 when one could not be read.
int runDecode(const DecodeOptions& options);

// 0 after --count records or a SIGINT or SIGTERM; 7 when it cannot listen
// or keep the records.
int runSp(const SpOptions& options);

} // namespace vornctl
