#include "wire.h"

#include <array>

namespace plc::wire {

namespace {

// Slicing by eight: table k maps a byte to its effect on the register after
// it has been followed by k zero bytes (register 0 to start with), so eight
// bytes are folded in with eight look-ups. Table 0 is the classic one.
using CrcTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr CrcTables makeTables() {
    CrcTables t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        t[0][b] = static_cast<uint16_t>(crc);
    }
    for (size_t k = 1; k < t.size(); ++k)
        for (unsigned b = 0; b < 256; ++b)
            t[k][b] = static_cast<uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
    return t;
}

constexpr CrcTables kTables = makeTables();
static_assert(kTables[0][1] == 0xC0C1 && kTables[0][0x80] == 0xA001, "CRC-16/MODBUS table");

}  // namespace

uint16_t crc16(const uint8_t* p, size_t len) {
    const auto& t = kTables;
    unsigned crc = 0xFFFF;
    for (; len >= 8; p += 8, len -= 8) {
        // The register, low byte first, overlaps the first two bytes.
        crc ^= p[0] | unsigned(p[1]) << 8;
        crc = t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
              t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; len != 0; ++p, --len) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return static_cast<uint16_t>(crc);
}

uint8_t byteSum(const uint8_t* buf, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i < len; ++i) sum += buf[i];
    return static_cast<uint8_t>(sum);
}

}  // namespace plc::wire
