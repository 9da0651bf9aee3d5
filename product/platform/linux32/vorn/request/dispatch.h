// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Request dispatch: one request per admitted connection, the handler chosen
// through a table indexed by the request's first byte.
#pragma once

#include <array>

#include "request/document.h"
#include "shared/unique_fd.h"

namespace vorn {

// A document handler builds the whole response document in outBuf; the
// dispatcher sends it. A direct handler writes its own answer bytes (or
// none) to the connection. The host-link handler owns the connection and
// returns nonzero when the host link has moved.
using DocumentHandler = void (*)(OutBuf& outBuf, ReqBuf& buf);
using DirectHandler = void (*)(int new_sock, ReqBuf& buf);
using HostLinkHandler = int (*)(UniqueFd new_sock, OutBuf& outBuf, ReqBuf& buf);

// One row of the command table; at most one handler is set. A row with none
// is an invalid request.
struct Command {
    DocumentHandler document = nullptr;
    DirectHandler direct = nullptr;
    HostLinkHandler hostLink = nullptr;
};

using CommandTable = std::array<Command, 256>;

// The agent's commands.
const CommandTable& commandTable() noexcept;

// The document sent for a letter that names no command.
void buildInvalidRequest(OutBuf& outBuf) noexcept;

// How long the dispatcher waits for an admitted peer's request before it
// drops the connection, so a silent peer cannot hold the server.
inline constexpr int kRequestReadTimeoutSeconds = 10;

// Reads one request from new_sock, runs its handler, replies and closes the
// connection (except for the host-link command, whose handler owns it).
// Returns the host-link handler's result, else 0.
int handleRequest(UniqueFd new_sock, const CommandTable& table = commandTable());

} // namespace vorn
