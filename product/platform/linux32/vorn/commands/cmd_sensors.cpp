// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Sensor query ('C': CPU temperatures, CPU id value, CPU model number) and
// memory-map query ('M': the raw memory-module map), both through the
// management-controller driver, opened anew for each request.
#include "commands/cmd_sensors.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include "dimm_map.h"
#include "mc.h"
#include "request/net_io.h"
#include "shared/log.h"
#include "shared/unique_fd.h"

namespace vorn {

namespace {

constexpr const char* kCpuInfoPath = "/proc/cpuinfo";
constexpr std::string_view kModelKey = "Processor";

UniqueFd openMcDriver()
{
    return UniqueFd(::open(MC_DRIVER_PATH, O_RDWR | O_CLOEXEC));
}

constexpr bool isTokenSeparator(char c) noexcept
{
    return c == '\n' || c == ':' || c == ' ';
}

} // namespace

bool ModelNumberScan::feed(std::string_view piece) noexcept
{
    std::size_t i = 0;
    const std::size_t n = piece.size();
    // While searching, only a token's first characters matter, and only as
    // long as they still spell the key: the rest of a token is passed over.
    // (A prefix that went astray is marked by a length the key cannot have.)
    constexpr std::size_t kAstray = kModelKey.size() + 1;
    while (i < n && phase_ == Phase::Searching) {
        const char c = piece[i++];
        if (isTokenSeparator(c)) {
            if (inToken_) {
                endToken();
            }
            continue;
        }
        if (!inToken_) {
            inToken_ = true;
            prefixLen_ = 0;
        }
        if (prefixLen_ < prefix_.size()) {
            prefix_[prefixLen_] = c;
            prefixLen_ = c == kModelKey[prefixLen_] ? prefixLen_ + 1 : kAstray;
        }
        if (prefixLen_ >= prefix_.size()) {
            while (i < n && !isTokenSeparator(piece[i])) {
                ++i;
            }
        }
    }
    for (; i < n; ++i) {
        const char c = piece[i];
        if (phase_ == Phase::Settled) {
            break;
        }
        if (isTokenSeparator(c)) {
            if (inToken_) {
                endToken();
            }
            continue;
        }
        if (!inToken_) {
            inToken_ = true;
            prefixLen_ = 0;
            if (phase_ == Phase::AfterMatch) {
                phase_ = Phase::Number;
                number_ = AtolParser{};
            }
        }
        if (phase_ == Phase::Searching) {
            if (prefixLen_ < prefix_.size()) {
                prefix_[prefixLen_++] = c;
            }
        } else if (phase_ == Phase::Number && !number_.feed(c)) {
            // The number ended inside the token; the rest cannot change it.
            value_ = static_cast<int>(number_.result());
            phase_ = Phase::Settled;
        }
    }
    return settled();
}

void ModelNumberScan::endToken() noexcept
{
    inToken_ = false;
    if (phase_ == Phase::Searching) {
        if (prefixLen_ == kModelKey.size() && std::string_view(prefix_.data(), prefixLen_) == kModelKey) {
            phase_ = Phase::AfterMatch;
        }
    } else if (phase_ == Phase::Number) {
        value_ = static_cast<int>(number_.result());
        phase_ = Phase::Settled;
    }
}

void ModelNumberScan::finish() noexcept
{
    if (inToken_) {
        endToken();
    }
    // A "Processor" token that ends the text has no number after it: the
    // first match decides, so the result stays 0.
    phase_ = Phase::Settled;
}

int modelNumberFromText(std::string_view text) noexcept
{
    ModelNumberScan scan;
    scan.feed(text);
    scan.finish();
    return scan.value();
}

int get_model_num()
{
    UniqueFd inFile(::open(kCpuInfoPath, O_RDONLY | O_CLOEXEC));
    if (!inFile) {
        logf(LOG_CRIT, "unable to open %s\n", kCpuInfoPath);
        return 0;
    }
    // The whole file is one text: a word that straddles two reads is still
    // one token. The first match decides, so reading stops there.
    ModelNumberScan scan;
    std::array<char, 4096> buf{};
    for (;;) {
        const ssize_t bytesRx = ::read(inFile.get(), buf.data(), buf.size());
        if (bytesRx < 0 && errno == EINTR) {
            continue;
        }
        if (bytesRx <= 0) {
            break;
        }
        if (scan.feed(std::string_view(buf.data(), static_cast<std::size_t>(bytesRx)))) {
            break;
        }
    }
    scan.finish();
    return scan.value();
}

void appendSensorElements(OutBuf& outBuf, const SensorReadings& readings)
{
    if (!readings.deviceOpen) {
        printAppend(outBuf, "<error>Can't open to MC driver</error>");
    } else {
        for (int i = 0; i < kTempCpus; ++i) {
            if (!readings.tempRead[static_cast<std::size_t>(i)]) {
                printAppendf(outBuf, "<error>CPU%d temp read failed</error>", i);
            } else {
                printAppendf(outBuf, "<temp%d>%d</temp%d>", i, readings.temp[static_cast<std::size_t>(i)], i);
            }
        }
        if (!readings.cpuidRead) {
            printAppend(outBuf, "<error>unable to get cpuid value</error>");
        } else {
            printAppendf(outBuf, "<cpuid>%02x</cpuid>", static_cast<unsigned int>(readings.cpuidValue & 0xFFu));
        }
    }
    printAppendf(outBuf, "<ModelNumber>%d</ModelNumber>", readings.modelNumber);
}

void get_temp(OutBuf& outBuf)
{
    SensorReadings readings{};
    {
        UniqueFd mcfd = openMcDriver();
        readings.deviceOpen = mcfd.valid();
        if (mcfd) {
            for (int i = 0; i < kTempCpus; ++i) {
                std::int32_t val = i;
                const auto idx = static_cast<std::size_t>(i);
                readings.tempRead[idx] = ::ioctl(mcfd.get(), IOCTL_GET_CPU_TEMP, &val) >= 0;
                readings.temp[idx] = val;
            }
            // The driver stores the value in the 8 bytes; their meaning on
            // entry is none.
            std::array<unsigned char, 8> idBuf{};
            readings.cpuidRead = ::ioctl(mcfd.get(), IOCTL_GET_CPUID_VALUE, idBuf.data()) >= 0;
            std::memcpy(&readings.cpuidValue, idBuf.data(), idBuf.size());
        }
    }
    readings.modelNumber = get_model_num();

    printStart(outBuf);
    appendSensorElements(outBuf, readings);
    printEnd(outBuf);
}

void get_dimmmap(int new_sock)
{
    UniqueFd mcfd = openMcDriver();
    if (!mcfd) {
        return;
    }
    platform_data_t map{};
    if (::ioctl(mcfd.get(), IOCTL_GET_DIMM_MAP, &map) < 0) {
        return;
    }
    sendOnce(new_sock, &map, sizeof map);
}

} // namespace vorn
