// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "core/sp_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/host_link.h"
#include "request/net_io.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

// The name under which the format message knows the SP address file.
constexpr const char* kSpConfigName = "/etc/hlink/hlink.conf";

// Cancels the connection alarm when the attempt is over, on every path.
class ConnectAlarmCancel {
public:
    ConnectAlarmCancel() = default;
    ConnectAlarmCancel(const ConnectAlarmCancel&) = delete;
    ConnectAlarmCancel& operator=(const ConnectAlarmCancel&) = delete;
    ~ConnectAlarmCancel() { ::alarm(0); }
};

// A connection to the SP whose sends are bounded, or none.
UniqueFd openBoundedExchange()
{
    const int s = establishConnection();
    if (s < 0) {
        return {};
    }
    UniqueFd sock(s);
    const timeval bound{kExchangeTimeoutSeconds, 0};
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) < 0) {
        // Never exchange without the bound.
        return {};
    }
    return sock;
}

// Waits until the SP's reply (data, its end or an error) can be received,
// at most the exchange bound. poll keeps the bound to the millisecond; a
// receive timeout on the socket may fire seconds late for a 20-second wait.
bool awaitReply(int sock)
{
    using std::chrono::steady_clock;
    const steady_clock::time_point deadline = steady_clock::now() + std::chrono::seconds(kExchangeTimeoutSeconds);
    pollfd ready{sock, POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now()).count();
        const int n = ::poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n != -1 || errno != EINTR) {
            return n > 0;
        }
    }
}

} // namespace

std::string_view spNameFromText(std::string_view text)
{
    const auto isControl = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 32 || u == 127;
    };
    return text.substr(0, static_cast<std::size_t>(std::find_if(text.begin(), text.end(), isControl) - text.begin()));
}

bool addressFileHoldsWord(std::FILE* file)
{
    std::array<char, 256> word{};
    return std::fscanf(file, "%255s", word.data()) == 1;
}

std::uint32_t pollRateFromReply(const std::array<unsigned char, 4>& reply)
{
    std::uint32_t wire = 0;
    std::memcpy(&wire, reply.data(), sizeof wire);
    return ntohl(wire);
}

std::uint32_t pollRateExchange(int sock, char protocol)
{
    if (sendOnce(sock, &protocol, 1) != 1) {
        return 0;
    }
    if (!awaitReply(sock)) {
        return 0;
    }
    std::array<unsigned char, 4> reply{};
    ssize_t n = 0;
    do {
        n = ::recv(sock, reply.data(), reply.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(reply.size())) {
        return 0;
    }
    return pollRateFromReply(reply);
}

bool errorReportExchange(int sock, const RegIfVals& record)
{
    if (sendOnce(sock, &kErrorReport, 1) != 1) {
        return false;
    }
    return sendOnce(sock, &record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

extern "C" void connect_alarm(int /*signo*/)
{
    // Fires only after 20 seconds, while the attempt waits in a system call
    // (the lookup or the connect), which then goes on. Log calls hold the
    // alarm back, so this never runs inside one.
    const int savedErrno = errno;
    logText(LOG_INFO, "vorn: connection timeout\n");
    errno = savedErrno;
}

hostent* myGethostbyname()
{
    std::array<char, 256> name{};
    std::size_t n = 0;
    {
        UniqueFile file = openSpAddressFile();
        if (!file) {
            return nullptr;
        }
        n = std::fread(name.data(), 1, name.size() - 1, file.get());
        if (n == 0) {
            return nullptr;
        }
    }
    name[spNameFromText(std::string_view(name.data(), n)).size()] = '\0';
    return ::gethostbyname(name.data());
}

int establishConnection()
{
    if (::signal(SIGALRM, connect_alarm) == SIG_ERR) {
        return kNoAlarmHandler;
    }
    if (::alarm(kConnectAlarmSeconds) > 0) {
        logText(LOG_INFO, "alarm previously set\n");
    }
    const ConnectAlarmCancel cancelAlarm;

    {
        UniqueFile conf = openSpAddressFile();
        if (conf && !addressFileHoldsWord(conf.get())) {
            logf(LOG_INFO, "%s file format wrong\n", kSpConfigName);
        }
    }

    const hostent* sp = myGethostbyname();
    if (sp == nullptr || sp->h_addr_list == nullptr || sp->h_addr_list[0] == nullptr) {
        logf(LOG_INFO, "%s unknown host\n", kSpDefaultHostName);
        return kSpUnreachable;
    }
    sockaddr_in server{};
    server.sin_family = static_cast<sa_family_t>(sp->h_addrtype);
    std::memcpy(&server.sin_addr, sp->h_addr_list[0],
                std::min(sizeof server.sin_addr, static_cast<std::size_t>(std::max(sp->h_length, 0))));
    server.sin_port = htons(kSpPort);

    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        logText(LOG_INFO, "cannot open socket ");
        return kSpUnreachable;
    }
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) < 0) {
        logText(LOG_INFO, "cannot connect ");
        return kSpUnreachable;
    }
    return sock.release();
}

std::uint32_t getPollRate(char protocol)
{
    const UniqueFd sock = openBoundedExchange();
    if (!sock) {
        return 0;
    }
    return pollRateExchange(sock.get(), protocol);
}

bool reportErr(RegIfVals regIfVals)
{
    const UniqueFd sock = openBoundedExchange();
    if (!sock) {
        return false;
    }
    return errorReportExchange(sock.get(), regIfVals);
}

} // namespace vorn
