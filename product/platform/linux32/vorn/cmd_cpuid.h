// CPU identity record: a 128-byte record of one CPU, written to the connection.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void get_cpuid(int new_sock, const ReqBuf& buf);

} // namespace vorn
