// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/board/files.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testbed/common/unique_fd.h"

namespace testbed::detail {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("testbed: " + what);
}

[[noreturn]] void failErrno(const std::string& what)
{
    fail(what + ": " + std::strerror(errno));
}

std::optional<std::string> slurp(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string out;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void makeParents(const std::string& path)
{
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            failErrno("mkdir " + dir);
    }
}

void putFile(const std::string& path, std::string_view content, mode_t mode)
{
    makeParents(path);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd)
        failErrno("create " + path);
    if (::write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        failErrno("write " + path);
    if (fchmod(fd.get(), mode) != 0)
        failErrno("chmod " + path);
}

} // namespace testbed::detail
