// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
/*
 * The VM tier's other openers of /dev/oxa_mc, built into the guest image:
 *
 *   mcreader stall   asks for records into a buffer whose page fault is
 *                    never resolved (userfaultfd): a reader stalled in the
 *                    driver's copy; prints "stalling" first
 *   mcreader loop N  asks for records N times, 1 ms apart; prints how many
 *                    it took and how many requests failed with EBUSY
 *   mcreader edges   an unknown request and a bad pointer; prints the errno
 *                    names
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#define IOCTL_MC_REG_IF 5
#define RECORD_SIZE 156
#define RECORDS 4

static int stall(int fd)
{
    long page = sysconf(_SC_PAGESIZE);
    int uffd = (int)syscall(SYS_userfaultfd, O_CLOEXEC);
    struct uffdio_api api = {.api = UFFD_API};
    struct uffdio_register reg = {0};
    void* buf;

    buf = mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (uffd < 0 || buf == MAP_FAILED || ioctl(uffd, UFFDIO_API, &api)) {
        perror("userfaultfd");
        return 1;
    }
    reg.range.start = (unsigned long)buf;
    reg.range.len = (unsigned long)page;
    reg.mode = UFFDIO_REGISTER_MODE_MISSING;
    if (ioctl(uffd, UFFDIO_REGISTER, &reg)) {
        perror("UFFDIO_REGISTER");
        return 1;
    }
    printf("stalling\n");
    fflush(stdout);
    if (ioctl(fd, IOCTL_MC_REG_IF, buf) < 0)
        printf("%s\n", strerror(errno));
    else
        printf("returned\n");
    return 0;
}

static int loop(int fd, long n)
{
    unsigned char buf[RECORD_SIZE * RECORDS];
    long taken = 0, busy = 0, i;
    int got;

    for (i = 0; i < n; i++) {
        memset(buf, 0, sizeof(buf));
        got = ioctl(fd, IOCTL_MC_REG_IF, buf);
        if (got > 0)
            taken += got;
        else if (got < 0 && errno == EBUSY)
            busy++;
        usleep(1000);
    }
    printf("taken %ld busy %ld\n", taken, busy);
    return 0;
}

static const char* errname(int ret)
{
    if (ret >= 0)
        return "success";
    return errno == ENOTTY ? "ENOTTY" : errno == EFAULT ? "EFAULT" : errno == EBUSY ? "EBUSY" : strerror(errno);
}

int main(int argc, char** argv)
{
    int fd = open("/dev/oxa_mc", O_RDWR | O_CLOEXEC);

    if (fd < 0 || argc < 2) {
        perror("/dev/oxa_mc");
        return 2;
    }
    if (strcmp(argv[1], "stall") == 0)
        return stall(fd);
    if (strcmp(argv[1], "loop") == 0 && argc == 3)
        return loop(fd, strtol(argv[2], NULL, 10));
    if (strcmp(argv[1], "edges") == 0) {
        printf("%s ", errname(ioctl(fd, 0x4d7f, 0)));
        printf("%s\n", errname(ioctl(fd, IOCTL_MC_REG_IF, (void*)8)));
        return 0;
    }
    return 2;
}
