// Not built yet: answers as an unknown letter does.
#include "cmd_power.h"
#include "dispatch.h"

namespace vorn {

void orderly_shutdown(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void forced_shutdown(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void reboot(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void forced_reboot(OutBuf& outBuf) { buildInvalidRequest(outBuf); }

} // namespace vorn
