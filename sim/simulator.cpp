#include "simulator.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial_port.h"

namespace plcsim {

namespace {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool writeAll(int fd, const uint8_t* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        data += n;
        len -= size_t(n);
    }
    return true;
}

// Length of a complete Modbus RTU request at the start of buf whose CRC
// checks, or 0. Only the request shapes a master sends are recognised; other
// bytes wait for the line to fall silent.
size_t modbusFrameLength(const std::vector<uint8_t>& buf) {
    if (buf.size() < 2) return 0;
    size_t len = 0;
    switch (buf[1]) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
            len = 8;
            break;
        case 15:
        case 16:
            if (buf.size() < 7) return 0;
            len = 9 + size_t(buf[6]);
            break;
        default:
            return 0;
    }
    if (buf.size() < len) return 0;
    const uint16_t crc = crc16(buf.data(), len - 2);
    if (buf[len - 2] != (crc & 0xFF) || buf[len - 1] != (crc >> 8)) return 0;
    return len;
}

// Length of a complete remote frame at the start of buf whose byte sum
// checks, or 0. Byte 0 carries the frame's length; the shortest frame is the
// 21-byte header plus the sum.
size_t remoteFrameLength(const std::vector<uint8_t>& buf) {
    if (buf.empty()) return 0;
    const size_t len = buf[0];
    if (len < 22 || buf.size() < len) return 0;
    if (byteSum(buf.data(), len - 1) != buf[len - 1]) return 0;
    return len;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void appendCrc(std::vector<uint8_t>& f) {
    const uint16_t crc = crc16(f.data(), f.size());
    f.push_back(uint8_t(crc & 0xFF));
    f.push_back(uint8_t(crc >> 8));
}

}  // namespace

uint16_t crc16(const uint8_t* data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

uint8_t byteSum(const uint8_t* data, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i < len; ++i) sum += data[i];
    return uint8_t(sum & 0xFF);
}

struct Simulator::Station {
    modbus_mapping_t* map = nullptr;
    bool online = true;
    ~Station() {
        if (map) modbus_mapping_free(map);
    }
};

struct Simulator::ModbusCtx {
    modbus_t* ctx = nullptr;
    ~ModbusCtx() {
        if (ctx) modbus_free(ctx);
    }
};

Simulator::Simulator(const Options& options)
    : options_(options),
      faultRate_(options.faultRate),
      rngState_(options.seed ? options.seed : 1u),
      live_(options.live) {
    for (int s : options_.stations) {
        if (s < 1 || s > 247 || stations_.count(s)) continue;
        auto st = std::make_unique<Station>();
        st->map = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
        if (st->map) stations_[s] = std::move(st);
    }
    startNs_ = nowNs();
    updateLive();
}

Simulator::~Simulator() {
    stop();
    closeFd(lineFd_);
    closeFd(keepSlave_);
    closeFd(sock_[0]);
    closeFd(sock_[1]);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
}

bool Simulator::openPty(std::string* error) {
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
    lineFd_ = master;
    keepSlave_ = slave;
    devicePath_ = name;
    gapUs_ = 3000;
    return true;
}

bool Simulator::openDevice(const std::string& path, int baud, char parity, int dataBits,
                           int stopBits, std::string* error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> warnings;
    std::string why;
    const plc::serial::CharFormat format{baud, parity, dataBits, stopBits};
    if (!plc::serial::configureRaw(fd, format, &warnings, &why)) {
        if (error) *error = path + ": " + why;
        ::close(fd);
        return false;
    }
    for (const std::string& w : warnings)
        std::fprintf(stderr, "plc-sim: %s: %s\n", path.c_str(), w.c_str());
    lineFd_ = fd;
    devicePath_ = path;
    // An incomplete frame ends after 3.5 characters of silence (at least 2 ms,
    // which is what a USB adapter's latency needs anyway).
    gapUs_ = std::max(2000, int(3.5 * plc::serial::charTimeUs(format)));
    return true;
}

bool Simulator::start(std::string* error) {
    if (lineFd_ < 0) {
        if (error) *error = "no line opened";
        return false;
    }
    if (thread_.joinable()) return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock_) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
        if (error) *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    // libmodbus serves an RTU context whose "serial line" is one end of a
    // socket pair: the simulator hands it each Modbus request it has framed
    // and forwards its answer to the real line, where faults can be applied.
    mb_ = std::make_unique<ModbusCtx>();
    mb_->ctx = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    if (!mb_->ctx) {
        if (error) *error = "modbus_new_rtu failed";
        return false;
    }
    modbus_set_socket(mb_->ctx, sock_[1]);
    modbus_set_byte_timeout(mb_->ctx, 0, 50000);
    modbus_set_indication_timeout(mb_->ctx, 0, 200000);
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void Simulator::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const char c = 'x';
    (void)!::write(wake_[1], &c, 1);
    thread_.join();
}

Simulator::Station* Simulator::stationLocked(int station) const {
    auto it = stations_.find(station);
    return it == stations_.end() ? nullptr : it->second.get();
}

uint16_t Simulator::reg(int station, Table table, int address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Station* st = stationLocked(station);
    if (!st || address < 0 || address >= kTableSize) return 0;
    if (table == Table::HoldingRegisters) return st->map->tab_registers[address];
    if (table == Table::InputRegisters) return st->map->tab_input_registers[address];
    return 0;
}

void Simulator::setReg(int station, Table table, int address, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    Station* st = stationLocked(station);
    if (!st || address < 0 || address >= kTableSize) return;
    if (table == Table::HoldingRegisters) st->map->tab_registers[address] = value;
    if (table == Table::InputRegisters) st->map->tab_input_registers[address] = value;
}

bool Simulator::bit(int station, Table table, int address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Station* st = stationLocked(station);
    if (!st || address < 0 || address >= kTableSize) return false;
    if (table == Table::Coils) return st->map->tab_bits[address] != 0;
    if (table == Table::DiscreteInputs) return st->map->tab_input_bits[address] != 0;
    return false;
}

void Simulator::setBit(int station, Table table, int address, bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    Station* st = stationLocked(station);
    if (!st || address < 0 || address >= kTableSize) return;
    if (table == Table::Coils) st->map->tab_bits[address] = value ? 1 : 0;
    if (table == Table::DiscreteInputs) st->map->tab_input_bits[address] = value ? 1 : 0;
}

// Where one unit of `type` at `address` lives in a station's tables: a bit
// cell (0/1), a whole register, or bit `bit` of a register for the
// bit-in-word codes. Null pointers when the unit is outside the tables.
Simulator::Cell Simulator::cellLocked(int station, int type, int address) const {
    Cell c;
    Table table;
    Station* st = stationLocked(station);
    if (!st || !tableOf(type, &table) || address < 0) return c;
    const bool bitInWord = isBitInWordType(type);
    const int a = bitInWord ? areaBase(foldedType(type)) + address / 16 : areaBase(type) + address;
    if (a >= kTableSize) return c;
    switch (table) {
        case Table::DiscreteInputs:
            c.bit = &st->map->tab_input_bits[a];
            break;
        case Table::Coils:
            c.bit = &st->map->tab_bits[a];
            break;
        case Table::HoldingRegisters:
            c.word = &st->map->tab_registers[a];
            break;
        case Table::InputRegisters:
            c.word = &st->map->tab_input_registers[a];
            break;
    }
    if (bitInWord) c.bitNo = address % 16;
    return c;
}

bool Simulator::unitLocked(int station, int type, int address, uint16_t* value) const {
    const Cell c = cellLocked(station, type, address);
    if (c.bit) {
        *value = *c.bit;
    } else if (c.word) {
        *value = c.bitNo < 0 ? *c.word : (*c.word >> c.bitNo) & 1;
    }
    return c.bit || c.word;
}

bool Simulator::setUnitLocked(int station, int type, int address, uint16_t value) {
    const Cell c = cellLocked(station, type, address);
    if (c.bit) {
        *c.bit = value ? 1 : 0;
    } else if (c.word && c.bitNo < 0) {
        *c.word = value;
    } else if (c.word) {
        const uint16_t mask = uint16_t(1u << c.bitNo);
        *c.word = value ? uint16_t(*c.word | mask) : uint16_t(*c.word & ~mask);
    }
    return c.bit || c.word;
}

bool Simulator::unit(int station, int type, int address, uint16_t* value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unitLocked(station, type, address, value);
}

bool Simulator::setUnit(int station, int type, int address, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return setUnitLocked(station, type, address, value);
}

bool Simulator::servesStation(int station) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stationLocked(station) != nullptr;
}

void Simulator::setStationOnline(int station, bool online) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Station* st = stationLocked(station)) st->online = online;
}

void Simulator::setFaultRate(double rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultRate_ = std::min(1.0, std::max(0.0, rate));
}

void Simulator::setLive(bool live) { live_ = live; }

Stats Simulator::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void Simulator::resetStats() {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = Stats();
}

void Simulator::updateLive() {
    if (!live_) return;
    const int64_t tick = (nowNs() - startNs_) / 100000000;  // 100 ms
    if (tick == lastTick_) return;
    lastTick_ = tick;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& kv : stations_) {
        modbus_mapping_t* m = kv.second->map;
        const int w7 = areaBase(7);
        m->tab_registers[w7 + 0] = uint16_t(tick);                   // counter
        m->tab_registers[w7 + 1] = uint16_t((tick * 5) % 1000);      // ramp
        m->tab_input_registers[areaBase(13)] = uint16_t(tick / 10);  // seconds
        const int walking = int((tick / 5) % 8);
        for (int b = 0; b < 8; ++b) m->tab_input_bits[areaBase(0) + b] = b == walking ? 1 : 0;
    }
}

void Simulator::traceBytes(const char* tag, const std::vector<uint8_t>& bytes, const char* note) {
    if (!options_.trace) return;
    const double t = double(nowNs() - startNs_) / 1e9;
    std::string hex;
    char b[4];
    for (uint8_t c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        hex += b;
    }
    std::fprintf(options_.trace, "[%9.3f] sim %s %s%s%s\n", t, tag, hex.c_str(),
                 note && *note ? " ; " : "", note ? note : "");
    std::fflush(options_.trace);
}

void Simulator::serve() {
    std::vector<uint8_t> buf;
    int64_t lastByteNs = 0;
    uint8_t chunk[512];
    while (!stopping_) {
        pollfd fds[2] = {{lineFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int timeoutMs = buf.empty() ? 20 : 1;
        const int rc = ::poll(fds, 2, timeoutMs);
        if (rc < 0 && errno != EINTR) break;
        if (fds[1].revents) break;
        if (rc > 0 && (fds[0].revents & POLLIN)) {
            const ssize_t n = ::read(lineFd_, chunk, sizeof chunk);
            if (n > 0) {
                buf.insert(buf.end(), chunk, chunk + n);
                lastByteNs = nowNs();
            }
        } else if (rc > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
            // Nobody on the other end right now; do not spin.
            ::usleep(10000);
        }
        updateLive();
        while (!buf.empty()) {
            if (size_t n = modbusFrameLength(buf)) {
                std::vector<uint8_t> frame(buf.begin(), buf.begin() + long(n));
                buf.erase(buf.begin(), buf.begin() + long(n));
                handleModbus(frame);
                continue;
            }
            if (size_t n = remoteFrameLength(buf)) {
                std::vector<uint8_t> frame(buf.begin(), buf.begin() + long(n));
                buf.erase(buf.begin(), buf.begin() + long(n));
                handleRemote(frame);
                continue;
            }
            if (nowNs() - lastByteNs >= int64_t(gapUs_) * 1000) {
                handleNoise(buf);
                buf.clear();
            }
            break;
        }
    }
}

void Simulator::drainLibmodbusSocket() {
    uint8_t tmp[512];
    for (int s : {sock_[0], sock_[1]}) {
        while (::recv(s, tmp, sizeof tmp, MSG_DONTWAIT) > 0) {
        }
    }
}

void Simulator::handleNoise(const std::vector<uint8_t>& bytes) {
    // Bytes that never formed a checked frame. If they could be a Modbus
    // request, libmodbus gets the last word on them; nothing is answered.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.rejected++;
    }
    if (bytes.size() >= 4 && bytes.size() <= MODBUS_RTU_MAX_ADU_LENGTH) {
        drainLibmodbusSocket();
        if (writeAll(sock_[0], bytes.data(), bytes.size())) {
            uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
            modbus_set_slave(mb_->ctx, bytes[0] <= 247 ? bytes[0] : 1);
            const int rc = modbus_receive(mb_->ctx, req);
            traceBytes(
                "RX", bytes,
                rc > 0 ? "noise accepted by libmodbus, not answered" : "refused (bad frame)");
        }
        drainLibmodbusSocket();
        return;
    }
    traceBytes("RX", bytes, "noise");
}

void Simulator::handleModbus(const std::vector<uint8_t>& frame) {
    const int station = frame[0];
    const int fn = frame[1];
    const bool isWrite = fn == 5 || fn == 6 || fn == 15 || fn == 16;
    bool served = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.frames++;
        stats_.modbusRequests++;
        stats_.requestsPerStation[station]++;
        Station* st = stationLocked(station);
        served = station == 0 || (st && st->online);
        if (!served) stats_.otherStation++;
    }
    if (!served) {
        traceBytes("RX", frame, "station not served, no reply");
        return;
    }
    // Hand the request to libmodbus: it checks the frame (CRC, function,
    // length) and builds the reply from the station's mapping.
    drainLibmodbusSocket();
    if (!writeAll(sock_[0], frame.data(), frame.size())) return;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    modbus_set_slave(mb_->ctx, station);
    const int len = modbus_receive(mb_->ctx, req);
    if (len <= 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.rejected++;
        }
        traceBytes("RX", frame, len < 0 ? modbus_strerror(errno) : "ignored by libmodbus");
        drainLibmodbusSocket();
        return;
    }
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (station == 0) {
            // A broadcast reaches every controller on the line; none answers.
            for (auto& kv : stations_) {
                if (!kv.second->online) continue;
                modbus_reply(mb_->ctx, req, len, kv.second->map);
                if (isWrite) stats_.writesPerStation[kv.first]++;
            }
            stats_.broadcasts++;
        } else {
            modbus_reply(mb_->ctx, req, len, stationLocked(station)->map);
            if (isWrite) stats_.writesPerStation[station]++;
        }
    }
    uint8_t tmp[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const ssize_t n = ::recv(sock_[0], tmp, sizeof tmp, MSG_DONTWAIT);
        if (n <= 0) break;
        reply.insert(reply.end(), tmp, tmp + n);
    }
    drainLibmodbusSocket();
    traceBytes("RX", frame, station == 0 ? "broadcast, applied to every station" : "");
    if (station != 0 && !reply.empty()) sendReply(std::move(reply));
}

void Simulator::handleRemote(const std::vector<uint8_t>& f) {
    // Header: length, kind, direction, link, station, type (2), address (4),
    // count (2), special (4), extra (4); then the value bytes and the sum.
    const int direction = f[2];
    const int station = f[4];
    const int type = int16_t((f[5] << 8) | f[6]);
    const int32_t addr = int32_t(be32(&f[7]));
    const int count = (f[11] << 8) | f[12];
    const std::vector<uint8_t> value(f.begin() + 21, f.end() - 1);

    std::vector<uint8_t> reply;
    const char* refused = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.frames++;
        stats_.remoteRequests++;
        stats_.requestsPerStation[station]++;
        Station* st = stationLocked(station);
        if (station != 0 && (!st || !st->online)) {
            stats_.otherStation++;
            refused = "station not served, no reply";
        } else if (direction == 0) {
            Table table;
            const bool plain = isBitType(type) || isWordType(type);
            const int base = areaBase(type);
            if (station == 0) {
                refused = "read from station 0, no reply";
            } else if (!plain || !tableOf(type, &table) || addr < 0 ||
                       int64_t(base) + addr + count > kTableSize) {
                refused = "remote read outside the controller's memory";
            } else {
                reply.push_back(uint8_t(station));
                reply.push_back(uint8_t(type));
                std::vector<uint8_t> data;
                if (isBitType(type)) {
                    data.assign(size_t((count + 7) / 8), 0);
                    for (int k = 0; k < count; ++k) {
                        uint16_t v = 0;
                        unitLocked(station, type, addr + k, &v);
                        if (v) data[size_t(k / 8)] |= uint8_t(1u << (k % 8));
                    }
                } else {
                    for (int k = 0; k < count; ++k) {
                        uint16_t v = 0;
                        unitLocked(station, type, addr + k, &v);
                        data.push_back(uint8_t(v >> 8));
                        data.push_back(uint8_t(v & 0xFF));
                    }
                }
                reply.push_back(uint8_t(data.size()));
                reply.insert(reply.end(), data.begin(), data.end());
                appendCrc(reply);
            }
        } else if (direction == 1) {
            if (!isWritableType(type) || addr < 0) {
                refused = "remote write to an area the controller does not accept";
            } else {
                std::vector<int> targets;
                if (station == 0) {
                    for (auto& kv : stations_)
                        if (kv.second->online) targets.push_back(kv.first);
                } else {
                    targets.push_back(station);
                }
                for (int s : targets) {
                    if (isWordType(type)) {
                        const int n = std::min<int>(count, int(value.size() / 2));
                        for (int k = 0; k < n; ++k)
                            setUnitLocked(
                                s, type, addr + k,
                                uint16_t((value[size_t(2 * k)] << 8) | value[size_t(2 * k + 1)]));
                    } else if (isBitType(type)) {
                        const int n = std::min<int>(count, int(value.size()));
                        for (int k = 0; k < n; ++k)
                            setUnitLocked(s, type, addr + k, value[size_t(k)] & 1);
                    } else {  // bit inside a word: one byte per bit, nonzero sets
                        const int n = std::min<int>(count, int(value.size()));
                        for (int k = 0; k < n; ++k)
                            setUnitLocked(s, type, addr + k, value[size_t(k)] != 0);
                    }
                    stats_.writesPerStation[s]++;
                }
                if (station == 0) {
                    stats_.broadcasts++;
                } else {
                    reply = {uint8_t(station), uint8_t(type),       uint8_t(addr >> 8),
                             uint8_t(addr),    uint8_t(count >> 8), uint8_t(count)};
                    appendCrc(reply);
                }
            }
        } else {
            refused = "unknown direction";
        }
        if (refused && std::strncmp(refused, "station", 7) != 0) stats_.rejected++;
    }
    traceBytes("RX", f, refused ? refused : (station == 0 ? "remote broadcast" : "remote"));
    if (!reply.empty()) sendReply(std::move(reply));
}

void Simulator::sendReply(std::vector<uint8_t> reply) {
    enum { kNone, kDrop, kCrc, kShort } fault = kNone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (faultRate_ > 0) {
            auto next = [this] {
                // xorshift32: the same seed spoils the same replies everywhere.
                rngState_ ^= rngState_ << 13;
                rngState_ ^= rngState_ >> 17;
                rngState_ ^= rngState_ << 5;
                return rngState_;
            };
            if (double(next()) / 4294967296.0 < faultRate_) {
                fault = static_cast<decltype(fault)>(1 + next() % 3);
                if (fault == kShort && reply.size() < 2) fault = kDrop;
            }
            if (fault == kDrop) stats_.dropped++;
            if (fault == kCrc) {
                reply.back() ^= 0x5A;
                stats_.corrupted++;
            }
            if (fault == kShort) {
                reply.resize(1 + next() % (reply.size() - 1));
                stats_.truncated++;
            }
        }
        if (fault != kDrop) stats_.replies++;
    }
    if (options_.replyDelayUs > 0) ::usleep(useconds_t(options_.replyDelayUs));
    if (fault == kDrop) {
        traceBytes("TX", reply, "fault: reply dropped");
        return;
    }
    traceBytes("TX", reply,
               fault == kCrc     ? "fault: bad CRC"
               : fault == kShort ? "fault: cut short"
                                 : "");
    writeAll(lineFd_, reply.data(), reply.size());
}

}  // namespace plcsim
