// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/sandbox_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "testbed/board/files.h"
#include "testbed/common/sandbox_paths.h"

namespace testbed {

using namespace detail;

std::string sandboxProblem()
{
    const auto marker = slurp(kSandboxMarkerPath);
    if (!marker)
        return std::string("no sandbox marker ") + kSandboxMarkerPath;
    std::istringstream lines(*marker);
    std::string title;
    std::getline(lines, title);
    if (title != kSandboxMarkerTitle)
        return std::string("the marker ") + kSandboxMarkerPath + " is not the sandbox's";
    for (const char* ns : {"pid", "mnt", "net"}) {
        std::string recorded;
        std::getline(lines, recorded);
        const std::string own = readLink(std::string("/proc/self/ns/") + ns);
        if (own.empty() || recorded != own)
            return std::string("this process is not in the sandbox's ") + ns + " namespace";
    }
    if (slurp("/proc/1/comm").value_or("") != std::string(kSandboxMarkerTitle) + "\n")
        return "PID 1 is not vorn-sandbox";
    if (prctl(PR_CAPBSET_READ, CAP_SYS_BOOT, 0, 0, 0) != 0)
        return "CAP_SYS_BOOT is still in the bounding set";
    return {};
}

bool insideSandbox()
{
    return sandboxProblem().empty();
}

const char* sandboxProgram()
{
    return VORN_SANDBOX_FILE;
}

int execInSandbox(int argc, char** argv, const char* name)
{
    std::fflush(stdout);
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        std::fprintf(stderr, "%s: cannot find its own program: %s\n", name, std::strerror(errno));
        return 1;
    }
    self[len] = '\0';
    std::vector<char*> args = {const_cast<char*>("vorn-sandbox"), self};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(sandboxProgram(), args.data());
    std::fprintf(stderr, "%s: cannot run %s: %s\n", name, sandboxProgram(), std::strerror(errno));
    return 1;
}

// In a sanitized build the programs carry the address sanitizer's runtime,
// which would refuse to start behind a preloaded library.
std::vector<std::string> detail::preloadVariables()
{
    std::vector<std::string> vars{std::string("LD_PRELOAD=") + VORN_SIMDRV_FILE};
#ifdef VORN_TESTBED_SANITIZED
    vars.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
    return vars;
}

std::string driverPreload()
{
    std::string out;
    for (const std::string& v : preloadVariables())
        out += v + ' ';
    return out;
}

bool powerProgramsAreFakes(std::string* problem)
{
    for (const char* name : kFakeNames) {
        const std::string path = std::string("/sbin/") + name;
        const auto content = slurp(path);
        if (!content || content->find(std::string("\n# ") + kFakeMarker + "\n") == std::string::npos) {
            if (problem)
                *problem = path + " is not the sandbox's fake";
            return false;
        }
    }
    return true;
}

void requireSandbox()
{
    std::string problem = sandboxProblem();
    if (problem.empty())
        powerProgramsAreFakes(&problem);
    if (problem.empty())
        return;
    std::fprintf(stderr,
                 "\n*** testbed: REFUSING TO RUN: %s.\n"
                 "*** The simulated board runs only inside vorn-sandbox, where the power programs are fakes.\n"
                 "*** Run the program as: vorn-sandbox PROGRAM [ARGS...]\n\n",
                 problem.c_str());
    std::abort();
}

} // namespace testbed
