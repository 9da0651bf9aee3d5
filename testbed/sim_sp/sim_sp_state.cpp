// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/sim_sp/sim_sp_state.h"

#include <cstring>

#include <fcntl.h>
#include <hlink_shared.h>
#include <sys/file.h>
#include <unistd.h>

#include "testbed/common/unique_fd.h"

namespace testbed::simsp {

void setDefaults(State& state) noexcept
{
    auto* begin = reinterpret_cast<unsigned char*>(&state.serverPid);
    const std::int32_t pid = state.serverPid;
    const std::uint32_t bound = state.boundAddress;
    const std::uint32_t listening = state.listening;
    std::memset(begin, 0, sizeof(State) - offsetof(State, serverPid));
    // What the running SP has in place is a fact, not a setting.
    state.serverPid = pid;
    state.boundAddress = bound;
    state.listening = listening;
    state.wantListening = 1;
    state.address = HLINK_DEFAULT_SP_IP;
    for (CommandConfig& c : state.commands)
        c = CommandConfig{static_cast<std::uint32_t>(Mode::CloseWithoutReply), 0, 0, 0};
    for (unsigned char c : {'h', 'p'})
        state.commands[c] = CommandConfig{static_cast<std::uint32_t>(Mode::Reply), kDefaultInterval, 0, 50};
    state.commands[static_cast<unsigned char>('x')] = CommandConfig{static_cast<std::uint32_t>(Mode::Reply), 0, 0, 0};
}

SharedMapping openOrCreateState() noexcept
{
    // The file lock keeps two openers from both creating the record.
    UniqueFd guard(::open("/run/testbed/sp/state.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!guard || flock(guard.get(), LOCK_EX) != 0)
        return {};
    SharedMapping mapping = SharedMapping::open(kSpStatePath, sizeof(State));
    State* state = stateOf(mapping);
    if (state && state->magic == kMagic && state->version == kVersion && state->size == sizeof(State))
        return mapping;
    mapping = SharedMapping::create(kSpStatePath, sizeof(State));
    if (State* fresh = stateOf(mapping)) {
        fresh->magic = kMagic;
        fresh->version = kVersion;
        fresh->size = sizeof(State);
        initSharedMutex(fresh->lock);
        setDefaults(*fresh);
    }
    return mapping;
}

} // namespace testbed::simsp
