// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// vorn-sandbox PROGRAM [ARGS...]: runs PROGRAM in a sandbox of its own and
// returns its exit status.
//
// The sandbox has private mount, network, pid, UTS and IPC namespaces (inside
// an unprivileged user namespace when not started as root). Its root is a
// copy-on-write overlay of the machine's root with fresh /proc, /sys, /tmp,
// /run and /dev; "/sbin/shutdown", "/sbin/reboot", "/sbin/init" and
// "/sbin/ifconfig" are recording fakes; the network has lo and a veth pair
// hlink0 <-> sp0 carrying the host link's addresses, with sp0 in a network
// namespace of the SP's own ("/run/netns/sp"); a collector records
// every message sent to "/dev/log". CAP_SYS_BOOT is gone from every process.
//
// Exit status: PROGRAM's status (128 + N when a signal N ended it), or 125
// when the sandbox could not be built.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testbed/common/sandbox_paths.h"
#include "testbed/common/shared_map.h"
#include "testbed/common/syslog_record.h"
#include "testbed/common/unique_fd.h"
#include "testbed/simdrv/simdrv_state.h"

#ifndef VORN_SOURCE_DIR
#define VORN_SOURCE_DIR ""
#endif
#ifndef VORN_BINARY_DIR
#define VORN_BINARY_DIR ""
#endif

using namespace testbed;

namespace {

// Staging area of the new root, on a tmpfs of its own that disappears with
// the old root: the overlay's upper and work layers, the layer of fakes, and
// the mount point of the new root.
constexpr const char* kStage = "/tmp";
constexpr const char* kStageDir = "/tmp/vorn-sandbox";
constexpr const char* kNewRoot = "/tmp/vorn-sandbox/root";

bool gTiming = false;
std::int64_t gStartNs = 0;

void timing(const char* step)
{
    if (gTiming)
        std::fprintf(stderr, "vorn-sandbox: %7.2f ms %s\n", double(monotonicNs() - gStartNs) / 1e6, step);
}

[[noreturn]] void fail(const std::string& step)
{
    std::fprintf(stderr, "vorn-sandbox: cannot create the sandbox: %s: %s\n", step.c_str(), std::strerror(errno));
    _exit(kSandboxFailureStatus);
}

void check(bool ok, const std::string& step)
{
    if (!ok)
        fail(step);
}

void writeFile(const std::string& path, std::string_view content, mode_t mode = 0644)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    check(bool(fd), "create " + path);
    check(write(fd.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size()), "write " + path);
    check(fchmod(fd.get(), mode) == 0, "chmod " + path);
}

// Writes a file of the kernel's (a /proc setting).
void writeSetting(const std::string& path, std::string_view content)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    check(bool(fd), "open " + path);
    check(write(fd.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size()), "write " + path);
}

void makeDirs(const std::string& path, mode_t mode = 0755)
{
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            fail("mkdir " + prefix);
    }
}

void mountOrFail(const char* source, const std::string& target, const char* type, unsigned long flags, const char* data)
{
    check(mount(source, target.c_str(), type, flags, data) == 0, std::string("mount ") + type + " on " + target);
}

bool under(std::string_view path, std::string_view dir)
{
    return path == dir || (path.size() > dir.size() && path.substr(0, dir.size()) == dir && path[dir.size()] == '/');
}

std::uint64_t mountId(const char* path)
{
    struct statx sx {};
    if (statx(AT_FDCWD, path, 0, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID))
        return 0;
    return sx.stx_mnt_id;
}

std::string realPath(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string dirName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Directories that the program needs and that the overlay of the root file
// system would not show as they are: they lie on another mount, or under a
// directory that the sandbox covers with a fresh file system.
std::vector<std::string> treesToBind(const char* program)
{
    std::vector<std::string> candidates;
    for (const std::string& path : {std::string(VORN_SOURCE_DIR), std::string(VORN_BINARY_DIR),
                                    dirName(realPath("/proc/self/exe")), realPath(".")})
        if (!path.empty())
            candidates.push_back(realPath(path));
    if (std::strchr(program, '/'))
        candidates.push_back(dirName(realPath(program)));

    const std::uint64_t rootId = mountId("/");
    std::vector<std::string> needed;
    for (const std::string& path : candidates) {
        if (path.empty() || path == "/")
            continue;
        const bool covered = under(path, "/tmp") || under(path, "/run") || under(path, "/dev") ||
                             under(path, "/proc") || under(path, "/sys");
        if (covered || mountId(path.c_str()) != rootId)
            needed.push_back(path);
    }
    std::sort(needed.begin(), needed.end());
    std::vector<std::string> out;
    for (const std::string& path : needed)
        if (out.empty() || !under(path, out.back()))
            out.push_back(path);
    return out;
}

struct TreeClone {
    std::string path;
    UniqueFd tree;
};

// Detached read-only copies of the trees, taken before the staging tmpfs
// covers anything.
std::vector<TreeClone> cloneTrees(const std::vector<std::string>& paths)
{
    std::vector<TreeClone> clones;
    for (const std::string& path : paths) {
        UniqueFd tree(open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE));
        check(bool(tree), "clone the mount of " + path);
        mount_attr attr{};
        attr.attr_set = MOUNT_ATTR_RDONLY;
        check(mount_setattr(tree.get(), "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr) == 0,
              "make the copy of " + path + " read-only");
        clones.push_back({path, std::move(tree)});
    }
    return clones;
}

std::string fakeScript(const char* name)
{
    std::string s = "#!/bin/sh\n# " + std::string(kFakeMarker) +
                    "\n"
                    "# Stand-in for /sbin/NAME inside the vorn test sandbox: it records its\n"
                    "# argument line and answers with the status and output the test chose.\n"
                    "dir=DIR\n"
                    "printf '%s\\n' \"$*\" >> \"$dir/NAME.calls\"\n"
                    "if [ -f \"$dir/NAME.out\" ]; then cat \"$dir/NAME.out\"; fi\n"
                    "if [ -f \"$dir/NAME.err\" ]; then cat \"$dir/NAME.err\" >&2; fi\n"
                    "status=0\n"
                    "if [ -f \"$dir/NAME.status\" ]; then read -r status < \"$dir/NAME.status\"; fi\n"
                    "exit \"$status\"\n";
    for (auto pos = s.find("NAME"); pos != std::string::npos; pos = s.find("NAME", pos))
        s.replace(pos, 4, name);
    s.replace(s.find("DIR"), 3, kFakeDir);
    return s;
}

// A lower layer that sits above the machine's root and holds only the fakes,
// at the place where "/sbin" really is (on Debian "/sbin" -> "usr/sbin").
// Returns that place relative to the root ("usr/sbin").
std::string writeFakeLayer(const std::string& layer)
{
    std::string sbin = realPath("/sbin");
    check(!sbin.empty(), "resolve /sbin");
    sbin.erase(0, 1);
    makeDirs(layer + "/" + sbin);
    for (const char* name : kFakeNames)
        writeFile(layer + "/" + sbin + "/" + name, fakeScript(name), 0755);
    return sbin;
}

bool isFreshMountPoint(std::string_view name)
{
    return name == "proc" || name == "sys" || name == "dev" || name == "tmp" || name == "run";
}

// The new root: one overlay of the whole root file system where the kernel
// allows it; otherwise (an unprivileged user namespace cannot overlay a root
// with locked mounts below it) an overlay per top-level directory.
void buildRoot(const std::string& sbin)
{
    const std::string stage = kStageDir;
    for (const char* dir : {"/upper", "/work", "/root"})
        makeDirs(stage + dir);
    const std::string options = "lowerdir=" + stage + "/fake:/,upperdir=" + stage + "/upper,workdir=" + stage + "/work";
    if (mount("overlay", kNewRoot, "overlay", 0, options.c_str()) == 0)
        return;
    const int overlayError = errno;

    mountOrFail("tmpfs", kNewRoot, "tmpfs", MS_NOSUID, "mode=0755");
    for (const char* fresh : {"proc", "sys", "dev", "tmp", "run"})
        makeDirs(std::string(kNewRoot) + "/" + fresh);
    std::unique_ptr<DIR, int (*)(DIR*)> root(opendir("/"), closedir);
    check(bool(root), "read /");
    while (const dirent* e = readdir(root.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || isFreshMountPoint(name))
            continue;
        const std::string source = "/" + name;
        const std::string target = std::string(kNewRoot) + "/" + name;
        struct stat st {};
        if (lstat(source.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            const ssize_t n = readlink(source.c_str(), buf, sizeof buf - 1);
            check(n >= 0 && symlink(std::string(buf, static_cast<std::size_t>(n)).c_str(), target.c_str()) == 0,
                  "copy the link " + source);
            continue;
        }
        if (!S_ISDIR(st.st_mode))
            continue;
        makeDirs(target);
        makeDirs(stage + "/upper/" + name);
        makeDirs(stage + "/work/" + name);
        std::string lower = source;
        if (under(sbin, name))
            lower = stage + "/fake/" + name + ":" + source;
        const std::string dirOptions =
            "lowerdir=" + lower + ",upperdir=" + stage + "/upper/" + name + ",workdir=" + stage + "/work/" + name;
        if (mount("overlay", target.c_str(), "overlay", 0, dirOptions.c_str()) == 0 ||
            mount("overlay", target.c_str(), "overlay", 0, (dirOptions + ",userxattr").c_str()) == 0)
            continue;
        errno = overlayError;
        check(!under(sbin, name), "overlay " + source + " (needed for the fake programs)");
        // The tests and the daemon write below /etc: it must be a copy, never
        // the machine's own directory.
        check(name != "etc", "overlay " + source + " (the sandbox writes below it)");
        // Any other directory is shown read-only, so nothing in the sandbox
        // can change the machine through it.
        mountOrFail(source.c_str(), target, "none", MS_BIND | MS_REC, nullptr);
        mount_attr readOnly{};
        readOnly.attr_set = MOUNT_ATTR_RDONLY;
        check(mount_setattr(AT_FDCWD, target.c_str(), AT_RECURSIVE, &readOnly, sizeof readOnly) == 0,
              "make " + source + " read-only");
    }
}

void bindDevice(const std::string& dev, const char* name)
{
    const std::string target = dev + "/" + name;
    writeFile(target, "", 0666);
    mountOrFail((std::string("/dev/") + name).c_str(), target, "none", MS_BIND, nullptr);
}

void populateDev(const std::string& dev)
{
    mountOrFail("tmpfs", dev, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=16m");
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"})
        bindDevice(dev, name);
    makeDirs(dev + "/shm");
    mountOrFail("tmpfs", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    for (const auto& [name, target] : {std::pair{"fd", "/proc/self/fd"}, std::pair{"stdin", "/proc/self/fd/0"},
                                       std::pair{"stdout", "/proc/self/fd/1"}, std::pair{"stderr", "/proc/self/fd/2"}})
        check(symlink(target, (dev + "/" + name).c_str()) == 0, std::string("link /dev/") + name);
    // The drivers' paths without their leading "/dev".
    writeFile(dev + std::string(HLINK_DRIVER_PATH).substr(4), simdrv::kHlinkMagic, 0666);
    writeFile(dev + std::string(MC_DRIVER_PATH).substr(4), simdrv::kMcMagic, 0666);
}

void enterNewRoot(std::vector<TreeClone>& clones)
{
    const std::string root = kNewRoot;
    mountOrFail("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    if (mount("sysfs", (root + "/sys").c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY, nullptr) != 0)
        timing("no sysfs (left empty)");
    mountOrFail("tmpfs", root + "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    mountOrFail("tmpfs", root + "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    populateDev(root + "/dev");
    for (TreeClone& clone : clones) {
        makeDirs(root + clone.path);
        check(move_mount(clone.tree.get(), "", AT_FDCWD, (root + clone.path).c_str(), MOVE_MOUNT_F_EMPTY_PATH) == 0,
              "attach " + clone.path);
        clone.tree.reset();
    }
    check(chdir(kNewRoot) == 0, "enter the new root");
    check(syscall(SYS_pivot_root, ".", ".") == 0, "pivot_root");
    check(umount2(".", MNT_DETACH) == 0, "detach the old root");
    check(chdir("/") == 0, "chdir /");
}

void dropSysBoot()
{
    check(prctl(PR_CAPBSET_DROP, CAP_SYS_BOOT, 0, 0, 0) == 0, "drop CAP_SYS_BOOT from the bounding set");
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    check(syscall(SYS_capget, &header, data) == 0, "capget");
    const std::uint32_t bit = 1u << (CAP_SYS_BOOT % 32);
    auto& word = data[CAP_SYS_BOOT / 32];
    word.effective &= ~bit;
    word.permitted &= ~bit;
    word.inheritable &= ~bit;
    check(syscall(SYS_capset, &header, data) == 0, "drop CAP_SYS_BOOT");
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    errno = EPERM;
    check(prctl(PR_CAPBSET_READ, CAP_SYS_BOOT, 0, 0, 0) == 0, "verify that CAP_SYS_BOOT is gone");
}

int runAndWait(const std::vector<const char*>& argv)
{
    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The host's namespace holds lo and hlink0; the SP's (kSpNetns) holds its
// own lo and sp0 with the SP's and the stranger's addresses.
void setUpNetwork()
{
    const std::string prefix = "/" + std::to_string(kLinkPrefix);
    const std::string hostBatch = std::string(kTestbedRunDir) + "/network.batch";
    const std::string spBatch = std::string(kTestbedRunDir) + "/sp-network.batch";
    writeFile(hostBatch, "link set lo up\n"
                         "link add " +
                             std::string(kHostLinkIf) + " type veth peer name " + kSpLinkIf + " netns " + kSpNetns +
                             "\n" + "addr add " + kPlatAddress + prefix + " dev " + kHostLinkIf + "\n" + "link set " +
                             kHostLinkIf + " up\n");
    writeFile(spBatch, "link set lo up\n"
                       "addr add " +
                           std::string(kSpAddress) + prefix + " dev " + kSpLinkIf + "\n" + "addr add " +
                           kStrangerAddress + prefix + " dev " + kSpLinkIf + "\n" + "link set " + kSpLinkIf + " up\n");
    errno = 0;
    check(runAndWait({"ip", "netns", "add", kSpNetns, nullptr}) == 0, "create the SP's network namespace");
    check(runAndWait({"ip", "-batch", hostBatch.c_str(), nullptr}) == 0, "configure the network with ip -batch");
    // nsenter rather than "ip -n", which mounts /sys afresh: a sandbox in a
    // user namespace may not.
    const std::string spNetns = std::string("--net=") + kSpNetnsPath;
    check(runAndWait({"nsenter", spNetns.c_str(), "ip", "-batch", spBatch.c_str(), nullptr}) == 0,
          "configure the SP's network with ip -batch");
}

std::string namespaceId(const char* name)
{
    char buf[64];
    const ssize_t n = readlink((std::string("/proc/self/ns/") + name).c_str(), buf, sizeof buf);
    check(n > 0, std::string("read the ") + name + " namespace");
    return std::string(buf, static_cast<std::size_t>(n));
}

[[noreturn]] void collectSyslog(UniqueFd socket)
{
    UniqueFd out(::open(kSyslogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!out)
        _exit(1);
    std::vector<char> buf(65536);
    for (;;) {
        iovec iov{buf.data(), buf.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(socket.get(), &msg, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            _exit(1);
        }
        SyslogMessage m = parseDatagram(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        m.timeNs = monotonicNs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred{};
                std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                m.pid = cred.pid;
            }
        const std::string line = formatRecord(m);
        if (write(out.get(), line.data(), line.size()) < 0)
            _exit(1);
    }
}

void startSyslogCollector()
{
    UniqueFd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    check(bool(sock), "create the log socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kSyslogSocketPath, sizeof addr.sun_path - 1);
    check(bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind /dev/log");
    check(chmod(kSyslogSocketPath, 0666) == 0, "chmod /dev/log");
    const int one = 1;
    check(setsockopt(sock.get(), SOL_SOCKET, SO_PASSCRED, &one, sizeof one) == 0, "SO_PASSCRED on /dev/log");
    const int buffer = 4 << 20;
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    writeFile(kSyslogPath, "");
    const pid_t pid = fork();
    check(pid >= 0, "fork the log collector");
    if (pid == 0) {
        prctl(PR_SET_NAME, "vorn-syslogd", 0, 0, 0);
        collectSyslog(std::move(sock));
    }
    writeFile(kSyslogdPidPath, std::to_string(pid));
}

int statusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return 1;
}

// PID 1 of the sandbox: builds it, runs the program, reaps every orphan, and
// ends the sandbox (and with it every process left in it) when the program ends.
[[noreturn]] void runInit(char** program, UniqueFd ready)
{
    dropSysBoot();
    timing("namespaces entered");
    check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make all mounts private");
    const std::string cwd = realPath(".");
    std::vector<TreeClone> clones = cloneTrees(treesToBind(program[0]));
#ifdef VORN_SANDBOX_COVERAGE
    // The coverage build: the build tree stays writable, so that the programs
    // run here write their counts beside their objects.
    UniqueFd buildTree(open_tree(AT_FDCWD, VORN_BINARY_DIR, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE));
    check(bool(buildTree), std::string("clone the mount of ") + VORN_BINARY_DIR);
    clones.push_back({VORN_BINARY_DIR, std::move(buildTree)});
#endif
    mountOrFail("tmpfs", kStage, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700");
    makeDirs(kStageDir);
    const std::string sbin = writeFakeLayer(std::string(kStageDir) + "/fake");
    buildRoot(sbin);
    timing("root overlay built");
    enterNewRoot(clones);
    timing("new root entered");

    for (const char* dir : {kTestbedRunDir, kFakeDir, kFixtureDir, "/run/testbed/sp"})
        makeDirs(dir);
    check(bool(simdrv::createState()), "create the driver state");
    setUpNetwork();
    timing("network up");
    check(sethostname(kHostname, std::strlen(kHostname)) == 0, "set the host name");
    startSyslogCollector();
    writeFile(kSandboxMarkerPath, std::string(kSandboxMarkerTitle) + "\n" + namespaceId("pid") + "\n" +
                                      namespaceId("mnt") + "\n" + namespaceId("net") + "\n");
    timing("ready");

    const pid_t child = fork();
    check(child >= 0, "fork the program");
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(cwd.c_str()) != 0 && chdir("/") != 0)
            _exit(127);
        execvp(program[0], program);
        std::fprintf(stderr, "vorn-sandbox: cannot run %s: %s\n", program[0], std::strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }
    const char ok = 1;
    check(write(ready.get(), &ok, 1) == 1, "report readiness");
    ready.reset();

    sigset_t waited;
    sigemptyset(&waited);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&waited, sig);
    for (;;) {
        siginfo_t info{};
        const int sig = sigwaitinfo(&waited, &info);
        if (sig < 0)
            continue;
        if (sig != SIGCHLD) {
            kill(child, sig);
            continue;
        }
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
            if (pid == child) {
                kill(-1, SIGKILL);
                _exit(statusOf(status));
            }
    }
}

void enterUserNamespace()
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    check(unshare(CLONE_NEWUSER) == 0, "create a user namespace (not root)");
    writeSetting("/proc/self/setgroups", "deny");
    writeSetting("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n");
    writeSetting("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

} // namespace

int main(int argc, char** argv)
{
    gStartNs = monotonicNs();
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        const std::string_view arg = argv[first];
        if (arg == "--") {
            ++first;
            break;
        }
        if (arg == "--timing") {
            gTiming = true;
        } else {
            std::fprintf(stderr, "usage: vorn-sandbox [--timing] [--] PROGRAM [ARGS...]\n");
            return 2;
        }
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: vorn-sandbox [--timing] [--] PROGRAM [ARGS...]\n");
        return 2;
    }

    constexpr int kNamespaces = CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWUTS | CLONE_NEWIPC;
    if (geteuid() != 0) {
        enterUserNamespace();
        check(unshare(kNamespaces) == 0, "create the namespaces");
    } else if (unshare(kNamespaces) != 0) {
        // Root without the capability (a container): a user namespace may still grant it.
        const int rootError = errno;
        if (unshare(CLONE_NEWUSER) != 0) {
            errno = rootError;
            fail("create the namespaces");
        }
        writeSetting("/proc/self/setgroups", "deny");
        writeSetting("/proc/self/uid_map", "0 0 1\n");
        writeSetting("/proc/self/gid_map", "0 0 1\n");
        check(unshare(kNamespaces) == 0, "create the namespaces in a user namespace");
    }

    // Signals reach this process and the sandbox's init only through sigwaitinfo.
    sigset_t waited;
    sigemptyset(&waited);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&waited, sig);
    sigprocmask(SIG_BLOCK, &waited, nullptr);

    int pipeFds[2];
    check(pipe2(pipeFds, O_CLOEXEC) == 0, "pipe");
    UniqueFd readyRead(pipeFds[0]);
    UniqueFd readyWrite(pipeFds[1]);
    const pid_t init = fork();
    check(init >= 0, "fork the sandbox's init");
    if (init == 0) {
        readyRead.reset();
        // (getppid() is 0 here: the parent lies outside the new pid namespace.)
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        runInit(argv + first, std::move(readyWrite));
    }
    readyWrite.reset();
    char ok = 0;
    const bool ready = read(readyRead.get(), &ok, 1) == 1 && ok == 1;
    readyRead.reset();

    for (;;) {
        siginfo_t info{};
        const int sig = sigwaitinfo(&waited, &info);
        if (sig < 0)
            continue;
        if (sig != SIGCHLD) {
            kill(init, sig);
            continue;
        }
        int status = 0;
        if (waitpid(init, &status, WNOHANG) != init)
            continue;
        if (ready)
            return statusOf(status);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != kSandboxFailureStatus)
            std::fprintf(stderr, "vorn-sandbox: cannot create the sandbox: its init ended with status %d\n",
                         statusOf(status));
        return kSandboxFailureStatus;
    }
}
