// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The dispatch of one request, with the parsing of every command handler:
// the input goes to handleRequest on a socket pair, as the SP's connection.
//
// Runs only inside the test sandbox (vorn-sandbox): the handlers use their
// fixed paths ("/etc/resolv.conf", "/tmp", "/dev/hlink", ...), which there
// are the sandbox's copy-on-write view. The running of programs is this
// harness's own (the agent hands every command line to shell.h): command
// lines are recorded and checked, never run; a power command's pipe reads a
// text of the harness's choosing.
//
// Input: the first 256 bytes are the request (the dispatcher reads at most
// 256). Bytes beyond them describe the world around the command: byte 256
// chooses the programs' status, whether a pipe can be opened and whether
// "/etc/resolv.conf" exists; the rest is the programs' output, the error
// file's content and the text of "/etc/resolv.conf".
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <dimm_map.h>

#include "fuzz_support.h"
#include "request/dispatch.h"
#include "shared/shell.h"
#include "shared/unique_fd.h"
#include "testbed/board/board.h"

namespace {

constexpr const char* kWorkDir = "/tmp/vorn-fuzz";
constexpr const char* kPipeOutput = "/tmp/vorn-fuzz/output";
constexpr std::size_t kWorldTextMax = 8192;

struct World {
    int status = 0;         // what runShell returns, and the pipe's exit code
    bool pipeFails = false; // openShellPipe gives no pipe
    bool noResolvConf = false;
    std::string text;
};

World world;
std::vector<std::string> shellLines;
bool moveFailed = false;

void writeWhole(const char* path, std::string_view text)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    fuzz::check(fd >= 0, "the harness cannot write a file", path);
    fuzz::check(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "short harness write",
                path);
    ::close(fd);
}

bool matches(const std::string& line, const char* pattern)
{
    return std::regex_match(line, std::regex(pattern));
}

// The only command lines the agent may hand to the shell. The interface
// address command's line holds only clean characters but for the fixed
// redirection into its error file.
void checkShellLine(const std::string& line)
{
    if (line.rfind("/sbin/ifconfig ", 0) == 0 && line.find(';') == std::string::npos) {
        std::string_view request(line);
        const std::size_t redirect = line.rfind(" 2>/tmp/vorn.log");
        if (redirect != std::string::npos && line.size() == redirect + 22)
            request = request.substr(0, redirect);
        for (const char c : request)
            fuzz::check(fuzz::isCleanCharacter(c), "a shell metacharacter of the request reached the shell", line);
        return;
    }
    if (matches(line, R"(/bin/mv /tmp/resolv\.conf[A-Za-z0-9]{6} /etc/resolv\.conf)") ||
        matches(line, R"(/bin/sed 's/\^\.\*ifconfig hlink0 \[0-9\]\.\*\$/ifconfig hlink0 [0-9.]{7,15}/' )"
                      R"(/etc/init\.d/vorn > \.vorn; /bin/cp \.vorn /etc/init\.d/vorn;/bin/rm \.vorn;)") ||
        matches(line, R"(/sbin/ifconfig hlink0 down; ifconfig hlink0 [0-9.]{7,15})"))
        return;
    fuzz::fail("an unexpected command line reached the shell", line);
}

void removeMatching(const char* dir, std::string_view prefix)
{
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d))
            if (std::string_view(e->d_name).substr(0, prefix.size()) == prefix)
                ::unlink((std::string(dir) + "/" + e->d_name).c_str());
        ::closedir(d);
    }
}

bool anyMatching(const char* dir, std::string_view prefix)
{
    bool found = false;
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d))
            found = found || std::string_view(e->d_name).substr(0, prefix.size()) == prefix;
        ::closedir(d);
    }
    return found;
}

} // namespace

namespace vorn {

int runShell(const char* commandLine)
{
    const std::string line = commandLine;
    shellLines.push_back(line);
    checkShellLine(line);
    // The error output lands in the agent's error file.
    if (const std::size_t redirect = line.rfind(" 2>/tmp/vorn.log"); redirect != std::string::npos) {
        const std::string file = line.substr(redirect + 3);
        struct stat st {};
        fuzz::check(::stat(file.c_str(), &st) == 0, "redirection into a file the agent did not make", file);
        writeWhole(file.c_str(), world.text);
    }
    // A move that succeeds takes the temporary copy away.
    if (line.rfind("/bin/mv ", 0) == 0) {
        if (world.status == 0)
            ::unlink(line.substr(8, 22).c_str());
        else
            moveFailed = true;
    }
    return world.status;
}

UniquePipe openShellPipe(const char* commandLine)
{
    const std::string line = commandLine;
    shellLines.push_back(line);
    fuzz::check(line == "/sbin/shutdown -h now 2>&1" || line == "/sbin/init 0 2>&1" || line == "/sbin/reboot 2>&1" ||
                    line == "/sbin/reboot -f 2>&1",
                "an unexpected command line reached a pipe", line);
    if (world.pipeFails)
        return UniquePipe();
    writeWhole(kPipeOutput, world.text);
    // A harmless program stands in: it writes the chosen output and ends
    // with the chosen code.
    const std::string standIn =
        "/bin/cat " + std::string(kPipeOutput) + "; exit " + std::to_string((world.status >> 8) & 0xff);
    return UniquePipe(::popen(standIn.c_str(), "re"));
}

} // namespace vorn

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Never anywhere but in the sandbox: the handlers write fixed paths.
    testbed::requireSandbox();
    ::mkdir(kWorkDir, 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view request = input.substr(0, std::min(size, vorn::kRequestSize));
    world = World{};
    if (size > vorn::kRequestSize) {
        const auto choice = static_cast<std::uint8_t>(input[vorn::kRequestSize]);
        constexpr int kStatuses[] = {0, 256, 512, -1};
        world.status = kStatuses[choice % 4];
        world.pipeFails = (choice & 0x10) != 0;
        world.noResolvConf = (choice & 0x20) != 0;
        world.text = std::string(input.substr(vorn::kRequestSize + 1, kWorldTextMax));
    } else {
        world.text = "search example.com\nnameserver 10.0.0.1\n";
    }
    shellLines.clear();
    moveFailed = false;
    const char letter = request.empty() ? '\0' : request[0];
    if (letter == 'd' || letter == 'D') {
        if (world.noResolvConf)
            ::unlink("/etc/resolv.conf");
        else
            writeWhole("/etc/resolv.conf", world.text);
    }

    int pair[2];
    fuzz::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "no socket pair");
    vorn::UniqueFd sp(pair[0]);
    if (!request.empty())
        fuzz::check(::send(sp.get(), request.data(), request.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(request.size()),
                    "the request did not fit the socket");
    ::shutdown(sp.get(), SHUT_WR);

    const int hlinkChanged = vorn::handleRequest(vorn::UniqueFd(pair[1]));

    std::string reply;
    char buf[8192];
    ssize_t n;
    while ((n = ::recv(sp.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0)
        reply.append(buf, static_cast<std::size_t>(n));
    if (n != 0) {
        // EAGAIN: the agent's end is still open; ECONNRESET: it was closed
        // with request bytes it never read.
        const std::string why = std::string(std::strerror(errno)) + " after the reply: ";
        fuzz::fail("the connection was not closed cleanly", why + reply);
    }

    if (request.empty()) {
        fuzz::check(reply.empty(), "a reply to nothing", reply);
    } else if (letter == 'c') {
        if (reply.size() == 1)
            fuzz::check(reply[0] == '\0', "a one-byte 'c' reply that is not zero", reply);
        else if (!reply.empty())
            fuzz::checkCpuRecord(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    } else if (letter == 'M') {
        fuzz::check(reply.empty() || reply.size() == sizeof(platform_data_t), "a memory map of the wrong size", reply);
    } else {
        fuzz::checkDocumentText(reply);
    }
    fuzz::check(letter == 'J' || hlinkChanged == 0, "only the host-link command moves the link");

    // No error file remains, and a temporary copy only after a failed move.
    fuzz::check(!anyMatching("/tmp", "vorn.log"), "an error file was left in /tmp");
    fuzz::check(moveFailed || !anyMatching("/tmp", "resolv.conf"), "a temporary copy was left in /tmp");
    removeMatching("/tmp", "resolv.conf");
    return 0;
}
