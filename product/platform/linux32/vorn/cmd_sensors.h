// Sensor and memory-map queries through the management-controller driver.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void get_temp(OutBuf& outBuf);
void get_dimmmap(int new_sock);

} // namespace vorn
