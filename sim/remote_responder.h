// The controller's side of the driver's remote framing, decoded here (no
// library knows it): a 21-byte header, the value bytes of a write, and an
// 8-bit byte sum. Replies carry a CRC like the Modbus ones.
#ifndef PLCSIM_REMOTE_RESPONDER_H
#define PLCSIM_REMOTE_RESPONDER_H

#include <cstdint>
#include <vector>

#include "memory.h"

namespace plcsim {

struct RemoteOutcome {
    std::vector<uint8_t> reply;     // empty: nothing is answered
    const char* refused = nullptr;  // why the request was not carried out
    bool otherStation = false;      // addressed to a station not served or offline
    bool broadcast = false;         // a write to station 0, applied to every online station
    std::vector<int> wroteTo;       // stations whose memory a write changed
};

// frame: a complete remote frame whose sum checks (see findFrame).
//   read  (direction 0): reply station, type, byte count, the data, CRC; bits
//         packed eight to a byte from bit 0, registers high byte first;
//   write (direction 1): reply station, type, address (low 16 bits), count,
//         CRC; register values high byte first, bits one byte each.
RemoteOutcome respondRemote(const std::vector<uint8_t>& frame, Memory& memory);

}  // namespace plcsim

#endif  // PLCSIM_REMOTE_RESPONDER_H
