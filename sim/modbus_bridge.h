// The bridge to libmodbus: the Modbus RTU requests the controller has framed
// are judged and answered by libmodbus, an implementation that shares no
// code with the driver, against the station's register map.
//
// libmodbus serves an RTU context whose "serial line" is one end of a socket
// pair: each request goes in there, and libmodbus's answer comes back out
// to be sent on the real line, where faults can be applied to it.
#ifndef PLCSIM_MODBUS_BRIDGE_H
#define PLCSIM_MODBUS_BRIDGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "memory.h"

namespace plcsim {

class ModbusBridge {
public:
    ModbusBridge() = default;
    ~ModbusBridge();
    ModbusBridge(const ModbusBridge&) = delete;
    ModbusBridge& operator=(const ModbusBridge&) = delete;

    bool open(std::string* error);

    struct Outcome {
        enum Kind {
            Answered,   // reply holds libmodbus's answer (data or an exception)
            Broadcast,  // station 0: applied to every online station, no answer
            Refused,    // libmodbus did not take the request; why says why
        } kind = Refused;
        std::vector<uint8_t> reply;
        bool wrote = false;         // a write function
        std::vector<int> stations;  // whose memory the request was applied to
        std::string why;
    };
    // frame: a complete request to a station that is served and online, or
    // to station 0.
    Outcome handle(const std::vector<uint8_t>& frame, Memory& memory);

    // Whether libmodbus would take these bytes, which formed no checked
    // frame, for a request; nothing is answered either way.
    bool acceptsAsRequest(const std::vector<uint8_t>& bytes);

private:
    void drain();
    int receive(const std::vector<uint8_t>& bytes, int station, uint8_t* req);

    modbus_t* ctx_ = nullptr;
    int sock_[2] = {-1, -1};  // ours / libmodbus's
};

}  // namespace plcsim

#endif  // PLCSIM_MODBUS_BRIDGE_H
