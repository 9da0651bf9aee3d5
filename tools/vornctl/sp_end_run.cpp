// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The shell of vornctl's SP end: files, the listening socket, signals.
#include "sp_end_run.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exit_status.h"
#include "mc_record.h"

namespace vornctl {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    [[nodiscard]] int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset() noexcept
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_;
};

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void complain(const std::string& text)
{
    writeAll(2, "vornctl: " + text + "\n");
}

// Reads a whole file, or standard input for "-"; false on a read error.
bool readWhole(const std::string& name, std::string& bytes, std::string& why)
{
    Fd owned;
    int fd = 0;
    if (name != "-") {
        owned = Fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
        if (!owned) {
            why = std::strerror(errno);
            return false;
        }
        fd = owned.get();
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) {
            return true;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

std::string renderRecord(const McRecordBytes& bytes, bool json, unsigned family)
{
    const McRecord record = decodeMcRecord(bytes, family);
    return json ? renderMcRecordJson(record) : renderMcRecordText(record);
}

// SIGINT and SIGTERM end the SP's loop; they are blocked but while it waits.
volatile std::sig_atomic_t gStop = 0;

extern "C" void onStopSignal(int /*signal*/)
{
    gStop = 1;
}

std::int64_t epochMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string peerName(const sockaddr_in& peer)
{
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Waits until fd is readable, a stop signal came, or the bound passed.
enum class Wait { Ready, Stopped, TimedOut, Failed };
Wait waitReadable(int fd, int timeoutMs, const sigset_t& unblocked)
{
    pollfd p{fd, POLLIN, 0};
    timespec bound{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    const int n = ::ppoll(&p, 1, timeoutMs < 0 ? nullptr : &bound, &unblocked);
    if (gStop) {
        return Wait::Stopped;
    }
    if (n < 0) {
        return errno == EINTR ? Wait::Stopped : Wait::Failed;
    }
    return n == 0 ? Wait::TimedOut : Wait::Ready;
}

class Sp {
public:
    explicit Sp(const SpOptions& options) : o_(options) {}

    int run()
    {
        if (!o_.records.empty()) {
            records_ = Fd(::open(o_.records.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
            if (!records_) {
                complain("sp: cannot open " + o_.records + ": " + std::strerror(errno));
                return kExitNetwork;
            }
        }
        Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(o_.port);
        const std::string where = o_.address + ":" + std::to_string(o_.port);
        if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::inet_pton(AF_INET, o_.address.c_str(), &at.sin_addr) != 1 ||
            ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(listener.get(), 16) != 0) {
            complain("sp: cannot listen at " + where + ": " + std::strerror(errno));
            return kExitNetwork;
        }
        if (!o_.json) {
            writeAll(2, "vornctl sp: listening at " + where + " ('h' " + std::to_string(o_.hbInterval) + " ms, 'p' " +
                            std::to_string(o_.mcInterval) + " ms" +
                            (o_.records.empty() ? std::string() : ", records to " + o_.records) + ")\n");
        }

        while (!gStop && (!o_.count || received_ < *o_.count)) {
            const Wait w = waitReadable(listener.get(), -1, unblocked_);
            if (w == Wait::Stopped) {
                break;
            }
            if (w != Wait::Ready) {
                continue;
            }
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            Fd conn(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
            if (!conn) {
                continue;
            }
            if (!serve(conn.get(), peerName(peer))) {
                return kExitNetwork;
            }
        }
        return kExitOk;
    }

    void setUnblocked(const sigset_t& mask) { unblocked_ = mask; }

private:
    void report(const std::string& peer, const std::string& what) const
    {
        if (!o_.json) {
            writeAll(2, exchangeLine(epochMs(), peer, what));
        }
    }

    // One connection, to its end. False when the records file cannot be written.
    bool serve(int conn, const std::string& peer)
    {
        SpSession session(o_.hbInterval, o_.mcInterval);
        const int boundMs = static_cast<int>(o_.readSeconds * 1000);
        char buf[4096];
        for (;;) {
            const Wait w = waitReadable(conn, boundMs, unblocked_);
            if (w == Wait::Stopped) {
                report(peer, "stopped while the connection was open");
                return true;
            }
            if (w == Wait::TimedOut) {
                report(peer, "silent for " + std::to_string(boundMs) + " ms: closed");
                return true;
            }
            const ssize_t n = w == Wait::Ready ? ::recv(conn, buf, sizeof buf, 0) : -1;
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (session.partialRecordBytes() > 0) {
                    report(peer, "'x': the connection ended after " + std::to_string(session.partialRecordBytes()) +
                                     " of 156 record bytes: dropped");
                } else if (!session.anything()) {
                    report(peer, "closed without a request");
                }
                return true;
            }
            for (const SpEvent& e : session.feed(std::string_view(buf, static_cast<std::size_t>(n)))) {
                if (!handle(conn, peer, e)) {
                    return false;
                }
                if (o_.count && received_ >= *o_.count) {
                    return true;
                }
            }
            if (session.closed()) {
                return true;
            }
        }
    }

    bool handle(int conn, const std::string& peer, const SpEvent& e)
    {
        switch (e.kind) {
        case SpEvent::Kind::Interval: {
            const bool sent =
                ::send(conn, e.reply.data(), e.reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(e.reply.size());
            report(peer, std::string("'") + e.letter +
                             "': " + (e.letter == 'h' ? "heartbeat interval " : "MC poll interval ") +
                             std::to_string(e.interval) + " ms" + (sent ? " sent" : " not sent: the agent went away"));
            return true;
        }
        case SpEvent::Kind::Record: {
            if (records_) {
                std::string kept(1, 'x');
                kept.append(reinterpret_cast<const char*>(e.record.data()), e.record.size());
                // On the disk before the next connection is taken.
                if (!writeAll(records_.get(), kept) || ::fsync(records_.get()) != 0) {
                    complain("sp: cannot write " + o_.records + ": " + std::strerror(errno));
                    return false;
                }
            }
            ++received_;
            const McRecord record = decodeMcRecord(e.record, o_.family);
            report(peer, "'x': record of CPU " + std::to_string(record.cpuId) + ", " +
                             std::to_string(record.banks.size()) + " valid bank" +
                             (record.banks.size() == 1 ? "" : "s") + (records_ ? ", kept" : ""));
            writeAll(1, o_.json ? renderMcRecordJson(record) : renderMcRecordText(record));
            return true;
        }
        case SpEvent::Kind::Unexpected: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(static_cast<unsigned char>(e.letter)));
            report(peer, std::string("first byte ") + hex + " is no request of the agent's: closed");
            return true;
        }
        }
        return true;
    }

    const SpOptions& o_;
    Fd records_;
    std::uint64_t received_ = 0;
    sigset_t unblocked_{};
};

} // namespace

int runDecode(const DecodeOptions& options)
{
    int status = kExitOk;
    for (const std::string& name : options.files) {
        std::string bytes;
        std::string why;
        const std::string shown = name == "-" ? std::string("standard input") : name;
        if (!readWhole(name, bytes, why)) {
            complain(std::string("decode-mce: cannot read ").append(shown).append(": ").append(why));
            status = kExitNetwork;
            continue;
        }
        const McRecordFile file = splitMcRecords(bytes);
        std::string out;
        for (const McRecordBytes& record : file.records) {
            out += renderRecord(record, options.json, options.family);
        }
        writeAll(1, out);
        if (file.trailingBytes > 0) {
            complain("decode-mce: " + shown + " ends inside a record: " + std::to_string(file.trailingBytes) + " byte" +
                     (file.trailingBytes == 1 ? "" : "s") + " after the last whole record (" +
                     std::to_string(file.records.size()) + " decoded)");
            if (status == kExitOk) {
                status = kExitBadReply;
            }
        }
    }
    return status;
}

int runSp(const SpOptions& options)
{
    // The stop signals are taken only while the SP waits, so that a record
    // being kept is kept whole.
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    sigset_t unblocked = previous;
    sigdelset(&unblocked, SIGINT);
    sigdelset(&unblocked, SIGTERM);

    Sp sp(options);
    sp.setUnblocked(unblocked);
    return sp.run();
}

} // namespace vornctl
