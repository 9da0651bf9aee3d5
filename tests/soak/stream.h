// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The soak's mixed request stream: every request letter from the SP's
// address, invalid letters, and strangers' connections, each reply checked
// byte for byte where it is deterministic.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "testbed/board/board.h"

namespace soak {

// How a reply is judged.
enum class Check {
    SameAsFirst, // byte for byte the reply to the first request of its kind
    Time,        // 'T': a time document
    Inventory,   // 'L': the first reply, with the date of the init script as it is now
    HostLink,    // 'J': the first reply, and the listener renews its socket afterwards
};

struct Request {
    std::string bytes;
    Check check = Check::SameAsFirst;
    unsigned weight = 10;       // relative frequency in the stream
    const char* fake = nullptr; // the fake power program that the request runs
};

// The requests of the stream from the SP's address.
std::vector<Request> spRequests();

struct StreamCounts {
    std::uint64_t spRequests = 0;
    std::uint64_t strangerRequests = 0;
    std::uint64_t checked = 0; // replies compared with what they must be
    std::uint64_t wrong = 0;
    std::uint64_t hostLinkMoves = 0;           // 'J' requests whose listener renewal was seen
    std::map<std::string, std::uint64_t> sent; // per request bytes (printable), SP only
};

class Stream {
public:
    explicit Stream(testbed::Board& board, std::uint32_t seed = 1);

    // The first round: every SP request once, in order, its replies the
    // references; the documents known in advance are checked against them.
    void references();
    // One request of the mix, checked.
    void next();

    const StreamCounts& counts() const { return counts_; }
    // The first few wrong replies, for the report.
    const std::vector<std::string>& failures() const { return failures_; }
    // The fake power programs' calls that the SP's requests must have made.
    std::map<std::string, std::uint64_t> expectedFakeCalls() const { return fakeCalls_; }

private:
    void fromSp(const Request& r);
    void fromStranger(const std::string& source, const std::string& bytes);
    void judge(const Request& r, const testbed::Reply& reply);
    void wrong(const std::string& what);
    bool listenerRenewed();

    testbed::Board& board_;
    std::vector<Request> requests_;
    std::discrete_distribution<std::size_t> pick_;
    std::mt19937 random_;
    std::map<std::string, std::string> first_;
    std::vector<std::string> strangers_;
    unsigned long listener_ = 0;
    StreamCounts counts_;
    std::vector<std::string> failures_;
    std::map<std::string, std::uint64_t> fakeCalls_;
};

} // namespace soak
