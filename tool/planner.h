// The cycle planner (plc-host --plan): which read requests the driver builds
// for a screen, the bytes they put on the wire and the wire time per read
// cycle, for the configured block size and the others worth trying.
//
// The blocks come from the driver itself, never from a copy of its grouping
// rule: the planner sets the driver up with the block size, rebuilds the read
// list and walks one cycle of ComCommunication, answering every request with
// a good reply of the length the driver expects through DataCom.
#ifndef PLCHOST_PLANNER_H
#define PLCHOST_PLANNER_H

#include <QtCore/QByteArray>
#include <string>
#include <vector>

#include "driver_api.h"
#include "host_engine.h"
#include "serial_port.h"

namespace plchost {

struct PlannedRequest {
    int station = 0, type = 0, addr = 0, count = 0;  // as the driver built it (folded area)
    QByteArray frame;                                // the request on the wire
    int replyBytes = 0;                              // the reply the driver expects
};

struct CyclePlan {
    int blockSize = 0;
    std::vector<PlannedRequest> requests;
    long requestBytes = 0, replyBytes = 0;
    double wireMs = 0;
};

// The time one request and its reply keep the line busy, in microseconds:
// (request bytes + reply bytes) x bits per character / baud, plus the
// silence of 3.5 characters before the request and before the reply.
double wireTimeUs(int requestBytes, int replyBytes, const plc::serial::CharFormat& f);

// The largest block size a Modbus read allows: 125 registers per read; a
// screen of bit areas only reads 8 x block size bits, at most 2000, so 250.
int modbusBlockLimit(bool wordAreas);
// The configured size and the powers of two up to the limit, and the limit
// itself: the cycle time changes only where a gap stops fitting into a
// block, and doubling finds those steps in a handful of tries.
std::vector<int> candidateBlockSizes(int configured, int limit);

// A good reply of replyLen bytes to frame: the station, the function, the
// byte count, zero data and the CRC (the driver checks station and CRC).
QByteArray goodReplyFor(const QByteArray& frame, int station, int replyLen);

class Planner {
public:
    // api: a loaded driver that nothing else is polling.
    Planner(DriverApi& api, const EngineConfig& cfg, const plc::serial::CharFormat& line);
    bool plan(int blockSize, CyclePlan* out, std::string* error);

private:
    DriverApi& api_;
    EngineConfig cfg_;
    plc::serial::CharFormat line_;
    COMINFO ci_;  // the driver keeps a pointer to it
};

// The report: the configured size's requests, the comparison, the fastest
// and the formula.
std::string renderPlan(const std::vector<CyclePlan>& plans, int configured,
                       const plc::serial::CharFormat& line, bool remote, int variables);

}  // namespace plchost

#endif  // PLCHOST_PLANNER_H
