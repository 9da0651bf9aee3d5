// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The simulated drivers, preloaded into the daemon (and so into every program
// it runs). Requests on descriptors of "/dev/hlink" and "/dev/oxa_mc" are
// served from the shared driver state; opening "/proc/hlink/sp_ip" yields a
// private in-memory file with the text that the driver state says. Every
// other call goes to the next definition (the C library).
#undef _FORTIFY_SOURCE
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testbed/simdrv/simdrv_state.h"

using namespace testbed;
using namespace testbed::simdrv;

namespace {

using IoctlFn = int(int, unsigned long, ...);
using OpenFn = int(const char*, int, ...);
using OpenatFn = int(int, const char*, int, ...);
using FopenFn = FILE*(const char*, const char*);

// The next definition of a symbol, looked up once.
template <class Fn>
class Next {
public:
    explicit constexpr Next(const char* name) noexcept : name_(name) {}
    Fn* get() noexcept
    {
        if (!fn_)
            fn_ = reinterpret_cast<Fn*>(dlsym(RTLD_NEXT, name_));
        return fn_;
    }

private:
    const char* name_;
    Fn* fn_ = nullptr;
};

Next<IoctlFn> nextIoctl("ioctl");
Next<OpenFn> nextOpen("open");
Next<OpenFn> nextOpen64("open64");
Next<OpenatFn> nextOpenat("openat");
Next<OpenatFn> nextOpenat64("openat64");
Next<FopenFn> nextFopen("fopen");
Next<FopenFn> nextFopen64("fopen64");

// The mapping lives as long as the process; a process that starts before the
// sandbox has made the state file tries again at its next request.
State* driverState() noexcept
{
    static SharedMapping mapping;
    if (!mapping)
        mapping = openState();
    return stateOf(mapping);
}

bool holdsText(int fd, const char* magic) noexcept
{
    const std::size_t length = std::strlen(magic);
    char buf[64];
    return pread(fd, buf, length, 0) == static_cast<ssize_t>(length) && std::memcmp(buf, magic, length) == 0;
}

// Which simulated device a descriptor refers to, if any.
bool deviceOfFd(int fd, Device& device) noexcept
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == std::strlen(kHlinkMagic) && holdsText(fd, kHlinkMagic)) {
        device = kHlink;
        return true;
    }
    if (size == std::strlen(kMcMagic) && holdsText(fd, kMcMagic)) {
        device = kMc;
        return true;
    }
    return false;
}

void logRequest(State& s, Request request, std::uint64_t arg, int result, int error) noexcept
{
    RequestRecord& r = s.requests[s.requestLogCount % kRequestLogCapacity];
    r.timeNs = monotonicNs();
    r.arg = arg;
    r.pid = getpid();
    r.request = request;
    r.result = result;
    r.error = result < 0 ? error : 0;
    ++s.requestLogCount;
    ++s.requestCounts[request];
}

// Carries out one request on the state; returns 0 or an errno value.
int serve(State& s, Request request, void* arg) noexcept
{
    switch (request) {
    case kSetPlatIp:
        s.platIp = reinterpret_cast<std::uintptr_t>(arg);
        return 0;
    case kSetSpIp:
        s.spIp = reinterpret_cast<std::uintptr_t>(arg);
        return 0;
    case kGetPlatIp:
    case kGetSpIp: {
        if (!arg)
            return EFAULT;
        const std::uint64_t value = request == kGetPlatIp ? s.platIp : s.spIp;
        std::memcpy(arg, &value, sizeof value);
        return 0;
    }
    case kMcRegIf: {
        if (!arg)
            return EFAULT;
        ++s.mcPolls;
        if (s.mcHandedOut < s.mcQueued && s.mcHandedOut < kMcSetCapacity) {
            McSet& set = s.mcSets[s.mcHandedOut++];
            std::memcpy(arg, set.records, sizeof set.records);
            set.handedOutNs = monotonicNs();
        } else if (s.mcFlooding) {
            std::memcpy(arg, s.mcFloodSet.records, sizeof s.mcFloodSet.records);
            ++s.mcFloodHandouts;
        }
        return 0;
    }
    case kHbBeat:
        s.heartbeatNs[s.heartbeatCount % kHeartbeatCapacity] = monotonicNs();
        ++s.heartbeatCount;
        return 0;
    case kGetCpuTemp: {
        if (!arg)
            return EFAULT;
        std::int32_t cpu = 0;
        std::memcpy(&cpu, arg, sizeof cpu);
        if (cpu < 0 || cpu > 3)
            return EINVAL;
        std::memcpy(arg, &s.cpuTemp[cpu], sizeof(std::int32_t));
        return 0;
    }
    case kGetDimmMap:
        if (!arg)
            return EFAULT;
        std::memcpy(arg, &s.dimmMap, sizeof s.dimmMap);
        return 0;
    case kGetCpuidValue:
        if (!arg)
            return EFAULT;
        std::memcpy(arg, s.cpuidValue, sizeof s.cpuidValue);
        return 0;
    case kRequestCount:
        break;
    }
    return ENOTTY;
}

int deviceRequest(Device device, unsigned long code, void* arg) noexcept
{
    State* s = driverState();
    if (!s) {
        errno = ENODEV;
        return -1;
    }
    const Request request = requestOf(code);
    if (request == kRequestCount || deviceOf(request) != device) {
        errno = ENOTTY;
        return -1;
    }
    SharedLock lock(s->lock);
    std::uint64_t logged = 0;
    if (request == kSetPlatIp || request == kSetSpIp || request == kHbBeat)
        logged = reinterpret_cast<std::uintptr_t>(arg);
    else if (request == kGetCpuTemp && arg) {
        std::int32_t cpu = 0;
        std::memcpy(&cpu, arg, sizeof cpu);
        logged = static_cast<std::uint32_t>(cpu);
    }
    const bool refused = (s->failMask >> request) & 1u;
    if (request == kSetPlatIp || request == kSetSpIp) {
        if (s->setCount < kSetLogCapacity)
            s->sets[s->setCount] = SetRecord{request, refused ? 1u : 0u, logged};
        ++s->setCount;
    }
    const int error = refused ? s->failErrno : serve(*s, request, arg);
    const int result = error == 0 ? 0 : -1;
    logRequest(*s, request, logged, result, error);
    if (result < 0)
        errno = error;
    return result;
}

// Lexically normalises an absolute path ("//" and "/./" and "/x/.." removed).
std::string normalise(const char* path)
{
    std::string out;
    const char* p = path;
    while (*p) {
        while (*p == '/')
            ++p;
        const char* end = p;
        while (*end && *end != '/')
            ++end;
        const std::string_view part(p, static_cast<std::size_t>(end - p));
        if (part == "..") {
            const auto slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            out += '/';
            out += part;
        }
        p = end;
    }
    return out.empty() ? "/" : out;
}

bool isSpIpPath(int dirfd, const char* path) noexcept
{
    if (!path || !std::strstr(path, "sp_ip"))
        return false;
    try {
        if (path[0] == '/')
            return normalise(path) == kSpIpPath;
        if (dirfd != AT_FDCWD)
            return false;
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            return false;
        return normalise((std::string(cwd) + '/' + path).c_str()) == kSpIpPath;
    } catch (...) {
        return false;
    }
}

// Opens the SP address file as the host-link driver would show it.
int openSpIp(int flags) noexcept
{
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EACCES;
        return -1;
    }
    State* s = driverState();
    if (!s) {
        errno = ENOENT;
        return -1;
    }
    char text[kSpIpOverrideCapacity + 32];
    std::size_t length = 0;
    {
        SharedLock lock(s->lock);
        if (s->spIpFile == kSpIpAbsent) {
            errno = ENOENT;
            return -1;
        }
        if (s->spIpFile == kSpIpOverride) {
            length = std::min<std::size_t>(s->spIpOverrideLength, kSpIpOverrideCapacity);
            std::memcpy(text, s->spIpOverride, length);
        } else {
            const auto a = static_cast<std::uint32_t>(s->spIp);
            length = static_cast<std::size_t>(std::snprintf(text, sizeof text, "%u.%u.%u.%u\n", a >> 24,
                                                            (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff));
        }
    }
    const int fd = memfd_create("sp_ip", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    if (write(fd, text, length) != static_cast<ssize_t>(length) || lseek(fd, 0, SEEK_SET) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Whether open's variadic mode argument is there.
bool takesMode(int flags) noexcept
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

void countOpen(const char* path, int fd) noexcept
{
    if (fd < 0 || !path || std::strncmp(path, "/dev/", 5) != 0)
        return;
    const std::string name = normalise(path);
    Device device;
    if ((name == HLINK_DRIVER_PATH || name == MC_DRIVER_PATH) && deviceOfFd(fd, device))
        if (State* s = driverState()) {
            SharedLock lock(s->lock);
            ++s->opens[device];
        }
}

int doOpen(Next<OpenFn>& real, const char* path, int flags, int mode) noexcept
{
    if (isSpIpPath(AT_FDCWD, path))
        return openSpIp(flags);
    const int fd = real.get()(path, flags, mode);
    countOpen(path, fd);
    return fd;
}

int doOpenat(Next<OpenatFn>& real, int dirfd, const char* path, int flags, int mode) noexcept
{
    if (isSpIpPath(dirfd, path))
        return openSpIp(flags);
    const int fd = real.get()(dirfd, path, flags, mode);
    if (path && path[0] == '/')
        countOpen(path, fd);
    return fd;
}

FILE* doFopen(Next<FopenFn>& real, const char* path, const char* mode) noexcept
{
    if (!isSpIpPath(AT_FDCWD, path) || !mode) {
        FILE* f = real.get()(path, mode);
        if (f)
            countOpen(path, fileno(f));
        return f;
    }
    if (mode[0] != 'r' || std::strchr(mode, '+')) {
        errno = EACCES;
        return nullptr;
    }
    const int fd = openSpIp(O_RDONLY | (std::strchr(mode, 'e') ? O_CLOEXEC : 0));
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "r");
    if (!f) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    // Socket requests (type 0x89, such as the interface queries of 'e') are
    // never the drivers': they skip the look at the descriptor, which would
    // add a system call to each of them.
    constexpr unsigned long kSocketRequestType = 0x89;
    if ((request & ~0xFFUL) == kSocketRequestType << 8)
        return nextIoctl.get()(fd, request, arg);
    Device device;
    if (deviceOfFd(fd, device))
        return deviceRequest(device, request, arg);
    return nextIoctl.get()(fd, request, arg);
}

__attribute__((visibility("default"))) int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode =
        takesMode(flags) ? va_arg(ap, int) : 0; // NOLINT(clang-analyzer-valist.Uninitialized): started above
    va_end(ap);
    return doOpen(nextOpen, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode =
        takesMode(flags) ? va_arg(ap, int) : 0; // NOLINT(clang-analyzer-valist.Uninitialized): started above
    va_end(ap);
    return doOpen(nextOpen64, path, flags, mode);
}

// The C library's checked entry points (taken when the flags are not constant).
// Their names are the C library's own, reserved ones: the preload must
// define them to stand in for them.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
__attribute__((visibility("default"))) int __open_2(const char* path, int flags)
{
    return doOpen(nextOpen, path, flags, 0);
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags)
{
    return doOpen(nextOpen64, path, flags, 0);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode =
        takesMode(flags) ? va_arg(ap, int) : 0; // NOLINT(clang-analyzer-valist.Uninitialized): started above
    va_end(ap);
    return doOpenat(nextOpenat, dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode =
        takesMode(flags) ? va_arg(ap, int) : 0; // NOLINT(clang-analyzer-valist.Uninitialized): started above
    va_end(ap);
    return doOpenat(nextOpenat64, dirfd, path, flags, mode);
}

// The C library's reserved names again, as above.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
__attribute__((visibility("default"))) int __openat_2(int dirfd, const char* path, int flags)
{
    return doOpenat(nextOpenat, dirfd, path, flags, 0);
}

__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char* path, int flags)
{
    return doOpenat(nextOpenat64, dirfd, path, flags, 0);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* mode)
{
    return doFopen(nextFopen, path, mode);
}

__attribute__((visibility("default"))) FILE* fopen64(const char* path, const char* mode)
{
    return doFopen(nextFopen64, path, mode);
}

} // extern "C"
