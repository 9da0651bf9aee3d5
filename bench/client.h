// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The benchmark's client: one request per connection, timed, against the
// daemon or a reference server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Where requests go: a TCP server (connected to from a chosen source
// address, as the SP connects from its own), or a UNIX socket server that
// answers each request with one line or that closes after its answer.
struct Target {
    enum class Kind { Tcp, UnixLine, UnixClose };
    Kind kind = Kind::Tcp;
    std::string source; // TCP: the local address to connect from, on the SP's side
    std::string host;   // TCP: the server's address
    std::uint16_t port = 0;
    std::string path; // UNIX: the socket's path
};

struct Exchange {
    bool ok = false;    // connected, sent, and got the end of the answer
    std::string bytes;  // the answer
    double seconds = 0; // from socket() to close()
    int error = 0;      // when not ok: the errno of the step that failed (0: none, the answer was cut short)
};

// One request on a new connection: connect, send the request in one write,
// read until the server closes (or, UnixLine, until the answer's line
// ends), close.
Exchange exchangeOnce(const Target& target, std::string_view request);

struct Batch {
    double seconds = 0;       // wall time of the whole batch
    std::vector<double> each; // seconds per request
    unsigned failures = 0;
    std::string firstAnswer;
};

// n requests one after the other.
Batch runBatch(const Target& target, std::string_view request, unsigned n);

double monotonicSeconds();

} // namespace bench
