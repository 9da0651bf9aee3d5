// Power commands: orderly and forced shutdown, reboot and forced reboot.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void orderly_shutdown(OutBuf& outBuf);
void forced_shutdown(OutBuf& outBuf);
void reboot(OutBuf& outBuf);
void forced_reboot(OutBuf& outBuf);

} // namespace vorn
