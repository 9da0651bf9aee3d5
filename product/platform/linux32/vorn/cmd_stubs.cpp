// Commands not built yet answer as an unknown letter does.
#include <sys/socket.h>

#include "cmd_cpuid.h"
#include "cmd_dns.h"
#include "cmd_hlink.h"
#include "cmd_inventory.h"
#include "cmd_netstat.h"
#include "cmd_power.h"
#include "cmd_sensors.h"
#include "cmd_setip.h"
#include "cmd_small.h"
#include "dispatch.h"
#include "net_io.h"

namespace vorn {

namespace {
void invalidTo(int sock)
{
    OutBuf out{};
    buildInvalidRequest(out);
    sendOnce(sock, documentText(out));
}
} // namespace

void orderly_shutdown(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void forced_shutdown(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void reboot(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void forced_reboot(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_ip(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void set_ip(OutBuf& outBuf, ReqBuf&) { buildInvalidRequest(outBuf); }
void set_dns(OutBuf& outBuf, const ReqBuf&) { buildInvalidRequest(outBuf); }
void get_dns(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
int set_hlink_ip(UniqueFd new_sock, OutBuf&, ReqBuf&)
{
    invalidTo(new_sock.get());
    return 0;
}
void get_version(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_cpuid(int new_sock, const ReqBuf&) { invalidTo(new_sock); }
void get_temp(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_dimmmap(int new_sock) { invalidTo(new_sock); }
void get_time(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_hostname(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_features(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void hb_poll_interval(OutBuf& outBuf, const ReqBuf&) { buildInvalidRequest(outBuf); }
void mc_poll_interval(OutBuf& outBuf, const ReqBuf&) { buildInvalidRequest(outBuf); }

} // namespace vorn
