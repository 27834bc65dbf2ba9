// A simulated controller on a serial line: it reads requests off the line
// (line.h), finds where each ends (frames.h), has libmodbus answer the Modbus
// ones (modbus_bridge.h) and answers the remote framing itself
// (remote_responder.h) from its memory (memory.h), and spoils a share of the
// replies on purpose (faults.h).
#ifndef PLCSIM_SIMULATOR_H
#define PLCSIM_SIMULATOR_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "address_map.h"
#include "faults.h"
#include "line.h"
#include "memory.h"
#include "modbus_bridge.h"

namespace plcsim {

struct Options {
    // Stations (slave addresses 1..247) the controller answers for.
    std::vector<int> stations{1};
    // Changing values: a counter and a ramp in area 7 (registers 0 and 1), a
    // seconds counter in area 13 register 0 and a walking bit in area 0 bits
    // 0..7, on every station.
    bool live = true;
    // Share of replies (0..1) that are dropped, get a bad CRC or are cut short.
    double faultRate = 0.0;
    // Seed of the fault generator; the same seed spoils the same replies.
    uint32_t seed = 1;
    // Pause before each reply, as a slow controller would make.
    int replyDelayUs = 0;
    // When set, every frame received and sent is logged here.
    FILE* trace = nullptr;
    // Reply bytes at the line's pace: 11 bits a character at paceBaud on a
    // pty (which has no baud rate), at a real device's own rate otherwise;
    // the first after the request's end, the frame gap and turnaroundUs.
    bool pace = false;
    int paceBaud = 19200;
    int turnaroundUs = 0;
    // > 0: every reply in two bursts this far apart, as a USB adapter hands
    // them over.
    int burstGapMs = 0;
    // Every request byte echoed back first, as a two-wire line does.
    bool echo = false;
};

struct Stats {
    uint64_t frames = 0;          // complete requests received
    uint64_t modbusRequests = 0;  // of which Modbus RTU
    uint64_t remoteRequests = 0;  // of which remote framing
    uint64_t broadcasts = 0;      // writes to station 0 (applied, not answered)
    uint64_t replies = 0;         // replies sent, spoiled ones included
    uint64_t rejected = 0;        // refused by libmodbus or the remote decoder, or line noise
    uint64_t otherStation = 0;    // addressed to a station that is not served or offline
    uint64_t dropped = 0;         // faults: reply withheld
    uint64_t corrupted = 0;       // faults: reply sent with a bad check sum
    uint64_t truncated = 0;       // faults: reply cut short
    std::map<int, uint64_t> requestsPerStation;  // by station byte, 0 = broadcast
    std::map<int, uint64_t> writesPerStation;    // write requests applied
};

class Simulator {
public:
    explicit Simulator(const Options& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates a pseudo-terminal pair; the controller sits on the master side
    // and a master (the host) opens devicePath(), the slave side.
    bool openPty(std::string* error);
    // Serves on a real serial device instead. Settings the device did not
    // keep are warnings().
    bool openDevice(const std::string& path, int baud, char parity, int dataBits, int stopBits,
                    std::string* error);
    const std::string& devicePath() const { return line_.path(); }
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Serves requests on a thread of its own until stop() or destruction.
    bool start(std::string* error);
    void stop();

    // Controller memory the way the driver names it: register-type code and
    // address number (a bit number across the area for codes 20..23). One
    // unit: a bit (0/1) or a 16-bit register. False for codes without a place.
    bool unit(int station, int type, int address, uint16_t* value) const;
    bool setUnit(int station, int type, int address, uint16_t value);

    bool servesStation(int station) const { return memory_.serves(station); }
    // An offline station stays in memory but answers nothing, like a
    // controller that was switched off.
    void setStationOnline(int station, bool online) { memory_.setOnline(station, online); }
    void setFaultRate(double rate) { faults_.setRate(rate); }
    void setLive(bool live) { memory_.setLive(live); }

    Stats stats() const;
    void resetStats();

private:
    // When a request's bytes were read off the line.
    struct Arrival {
        int64_t firstByteNs, lastByteNs;
    };
    void serve();
    void handleModbus(const std::vector<uint8_t>& frame, const Arrival& at);
    void handleRemote(const std::vector<uint8_t>& frame, const Arrival& at);
    void handleNoise(const std::vector<uint8_t>& bytes);
    void sendReply(std::vector<uint8_t> reply, size_t requestLen, const Arrival& at);
    void traceBytes(const char* tag, const std::vector<uint8_t>& bytes, const char* note);

    Options options_;
    Memory memory_;
    Line line_;
    ModbusBridge modbus_;
    FaultInjector faults_;
    std::vector<std::string> warnings_;

    mutable std::mutex statsMutex_;
    Stats stats_;
    int64_t startNs_ = 0;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

}  // namespace plcsim

#endif  // PLCSIM_SIMULATOR_H
