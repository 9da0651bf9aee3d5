// Not built yet: answers as an unknown letter does.
#include "cmd_cpuid.h"
#include "dispatch.h"
#include "net_io.h"

namespace vorn {

void get_cpuid(int new_sock, const ReqBuf&)
{
    OutBuf out{};
    buildInvalidRequest(out);
    sendOnce(new_sock, documentText(out));
}

} // namespace vorn
