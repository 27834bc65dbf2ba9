// CRC-16/MODBUS (polynomial 0xA001 reflected, initial value 0xFFFF), for the
// host tool's own look at frames: it is sent low byte first.
#ifndef PLC_COMMON_CRC16_H
#define PLC_COMMON_CRC16_H

#include <cstddef>
#include <cstdint>

namespace plc {

inline uint16_t crc16Modbus(const uint8_t* data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// Whether the last two of len bytes are the CRC of the ones before them.
inline bool crc16Matches(const uint8_t* data, size_t len) {
    if (len < 3) return false;
    const uint16_t crc = crc16Modbus(data, len - 2);
    return data[len - 2] == (crc & 0xFF) && data[len - 1] == (crc >> 8);
}

}  // namespace plc

#endif  // PLC_COMMON_CRC16_H
