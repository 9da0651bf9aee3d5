// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The dispatcher over a connected socket pair, with a table of test handlers
// only: no real command runs here.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "envelope.h"
#include "request/dispatch.h"
#include "request/net_io.h"
#include "shared/unique_fd.h"
#include "socket_pair.h"

namespace vorn {
namespace {

const std::string kInvalid = testsupport::enveloped("<error>Invalid request</error>");

struct Pair {
    UniqueFd server;
    UniqueFd client;
};

Pair makePair()
{
    auto [server, client] = testsupport::socketPair();
    return {std::move(server), std::move(client)};
}

std::string readToClose(int fd)
{
    std::string all;
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

// What the test handlers saw.
std::string lastRequest;
int directSocket = -1;

CommandTable testTable()
{
    CommandTable t{};
    t['a'].document = [](OutBuf& o, ReqBuf& b) {
        lastRequest = b.data();
        printStart(o);
        printAppend(o, "<a/>");
        printEnd(o);
    };
    t['r'].direct = [](int s, ReqBuf&) {
        directSocket = s;
        sendOnce(s, "RAW");
    };
    t['J'].hostLink = [](UniqueFd s, OutBuf&, ReqBuf&) {
        sendOnce(s.get(), "moved");
        return 1;
    };
    return t;
}

std::string roundTrip(const std::string& request, int* result = nullptr)
{
    Pair p = makePair();
    if (!request.empty()) {
        sendOnce(p.client.get(), request);
    }
    ::shutdown(p.client.get(), SHUT_WR);
    const int r = handleRequest(std::move(p.server), testTable());
    if (result != nullptr) {
        *result = r;
    }
    return readToClose(p.client.get());
}

TEST(Dispatch, UnknownLettersGetTheInvalidRequestDocument)
{
    for (const std::string& req : std::vector<std::string>{"x", "\xff", "A", "Zrest", std::string(1, '\0')}) {
        const std::string reply = roundTrip(req);
        EXPECT_EQ(reply, kInvalid) << "request " << req;
        EXPECT_EQ(reply.size(), 87u);
    }
}

TEST(Dispatch, DocumentHandlerReplyIsSentAndConnectionClosed)
{
    int result = -1;
    EXPECT_EQ(roundTrip("a hello", &result), testsupport::enveloped("<a/>"));
    EXPECT_EQ(lastRequest, "a hello");
    EXPECT_EQ(result, 0);
}

TEST(Dispatch, DirectHandlerBytesOnlyNoDocument)
{
    EXPECT_EQ(roundTrip("r"), "RAW");
}

TEST(Dispatch, HostLinkHandlerResultIsReturned)
{
    int result = 0;
    EXPECT_EQ(roundTrip("J p=1 s=2", &result), "moved");
    EXPECT_EQ(result, 1);
}

TEST(Dispatch, PeerThatClosesWithoutSendingGetsNothing)
{
    int result = -1;
    EXPECT_EQ(roundTrip("", &result), "");
    EXPECT_EQ(result, 0);
}

TEST(Dispatch, RequestIsReadOnceAndCutAt256Bytes)
{
    const std::string longRequest = "a" + std::string(300, 'q');
    roundTrip(longRequest);
    EXPECT_EQ(lastRequest, longRequest.substr(0, 256));
}

TEST(Dispatch, RealTableServesTheEighteenLettersOnly)
{
    const CommandTable& table = commandTable();
    const std::string letters = "BCDEHJLMTbcdefhpsv";
    int rows = 0;
    for (int c = 0; c < 256; ++c) {
        const Command& cmd = table[static_cast<std::size_t>(c)];
        const int set = (cmd.document != nullptr) + (cmd.direct != nullptr) + (cmd.hostLink != nullptr);
        EXPECT_LE(set, 1);
        if (set == 1) {
            ++rows;
            EXPECT_NE(letters.find(static_cast<char>(c)), std::string::npos) << c;
        }
    }
    EXPECT_EQ(rows, 18);
    EXPECT_NE(table['c'].direct, nullptr);
    EXPECT_NE(table['M'].direct, nullptr);
    EXPECT_NE(table['J'].hostLink, nullptr);
}

} // namespace
} // namespace vorn
