// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Fixed paths inside the test sandbox.
#pragma once

namespace testbed {

inline constexpr const char* kTestbedRunDir = "/run/testbed";
// Written by the sandbox once it is complete: "vorn-sandbox\n" and one line
// per namespace ("pid:[N]", "mnt:[N]", "net:[N]") naming the sandbox's own.
inline constexpr const char* kSandboxMarkerPath = "/run/testbed/sandbox";
inline constexpr const char* kSandboxMarkerTitle = "vorn-sandbox";
inline constexpr const char* kSyslogdPidPath = "/run/testbed/syslogd.pid";
// The fakes of the power and interface programs keep NAME.calls (one argument
// line per call) here and answer with NAME.status, NAME.out and NAME.err.
inline constexpr const char* kFakeDir = "/run/testbed/fake";
inline constexpr const char* kFakeMarker = "VORN-TESTBED-FAKE";
inline constexpr const char* kFakeNames[] = {"shutdown", "reboot", "init", "ifconfig"};
inline constexpr const char* kFixtureDir = "/run/testbed/fixtures";
inline constexpr const char* kHostname = "vorn-board";

// The host link: the host end, the SP end and a stranger on the SP's side.
// The SP is another machine: sp0 and its addresses lie in a network
// namespace of the SP's own, named kSpNetns (its file is kSpNetnsPath),
// joined to the host's by the veth pair hlink0 <-> sp0.
inline constexpr const char* kHostLinkIf = "hlink0";
inline constexpr const char* kSpLinkIf = "sp0";
inline constexpr const char* kPlatAddress = "169.254.101.3";
inline constexpr const char* kSpAddress = "169.254.101.2";
inline constexpr const char* kStrangerAddress = "169.254.101.66";
inline constexpr int kLinkPrefix = 16;
inline constexpr const char* kSpNetns = "sp";
inline constexpr const char* kSpNetnsPath = "/run/netns/sp";

// Exit status of vorn-sandbox when it could not build the sandbox.
inline constexpr int kSandboxFailureStatus = 125;

} // namespace testbed
