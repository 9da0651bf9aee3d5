// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
/* vorn-bench-floor ADDRESS PORT DIR [STEP...], or vorn-bench-floor unix PATH
 * DIR [STEP...]: the floor of a protocol of one connection per request, over
 * TCP or over a UNIX socket. (vorn-bench-floor sleep: the floor of an idle
 * process that wakes once a second, for the idle cost; vorn-bench-floor start
 * PORT B ANSWER PIDFILE: the floor of the agent's start-up, see startFloor;
 * vorn-bench-floor send ADDRESS PORT SECONDS RECORDS: the floor of the
 * forwarding of machine-check records to the SP, see sendFloor; and
 * vorn-bench-floor sink ADDRESS PORT HB MC COUNTFILE: an SP's end that keeps
 * up with it, see sinkFloor.) It accepts a
 * connection, reads once (at most 256 bytes), writes the answer kept for the
 * request's first byte, closes, and takes the next connection. The answer to
 * the byte B is the file DIR/XX (XX: B in two lower-case hexadecimal digits),
 * read once at start; a byte without a file is answered with nothing. No peer
 * check, no logging, no formatting: only the system calls that any such
 * server makes.
 *
 * Each further argument B=STEP adds one step of work to the requests whose
 * first byte is B: the floor of a query that must do that work anew for each
 * request. A byte's steps run in the order given, before the answer is
 * written; a step written B=after:STEP runs once the answer has been written
 * and the connection closed. Each step makes the system calls that the agent
 * makes for the same work, and nothing more:
 *
 *   B=/PATH, B=file:PATH     open PATH, read it to its end, close it.
 *   B=net                    the interface queries of the network status: a
 *                            datagram socket, SIOCGIFCONF into 4096 bytes,
 *                            /proc/net/dev through a 16 KiB stream buffer
 *                            (SIOCGIFHWADDR for each device without an IPv4
 *                            address), per IPv4 interface SIOCGIFFLAGS,
 *                            SIOCGIFHWADDR (not for a loopback interface) and
 *                            SIOCGIFNETMASK, then /proc/net/route through a
 *                            16 KiB stream buffer up to the default route.
 *   B=mc-sensors:N           open MC_DRIVER_PATH, IOCTL_GET_CPU_TEMP for CPUs
 *                            0 to N-1 (N at most 64), IOCTL_GET_CPUID_VALUE,
 *                            close.
 *   B=mc-dimm                open MC_DRIVER_PATH, IOCTL_GET_DIMM_MAP, close.
 *   B=uname                  uname(): the host name and the kernel release.
 *   B=listen                 close the listening socket and open a new one
 *                            as the first was opened (socket, SO_REUSEADDR,
 *                            bind, listen): the renewal of the listener
 *                            after a move of the host link (TCP only).
 *   B=hlink-set:PLAT:SP      open HLINK_DRIVER_PATH, IOCTL_SET_PLAT_IP with
 *                            PLAT and, when that was taken, IOCTL_SET_SP_IP
 *                            with SP (decimal numbers, host byte order), close.
 *   B=sh:COMMAND             run COMMAND with system() and wait for it.
 *   B=sh-log:TEMPLATE:COMMAND
 *                            make a file with mkostemp(TEMPLATE), close it,
 *                            run COMMAND with system(), its one "%s" replaced
 *                            by the file's name, then remove the file.
 *   B=pipe:COMMAND           start COMMAND with popen(), read its first line
 *                            (at most 255 characters), close the pipe, which
 *                            waits for it.
 *   B=replace:PATH:TEMPLATE  copy PATH line by line into a new file made with
 *                            mkostemp(TEMPLATE), give the copy the old file's
 *                            owner and mode, fsync it, check the room on
 *                            PATH's file system when the two lie on different
 *                            ones, close both and run "/bin/mv COPY PATH"
 *                            with system().
 *
 * TEMPLATE ends in "XXXXXX" and holds no colon; a command line that a step
 * builds must fit the agent's 256-byte line. At most 16 steps per byte. A
 * malformed argument ends the floor at start with status 2. A step that fails
 * when it runs (a file that cannot be opened, a command that fails) is passed
 * over: the answer is the kept one all the same. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "dimm_map.h"
#include "hlink_shared.h"
#include "mc.h"

struct answer {
    char* bytes;
    size_t size;
};

enum stepKind {
    STEP_FILE,
    STEP_NET,
    STEP_MC_SENSORS,
    STEP_MC_DIMM,
    STEP_HLINK_SET,
    STEP_SH,
    STEP_SH_LOG,
    STEP_PIPE,
    STEP_REPLACE,
    STEP_UNAME,
    STEP_LISTEN,
};

struct step {
    enum stepKind kind;
    int after;           /* runs after the answer and the close */
    const char* path;    /* file, replace */
    const char* tmpl;    /* sh-log, replace: the mkostemp template */
    const char* command; /* sh, sh-log, pipe */
    size_t nameAt;       /* sh-log: where "%s" stands in the command */
    unsigned cpus;       /* mc-sensors */
    uint32_t plat, sp;   /* hlink-set */
};

#define MAX_STEPS 16
#define MAX_CPUS 64
/* The agent's buffers for command lines, file names and output lines. */
#define LINE_SIZE 256

static struct answer answers[256];
static struct step steps[256][MAX_STEPS];
static int stepCount[256];

static void readWhole(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
}

/* The network status. The interface list is read into 4096 bytes and the
 * kernel's tables through stream buffers of 16 KiB, as the agent reads them,
 * so that the kernel is asked for the same amounts. (The agent stops asking
 * once its reply has reached its bound of about 4 KiB; the floor, which
 * formats no reply, always goes through every device and interface.) */
#define IF_LIST_SIZE 4096
#define TABLE_STREAM_BUFFER (16 * 1024)

/* A zeroed request record naming the interface (at most IFNAMSIZ - 1
 * characters, so that the name stays terminated). */
static struct ifreq requestFor(const char* name, size_t len)
{
    struct ifreq req;
    memset(&req, 0, sizeof req);
    memcpy(req.ifr_name, name, len < IFNAMSIZ - 1 ? len : IFNAMSIZ - 1);
    return req;
}

static int interfaceListHas(const char* list, size_t used, const char* name, size_t len)
{
    for (size_t off = 0; off + sizeof(struct ifreq) <= used; off += sizeof(struct ifreq)) {
        const char* recName = list + off + offsetof(struct ifreq, ifr_name);
        if (strnlen(recName, IFNAMSIZ) == len && memcmp(recName, name, len) == 0)
            return 1;
    }
    return 0;
}

/* Devices of /proc/net/dev (after its two header lines) that have no record
 * in the interface list: their hardware address. */
static void devicesWithoutAddress(int s, const char* list, size_t used)
{
    char streamBuf[TABLE_STREAM_BUFFER];
    FILE* dev = fopen("/proc/net/dev", "re");
    if (!dev)
        return;
    setvbuf(dev, streamBuf, _IOFBF, sizeof streamBuf);
    char line[4096];
    if (fgets(line, sizeof line, dev) && fgets(line, sizeof line, dev)) {
        while (fgets(line, sizeof line, dev)) {
            /* "  eth0: counters...": the device is the first word up to its colon. */
            const char* word = line + strspn(line, " \t");
            const size_t wordLen = strcspn(word, " \t\n");
            const char* colon = memchr(word, ':', wordLen);
            if (!colon)
                continue;
            const size_t len = (size_t)(colon - word);
            if (interfaceListHas(list, used, word, len))
                continue;
            struct ifreq req = requestFor(word, len);
            if (ioctl(s, SIOCGIFHWADDR, &req) < 0) {
            }
        }
    }
    fclose(dev);
}

/* The default route's gateway, from the first line whose destination is
 * 00000000; a line that does not fit the table's format ends the scan. */
static void defaultRoute(void)
{
    char streamBuf[TABLE_STREAM_BUFFER];
    FILE* route = fopen("/proc/net/route", "re");
    if (!route)
        return;
    setvbuf(route, streamBuf, _IOFBF, sizeof streamBuf);
    char line[4096];
    if (fgets(line, sizeof line, route)) {
        char iface[17], dest[129], gw[129], mask[129];
        unsigned flags;
        int refcnt, use, metric, mtu, window, irtt;
        while (fgets(line, sizeof line, route)) {
            if (sscanf(line, "%16s%128s%128s%x%d%d%d%128s%d%d%d", iface, dest, gw, &flags, &refcnt, &use, &metric, mask,
                       &mtu, &window, &irtt) < 11)
                break;
            if (strcmp(dest, "00000000") == 0) {
                unsigned gateway;
                if (sscanf(gw, "%x", &gateway) != 1) {
                }
                break;
            }
        }
    }
    fclose(route);
}

static void networkStatus(void)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    union {
        struct ifreq record;
        char bytes[IF_LIST_SIZE];
    } list;
    memset(&list, 0, sizeof list);
    struct ifconf ifc;
    memset(&ifc, 0, sizeof ifc);
    ifc.ifc_len = (int)sizeof list.bytes;
    ifc.ifc_buf = list.bytes;
    if (ioctl(s, SIOCGIFCONF, &ifc) < 0) {
        /* Without the interface list there is no route lookup either. */
        close(s);
        return;
    }
    const size_t used = ifc.ifc_len > 0 ? (size_t)ifc.ifc_len : 0;

    devicesWithoutAddress(s, list.bytes, used);

    for (size_t off = 0; off + sizeof(struct ifreq) <= used; off += sizeof(struct ifreq)) {
        struct ifreq record;
        memcpy(&record, list.bytes + off, sizeof record);
        if (record.ifr_addr.sa_family != AF_INET)
            continue;
        const size_t len = strnlen(record.ifr_name, IFNAMSIZ);
        struct ifreq req = requestFor(record.ifr_name, len);
        /* Flags that cannot be read count as 0: not a loopback interface. */
        const int loopback = ioctl(s, SIOCGIFFLAGS, &req) == 0 && ((unsigned short)req.ifr_flags & IFF_LOOPBACK);
        if (!loopback) {
            req = requestFor(record.ifr_name, len);
            if (ioctl(s, SIOCGIFHWADDR, &req) < 0) {
            }
        }
        req = requestFor(record.ifr_name, len);
        if (ioctl(s, SIOCGIFNETMASK, &req) < 0) {
        }
    }
    close(s);
    defaultRoute();
}

static void mcSensors(unsigned cpus)
{
    const int fd = open(MC_DRIVER_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    for (unsigned i = 0; i < cpus; ++i) {
        int32_t val = (int32_t)i;
        if (ioctl(fd, IOCTL_GET_CPU_TEMP, &val) < 0) {
        }
    }
    unsigned char idBuf[8] = {0};
    if (ioctl(fd, IOCTL_GET_CPUID_VALUE, idBuf) < 0) {
    }
    close(fd);
}

static void mcDimmMap(void)
{
    const int fd = open(MC_DRIVER_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    platform_data_t map;
    memset(&map, 0, sizeof map);
    if (ioctl(fd, IOCTL_GET_DIMM_MAP, &map) < 0) {
    }
    close(fd);
}

static void hlinkSet(uint32_t plat, uint32_t sp)
{
    const int fd = open(HLINK_DRIVER_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    /* The SP address only once the platform address was taken. */
    if (ioctl(fd, IOCTL_SET_PLAT_IP, (unsigned long)plat) == 0 && ioctl(fd, IOCTL_SET_SP_IP, (unsigned long)sp) < 0) {
    }
    close(fd);
}

static void shellLog(const struct step* st)
{
    char name[LINE_SIZE];
    snprintf(name, sizeof name, "%s", st->tmpl);
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0)
        return;
    close(fd);
    /* The line fits: its length was checked at start. */
    char line[LINE_SIZE];
    const int len =
        snprintf(line, sizeof line, "%.*s%s%s", (int)st->nameAt, st->command, name, st->command + st->nameAt + 2);
    if (len >= 0 && (size_t)len < sizeof line && system(line) < 0) {
    }
    unlink(name);
}

static void pipeFirstLine(const char* command)
{
    FILE* out = popen(command, "re");
    if (!out)
        return;
    /* Only the first line is read; the rest is dropped with the pipe. */
    char line[LINE_SIZE];
    if (!fgets(line, sizeof line, out))
        line[0] = '\0';
    pclose(out);
}

/* Whether the file system of path has room for a copy of copyBytes bytes,
 * counting the whole blocks of the old file that the copy releases. True
 * when the file system cannot be asked. */
static int roomFor(const char* path, const struct stat* old, const struct stat* copy)
{
    struct statvfs fs;
    if (statvfs(path, &fs) != 0)
        return 1;
    const uint64_t blockSize = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    if (blockSize == 0)
        return 1;
    const uint64_t freed = old->st_nlink == 1 ? (uint64_t)old->st_blocks * 512 : 0;
    const uint64_t bytes = (uint64_t)copy->st_size;
    const uint64_t needed = bytes / blockSize + (bytes % blockSize != 0);
    return (uint64_t)fs.f_bfree + freed / blockSize >= needed;
}

static void replaceFile(const struct step* st)
{
    FILE* in = fopen(st->path, "re");
    if (!in)
        return;
    char name[LINE_SIZE];
    snprintf(name, sizeof name, "%s", st->tmpl);
    const int out = mkostemp(name, O_CLOEXEC);
    if (out < 0) {
        fclose(in);
        return;
    }
    int complete = 1;
    char line[LINE_SIZE];
    size_t n = 0;
    while (complete && fgets(line, sizeof line, in)) {
        n = strlen(line);
        complete = write(out, line, n) == (ssize_t)n;
    }
    /* A last line without its line end gets one. */
    if (complete && n > 0 && line[n - 1] != '\n')
        complete = write(out, "\n", 1) == 1;

    /* The copy takes the old file's owner and permission bits and must be
     * on disk before it replaces the old file. */
    struct stat old, copy;
    if (complete)
        complete = fstat(fileno(in), &old) == 0 && fchown(out, old.st_uid, old.st_gid) == 0 &&
                   fchmod(out, old.st_mode & 07777) == 0 && fsync(out) == 0;
    /* Across file systems "/bin/mv" copies over the old file, which a file
     * system without room for the whole copy would leave cut short. */
    if (complete && fstat(fileno(in), &old) == 0 && fstat(out, &copy) == 0 && old.st_dev != copy.st_dev)
        complete = roomFor(st->path, &old, &copy);
    fclose(in);
    if (close(out) != 0)
        complete = 0;
    if (!complete) {
        unlink(name);
        return;
    }
    /* The line fits: its length was checked at start. */
    const int len = snprintf(line, sizeof line, "/bin/mv %s %s", name, st->path);
    if (len >= 0 && (size_t)len < sizeof line && system(line) < 0) {
    }
}

/* The listening socket, and for TCP the address it was opened on. */
static int listener = -1;
static int listenerTcp;
static struct sockaddr_in listenerAddr;

/* A TCP listening socket on addr, with SO_REUSEADDR; -1 on failure. */
static int openTcpListener(const struct sockaddr_in* addr)
{
    const int one = 1;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        bind(s, (const struct sockaddr*)addr, sizeof *addr) < 0 || listen(s, 5) < 0) {
        close(s);
        return -1;
    }
    return s;
}

static void renewListener(void)
{
    if (!listenerTcp)
        return;
    close(listener);
    listener = openTcpListener(&listenerAddr);
    if (listener < 0) {
        perror("vorn-bench-floor: renew the listener");
        exit(1);
    }
}

static void runStep(const struct step* st)
{
    switch (st->kind) {
    case STEP_FILE:
        readWhole(st->path);
        break;
    case STEP_NET:
        networkStatus();
        break;
    case STEP_MC_SENSORS:
        mcSensors(st->cpus);
        break;
    case STEP_MC_DIMM:
        mcDimmMap();
        break;
    case STEP_HLINK_SET:
        hlinkSet(st->plat, st->sp);
        break;
    case STEP_SH:
        if (system(st->command) < 0) {
        }
        break;
    case STEP_SH_LOG:
        shellLog(st);
        break;
    case STEP_PIPE:
        pipeFirstLine(st->command);
        break;
    case STEP_REPLACE:
        replaceFile(st);
        break;
    case STEP_LISTEN:
        renewListener();
        break;
    case STEP_UNAME: {
        struct utsname names;
        if (uname(&names) < 0) {
        }
        break;
    }
    }
}

static void runSteps(unsigned char b, int after)
{
    for (int i = 0; i < stepCount[b]; ++i)
        if (steps[b][i].after == after)
            runStep(&steps[b][i]);
}

/* What follows "KIND:" in text, or NULL when text is not of that kind. */
static const char* argumentsOf(const char* text, const char* kind)
{
    const size_t len = strlen(kind);
    return strncmp(text, kind, len) == 0 && text[len] == ':' ? text + len + 1 : NULL;
}

/* A copy of the text up to the first colon, and in *rest what follows the
 * colon; NULL when there is no colon or nothing before it. */
static char* firstField(const char* text, const char** rest)
{
    const char* colon = strchr(text, ':');
    if (!colon || colon == text)
        return NULL;
    *rest = colon + 1;
    return strndup(text, (size_t)(colon - text));
}

/* A mkostemp template that fits the agent's name buffer. */
static int validTemplate(const char* tmpl)
{
    const size_t len = strlen(tmpl);
    return len >= 6 && len < LINE_SIZE && strcmp(tmpl + len - 6, "XXXXXX") == 0;
}

/* A decimal number of at most 32 bits, digits only. */
static int parseNumber(const char* text, uint32_t* value)
{
    if (*text < '0' || *text > '9')
        return 0;
    char* end = NULL;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX)
        return 0;
    *value = (uint32_t)v;
    return 1;
}

/* Reads one step (the text after "B="); 0 when it is malformed. */
static int parseStep(const char* text, struct step* st)
{
    const char* args;
    memset(st, 0, sizeof *st);
    if ((args = argumentsOf(text, "after"))) {
        st->after = 1;
        text = args;
    }
    if (text[0] == '/') {
        st->kind = STEP_FILE;
        st->path = text;
    } else if ((args = argumentsOf(text, "file"))) {
        st->kind = STEP_FILE;
        st->path = args;
        return args[0] != '\0';
    } else if (strcmp(text, "net") == 0) {
        st->kind = STEP_NET;
    } else if ((args = argumentsOf(text, "mc-sensors"))) {
        uint32_t cpus = 0;
        st->kind = STEP_MC_SENSORS;
        if (!parseNumber(args, &cpus) || cpus > MAX_CPUS)
            return 0;
        st->cpus = cpus;
    } else if (strcmp(text, "mc-dimm") == 0) {
        st->kind = STEP_MC_DIMM;
    } else if (strcmp(text, "uname") == 0) {
        st->kind = STEP_UNAME;
    } else if (strcmp(text, "listen") == 0) {
        st->kind = STEP_LISTEN;
    } else if ((args = argumentsOf(text, "hlink-set"))) {
        const char* sp = NULL;
        char* plat = firstField(args, &sp);
        st->kind = STEP_HLINK_SET;
        const int ok = plat && parseNumber(plat, &st->plat) && parseNumber(sp, &st->sp);
        free(plat);
        return ok;
    } else if ((args = argumentsOf(text, "sh"))) {
        st->kind = STEP_SH;
        st->command = args;
        return args[0] != '\0';
    } else if ((args = argumentsOf(text, "sh-log"))) {
        st->kind = STEP_SH_LOG;
        char* tmpl = firstField(args, &st->command);
        st->tmpl = tmpl;
        if (!tmpl || !validTemplate(tmpl))
            return 0;
        /* The command's only conversion is the one "%s" for the file name. */
        const char* percent = strchr(st->command, '%');
        if (!percent || percent[1] != 's' || strchr(percent + 2, '%'))
            return 0;
        st->nameAt = (size_t)(percent - st->command);
        /* The file's name is as long as its template. */
        if (strlen(st->command) - 2 + strlen(tmpl) >= LINE_SIZE)
            return 0;
    } else if ((args = argumentsOf(text, "pipe"))) {
        st->kind = STEP_PIPE;
        st->command = args;
        return args[0] != '\0';
    } else if ((args = argumentsOf(text, "replace"))) {
        st->kind = STEP_REPLACE;
        char* path = firstField(args, &st->tmpl);
        st->path = path;
        return path && validTemplate(st->tmpl) && strlen("/bin/mv ") + strlen(st->tmpl) + 1 + strlen(path) < LINE_SIZE;
    } else {
        return 0;
    }
    return 1;
}

static int startsPrograms(const struct step* st)
{
    return st->kind == STEP_SH || st->kind == STEP_SH_LOG || st->kind == STEP_PIPE || st->kind == STEP_REPLACE;
}

/* A write to a client that went away fails with EPIPE instead of ending the
 * floor. Unlike an ignored signal, a caught one is reset for the programs
 * that the steps start, which get SIGPIPE as the agent's own programs do. */
static void onBrokenPipe(int sig)
{
    (void)sig;
}

static void load(const char* dir)
{
    for (int b = 0; b < 256; ++b) {
        char path[4096];
        snprintf(path, sizeof path, "%s/%02x", dir, (unsigned)b);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_size > 0) {
            answers[b].bytes = malloc((size_t)st.st_size);
            if (answers[b].bytes && read(fd, answers[b].bytes, (size_t)st.st_size) == st.st_size)
                answers[b].size = (size_t)st.st_size;
        }
        close(fd);
    }
}

/* Takes one connection after the other on the listener: reads once, runs the
 * request's steps, writes the kept answer, closes. */
static int serve(void)
{
    for (;;) {
        const int s = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            perror("vorn-bench-floor: accept");
            return 1;
        }
        unsigned char request[256];
        const ssize_t n = read(s, request, sizeof request);
        if (n > 0)
            runSteps(request[0], 0);
        if (n > 0 && answers[request[0]].size > 0) {
            /* A client that went away is the client's business. */
            if (write(s, answers[request[0]].bytes, answers[request[0]].size) < 0) {
            }
        }
        close(s);
        if (n > 0)
            runSteps(request[0], 1);
    }
}

/* The start of a server that must do what the agent's start-up must do, in
 * the same order, and nothing more: open the log (no system call until the
 * first message), detach with daemon(), open the host link's driver and ask
 * for the platform's and the SP's addresses, set the platform's address on
 * hlink0 with "/sbin/ifconfig hlink0 ADDRESS" through the shell, write the
 * pid file, fork twice (the children only wait), then listen on PORT of
 * every address (SO_REUSEADDR) and serve as the plain floor does, with the
 * answer to the byte B read from the file ANSWER (before the rest: the
 * agent builds its answers from constants). */
static int startFloor(const char* port, unsigned char request, const char* answerPath, const char* pidPath)
{
    const int answerFd = open(answerPath, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (answerFd < 0 || fstat(answerFd, &st) != 0 || st.st_size <= 0) {
        perror("vorn-bench-floor: the answer");
        return 2;
    }
    char* bytes = malloc((size_t)st.st_size);
    if (!bytes || read(answerFd, bytes, (size_t)st.st_size) != st.st_size) {
        perror("vorn-bench-floor: the answer");
        return 2;
    }
    close(answerFd);
    answers[request].bytes = bytes;
    answers[request].size = (size_t)st.st_size;

    openlog("VORN", LOG_PERROR, LOG_DAEMON);
    if (daemon(0, 0) != 0) {
    }
    uint64_t platIp = 0;
    const int fd = open(HLINK_DRIVER_PATH, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        uint64_t spIp = 0;
        if (ioctl(fd, IOCTL_GET_PLAT_IP, &platIp) == 0 && ioctl(fd, IOCTL_GET_SP_IP, &spIp) == 0) {
            struct in_addr addr;
            addr.s_addr = htonl((uint32_t)(platIp & 0xFFFFFFFFu));
            char command[LINE_SIZE];
            snprintf(command, sizeof command, "/sbin/ifconfig hlink0 %s", inet_ntoa(addr));
            close(fd);
            if (system(command) < 0) {
            }
        } else {
            close(fd);
        }
    }
    const int pidFd = open(pidPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (pidFd >= 0) {
        char digits[16];
        const int n = snprintf(digits, sizeof digits, "%d", (int)getpid());
        if (write(pidFd, digits, (size_t)n) != n) {
        }
        close(pidFd);
    }
    for (int i = 0; i < 2; ++i) {
        if (fork() == 0) {
            for (;;)
                pause();
        }
    }
    listenerTcp = 1;
    listenerAddr.sin_family = AF_INET;
    listenerAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    listenerAddr.sin_port = htons((unsigned short)atoi(port));
    listener = openTcpListener(&listenerAddr);
    if (listener < 0) {
        perror("vorn-bench-floor");
        return 1;
    }
    return serve();
}

/* The forwarding of machine-check records to the SP, as fast as it goes and
 * nothing more: for SECONDS, one connection per record to ADDRESS:PORT
 * (socket, connect, a send of 'x', a send of the 156-byte record, close), the
 * records of the file RECORDS (whole records, sent in turn). No address
 * lookup, no time-outs, no backlog. Prints the records sent and the
 * connections that failed. */
static int sendFloor(const char* address, const char* port, const char* seconds, const char* recordsPath)
{
    static RegIfVals records[64];
    const int fd = open(recordsPath, O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : read(fd, records, sizeof records);
    if (fd >= 0)
        close(fd);
    if (n < (ssize_t)sizeof records[0] || n % (ssize_t)sizeof records[0] != 0) {
        fprintf(stderr, "vorn-bench-floor: %s: expected whole records\n", recordsPath);
        return 2;
    }
    const size_t count = (size_t)n / sizeof records[0];
    struct sockaddr_in sp;
    memset(&sp, 0, sizeof sp);
    sp.sin_family = AF_INET;
    sp.sin_port = htons((unsigned short)atoi(port));
    if (inet_aton(address, &sp.sin_addr) == 0) {
        fprintf(stderr, "vorn-bench-floor: %s: not an IPv4 address\n", address);
        return 2;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double end = (double)now.tv_sec + (double)now.tv_nsec / 1e9 + atof(seconds);
    unsigned long sent = 0;
    unsigned long failed = 0;
    const char letter = 'x';
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((double)now.tv_sec + (double)now.tv_nsec / 1e9 >= end)
            break;
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0 || connect(s, (const struct sockaddr*)&sp, sizeof sp) != 0 ||
            send(s, &letter, 1, MSG_NOSIGNAL) != 1 ||
            send(s, &records[sent % count], sizeof records[0], MSG_NOSIGNAL) != (ssize_t)sizeof records[0])
            ++failed;
        else
            ++sent;
        if (s >= 0)
            close(s);
    }
    printf("sent %lu failed %lu\n", sent, failed);
    return 0;
}

/* The least SP's end for the agent's own connections, to measure a sender
 * against: listens at ADDRESS:PORT with the longest backlog the system
 * allows, answers 'h' with HB and 'p' with MC (milliseconds, four bytes in
 * network order), reads a record's connection ('x') to its end and counts
 * the whole ones (157 bytes) in the first eight bytes of COUNTFILE, mapped
 * shared, where the benchmark reads them. No decoding, no output. */
static int sinkFloor(const char* address, const char* port, const char* hb, const char* mc, const char* countPath)
{
    const int countFd = open(countPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (countFd < 0 || ftruncate(countFd, sizeof(uint64_t)) != 0) {
        perror("vorn-bench-floor: the count file");
        return 2;
    }
    volatile uint64_t* count = mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, countFd, 0);
    if (count == MAP_FAILED) {
        perror("vorn-bench-floor: the count file");
        return 2;
    }
    const uint32_t hbReply = htonl((uint32_t)strtoul(hb, NULL, 10));
    const uint32_t mcReply = htonl((uint32_t)strtoul(mc, NULL, 10));
    struct sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons((unsigned short)atoi(port));
    const int one = 1;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (inet_aton(address, &at.sin_addr) == 0 || s < 0 ||
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        bind(s, (const struct sockaddr*)&at, sizeof at) < 0 || listen(s, SOMAXCONN) < 0) {
        perror("vorn-bench-floor: sink");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
        const int c = accept4(s, NULL, NULL, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            perror("vorn-bench-floor: accept");
            return 1;
        }
        unsigned char buf[512];
        size_t got = 0;
        int first = -1;
        ssize_t n;
        while ((n = read(c, buf, sizeof buf)) > 0) {
            if (first < 0) {
                first = buf[0];
                if (first == 'h' || first == 'p') {
                    if (write(c, first == 'h' ? &hbReply : &mcReply, sizeof hbReply) < 0) {
                    }
                    break;
                }
            }
            got += (size_t)n;
        }
        if (first == 'x' && got == 1 + sizeof(RegIfVals))
            ++*count;
        close(c);
    }
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "sleep") == 0) {
        for (;;) {
            struct timespec second = {1, 0};
            nanosleep(&second, NULL);
        }
    }
    if (argc == 6 && strcmp(argv[1], "start") == 0 && strlen(argv[3]) == 1)
        return startFloor(argv[2], (unsigned char)argv[3][0], argv[4], argv[5]);
    if (argc == 6 && strcmp(argv[1], "send") == 0)
        return sendFloor(argv[2], argv[3], argv[4], argv[5]);
    if (argc == 7 && strcmp(argv[1], "sink") == 0)
        return sinkFloor(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (argc < 4) {
        fprintf(stderr, "usage: %s ADDRESS PORT DIR [B=STEP...] | %s unix PATH DIR [B=STEP...]\n", argv[0], argv[0]);
        return 2;
    }
    load(argv[3]);
    int programs = 0;
    for (int i = 4; i < argc; ++i) {
        const unsigned char b = (unsigned char)argv[i][0];
        if (strlen(argv[i]) < 3 || argv[i][1] != '=') {
            fprintf(stderr, "vorn-bench-floor: %s: expected B=STEP\n", argv[i]);
            return 2;
        }
        if (stepCount[b] == MAX_STEPS) {
            fprintf(stderr, "vorn-bench-floor: %s: more than %d steps for one byte\n", argv[i], MAX_STEPS);
            return 2;
        }
        struct step* st = &steps[b][stepCount[b]];
        if (!parseStep(argv[i] + 2, st)) {
            fprintf(stderr, "vorn-bench-floor: %s: malformed step\n", argv[i]);
            return 2;
        }
        programs = programs || startsPrograms(st);
        ++stepCount[b];
    }
    signal(SIGPIPE, programs ? onBrokenPipe : SIG_IGN);

    if (strcmp(argv[1], "unix") == 0) {
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", argv[2]);
        unlink(argv[2]);
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || bind(listener, (const struct sockaddr*)&addr, sizeof addr) < 0 || listen(listener, 5) < 0) {
            perror("vorn-bench-floor");
            return 1;
        }
    } else {
        listenerTcp = 1;
        listenerAddr.sin_family = AF_INET;
        listenerAddr.sin_port = htons((unsigned short)atoi(argv[2]));
        if (inet_aton(argv[1], &listenerAddr.sin_addr) == 0 || (listener = openTcpListener(&listenerAddr)) < 0) {
            perror("vorn-bench-floor");
            return 1;
        }
    }
    return serve();
}
