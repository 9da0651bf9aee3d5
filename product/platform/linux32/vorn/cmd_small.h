// Small queries (time, host name, feature version) and the poll-interval settings.
#pragma once

#include "document.h"
#include "unique_fd.h"

namespace vorn {

void get_time(OutBuf& outBuf);
void get_hostname(OutBuf& outBuf);
void get_features(OutBuf& outBuf);
void hb_poll_interval(OutBuf& outBuf, const ReqBuf& buf);
void mc_poll_interval(OutBuf& outBuf, const ReqBuf& buf);

} // namespace vorn
