// Not built yet: answers as an unknown letter does.
#include "cmd_small.h"
#include "dispatch.h"

namespace vorn {

void get_time(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_hostname(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void get_features(OutBuf& outBuf) { buildInvalidRequest(outBuf); }
void hb_poll_interval(OutBuf& outBuf, const ReqBuf&) { buildInvalidRequest(outBuf); }
void mc_poll_interval(OutBuf& outBuf, const ReqBuf&) { buildInvalidRequest(outBuf); }

} // namespace vorn
