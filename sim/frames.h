// The controller's view of bytes on the line: its check sums, and where a
// complete request ends in what it has received so far.
#ifndef PLCSIM_FRAMES_H
#define PLCSIM_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plcsim {

// CRC-16/MODBUS and the remote framing's 8-bit byte sum, as the controller
// computes them.
uint16_t crc16(const uint8_t* data, size_t len);
uint8_t byteSum(const uint8_t* data, size_t len);
// Appends the CRC, low byte first.
void appendCrc(std::vector<uint8_t>& frame);

enum class FrameKind { None, Modbus, Remote };

struct FoundFrame {
    FrameKind kind = FrameKind::None;
    size_t length = 0;
};

// The complete request at the start of buf whose check sum holds: a Modbus
// RTU request of a shape a master sends (functions 1 to 6, 15, 16), or a
// remote frame (byte 0 its length, at least the 21-byte header and the sum).
// None while more bytes are needed, or when the bytes form neither; the
// caller then waits for the line to fall silent.
FoundFrame findFrame(const std::vector<uint8_t>& buf);

}  // namespace plcsim

#endif  // PLCSIM_FRAMES_H
