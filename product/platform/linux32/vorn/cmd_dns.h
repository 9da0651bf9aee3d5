// Name-server commands: set the marker-line name server, report name servers.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void set_dns(OutBuf& outBuf, const ReqBuf& buf);
void get_dns(OutBuf& outBuf);

} // namespace vorn
