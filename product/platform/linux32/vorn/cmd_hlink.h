// Host-link address command: moves both ends of the host link.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

// Owns the connection: answers and closes it, then moves the link.
// Returns 1 once a valid request has been answered, else 0.
int set_hlink_ip(UniqueFd new_sock, OutBuf& outBuf, ReqBuf& buf);

} // namespace vorn
