/* vorn-bench-floor ADDRESS PORT DIR, or vorn-bench-floor unix PATH DIR: the
 * floor of a protocol of one connection per request, over TCP or over a
 * UNIX socket. (vorn-bench-floor sleep: the floor of an idle process that
 * wakes once a second, for the idle cost.) It accepts a connection, reads once (at most 256
 * bytes), writes the answer kept for the request's first byte, closes, and
 * takes the next connection. The answer to the byte B is the file DIR/XX
 * (XX: B in two lower-case hexadecimal digits), read once at start; a byte
 * without a file is answered with nothing. No peer check, no logging, no
 * formatting: only the system calls that any such server makes.
 *
 * Further arguments B=PATH make it also open PATH, read it to its end and
 * close it at every request whose first byte is B, before it answers: the
 * floor of a query whose answer must follow a file, read anew each time. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

struct answer {
    char* bytes;
    size_t size;
};

static struct answer answers[256];
static const char* readPerRequest[256];

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

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "sleep") == 0) {
        for (;;) {
            struct timespec second = {1, 0};
            nanosleep(&second, NULL);
        }
    }
    if (argc < 4) {
        fprintf(stderr, "usage: %s ADDRESS PORT DIR [B=PATH...] | %s unix PATH DIR\n", argv[0], argv[0]);
        return 2;
    }
    load(argv[3]);
    for (int i = 4; i < argc; ++i) {
        if (strlen(argv[i]) < 3 || argv[i][1] != '=') {
            fprintf(stderr, "vorn-bench-floor: %s: expected B=PATH\n", argv[i]);
            return 2;
        }
        readPerRequest[(unsigned char)argv[i][0]] = argv[i] + 2;
    }
    signal(SIGPIPE, SIG_IGN);

    int lsock = -1;
    if (strcmp(argv[1], "unix") == 0) {
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", argv[2]);
        unlink(argv[2]);
        lsock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (lsock < 0 || bind(lsock, (const struct sockaddr*)&addr, sizeof addr) < 0 || listen(lsock, 5) < 0) {
            perror("vorn-bench-floor");
            return 1;
        }
    } else {
        const int one = 1;
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons((unsigned short)atoi(argv[2]));
        lsock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (lsock < 0 || inet_aton(argv[1], &addr.sin_addr) == 0 ||
            setsockopt(lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
            bind(lsock, (const struct sockaddr*)&addr, sizeof addr) < 0 || listen(lsock, 5) < 0) {
            perror("vorn-bench-floor");
            return 1;
        }
    }
    for (;;) {
        const int s = accept4(lsock, NULL, NULL, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            perror("vorn-bench-floor: accept");
            return 1;
        }
        unsigned char request[256];
        const ssize_t n = read(s, request, sizeof request);
        if (n > 0 && readPerRequest[request[0]])
            readWhole(readPerRequest[request[0]]);
        if (n > 0 && answers[request[0]].size > 0) {
            /* A client that went away is the client's business. */
            if (write(s, answers[request[0]].bytes, answers[request[0]].size) < 0) {
            }
        }
        close(s);
    }
}
