// Interface address command: a filtered ifconfig on a host interface.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void set_ip(OutBuf& outBuf, ReqBuf& buf);

} // namespace vorn
