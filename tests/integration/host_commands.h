// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Helpers of the integration tests of the commands that change the host
// (power, interface address, name servers, host link). Every helper works
// only inside the test sandbox, on the sandbox's copy-on-write files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

#include <linux/magic.h>

#include <gtest/gtest.h>

#include "testbed/board/board.h"

namespace hostcmds {

// Stops the whole test program unless path lies on a file system that the
// sandbox made for itself (its overlay of the machine's root, or a tmpfs):
// a test must never write through to the machine's own files.
inline void requireSandboxFile(const std::string& path)
{
    testbed::requireSandbox();
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0 || (fs.f_type != OVERLAYFS_SUPER_MAGIC && fs.f_type != TMPFS_MAGIC)) {
        std::fprintf(stderr, "FATAL: %s is not on the sandbox's own file system; refusing to change it\n",
                     path.c_str());
        std::abort();
    }
}

inline std::string dirOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Records every command line that a program hands to the shell ("sh -c
// LINE"), byte for byte: inside the sandbox "/bin/sh" becomes a small script
// that notes LINE and then runs the real shell with the same arguments.
class ShellRecorder {
public:
    static constexpr const char* kRecord = "/run/testbed/shell.lines";

    explicit ShellRecorder(testbed::Board& board)
    {
        const std::string shell = realShell();
        requireSandboxFile(dirOf(shell));
        struct stat st {};
        if (::lstat("/bin/sh", &st) != 0 || (!S_ISLNK(st.st_mode) && shell == "/bin/sh")) {
            throw std::runtime_error("/bin/sh is neither a link nor a recorder: left alone");
        }
        requireSandboxFile("/run/testbed");
        board.writeFile(kRecord, "");
        board.removeFile("/bin/sh"); // the link (or an earlier recorder), never the shell it names
        board.writeFile("/bin/sh",
                        "#!" + shell + "\n# " + kRecord +
                            "\n"
                            "if [ \"$1\" = \"-c\" ]; then printf '%s\\0' \"$2\" >> " +
                            kRecord + "; fi\nexec " + shell + " \"$@\"\n",
                        0755);
    }

    // The shell that "/bin/sh" runs: the file it links to, or the one that
    // an earlier recorder runs.
    static std::string realShell()
    {
        char* real = ::realpath("/bin/sh", nullptr);
        if (real == nullptr) {
            throw std::runtime_error("cannot resolve /bin/sh");
        }
        std::string shell = real;
        std::free(real);
        std::ifstream in(shell);
        std::string first, second;
        std::getline(in, first);
        std::getline(in, second);
        if (second == std::string("# ") + kRecord && first.size() > 2) {
            shell = first.substr(2);
        }
        return shell;
    }

    // The command lines so far, in order.
    std::vector<std::string> lines() const
    {
        std::ifstream in(kRecord, std::ios::binary);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line, '\0');) {
            out.push_back(line);
        }
        return out;
    }

    // The command lines that begin with prefix.
    std::vector<std::string> linesStartingWith(std::string_view prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& line : lines()) {
            if (std::string_view(line).substr(0, prefix.size()) == prefix) {
                out.push_back(line);
            }
        }
        return out;
    }
};

// Names in dir that begin with prefix.
inline std::vector<std::string> entriesStartingWith(const std::string& dir, std::string_view prefix)
{
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            if (name.substr(0, prefix.size()) == prefix) {
                out.emplace_back(name);
            }
        }
        ::closedir(d);
    }
    return out;
}

inline bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

inline bool matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

// text as a pattern that matches only itself.
inline std::string literal(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// A document whose body matches the pattern bodyPattern.
inline bool documentMatches(const std::string& bytes, const std::string& bodyPattern)
{
    return matches(bytes, literal(testbed::kPrologue) + "<vorn> " + bodyPattern + " </vorn> \x03");
}

// Polls until done() holds or the timeout passes.
template <class Done>
bool waitFor(Done done, testbed::Millis timeout = testbed::kDefaultTimeout)
{
    const auto end = testbed::Clock::now() + timeout;
    while (!done()) {
        if (testbed::Clock::now() > end) {
            return false;
        }
        ::usleep(10 * 1000);
    }
    return true;
}

// A file that a successful shell injection would create; it must never appear.
inline constexpr const char* kCanary = "/tmp/vorncanary";

// The reply of a document command: the whole document, then the close.
inline void expectDocument(const testbed::Reply& reply, std::string_view body, const std::string& what = {})
{
    EXPECT_EQ(testbed::printable(reply.bytes), testbed::printable(testbed::document(body))) << what;
    EXPECT_TRUE(reply.closed) << what;
    EXPECT_FALSE(reply.timedOut) << what;
}

} // namespace hostcmds
