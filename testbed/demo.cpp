// vorn-demo: the daemon on the simulated board. Starts the board, the SP and
// the daemon inside a sandbox, sends a few requests as the SP would (and one
// as a stranger), prints the replies and the log, and stops the daemon.
// Run it directly: outside a sandbox it starts itself again through vorn-sandbox.
#include <cstdio>
#include <cstring>
#include <exception>

#include <syslog.h>
#include <unistd.h>

#include "board.h"

namespace
{

const char* priorityName(int priority)
{
    switch (priority) {
    case LOG_CRIT:
        return "crit";
    case LOG_INFO:
        return "info";
    default:
        return "other";
    }
}

void show(testbed::Board& board, const char* label, std::string_view request, testbed::From from)
{
    const testbed::Reply reply = board.request(request, from);
    std::printf("\n%s\n  request : \"%s\"\n  reply   : %zu bytes%s\n  %s\n", label, testbed::printable(request).c_str(),
                reply.bytes.size(),
                reply.closed ? (reply.reset ? ", connection reset" : ", then closed") : ", no close (timed out)",
                reply.bytes.empty() ? "(nothing)" : testbed::printable(reply.bytes).c_str());
}

int demo()
{
    testbed::Board board;
    std::printf("vorn on the simulated board (host %s, SP %s, stranger %s)\n", testbed::kPlatAddress,
                testbed::kSpAddress, testbed::kStrangerAddress);
    board.sp().setInterval('h', 2000);
    board.sp().setInterval('p', 3000);
    board.start();
    std::printf("daemon started: pid %d (from /var/run/vorn.pid), processes:", board.daemonPid());
    for (const testbed::ProcessInfo& p : board.processes())
        std::printf(" %d(%s,%c)", p.pid, p.comm.c_str(), p.state);
    std::printf("\n");

    show(board, "features, from the SP", "v", testbed::From::Sp);
    show(board, "time, from the SP", "T", testbed::From::Sp);
    show(board, "host name, from the SP", "H", testbed::From::Sp);
    show(board, "an unknown letter, from the SP", "x", testbed::From::Sp);
    show(board, "features, from a stranger", "v", testbed::From::Stranger);
    board.waitForLog("Incoming request from wrong IP\n", LOG_INFO, testbed::Millis{1000});

    std::printf("\n/sbin/ifconfig (fake) was called with:");
    for (const std::string& call : board.fakeCalls("ifconfig"))
        std::printf(" \"%s\"", call.c_str());
    std::printf("\nSP exchanges: %zu, heartbeats: %llu\n", board.sp().exchanges().size(),
                static_cast<unsigned long long>(board.driver().heartbeatCount()));

    board.stopDaemon();
    std::printf("\nlog (priority, ident, pid, text):\n");
    for (const testbed::LogLine& line : board.log())
        std::printf("  %-5s %s[%d] \"%s\"\n", priorityName(line.priority), line.ident.c_str(), line.pid,
                    testbed::printable(line.text).c_str());
    std::printf("\ndaemon stopped.\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (!testbed::insideSandbox()) {
        std::fflush(stdout);
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return 1;
        self[n] = '\0';
        (void)argc;
        (void)argv;
        execl(testbed::sandboxProgram(), "vorn-sandbox", self, nullptr);
        std::fprintf(stderr, "vorn-demo: cannot run %s: %s\n", testbed::sandboxProgram(), std::strerror(errno));
        return 1;
    }
    try {
        return demo();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorn-demo: %s\n", e.what());
        return 1;
    }
}
