// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The agent's client side of the SP link: one outgoing TCP connection to the
// SP's port 9990 per exchange, used only by the two monitor processes.
//
// Exchanges: 'h' or 'p' answered by a 4-byte big-endian interval in
// milliseconds; 'x' followed by one 156-byte MC error record, no reply.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include <netdb.h>

#include "mc.h"

namespace vorn {

inline constexpr std::uint16_t kSpPort = 9990;

// The alarm armed over the address-file check, the lookup and the connect.
inline constexpr unsigned kConnectAlarmSeconds = 20;

// Bound of each send and of the receive of an interval, once connected: an SP
// that accepts and never answers must not hold a monitor for ever.
inline constexpr int kExchangeTimeoutSeconds = 20;

// The SP's name in the "unknown host" message; the agent never resolves it.
inline constexpr const char* kSpDefaultHostName = "sp";

// Results of establishConnection other than a socket.
inline constexpr int kNoAlarmHandler = -5;
inline constexpr int kSpUnreachable = -101;

// Command bytes of the SP protocol.
inline constexpr char kHbPollRateRequest = 'h';
inline constexpr char kMcPollRateRequest = 'p';
inline constexpr char kErrorReport = 'x';

// The SP's name as the resolver gets it: the text up to its first control
// character (codes 0 to 31 and 127). Blanks are kept.
std::string_view spNameFromText(std::string_view text);

// Whether the SP address file's stream holds a whitespace-delimited word.
bool addressFileHoldsWord(std::FILE* file);

// The interval carried by the SP's 4-byte reply (most significant byte first).
std::uint32_t pollRateFromReply(const std::array<unsigned char, 4>& reply);

// The exchanges over a connected socket. pollRateExchange sends the one byte
// protocol and takes one reply, waiting for it at most kExchangeTimeoutSeconds;
// it returns 0 unless the reply is 4 bytes.
// errorReportExchange sends 'x' and the record and reads nothing; it returns
// whether both sends went out whole.
std::uint32_t pollRateExchange(int sock, char protocol);
bool errorReportExchange(int sock, const RegIfVals& record);

// Connects to the SP named by the SP address file, port 9990. Returns the
// connected socket (the caller owns it), kNoAlarmHandler or kSpUnreachable.
int establishConnection();

// The poll interval (ms) that the SP gives for protocol ('h' or 'p'), or 0 on
// any failure, a timed-out exchange included.
std::uint32_t getPollRate(char protocol);

// Sends one MC error record to the SP over a connection of its own. Returns
// whether the record went out (false: it was not delivered).
bool reportErr(RegIfVals regIfVals);

// SIGALRM during a connection attempt: logged only; the attempt goes on.
extern "C" void connect_alarm(int signo);

// Resolves the SP's name read from the SP address file; null when the file
// is missing or empty or the name does not resolve.
hostent* myGethostbyname();

} // namespace vorn
