// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "testbed/common/shared_map.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include "testbed/common/unique_fd.h"

namespace testbed {

std::int64_t monotonicNs() noexcept
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void initSharedMutex(pthread_mutex_t& mutex) noexcept
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

SharedLock::SharedLock(pthread_mutex_t& mutex) noexcept : mutex_(mutex)
{
    // A holder that was killed inside its critical section leaves the
    // record as it was; every critical section keeps the record consistent
    // at each step, so the lock is simply taken over.
    if (pthread_mutex_lock(&mutex_) == EOWNERDEAD)
        pthread_mutex_consistent(&mutex_);
}

SharedLock::~SharedLock()
{
    pthread_mutex_unlock(&mutex_);
}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept
{
    if (this != &other) {
        if (addr_)
            munmap(addr_, size_);
        addr_ = std::exchange(other.addr_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

SharedMapping::~SharedMapping()
{
    if (addr_)
        munmap(addr_, size_);
}

SharedMapping SharedMapping::open(const char* path, std::size_t size) noexcept
{
    UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));
    if (!fd)
        return {};
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || static_cast<std::size_t>(st.st_size) != size)
        return {};
    void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED)
        return {};
    return SharedMapping(addr, size);
}

SharedMapping SharedMapping::create(const char* path, std::size_t size) noexcept
{
    UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd)
        return {};
    if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
        return {};
    void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED)
        return {};
    return SharedMapping(addr, size);
}

} // namespace testbed
