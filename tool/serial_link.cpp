#include "serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial_port.h"

namespace plchost {

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

timespec toTimespec(int64_t ns) {
    if (ns < 0) ns = 0;
    timespec ts;
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    return ts;
}

}  // namespace

SerialLink::~SerialLink() { close(); }

bool SerialLink::open(const LinkSettings& s, std::string* error) {
    close();
    if (!plc::serial::isSupportedBaud(s.baud)) {
        if (error) *error = "unsupported baud rate " + std::to_string(s.baud);
        return false;
    }
    // O_NONBLOCK only for the open itself (a modem line without carrier
    // would block); reads are driven by poll() below.
    int fd = ::open(s.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = s.device + ": " + std::strerror(errno);
        return false;
    }
    warnings_.clear();
    std::string why;
    if (!plc::serial::configureRaw(fd, {s.baud, s.parity, s.dataBits, s.stopBits}, &warnings_,
                                   &why)) {
        if (error) *error = s.device + ": " + why;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    settings_ = s;
    lastActivityNs_ = monotonicNs();
    return true;
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

double SerialLink::interCharUs() const {
    return settings_.baud > 19200 ? 750.0 : 1.5 * charTimeUs();
}

void SerialLink::waitUntil(int64_t ns) {
    const timespec ts = toTimespec(ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

Exchange SerialLink::exchange(const char* frame, int len, int replyLen) {
    Exchange ex;
    if (fd_ < 0) {
        ex.timedOut = true;
        return ex;
    }
    // Inter-frame silence since the last byte on the line, either way.
    waitUntil(lastActivityNs_ + int64_t(interFrameUs() * 1000));
    tcflush(fd_, TCIFLUSH);

    for (int off = 0; off < len;) {
        const ssize_t n = ::write(fd_, frame + off, size_t(len - off));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 50);
                continue;
            }
            break;
        }
        off += int(n);
    }
    tcdrain(fd_);  // returns once the last bit has left the transmitter
    ex.sentNs = lastActivityNs_ = monotonicNs();

    if (replyLen == 0) {
        // Broadcast: nobody answers; give the controllers time to act.
        waitUntil(ex.sentNs + int64_t(settings_.turnaroundMs) * 1000000);
        ex.doneNs = lastActivityNs_ = monotonicNs();
        return ex;
    }

    const int64_t deadline = ex.sentNs + int64_t(settings_.timeoutMs) * 1000000;
    const int64_t gapNs = int64_t(interCharUs() * 1000);
    int64_t lastByteNs = 0;
    char buf[512];
    for (;;) {
        const int64_t now = monotonicNs();
        if (replyLen > 0 && ex.reply.size() >= replyLen) break;
        int64_t waitNs;
        if (ex.reply.isEmpty()) {
            waitNs = deadline - now;
        } else {
            const int64_t gapEnd = lastByteNs + gapNs;
            if (now >= gapEnd) {
                ex.gapEnded = replyLen > 0;
                break;
            }
            waitNs = std::min(gapEnd, deadline) - now;
        }
        if (waitNs <= 0) {
            ex.timedOut = ex.reply.isEmpty();
            break;
        }
        pollfd p{fd_, POLLIN, 0};
        const timespec ts = toTimespec(waitNs);
        const int rc = ::ppoll(&p, 1, &ts, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (rc == 0) continue;  // re-evaluated at the top with the new time
        if (p.revents & (POLLERR | POLLNVAL)) break;
        // Never take more than replyLen: bytes beyond it belong to nothing we
        // asked for and are flushed before the next request.
        size_t want = sizeof buf;
        if (replyLen > 0) want = std::min(want, size_t(replyLen - ex.reply.size()));
        const ssize_t n = ::read(fd_, buf, want);
        if (n > 0) {
            ex.reply.append(buf, int(n));
            lastByteNs = monotonicNs();
        } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            // Hang-up (e.g. the other end of a pty went away): wait out the
            // deadline without spinning.
            if (p.revents & POLLHUP) waitUntil(std::min(deadline, monotonicNs() + 1000000));
        }
    }
    ex.doneNs = monotonicNs();
    lastActivityNs_ = ex.reply.isEmpty() ? lastActivityNs_ : lastByteNs;
    return ex;
}

}  // namespace plchost
