// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Move-only owners of descriptors and C streams.
#pragma once

#include <cstdio>
#include <utility>

#include <unistd.h>

namespace vorn {

// Owns one file descriptor and closes it when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept
    {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) {
            ::close(old);
        }
    }

private:
    int fd_ = -1;
};

// Owns a stdio stream opened with fopen/fdopen.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(std::FILE* f) noexcept : f_(f) {}
    UniqueFile(UniqueFile&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.f_, nullptr));
        }
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    ~UniqueFile() { reset(); }

    [[nodiscard]] std::FILE* get() const noexcept { return f_; }
    explicit operator bool() const noexcept { return f_ != nullptr; }

    // Closes the stream; returns what fclose returned (0 when there was none).
    int reset(std::FILE* f = nullptr) noexcept
    {
        std::FILE* old = std::exchange(f_, f);
        return old != nullptr ? std::fclose(old) : 0;
    }

private:
    std::FILE* f_ = nullptr;
};

// Opens a stream with close-on-exec set, so no shell command inherits it.
inline UniqueFile openFile(const char* path, const char* mode)
{
    // "e" is glibc's O_CLOEXEC mode flag.
    char m[8] = {};
    std::snprintf(m, sizeof m, "%se", mode);
    return UniqueFile(std::fopen(path, m));
}

// Owns the read end of a command started with popen; close() waits for it.
class UniquePipe {
public:
    UniquePipe() = default;
    explicit UniquePipe(std::FILE* f) noexcept : f_(f) {}
    UniquePipe(UniquePipe&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniquePipe& operator=(UniquePipe&& other) noexcept
    {
        if (this != &other) {
            close();
            f_ = std::exchange(other.f_, nullptr);
        }
        return *this;
    }
    UniquePipe(const UniquePipe&) = delete;
    UniquePipe& operator=(const UniquePipe&) = delete;
    ~UniquePipe() { close(); }

    [[nodiscard]] std::FILE* get() const noexcept { return f_; }
    explicit operator bool() const noexcept { return f_ != nullptr; }

    // Waits for the command and returns its raw wait status (pclose's result).
    int close() noexcept
    {
        std::FILE* old = std::exchange(f_, nullptr);
        return old != nullptr ? ::pclose(old) : -1;
    }

private:
    std::FILE* f_ = nullptr;
};

} // namespace vorn
