// Not built yet: answers as an unknown letter does.
#include "cmd_sensors.h"
#include "dispatch.h"
#include "net_io.h"

namespace vorn {

void get_temp(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_dimmmap(int new_sock)
{
    OutBuf out{};
    buildInvalidRequest(out);
    sendOnce(new_sock, documentText(out));
}

} // namespace vorn
