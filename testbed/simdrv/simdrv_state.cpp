// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/simdrv/simdrv_state.h"

#include <cerrno>
#include <cstring>

namespace testbed::simdrv {

namespace {

struct RequestInfo {
    unsigned long code;
    Device device;
    const char* name;
};

constexpr RequestInfo kRequests[kRequestCount] = {
    {IOCTL_SET_PLAT_IP, kHlink, "IOCTL_SET_PLAT_IP"},
    {IOCTL_GET_PLAT_IP, kHlink, "IOCTL_GET_PLAT_IP"},
    {IOCTL_GET_SP_IP, kHlink, "IOCTL_GET_SP_IP"},
    {IOCTL_SET_SP_IP, kHlink, "IOCTL_SET_SP_IP"},
    {IOCTL_MC_REG_IF, kMc, "IOCTL_MC_REG_IF"},
    {IOCTL_HB_BEAT, kMc, "IOCTL_HB_BEAT"},
    {IOCTL_GET_CPU_TEMP, kMc, "IOCTL_GET_CPU_TEMP"},
    {IOCTL_GET_DIMM_MAP, kMc, "IOCTL_GET_DIMM_MAP"},
    {IOCTL_GET_CPUID_VALUE, kMc, "IOCTL_GET_CPUID_VALUE"},
};

} // namespace

unsigned long requestCode(Request request) noexcept
{
    return kRequests[request].code;
}

Request requestOf(unsigned long code) noexcept
{
    for (std::uint32_t i = 0; i < kRequestCount; ++i)
        if (kRequests[i].code == code)
            return static_cast<Request>(i);
    return kRequestCount;
}

Device deviceOf(Request request) noexcept
{
    return kRequests[request].device;
}

const char* requestName(Request request) noexcept
{
    return request < kRequestCount ? kRequests[request].name : "unknown request";
}

void setDefaults(State& state) noexcept
{
    // Everything after the lock goes back to a fresh board.
    auto* begin = reinterpret_cast<unsigned char*>(&state.failMask);
    std::memset(begin, 0, sizeof(State) - offsetof(State, failMask));
    state.failErrno = EIO;
    state.platIp = kDefaultPlatIp;
    state.spIp = kDefaultSpIp;
    state.spIpFile = kSpIpFromDriver;
    const std::int32_t temps[4] = {45, 47, 44, 46};
    std::memcpy(state.cpuTemp, temps, sizeof temps);
    const std::uint8_t cpuid[8] = {0x0f, 0x0f, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(state.cpuidValue, cpuid, sizeof cpuid);
    // A recognisable pattern: word k of the map holds 0xD1000000 + k.
    auto* words = reinterpret_cast<unsigned char*>(&state.dimmMap);
    for (std::size_t k = 0; k < sizeof(platform_data_t) / 4; ++k) {
        const std::uint32_t value = 0xD1000000u + static_cast<std::uint32_t>(k);
        std::memcpy(words + 4 * k, &value, 4);
    }
}

SharedMapping createState() noexcept
{
    return createState(kDriverStatePath);
}

SharedMapping createState(const char* path) noexcept
{
    SharedMapping mapping = SharedMapping::create(path, sizeof(State));
    if (State* state = stateOf(mapping)) {
        state->magic = kMagic;
        state->version = kVersion;
        state->size = sizeof(State);
        initSharedMutex(state->lock);
        setDefaults(*state);
    }
    return mapping;
}

SharedMapping openState() noexcept
{
    SharedMapping mapping = SharedMapping::open(kDriverStatePath, sizeof(State));
    const State* state = stateOf(mapping);
    if (!state || state->magic != kMagic || state->version != kVersion || state->size != sizeof(State))
        return {};
    return mapping;
}

std::string dottedQuad(std::uint64_t hostOrderAddress)
{
    const auto a = static_cast<std::uint32_t>(hostOrderAddress);
    return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xff) + '.' + std::to_string((a >> 8) & 0xff) +
           '.' + std::to_string(a & 0xff);
}

} // namespace testbed::simdrv
