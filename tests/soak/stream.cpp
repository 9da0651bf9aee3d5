// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "stream.h"

#include <cstdio>
#include <fstream>
#include <numeric>
#include <regex>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace soak {

namespace {

using testbed::Millis;

constexpr const char* kInitScript = "/etc/init.d/vorn";
constexpr std::size_t kFailuresKept = 20;

const std::regex kTimeDocument(
    R"(<\?xml version="1\.0" encoding ="UTF-8"\?> <vorn> <time>[0-9]+</time><cmdRetVal>0</cmdRetVal> </vorn> \x03)");
// The operating system's record of 'L': its date is the init script's access time.
const std::regex kOsDate("<SWInfo>Platform OS</SWInfo><SWInstalledDate>(-?[0-9]+)</SWInstalledDate>");

// The reply with the operating system's date taken out, and that date.
std::pair<std::string, std::string> splitOsDate(const std::string& bytes)
{
    std::smatch m;
    if (!std::regex_search(bytes, m, kOsDate))
        return {bytes, ""};
    const std::string date = m[1].str();
    std::string rest = bytes;
    rest.replace(static_cast<std::size_t>(m.position(1)), date.size(), "@");
    return {rest, date};
}

std::string initScriptAccessTime()
{
    struct stat st {};
    return ::stat(kInitScript, &st) == 0 ? std::to_string(st.st_atime) : "";
}

} // namespace

std::vector<Request> spRequests()
{
    // The name-server change comes before the query that shows it, so that
    // the query's first reply already shows the address the stream sets.
    return {
        {"D 10.20.0.53"},
        {"d"},
        {"v"},
        {"v trailing bytes that the command ignores\n", Check::SameAsFirst, 2},
        {"T", Check::Time},
        {"H"},
        {"e"},
        {"E eth0 10.1.2.3 255.255.0.0"},
        {"L", Check::Inventory},
        {"C"},
        {"c 0"},
        {"c 1"},
        {"c 7", Check::SameAsFirst, 2},
        {"M"},
        {"h 100"},
        {"p 100"},
        {"s", Check::SameAsFirst, 10, "shutdown"},
        {"f", Check::SameAsFirst, 10, "init"},
        {"b", Check::SameAsFirst, 10, "reboot"},
        {"B", Check::SameAsFirst, 10, "reboot"},
        // The same addresses: the listener starts over, the link stays.
        {"J p=169.254.101.3 s=169.254.101.2", Check::HostLink, 2},
        {"x", Check::SameAsFirst, 3},
        {"\x80", Check::SameAsFirst, 3},
        {"?", Check::SameAsFirst, 3},
        {"z", Check::SameAsFirst, 3},
        {"j", Check::SameAsFirst, 3},
    };
}

Stream::Stream(testbed::Board& board, std::uint32_t seed)
    : board_(board), requests_(spRequests()), random_(seed), strangers_{testbed::kStrangerAddress, "169.254.101.67"}
{
    std::vector<double> weights;
    for (const Request& r : requests_)
        weights.push_back(r.weight);
    // One connection in four is a stranger's.
    const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
    weights.push_back(total / 3);
    pick_ = std::discrete_distribution<std::size_t>(weights.begin(), weights.end());
    board_.addSpSideAddress(strangers_[1]);
}

void Stream::references()
{
    listener_ = testbed::listeningInode(board_.daemonPid(), testbed::kServerPort);
    for (const Request& r : requests_)
        fromSp(r);
    // The documents known in advance.
    const auto expect = [&](const std::string& request, const std::string& bytes) {
        const auto it = first_.find(request);
        ++counts_.checked;
        if (it == first_.end() || it->second != bytes)
            wrong("first reply to \"" + testbed::printable(request) +
                  "\": " + testbed::printable(it == first_.end() ? "" : it->second) + " (must be " +
                  testbed::printable(bytes) + ")");
    };
    for (const char* invalid : {"x", "\x80", "?", "z", "j"})
        expect(invalid, testbed::document("<error>Invalid request</error>"));
    for (const char* power : {"s", "f", "b", "B"})
        expect(power, testbed::document("<cmdRetVal>0</cmdRetVal>"));
    expect("E eth0 10.1.2.3 255.255.0.0", testbed::document("<cmdRetVal>0</cmdRetVal>\n"));
    expect("J p=169.254.101.3 s=169.254.101.2", testbed::document("<cmdRetVal>0</cmdRetVal>"));
    expect("c 7", std::string(1, '\0'));
    const auto sizeIs = [&](const std::string& request, std::size_t size) {
        ++counts_.checked;
        if (first_[request].size() != size)
            wrong("first reply to \"" + request + "\": " + std::to_string(first_[request].size()) + " bytes (must be " +
                  std::to_string(size) + ")");
    };
    sizeIs("M", sizeof(platform_data_t));
    sizeIs("c 0", 128);
}

void Stream::next()
{
    const std::size_t k = pick_(random_);
    if (k < requests_.size()) {
        fromSp(requests_[k]);
        return;
    }
    // A stranger sends any of the requests.
    const Request& r = requests_[random_() % requests_.size()];
    fromStranger(strangers_[random_() % strangers_.size()], r.bytes);
}

void Stream::fromSp(const Request& r)
{
    ++counts_.spRequests;
    ++counts_.sent[testbed::printable(r.bytes)];
    if (r.fake)
        ++fakeCalls_[r.fake];
    const testbed::Reply reply = board_.request(r.bytes, testbed::From::Sp, Millis{10000});
    judge(r, reply);
}

void Stream::judge(const Request& r, const testbed::Reply& reply)
{
    const std::string what = "\"" + testbed::printable(r.bytes) + "\"";
    ++counts_.checked;
    if (!reply.connected || !reply.closed || reply.timedOut) {
        wrong(what + ": " + (!reply.connected ? "no connection" : reply.timedOut ? "no close in time" : "not closed"));
        return;
    }
    const auto [it, isFirst] = first_.emplace(r.bytes, reply.bytes);
    switch (r.check) {
    case Check::SameAsFirst:
        if (reply.bytes != it->second)
            wrong(what + ": " + testbed::printable(reply.bytes) + " (first: " + testbed::printable(it->second) + ")");
        break;
    case Check::Time:
        if (!std::regex_match(reply.bytes, kTimeDocument))
            wrong(what + ": " + testbed::printable(reply.bytes));
        break;
    case Check::Inventory: {
        const auto [rest, date] = splitOsDate(reply.bytes);
        const std::string atime = initScriptAccessTime();
        if (rest != splitOsDate(it->second).first || date.empty() || date != atime)
            wrong(what + ": " + testbed::printable(reply.bytes) + " (first: " + testbed::printable(it->second) +
                  ", init script's access time " + atime + ")");
        break;
    }
    case Check::HostLink:
        if (reply.bytes != it->second)
            wrong(what + ": " + testbed::printable(reply.bytes) + " (first: " + testbed::printable(it->second) + ")");
        // The next request must find the new listening socket.
        if (listenerRenewed())
            ++counts_.hostLinkMoves;
        else
            wrong(what + ": the listener did not renew its socket within 10 s");
        break;
    }
}

void Stream::fromStranger(const std::string& source, const std::string& bytes)
{
    ++counts_.strangerRequests;
    ++counts_.checked;
    const testbed::Reply reply = board_.requestFrom(source, bytes, Millis{10000});
    // Closed unread: no byte, a close (or the reset of the unread request).
    if (!reply.connected || !reply.closed || reply.timedOut || !reply.bytes.empty())
        wrong("stranger " + source + " \"" + testbed::printable(bytes) + "\": " +
              (!reply.connected ? "no connection"
               : reply.timedOut ? "no close in time"
                                : testbed::printable(reply.bytes)));
}

void Stream::wrong(const std::string& what)
{
    ++counts_.wrong;
    if (failures_.size() < kFailuresKept)
        failures_.push_back(what);
    std::fprintf(stderr, "vorn-soak: wrong reply: %s\n", what.c_str());
}

bool Stream::listenerRenewed()
{
    unsigned long now = 0;
    const bool renewed = testbed::waitUntil(
        [&] {
            now = testbed::listeningInode(board_.daemonPid(), testbed::kServerPort);
            return now != 0 && now != listener_;
        },
        Millis{10000});
    listener_ = now;
    return renewed;
}

} // namespace soak
