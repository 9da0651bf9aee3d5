// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The command table: the request's first byte names the handler.
#include "commands/cmd_cpuid.h"
#include "commands/cmd_dns.h"
#include "commands/cmd_hlink.h"
#include "commands/cmd_inventory.h"
#include "commands/cmd_netstat.h"
#include "commands/cmd_power.h"
#include "commands/cmd_sensors.h"
#include "commands/cmd_setip.h"
#include "commands/cmd_small.h"
#include "request/dispatch.h"

namespace vorn {

namespace {

constexpr CommandTable buildTable()
{
    CommandTable t{};
    auto doc = [&t](unsigned char letter, DocumentHandler h) { t[letter].document = h; };

    doc('B', [](OutBuf& o, ReqBuf&) { forced_reboot(o); });
    doc('C', [](OutBuf& o, ReqBuf&) { get_temp(o); });
    doc('D', [](OutBuf& o, ReqBuf& b) { set_dns(o, b); });
    doc('E', [](OutBuf& o, ReqBuf& b) { set_ip(o, b); });
    doc('H', [](OutBuf& o, ReqBuf&) { get_hostname(o); });
    t['J'].hostLink = [](UniqueFd s, OutBuf& o, ReqBuf& b) { return set_hlink_ip(std::move(s), o, b); };
    doc('L', [](OutBuf& o, ReqBuf&) { get_version(o); });
    t['M'].direct = [](int s, ReqBuf&) { get_dimmmap(s); };
    doc('T', [](OutBuf& o, ReqBuf&) { get_time(o); });
    doc('b', [](OutBuf& o, ReqBuf&) { reboot(o); });
    t['c'].direct = [](int s, ReqBuf& b) { get_cpuid(s, b); };
    doc('d', [](OutBuf& o, ReqBuf&) { get_dns(o); });
    doc('e', [](OutBuf& o, ReqBuf&) { get_ip(o); });
    doc('f', [](OutBuf& o, ReqBuf&) { forced_shutdown(o); });
    doc('h', [](OutBuf& o, ReqBuf& b) { hb_poll_interval(o, b); });
    doc('p', [](OutBuf& o, ReqBuf& b) { mc_poll_interval(o, b); });
    doc('s', [](OutBuf& o, ReqBuf&) { orderly_shutdown(o); });
    doc('v', [](OutBuf& o, ReqBuf&) { get_features(o); });
    return t;
}

constexpr CommandTable kCommands = buildTable();

} // namespace

const CommandTable& commandTable() noexcept
{
    return kCommands;
}

} // namespace vorn
