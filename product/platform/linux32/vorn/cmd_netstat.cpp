// Not built yet: answers as an unknown letter does.
#include "cmd_netstat.h"
#include "dispatch.h"

namespace vorn {

void get_ip(OutBuf& outBuf) { buildInvalidRequest(outBuf); }

} // namespace vorn
