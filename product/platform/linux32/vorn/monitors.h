// The two hardware monitors, each run in a process of its own.
#pragma once

namespace vorn {

// Beats the management controller's heartbeat; returns when the driver
// cannot be opened or a heartbeat fails.
void hbHandler();

// Polls the machine-check error registers and forwards flagged records to
// the SP; returns when the driver cannot be opened or a poll fails.
void mcHandler();

} // namespace vorn
