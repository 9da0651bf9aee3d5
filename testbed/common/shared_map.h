// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Fixed-layout records shared between the processes of the test sandbox
// through a file mapped MAP_SHARED, guarded by a robust process-shared mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <pthread.h>

namespace testbed {

// CLOCK_MONOTONIC in nanoseconds: the one clock every process of a sandbox agrees on.
std::int64_t monotonicNs() noexcept;

// Initialises a mutex that lives in shared memory and survives an owner that dies holding it.
void initSharedMutex(pthread_mutex_t& mutex) noexcept;

class SharedLock {
public:
    explicit SharedLock(pthread_mutex_t& mutex) noexcept;
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;
    ~SharedLock();

private:
    pthread_mutex_t& mutex_;
};

// Owner of a MAP_SHARED mapping of a whole file.
class SharedMapping {
public:
    SharedMapping() noexcept = default;
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;
    SharedMapping(SharedMapping&& other) noexcept
        : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0))
    {
    }
    SharedMapping& operator=(SharedMapping&& other) noexcept;
    ~SharedMapping();

    // Maps the file at path, which must be exactly size bytes long. Returns an
    // empty mapping when the file is missing or has another size.
    static SharedMapping open(const char* path, std::size_t size) noexcept;
    // Creates (or truncates) the file at path to size zero bytes and maps it.
    static SharedMapping create(const char* path, std::size_t size) noexcept;

    void* get() const noexcept { return addr_; }
    explicit operator bool() const noexcept { return addr_ != nullptr; }

private:
    SharedMapping(void* addr, std::size_t size) noexcept : addr_(addr), size_(size) {}
    void* addr_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace testbed
