// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// main() of the integration tests. Inside a sandbox it runs the selected
// tests. Outside, it runs each selected test in a sandbox of its own through
// vorn-sandbox, one after the other, and sums up; so a fresh board per test
// holds whether the binary is run by ctest (one test per run) or directly.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testbed/board/board.h"
#include "testbed/common/sandbox_paths.h"
#include "testbed/common/unique_fd.h"

namespace {

// Exit status for "could not run here" outside CI; ctest reports it as skipped.
constexpr int kSkipStatus = 77;

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

bool onlyListsOrHelps(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (startsWith(arg, "--gtest_list_tests") || arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?" ||
            arg == "--gtest_help")
            return true;
    }
    return false;
}

std::string selfPath()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Runs argv; returns its wait status and, if wanted, its standard output.
int runProgram(const std::vector<std::string>& args, std::string* output)
{
    int fds[2] = {-1, -1};
    if (output && pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    testbed::UniqueFd readEnd(fds[0]);
    testbed::UniqueFd writeEnd(fds[1]);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // A sandbox must not outlive the run that started it.
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (getppid() != parent)
            _exit(127);
        if (output && dup2(writeEnd.get(), 1) < 0)
            _exit(127);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    writeEnd.reset();
    if (output) {
        char buf[4096];
        ssize_t n;
        while ((n = read(readEnd.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                output->append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Full names of the tests that --gtest_list_tests selects.
std::vector<std::string> parseTestList(const std::string& listing)
{
    std::vector<std::string> names;
    std::istringstream in(listing);
    std::string suite;
    for (std::string line; std::getline(in, line);) {
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (line.empty())
            continue;
        if (line[0] != ' ')
            suite = line;
        else
            names.push_back(suite + line.substr(line.find_first_not_of(' ')));
    }
    return names;
}

int runEachTestInSandbox(int argc, char** argv)
{
    const std::string self = selfPath();
    const std::vector<std::string> passOn(argv + 1, argv + argc);
    std::vector<std::string> listArgs{self};
    listArgs.insert(listArgs.end(), passOn.begin(), passOn.end());
    listArgs.push_back("--gtest_list_tests");
    std::string listing;
    if (runProgram(listArgs, &listing) != 0) {
        std::fprintf(stderr, "cannot list the tests of %s\n", self.c_str());
        return 1;
    }
    const std::vector<std::string> tests = parseTestList(listing);

    const char* ciVariable = std::getenv("CI");
    const bool ci = ciVariable && std::string_view(ciVariable) == "true";
    std::vector<std::string> failed;
    std::size_t passed = 0;
    for (const std::string& test : tests) {
        std::vector<std::string> args{testbed::sandboxProgram(), self};
        for (const std::string& a : passOn)
            if (!startsWith(a, "--gtest_filter"))
                args.push_back(a);
        args.push_back("--gtest_filter=" + test);
        std::fflush(stdout);
        const int status = runProgram(args, nullptr);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (code == testbed::kSandboxFailureStatus) {
            std::fprintf(stderr,
                         "\n*** %s: the test sandbox could not be created (see the message above); "
                         "the integration tests need root or unprivileged user namespaces.\n",
                         test.c_str());
            if (ci) {
                std::fprintf(stderr, "*** CI=true: this is a failure, not a skip.\n");
                return 1;
            }
            std::fprintf(stderr, "*** NOT RUN: reported as skipped (exit status %d).\n", kSkipStatus);
            return kSkipStatus;
        }
        if (code == 0)
            ++passed;
        else
            failed.push_back(test + " (exit status " + std::to_string(code) + ")");
    }
    std::printf("\n[ sandboxes ] %zu test(s) run, each in its own sandbox: %zu passed, %zu failed\n", tests.size(),
                passed, failed.size());
    for (const std::string& f : failed)
        std::printf("[  FAILED   ] %s\n", f.c_str());
    return failed.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (onlyListsOrHelps(argc, argv) || testbed::insideSandbox()) {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    return runEachTestInSandbox(argc, argv);
}
