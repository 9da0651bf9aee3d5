// Not built yet: answers as an unknown letter does.
#include "cmd_inventory.h"
#include "dispatch.h"

namespace vorn {

void get_version(OutBuf& outBuf) { buildInvalidRequest(outBuf); }

} // namespace vorn
