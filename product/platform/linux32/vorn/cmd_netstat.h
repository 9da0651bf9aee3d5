// Network status query: devices, IPv4 interfaces and the default gateway.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void get_ip(OutBuf& outBuf);

} // namespace vorn
