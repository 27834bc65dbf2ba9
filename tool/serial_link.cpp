#include "serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "crc16.h"
#include "serial_port.h"

namespace plchost {

namespace {

constexpr int64_t kMs = 1000000;
// A reply of unknown length (replyLen < 0) is cut off here: the longest frame
// either framing has is 256 bytes (Modbus RTU ADU; a remote frame's length
// byte counts to 255).
constexpr int kMaxUnframedReply = 256;
// Length of a Modbus exception reply: station, function | 0x80, code, CRC.
constexpr int kExceptionReplyLen = 5;

const uint8_t* bytes(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

}  // namespace

bool isExceptionReply(const QByteArray& request, const QByteArray& reply) {
    if (reply.size() != kExceptionReplyLen || request.size() < 4) return false;
    if (!plc::crc16Matches(bytes(request), size_t(request.size()))) return false;
    return reply.at(0) == request.at(0) &&
           uint8_t(reply.at(1)) == (uint8_t(request.at(1)) | 0x80) &&
           plc::crc16Matches(bytes(reply), kExceptionReplyLen);
}

SerialLink::~SerialLink() { close(); }

bool SerialLink::open(const LinkSettings& s, std::string* error) {
    close();
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!plc::serial::isSupportedBaud(s.baud))
        return fail("unsupported baud rate " + std::to_string(s.baud));
    if (s.timeoutMs < 1 || s.byteTimeoutMs < 1 || s.turnaroundMs < 0 || s.rtsDelayBeforeMs < 0 ||
        s.rtsDelayAfterMs < 0)
        return fail("time-outs must be at least 1 ms, delays not negative");
    // O_NONBLOCK also keeps the open from waiting for a modem line's carrier;
    // reads are driven by ppoll().
    const int fd = ::open(s.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(s.device + ": " + std::strerror(errno));
    std::vector<std::string> warnings;
    std::string why;
    bool ok =
        plc::serial::configureRaw(fd, {s.baud, s.parity, s.dataBits, s.stopBits}, &warnings, &why);
    if (ok && s.direction == LinkSettings::Direction::KernelRs485)
        ok =
            plc::serial::enableKernelRs485(fd, s.rtsDelayBeforeMs, s.rtsDelayAfterMs, s.echo, &why);
    if (ok && s.direction == LinkSettings::Direction::ManualRts)
        ok = plc::serial::setRts(fd, false, &why);  // receive until the first send
    if (!ok) {
        ::close(fd);
        return fail(s.device + ": " + why);
    }
    attach(fd, s);
    warnings_ = std::move(warnings);
    return true;
}

void SerialLink::attach(int fd, const LinkSettings& settings) {
    close();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    settings_ = settings;
    settings_.timeoutMs = std::max(1, settings_.timeoutMs);
    settings_.byteTimeoutMs = std::max(1, settings_.byteTimeoutMs);
    warnings_.clear();
    lastLineNs_ = monotonicNs();
    unsettled_ = false;
}

void SerialLink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

double SerialLink::charTimeUs() const {
    return plc::serial::charTimeUs(
        {settings_.baud, settings_.parity, settings_.dataBits, settings_.stopBits});
}

double SerialLink::interFrameUs() const {
    return settings_.baud > 19200 ? 1750.0 : 3.5 * charTimeUs();
}

void SerialLink::sleepUntil(int64_t ns) {
    const timespec ts = plc::toTimespec(ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int SerialLink::discardPending() {
    // Bounded, so a line that never stops talking cannot hold us here.
    char buf[512];
    int total = 0;
    while (total < 65536) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            total += int(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return total;
}

void SerialLink::settle(Exchange* ex) {
    const int64_t interFrameNs = int64_t(interFrameUs() * 1000);
    const int64_t quietNs =
        unsettled_ ? std::max(int64_t(settings_.byteTimeoutMs) * kMs, interFrameNs) : interFrameNs;
    // A line that never falls quiet (noise, a second master) must not stall
    // the host: after a response time-out's worth of waiting the request goes
    // out anyway, and its reply will not check.
    const int64_t giveUpAt = monotonicNs() + int64_t(settings_.timeoutMs) * kMs + quietNs;
    for (;;) {
        const int n = discardPending();
        int64_t now = monotonicNs();
        if (n > 0) {
            ex->lateBytes += n;
            lastLineNs_ = now;
        }
        const int64_t until = std::min(lastLineNs_ + quietNs, giveUpAt);
        if (now >= until) break;
        pollfd p{fd_, POLLIN, 0};
        const timespec ts = plc::toTimespec(until - now);
        const int rc = ::ppoll(&p, 1, &ts, nullptr);
        // Readable but nothing to read: the far end hung up. Do not spin.
        if (rc > 0 && !(p.revents & POLLIN)) sleepUntil(std::min(until, monotonicNs() + kMs));
    }
    unsettled_ = false;
}

bool SerialLink::send(const char* frame, int len) {
    const bool manualRts = settings_.direction == LinkSettings::Direction::ManualRts;
    if (manualRts) {
        plc::serial::setRts(fd_, true, nullptr);
        sleepUntil(monotonicNs() + int64_t(settings_.rtsDelayBeforeMs) * kMs);
    }
    bool ok = true;
    const int64_t deadline = monotonicNs() + int64_t(settings_.timeoutMs) * kMs;
    for (int off = 0; off < len;) {
        const ssize_t n = ::write(fd_, frame + off, size_t(len - off));
        if (n > 0) {
            off += int(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && monotonicNs() < deadline) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            ok = false;
            break;
        }
    }
    tcdrain(fd_);  // returns once the last bit has left the transmitter
    if (manualRts) {
        sleepUntil(monotonicNs() + int64_t(settings_.rtsDelayAfterMs) * kMs);
        plc::serial::setRts(fd_, false, nullptr);
    }
    return ok;
}

SerialLink::End SerialLink::collect(QByteArray* out, int want, int64_t firstByteDeadlineNs,
                                    const QByteArray& request) {
    const int64_t byteTimeoutNs = int64_t(settings_.byteTimeoutMs) * kMs;
    int64_t lastByteNs = 0;
    char buf[512];
    for (;;) {
        if (!request.isEmpty() && isExceptionReply(request, *out)) return End::Exception;
        if (out->size() >= want) return End::Complete;
        const int64_t now = monotonicNs();
        const int64_t until = out->isEmpty() ? firstByteDeadlineNs : lastByteNs + byteTimeoutNs;
        if (now >= until) return out->isEmpty() ? End::TimedOut : End::Gap;
        pollfd p{fd_, POLLIN, 0};
        const timespec ts = plc::toTimespec(until - now);
        if (::ppoll(&p, 1, &ts, nullptr) <= 0) continue;  // time-out or signal: re-evaluated above
        // Take nothing beyond want, and stop at five bytes first when this
        // may be an exception reply: whatever follows it is not part of it.
        int cap = std::min(int(sizeof buf), want - out->size());
        if (!request.isEmpty() && out->size() < kExceptionReplyLen)
            cap = std::min(cap, kExceptionReplyLen - out->size());
        const ssize_t n = ::read(fd_, buf, size_t(cap));
        if (n > 0) {
            out->append(buf, int(n));
            lastByteNs = lastLineNs_ = monotonicNs();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // The far end went away (a closed pty or socket): wait out the
            // time without spinning.
            sleepUntil(std::min(until, monotonicNs() + kMs));
        }
    }
}

Exchange SerialLink::exchange(const char* frame, int len, int replyLen) {
    Exchange ex;
    if (fd_ < 0 || len < 0 || (len > 0 && !frame)) {
        ex.timedOut = ex.sendFailed = true;
        return ex;
    }
    settle(&ex);
    const QByteArray request(frame, len);
    ex.sendFailed = !send(frame, len);
    ex.sentNs = lastLineNs_ = monotonicNs();
    const int64_t timeoutNs = int64_t(settings_.timeoutMs) * kMs;

    int64_t replyFrom = ex.sentNs;
    bool listen = !ex.sendFailed;
    if (listen && settings_.echo && len > 0) {
        collect(&ex.echo, len, ex.sentNs + timeoutNs, QByteArray());
        replyFrom = monotonicNs();
        ex.echoMismatch = ex.echo != request;
        // Not even the echo came back: no reply is on its way either.
        if (ex.echo.isEmpty()) listen = false;
    }
    if (!listen) {
        ex.timedOut = replyLen != 0;
    } else if (replyLen == 0) {
        // Broadcast: nobody answers; give the controllers time to act.
        sleepUntil(ex.sentNs + int64_t(settings_.turnaroundMs) * kMs);
    } else {
        QByteArray got;
        const End end = collect(&got, replyLen > 0 ? replyLen : kMaxUnframedReply,
                                replyFrom + timeoutNs, request);
        ex.timedOut = end == End::TimedOut;
        ex.gapEnded = end == End::Gap && replyLen > 0;
        if (ex.echoMismatch) {
            ex.discarded = got;
        } else {
            ex.reply = got;
            ex.exception = isExceptionReply(request, got);
        }
    }
    ex.doneNs = monotonicNs();
    unsettled_ = ex.timedOut || ex.gapEnded || ex.echoMismatch || ex.sendFailed;
    if (unsettled_) lastLineNs_ = ex.doneNs;
    return ex;
}

}  // namespace plchost
