// Not built yet: answers as an unknown letter does.
#include "cmd_setip.h"
#include "dispatch.h"

namespace vorn {

void set_ip(OutBuf& outBuf, ReqBuf&) { buildInvalidRequest(outBuf); }

} // namespace vorn
