// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// simdrv_probe COMMAND [ARG]: issues one driver request the way the daemon
// does, and prints "ok VALUE" or "err ERRNO". Run with the simulated drivers
// preloaded, to test them on their own.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dimm_map.h>
#include <fcntl.h>
#include <hlink_shared.h>
#include <mc.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int fail(int error)
{
    std::printf("err %d\n", error);
    return 0;
}

std::string hex(const void* data, std::size_t size)
{
    std::string out;
    char byte[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<const unsigned char*>(data)[i]);
        out += byte;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string cmd = argv[1];
    const unsigned long long value = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 0;

    if (cmd == "spip" || cmd == "spip-open") {
        char buf[2048] = {};
        std::size_t n = 0;
        if (cmd == "spip") {
            FILE* f = std::fopen("/proc/hlink/sp_ip", "r");
            if (!f)
                return fail(errno);
            n = std::fread(buf, 1, sizeof buf - 1, f);
            std::fclose(f);
        } else {
            const int fd = open("/proc/hlink/sp_ip", O_RDONLY);
            if (fd < 0)
                return fail(errno);
            const ssize_t r = read(fd, buf, sizeof buf - 1);
            close(fd);
            n = r > 0 ? static_cast<std::size_t>(r) : 0;
        }
        std::printf("ok %s\n", hex(buf, n).c_str());
        return 0;
    }
    if (cmd == "regular-file") {
        const int fd = open("/tmp/simdrv_probe.file", O_RDWR | O_CREAT | O_TRUNC, 0644);
        std::uint64_t v = 0;
        const int r = ioctl(fd, IOCTL_GET_PLAT_IP, &v);
        close(fd);
        return r < 0 ? fail(errno) : (std::printf("ok %d\n", r), 0);
    }

    const bool hlink =
        cmd == "get-plat" || cmd == "get-sp" || cmd == "set-plat" || cmd == "set-sp" || cmd == "mc-on-hlink";
    const int fd = open(hlink ? HLINK_DRIVER_PATH : MC_DRIVER_PATH, O_RDWR);
    if (fd < 0)
        return fail(errno);
    int r = -1;
    std::string out;
    if (cmd == "get-plat" || cmd == "get-sp") {
        std::uint64_t v = 0;
        r = ioctl(fd, cmd == "get-plat" ? IOCTL_GET_PLAT_IP : IOCTL_GET_SP_IP, &v);
        out = std::to_string(v);
    } else if (cmd == "set-plat" || cmd == "set-sp") {
        r = ioctl(fd, cmd == "set-plat" ? IOCTL_SET_PLAT_IP : IOCTL_SET_SP_IP, static_cast<std::uint64_t>(value));
    } else if (cmd == "beat" || cmd == "mc-on-hlink") {
        r = ioctl(fd, IOCTL_HB_BEAT, 0);
    } else if (cmd == "temp") {
        std::int32_t v = static_cast<std::int32_t>(value);
        r = ioctl(fd, IOCTL_GET_CPU_TEMP, &v);
        out = std::to_string(v);
    } else if (cmd == "cpuid") {
        unsigned char v[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
        r = ioctl(fd, IOCTL_GET_CPUID_VALUE, v);
        out = hex(v, sizeof v);
    } else if (cmd == "dimm") {
        platform_data_t map{};
        r = ioctl(fd, IOCTL_GET_DIMM_MAP, &map);
        out = hex(&map, sizeof map);
    } else if (cmd == "mcpoll") {
        RegIfVals records[MC_RECORDS_PER_POLL];
        std::memset(records, 0, sizeof records);
        r = ioctl(fd, IOCTL_MC_REG_IF, records);
        out = hex(records, sizeof records);
    } else {
        close(fd);
        return 2;
    }
    const int error = errno;
    close(fd);
    if (r < 0)
        return fail(error);
    std::printf("ok %s\n", out.c_str());
    return 0;
}
