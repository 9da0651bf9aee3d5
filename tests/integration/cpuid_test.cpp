// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// 'c' against the running daemon, with CPU descriptions bound over
// "/proc/cpuinfo".
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_fixtures.h"
#include "testbed/board/board.h"

namespace {

using testbed::Board;
using vorn::testsupport::cpuIdentityRecord;

std::string fixture(const std::string& name)
{
    return vorn::testsupport::readFixture("cpuinfo", name);
}

// One CPU as a current kernel describes it: about 1.6 KB with its flags.
std::string cpuEntry(int n)
{
    std::string flags;
    for (int i = 0; i < 160; ++i) {
        flags += " feature_" + std::to_string(i);
    }
    std::ostringstream e;
    e << "processor\t: " << n << "\n"
      << "vendor_id\t: GenuineKelmora\n"
      << "cpu family\t: 6\n"
      << "model\t\t: " << (80 + n % 16) << "\n"
      << "model name\t: Kelmora(R) Scale CPU " << n << " @ 2.40GHz\n"
      << "stepping\t: " << n % 8 << "\n"
      << "microcode\t: 0x2006b06\n"
      << "cpu MHz\t\t: " << (2400 + n) << ".123\n"
      << "cache size\t: 36608 KB\n"
      << "physical id\t: " << n / 32 << "\n"
      << "siblings\t: 64\n"
      << "core id\t\t: " << n % 32 << "\n"
      << "cpu cores\t: 32\n"
      << "apicid\t\t: " << n << "\n"
      << "fpu\t\t: yes\n"
      << "flags\t\t:" << flags << "\n"
      << "bugs\t\t: spectre_v1 spectre_v2\n"
      << "bogomips\t: 4800.00\n"
      << "address sizes\t: 46 bits physical, 57 bits virtual\n"
      << "power management:\n\n";
    return e.str();
}

std::string manyCpus(int count)
{
    std::string text;
    for (int n = 0; n < count; ++n) {
        text += cpuEntry(n);
    }
    return text;
}

unsigned byteAt(const std::string& s, std::size_t i)
{
    return static_cast<unsigned char>(s.at(i));
}

struct UniqueSocket {
    explicit UniqueSocket(int f) : fd(f) {}
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    ~UniqueSocket()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int fd;
};

class CpuidTest : public ::testing::Test {
protected:
    Board board;

    testbed::Reply ask(const std::string& cpuinfo, std::string_view request)
    {
        board.bindOver("/proc/cpuinfo", cpuinfo);
        if (!started_) {
            board.start();
            started_ = true;
        }
        testbed::Reply reply = board.request(request);
        EXPECT_TRUE(reply.connected);
        EXPECT_TRUE(reply.closed) << "the daemon did not close the connection";
        return reply;
    }

private:
    bool started_ = false;
};

TEST_F(CpuidTest, TwoCpusEachRecordByteForByte)
{
    const std::string cpuinfo = fixture("two_cpus");
    const testbed::Reply cpu0 = ask(cpuinfo, "c 0");
    ASSERT_EQ(cpu0.bytes.size(), 128u) << testbed::printable(cpu0.bytes);
    EXPECT_EQ(cpu0.bytes, cpuIdentityRecord("Kelmora(R) Test CPU @ 2.19GHz", "AuthenticAMD",
                                            "x86 Family 15 Model 65 Stepping 2", 2193));
    // The worked layout: L1 = 29, L0 = 12, LE = 33.
    EXPECT_EQ(byteAt(cpu0.bytes, 33), 92u);
    EXPECT_EQ(byteAt(cpu0.bytes, 88), 4u);
    EXPECT_EQ(cpu0.bytes.substr(89, 4), std::string("\x00\x00\x08\x91", 4));
    EXPECT_EQ(cpu0.bytes.substr(93, 2), "RV");
    EXPECT_EQ(byteAt(cpu0.bytes, 95), 32u);
    const unsigned sum = std::accumulate(cpu0.bytes.begin(), cpu0.bytes.begin() + 97, 0u,
                                         [](unsigned s, char c) { return s + static_cast<unsigned char>(c); });
    EXPECT_EQ(sum % 256, 0u) << "checksum";
    EXPECT_EQ(cpu0.bytes.substr(97, 30), std::string(30, '\0'));
    EXPECT_EQ(byteAt(cpu0.bytes, 127), 0x78u);

    const testbed::Reply cpu1 = board.request("c 1");
    EXPECT_EQ(cpu1.bytes, cpuIdentityRecord("Kelmora(R) Test CPU @ 1.00GHz", "AuthenticAMD",
                                            "x86 Family 15 Model 65 Stepping 2", 1000));
}

TEST_F(CpuidTest, BareLetterAndNonNumericAskForCpuZero)
{
    const std::string cpuinfo = fixture("two_cpus");
    const std::string cpu0 =
        cpuIdentityRecord("Kelmora(R) Test CPU @ 2.19GHz", "AuthenticAMD", "x86 Family 15 Model 65 Stepping 2", 2193);
    EXPECT_EQ(ask(cpuinfo, "c").bytes, cpu0);
    EXPECT_EQ(board.request("c cpu1").bytes, cpu0);
    EXPECT_EQ(board.request("c1").bytes, cpu0); // the number starts at offset 2
}

TEST_F(CpuidTest, RealSizedDescriptionOf64Cpus)
{
    const std::string cpuinfo = manyCpus(64);
    ASSERT_GT(cpuinfo.size(), 100u * 1024);
    for (int cpu = 0; cpu < 4; ++cpu) {
        const testbed::Reply reply = cpu == 0 ? ask(cpuinfo, "c 0") : board.request("c " + std::to_string(cpu));
        SCOPED_TRACE(cpu);
        EXPECT_EQ(
            reply.bytes,
            cpuIdentityRecord("Kelmora(R) Scale CPU " + std::to_string(cpu) + " @ 2.40GHz", "GenuineKelmora",
                              "x86 Family 6 Model " + std::to_string(80 + cpu) + " Stepping " + std::to_string(cpu),
                              static_cast<std::uint32_t>(2400 + cpu)))
            << testbed::printable(reply.bytes);
    }
}

TEST_F(CpuidTest, CpuThreeOfEight)
{
    const testbed::Reply reply = ask(fixture("eight_cpus"), "c 3");
    EXPECT_EQ(reply.bytes,
              cpuIdentityRecord("Kelmora(R) Test CPU 3", "AuthenticAMD", "x86 Family 18 Model 63 Stepping 3", 1003));
}

TEST_F(CpuidTest, MissingFieldsGiveEmptyTexts)
{
    const testbed::Reply reply = ask(fixture("missing_field"), "c 1");
    EXPECT_EQ(reply.bytes, cpuIdentityRecord("", "AuthenticAMD", "x86 Family 15 Model 65 Stepping ", 2193));
    EXPECT_EQ(byteAt(reply.bytes, 1), 0u);
    EXPECT_EQ(byteAt(reply.bytes, 3), 0x90u);
}

TEST_F(CpuidTest, LeadingBlanksDroppedTabsKept)
{
    const testbed::Reply reply = ask(fixture("blanks_tabs"), "c 0");
    EXPECT_EQ(reply.bytes,
              cpuIdentityRecord("Kelmora(R) Test CPU", "\tAuthenticAMD", "x86 Family 15 Model 65 Stepping 2", 2193));
}

TEST_F(CpuidTest, OverlongTextsShortenTheModelName)
{
    const std::string cpuinfo = fixture("long_texts");
    const testbed::Reply reply = ask(cpuinfo, "c 0");
    ASSERT_EQ(reply.bytes.size(), 128u);
    // 104 bytes less the vendor (12) and the engineering-change text (33).
    const std::string name = "Kelmora(R) Extended Test Processor with a very long brand string that overflows the "
                             "identity record room @ 2.19GHz";
    ASSERT_GT(name.size() + 12 + 33, 104u);
    EXPECT_EQ(reply.bytes,
              cpuIdentityRecord(name.substr(0, 59), "AuthenticAMD", "x86 Family 15 Model 65 Stepping 2", 2193));
    EXPECT_EQ(byteAt(reply.bytes, 125), 2u); // RV length 106 - 104
}

TEST_F(CpuidTest, NumbersOutsideZeroToThreeGetOneZeroByte)
{
    const std::string cpuinfo = fixture("eight_cpus");
    EXPECT_EQ(ask(cpuinfo, "c 4").bytes, std::string(1, '\0'));
    EXPECT_EQ(board.request("c -1").bytes, std::string(1, '\0'));
    EXPECT_EQ(board.request("c 99999999999").bytes, std::string(1, '\0'));
}

TEST_F(CpuidTest, AbsentCpuGetsNoBytes)
{
    const testbed::Reply reply = ask(fixture("one_cpu"), "c 1");
    EXPECT_EQ(reply.bytes, "");
    EXPECT_EQ(board.request("c 3").bytes, "");
    EXPECT_EQ(board.request("c 0").bytes.size(), 128u);
}

TEST_F(CpuidTest, EmptyDescriptionGetsNoBytes)
{
    EXPECT_EQ(ask("", "c 0").bytes, "");
}

TEST_F(CpuidTest, DescriptionIsReadAnewForEveryRequest)
{
    EXPECT_EQ(ask(fixture("one_cpu"), "c 1").bytes, "");
    board.bindOver("/proc/cpuinfo", fixture("two_cpus"));
    EXPECT_EQ(board.request("c 1").bytes.size(), 128u);
}

TEST_F(CpuidTest, UnopenableDescriptionIsLoggedAndGetsNoBytes)
{
    // A socket file cannot be opened for reading (ENXIO): bound over
    // "/proc/cpuinfo", it stands for a description that cannot be opened.
    const std::string socketPath = "/tmp/vorn-cpuinfo.sock";
    UniqueSocket sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(sock.fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::mount(socketPath.c_str(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr), 0);

    board.start();
    const testbed::Reply reply = board.request("c 0");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_TRUE(board.waitForLog("unable to open /proc/cpuinfo\n", LOG_CRIT));
    // A number outside 0 to 3 does not look at the file.
    EXPECT_EQ(board.request("c 7").bytes, std::string(1, '\0'));
    EXPECT_EQ(board.logCount("unable to open /proc/cpuinfo\n", LOG_CRIT), 1u);
    ::umount2("/proc/cpuinfo", MNT_DETACH);
}

// Time per request on descriptions of 2, 64, 256 and 1024 CPUs: the cost
// must grow no worse than linearly with the size of the description.
TEST_F(CpuidTest, TimePerRequestGrowsNoWorseThanLinearly)
{
    using Micros = std::chrono::duration<double, std::micro>;
    constexpr int kRounds = 25;
    auto median = [this](const std::string& cpuinfo) {
        EXPECT_EQ(ask(cpuinfo, "c 1").bytes.size(), 128u);
        std::vector<double> times;
        for (int i = 0; i < kRounds; ++i) {
            const auto start = testbed::Clock::now();
            const testbed::Reply reply = board.request("c 1");
            times.push_back(Micros(testbed::Clock::now() - start).count());
            EXPECT_EQ(reply.bytes.size(), 128u);
        }
        std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
        return times[kRounds / 2];
    };
    // A real description, where parsing ends at CPU 4, and one whose CPUs
    // are all numbered 0 to 3, so that the whole file is parsed.
    for (bool whole : {false, true}) {
        std::vector<std::pair<std::size_t, double>> medians; // bytes, microseconds
        for (int cpus : {2, 64, 256, 1024}) {
            std::string cpuinfo = manyCpus(cpus);
            if (whole) {
                cpuinfo.clear();
                for (int n = 0; n < cpus; ++n) {
                    cpuinfo += cpuEntry(n % 4);
                }
            }
            medians.emplace_back(cpuinfo.size(), median(cpuinfo));
            std::cout << "[ measure  ] 'c' on " << cpus << " CPUs (" << cpuinfo.size() << " bytes"
                      << (whole ? ", parsed whole" : "") << "): median " << medians.back().second
                      << " us per request\n";
        }
        // From 2 to 1024 CPUs the file grows about 500 times; a cost that
        // grew faster than the file would show here.
        const double growth = static_cast<double>(medians.back().first) / static_cast<double>(medians.front().first);
        EXPECT_LT(medians.back().second, medians.front().second * growth)
            << "time per request grows faster than the description";
        if (!whole) {
            EXPECT_LT(medians.back().second, medians.front().second * 10 + 20000.0)
                << "a 1024-CPU description should cost little more than a small one";
        }
    }
}

} // namespace
