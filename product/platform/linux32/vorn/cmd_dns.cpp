// Not built yet: answers as an unknown letter does.
#include "cmd_dns.h"
#include "dispatch.h"

namespace vorn {

void set_dns(OutBuf& outBuf, const ReqBuf&) { buildInvalidRequest(outBuf); }
void get_dns(OutBuf& outBuf) { buildInvalidRequest(outBuf); }

} // namespace vorn
