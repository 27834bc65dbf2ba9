#include "modbus_bridge.h"

#include <modbus/modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plcsim {

namespace {

bool writeAll(int fd, const uint8_t* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= size_t(n);
    }
    return true;
}

}  // namespace

ModbusBridge::~ModbusBridge() {
    if (ctx_) modbus_free(ctx_);
    for (int& fd : sock_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool ModbusBridge::open(std::string* error) {
    if (ctx_) return true;
    if (sock_[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock_) != 0) {
        if (error) *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    ctx_ = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    if (!ctx_) {
        if (error) *error = "modbus_new_rtu failed";
        return false;
    }
    modbus_set_socket(ctx_, sock_[1]);
    modbus_set_byte_timeout(ctx_, 0, 50000);
    modbus_set_indication_timeout(ctx_, 0, 200000);
    // After a frame it refuses libmodbus sleeps one response time-out to let
    // the line settle; the socket pair has nothing in flight.
    modbus_set_response_timeout(ctx_, 0, 1000);
    return true;
}

void ModbusBridge::drain() {
    uint8_t tmp[512];
    for (int s : sock_)
        while (::recv(s, tmp, sizeof tmp, MSG_DONTWAIT) > 0) {
        }
}

// Hands bytes to libmodbus as a request for `station`; its length, or <= 0
// when libmodbus refused them (errno says why).
int ModbusBridge::receive(const std::vector<uint8_t>& bytes, int station, uint8_t* req) {
    drain();
    if (!writeAll(sock_[0], bytes.data(), bytes.size())) return -1;
    modbus_set_slave(ctx_, station);
    return modbus_receive(ctx_, req);
}

ModbusBridge::Outcome ModbusBridge::handle(const std::vector<uint8_t>& frame, Memory& memory) {
    Outcome out;
    const int station = frame[0];
    const int fn = frame[1];
    out.wrote = fn == 5 || fn == 6 || fn == 15 || fn == 16;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    const int len = receive(frame, station, req);
    if (len <= 0) {
        out.why = len < 0 ? modbus_strerror(errno) : "ignored by libmodbus";
        drain();
        return out;
    }
    auto reply = [&](modbus_mapping_t* map) { modbus_reply(ctx_, req, len, map); };
    if (station == 0) {
        // A broadcast reaches every controller on the line; none answers.
        for (int s : memory.onlineStations())
            if (memory.withMap(s, reply)) out.stations.push_back(s);
        out.kind = Outcome::Broadcast;
        drain();
        return out;
    }
    memory.withMap(station, reply);
    out.stations.push_back(station);
    uint8_t tmp[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const ssize_t n = ::recv(sock_[0], tmp, sizeof tmp, MSG_DONTWAIT);
        if (n <= 0) break;
        out.reply.insert(out.reply.end(), tmp, tmp + n);
    }
    drain();
    out.kind = Outcome::Answered;
    return out;
}

bool ModbusBridge::acceptsAsRequest(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 4 || bytes.size() > MODBUS_RTU_MAX_ADU_LENGTH) return false;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    const bool accepted = receive(bytes, bytes[0] <= 247 ? bytes[0] : 1, req) > 0;
    drain();
    return accepted;
}

}  // namespace plcsim
