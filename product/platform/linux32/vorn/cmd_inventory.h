// Software inventory: the merged inventory files and the built elements.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void get_version(OutBuf& outBuf);

} // namespace vorn
