// Byte-level helpers for every frame the driver builds, checks or patches:
// big-endian fields, CRC-16/MODBUS sealing and checking, the 8-bit byte sum.
//
// Both framings put multi-byte fields high byte first; the Modbus CRC is the
// one exception and goes on the wire low byte first, directly after the
// bytes it covers.
#ifndef PLC_WIRE_H
#define PLC_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plc::wire {

// CRC-16/MODBUS of `len` bytes: reflected polynomial 0xA001, initial value
// 0xFFFF, no final XOR ("123456789" gives 0x4B37).
uint16_t crc16(const uint8_t* buf, size_t len);

// Low 8 bits of the byte sum: the remote framing's check.
uint8_t byteSum(const uint8_t* buf, size_t len);

inline void putBe16(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}

inline void putBe32(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

inline uint16_t getBe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// Copies `count` 16-bit registers from `in` to `out`, swapping the two bytes
// of each: the wire's high-byte-first registers become the register image's
// low-byte-first ones, and back. Four at a time through a 64-bit word (the
// swap of adjacent bytes is the same on either byte order).
inline void copySwapped16(uint8_t* out, const uint8_t* in, size_t count) {
    for (; count >= 4; count -= 4, in += 8, out += 8) {
        uint64_t x;
        std::memcpy(&x, in, 8);
        x = (x & 0x00FF00FF00FF00FFull) << 8 | (x >> 8 & 0x00FF00FF00FF00FFull);
        std::memcpy(out, &x, 8);
    }
    for (; count != 0; --count, in += 2, out += 2) {
        const uint8_t high = in[0];
        out[0] = in[1];
        out[1] = high;
    }
}

// Writes the CRC of frame[0 .. covered) at frame[covered], low byte first.
inline void sealCrc(uint8_t* frame, size_t covered) {
    const uint16_t crc = crc16(frame, covered);
    frame[covered] = static_cast<uint8_t>(crc);
    frame[covered + 1] = static_cast<uint8_t>(crc >> 8);
}

// Whether frame[covered] and frame[covered + 1] hold the CRC of the bytes
// before them, low byte first.
inline bool crcMatches(const uint8_t* frame, size_t covered) {
    const uint16_t crc = crc16(frame, covered);
    return frame[covered] == static_cast<uint8_t>(crc) &&
           frame[covered + 1] == static_cast<uint8_t>(crc >> 8);
}

// Writes the byte sum of frame[0 .. covered) at frame[covered].
inline void sealSum(uint8_t* frame, size_t covered) { frame[covered] = byteSum(frame, covered); }

}  // namespace plc::wire

#endif  // PLC_WIRE_H
