// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The shell of vornctl's SP end: files, the listening socket, signals.
#include "sp_end_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "connection.h"
#include "exit_status.h"
#include "fd_io.h"
#include "mc_record.h"
#include "render.h"
#include "sp_metrics.h"
#include "sp_tally.h"
#include "unique_fd.h"

namespace vornctl {

namespace {

void complain(const std::string& text)
{
    writeAll(2, "vornctl: " + text + "\n");
}

// Reads a whole file, or standard input for "-"; false on a read error.
bool readWhole(const std::string& name, std::string& bytes, std::string& why)
{
    if (name == "-") {
        return readAll(0, bytes, why);
    }
    const UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        why = std::strerror(errno);
        return false;
    }
    return readAll(fd.get(), bytes, why);
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

// A probe waits for the agent at most this long (and at most its interval).
constexpr double kProbeTimeoutSeconds = 5.0;

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
        McTally kept;
        double lastKept = 0;
        if (!o_.records.empty() && !openRecords(kept, lastKept)) {
            return kExitNetwork;
        }
        const UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(o_.port);
        const std::string where = o_.address + ":" + std::to_string(o_.port);
        if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::inet_pton(AF_INET, o_.address.c_str(), &at.sin_addr) != 1 ||
            ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            // The agent opens a connection for every record: a burst must
            // wait in the queue, not have its handshakes dropped (each drop
            // costs the agent a second's retry).
            ::listen(listener.get(), SOMAXCONN) != 0) {
            complain("sp: cannot listen at " + where + ": " + std::strerror(errno));
            return kExitNetwork;
        }
        if (!o_.metricsAddress.empty()) {
            std::string why;
            metrics_ = SpMetrics::start(o_.metricsAddress, o_.metricsPort, why);
            if (!metrics_) {
                complain("sp: cannot serve the metrics at " + o_.metricsAddress + ":" + std::to_string(o_.metricsPort) +
                         ": " + why);
                return kExitNetwork;
            }
            metrics_->restore(kept, lastKept);
            if (o_.probeSeconds > 0) {
                prober_ = std::jthread([this](const std::stop_token& stop) { probeAgent(stop); });
            }
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
            const UniqueFd conn(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
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
    // Opens the records file to append to it, and counts what it holds. A
    // record cut short at its end (the SP's end stopped while it wrote) is
    // cut off, so that the next one is kept whole behind the others.
    bool openRecords(McTally& kept, double& lastKept)
    {
        records_ = UniqueFd(::open(o_.records.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        std::string bytes;
        std::string why = std::strerror(errno);
        struct stat st {};
        if (!records_ || !readAll(records_.get(), bytes, why) || ::fstat(records_.get(), &st) != 0) {
            complain("sp: cannot open " + o_.records + ": " + why);
            return false;
        }
        const CaptureTally capture = tallyCapture(bytes);
        if (capture.foreign) {
            complain("sp: " + o_.records + " is no file of records that vornctl sp kept (at byte " +
                     std::to_string(capture.wholeBytes) + "); give another");
            return false;
        }
        if (capture.wholeBytes < bytes.size()) {
            if (::ftruncate(records_.get(), static_cast<off_t>(capture.wholeBytes)) != 0) {
                complain("sp: cannot write " + o_.records + ": " + std::strerror(errno));
                return false;
            }
            complain("sp: " + o_.records + " ended inside a record: its last " +
                     std::to_string(bytes.size() - capture.wholeBytes) + " bytes cut off");
        }
        kept = capture.tally;
        lastKept = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
        return true;
    }

    // Asks the agent for its version, as the SP does, every probe interval
    // until stopped; each answer (or none) goes to the metrics.
    void probeAgent(const std::stop_token& stop)
    {
        Options agent;
        agent.host = o_.agent;
        agent.port = kDefaultPort;
        agent.source = o_.address; // the agent answers only the SP's address
        agent.timeoutSeconds = std::min(o_.probeSeconds, kProbeTimeoutSeconds);
        std::mutex lock;
        std::condition_variable_any wake;
        while (!stop.stop_requested()) {
            const auto begun = std::chrono::steady_clock::now();
            const TransferResult r = exchange(agent, "v");
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begun;
            // A response document ends in the byte 3.
            metrics_->probe(r.status == TransferStatus::Replied && !r.reply.empty() && r.reply.back() == '\x03',
                            took.count());
            std::unique_lock<std::mutex> held(lock);
            wake.wait_for(held, stop, std::chrono::duration<double>(o_.probeSeconds), [] { return false; });
        }
    }

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
                    if (metrics_) {
                        metrics_->malformed("short_record");
                    }
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
            if (sent && metrics_) {
                metrics_->interval(e.letter);
            }
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
            if (metrics_) {
                metrics_->record(record, static_cast<double>(epochMs()) / 1000);
            }
            report(peer, "'x': record of CPU " + std::to_string(record.cpuId) + ", " +
                             std::to_string(record.banks.size()) + " valid bank" +
                             (record.banks.size() == 1 ? "" : "s") + (records_ ? ", kept" : ""));
            writeAll(1, o_.json ? renderMcRecordJson(record) : renderMcRecordText(record));
            return true;
        }
        case SpEvent::Kind::Unexpected: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(static_cast<unsigned char>(e.letter)));
            if (metrics_) {
                metrics_->malformed("unknown_request");
            }
            report(peer, std::string("first byte ") + hex + " is no request of the agent's: closed");
            return true;
        }
        }
        return true;
    }

    const SpOptions& o_;
    UniqueFd records_;
    std::uint64_t received_ = 0;
    sigset_t unblocked_{};
    std::unique_ptr<SpMetrics> metrics_;
    std::jthread prober_; // declared last: stopped and joined first
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
