#include "frames.h"

#include "crc16.h"

namespace plcsim {

namespace {

size_t modbusRequestLength(const std::vector<uint8_t>& buf) {
    if (buf.size() < 2) return 0;
    size_t len = 0;
    switch (buf[1]) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
            len = 8;  // station, function, address, count or value, CRC
            break;
        case 15:
        case 16:
            if (buf.size() < 7) return 0;
            len = 9 + size_t(buf[6]);  // ... count, byte count, the data, CRC
            break;
        default:
            return 0;
    }
    if (buf.size() < len) return 0;
    const uint16_t crc = crc16(buf.data(), len - 2);
    if (buf[len - 2] != (crc & 0xFF) || buf[len - 1] != (crc >> 8)) return 0;
    return len;
}

size_t remoteFrameLength(const std::vector<uint8_t>& buf) {
    if (buf.empty()) return 0;
    const size_t len = buf[0];
    if (len < 22 || buf.size() < len) return 0;
    if (byteSum(buf.data(), len - 1) != buf[len - 1]) return 0;
    return len;
}

}  // namespace

uint16_t crc16(const uint8_t* data, size_t len) { return plc::crc16Modbus(data, len); }

uint8_t byteSum(const uint8_t* data, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i < len; ++i) sum += data[i];
    return uint8_t(sum & 0xFF);
}

void appendCrc(std::vector<uint8_t>& f) {
    const uint16_t crc = crc16(f.data(), f.size());
    f.push_back(uint8_t(crc & 0xFF));
    f.push_back(uint8_t(crc >> 8));
}

FoundFrame findFrame(const std::vector<uint8_t>& buf) {
    if (size_t n = modbusRequestLength(buf)) return {FrameKind::Modbus, n};
    if (size_t n = remoteFrameLength(buf)) return {FrameKind::Remote, n};
    return {};
}

}  // namespace plcsim
