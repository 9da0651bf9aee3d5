// Not built yet: answers as an unknown letter does.
#include "cmd_hlink.h"
#include "dispatch.h"
#include "net_io.h"

namespace vorn {

int set_hlink_ip(UniqueFd new_sock, OutBuf& outBuf, ReqBuf&)
{
    buildInvalidRequest(outBuf);
    sendOnce(new_sock.get(), documentText(outBuf));
    return 0;
}

} // namespace vorn
