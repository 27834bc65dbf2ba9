#include "line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plcsim {

namespace {

constexpr int64_t kMs = 1000000;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

int64_t pacedCharNs(int paceBaud) { return paceBaud > 0 ? int64_t(11) * 1000000000 / paceBaud : 0; }

std::vector<Chunk> replySchedule(const LineTiming& t, int64_t charNs, bool virtualLine,
                                 size_t requestLen, int64_t firstByteNs, int64_t lastByteNs,
                                 size_t replyLen, int64_t nowNs) {
    std::vector<Chunk> out;
    if (replyLen == 0) return out;
    int64_t start = nowNs;
    if (t.pace) {
        // On a pty the request came in at once; on the wire its last byte
        // would have arrived requestLen characters after its first. The
        // reply may start after the 3.5-character frame gap.
        const int64_t requestEnd =
            virtualLine ? firstByteNs + int64_t(requestLen) * charNs : lastByteNs;
        start = std::max(nowNs, requestEnd + 7 * charNs / 2 + int64_t(t.turnaroundUs) * 1000);
    }
    start += int64_t(t.replyDelayUs) * 1000;
    // One piece of the reply from `at`; returns when its last byte is through.
    auto piece = [&](size_t from, size_t count, int64_t at) {
        if (t.pace && virtualLine) {
            // Each byte is there once its stop bit is: one character later.
            for (size_t k = 0; k < count; ++k)
                out.push_back({at + int64_t(k + 1) * charNs, from + k, 1});
        } else {
            out.push_back({at, from, count});  // a device paces it itself
        }
        return t.pace ? at + int64_t(count) * charNs : at;
    };
    const size_t first = t.burstGapMs > 0 && replyLen > 1 ? replyLen / 2 : replyLen;
    const int64_t end = piece(0, first, start);
    if (first < replyLen) piece(first, replyLen - first, end + int64_t(t.burstGapMs) * kMs);
    return out;
}

Line::Line() {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

Line::~Line() {
    closeFd(fd_);
    closeFd(keepSlave_);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
}

bool Line::openPty(std::string* error) {
    termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    int master = -1, slave = -1;
    char name[256] = {0};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0) {
        if (error) *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    fd_ = master;
    keepSlave_ = slave;
    path_ = name;
    virtual_ = true;
    frameGapNs_ = 3 * kMs;
    return true;
}

bool Line::openDevice(const std::string& path, const plc::serial::CharFormat& format,
                      std::vector<std::string>* warnings, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    if (!plc::serial::configureRaw(fd, format, warnings, &why)) {
        if (error) *error = path + ": " + why;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    virtual_ = false;
    charNs_ = int64_t(plc::serial::charTimeUs(format) * 1000);
    // An incomplete frame ends after 3.5 characters of silence, and at least
    // 2 ms, which is what a USB adapter's latency needs anyway.
    frameGapNs_ = std::max(2 * kMs, 7 * charNs_ / 2);
    return true;
}

Line::Wait Line::wait(int timeoutMs) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int rc = ::poll(fds, 2, timeoutMs);
    if (fds[1].revents) return Wait::Stop;
    if (rc > 0 && (fds[0].revents & POLLIN)) return Wait::Data;
    if (rc > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
        // Nobody on the other end right now; do not spin.
        if (!sleepUntil(monotonicNs() + 10 * kMs)) return Wait::Stop;
    }
    return Wait::Quiet;
}

size_t Line::read(std::vector<uint8_t>& buf) {
    uint8_t chunk[512];
    size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buf.insert(buf.end(), chunk, chunk + n);
        if (timing_.echo) writeAll(chunk, size_t(n));
        total += size_t(n);
    }
    return total;
}

void Line::sendReply(const std::vector<uint8_t>& reply, size_t requestLen, int64_t firstByteNs,
                     int64_t lastByteNs) {
    const int64_t charNs = virtual_ ? pacedCharNs(timing_.paceBaud) : charNs_;
    for (const Chunk& c : replySchedule(timing_, charNs, virtual_, requestLen, firstByteNs,
                                        lastByteNs, reply.size(), monotonicNs())) {
        if (!sleepUntil(c.atNs) || !writeAll(reply.data() + c.from, c.count)) return;
    }
}

void Line::stop() {
    const char c = 'x';
    (void)!::write(wake_[1], &c, 1);
}

void Line::rearm() {
    char c[16];
    while (::read(wake_[0], c, sizeof c) > 0) {
    }
}

// False when stopped.
bool Line::sleepUntil(int64_t ns) {
    for (;;) {
        const int64_t left = ns - monotonicNs();
        if (left <= 0) return true;
        pollfd p{wake_[0], POLLIN, 0};
        const timespec ts = plc::toTimespec(left);
        if (::ppoll(&p, 1, &ts, nullptr) > 0) return false;
    }
}

bool Line::writeAll(const uint8_t* data, size_t len) {
    const int64_t deadline = monotonicNs() + 1000 * kMs;
    while (len > 0) {
        const ssize_t n = ::write(fd_, data, len);
        if (n > 0) {
            data += n;
            len -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN || monotonicNs() >= deadline) return false;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        ::poll(fds, 2, 10);
        if (fds[1].revents) return false;
    }
    return true;
}

}  // namespace plcsim
