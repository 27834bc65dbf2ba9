// A simulated controller on a serial line.
//
// The Modbus RTU side is served by libmodbus (modbus_receive + modbus_reply)
// with one modbus_mapping per station, so the driver's local frames are judged
// by an implementation that shares no code with the driver. The driver's own
// remote framing is decoded here. Replies can be spoiled on purpose (dropped,
// bad CRC, cut short) to exercise a master's retry and back-off logic.
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
    // Wire pacing: reply bytes leave at paceBaud (a pty has no baud rate of
    // its own), after turnaroundUs; burstGapMs > 0 splits each reply in two
    // bursts that far apart; echo sends every request byte back first.
    bool pace = false;
    int paceBaud = 19200;
    int turnaroundUs = 0;
    int burstGapMs = 0;
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
    // Serves on a real serial device instead.
    bool openDevice(const std::string& path, int baud, char parity, int dataBits, int stopBits,
                    std::string* error);
    const std::string& devicePath() const { return devicePath_; }

    // Serves requests on a thread of its own until stop() or destruction.
    bool start(std::string* error);
    void stop();

    // Controller memory by Modbus table and address. Unknown stations read 0
    // and ignore writes.
    uint16_t reg(int station, Table table, int address) const;
    void setReg(int station, Table table, int address, uint16_t value);
    bool bit(int station, Table table, int address) const;
    void setBit(int station, Table table, int address, bool value);

    // Controller memory the way the driver names it: register-type code and
    // address number (a bit number across the area for codes 20..23). One
    // unit: a bit (0/1) or a 16-bit register. False for codes without a place.
    bool unit(int station, int type, int address, uint16_t* value) const;
    bool setUnit(int station, int type, int address, uint16_t value);

    bool servesStation(int station) const;
    // An offline station stays in memory but answers nothing, like a
    // controller that was switched off.
    void setStationOnline(int station, bool online);
    void setFaultRate(double rate);
    void setLive(bool live);

    Stats stats() const;
    void resetStats();

private:
    struct Station;
    struct Frame;

    void serve();
    void handleModbus(const std::vector<uint8_t>& frame);
    void handleRemote(const std::vector<uint8_t>& frame);
    void handleNoise(const std::vector<uint8_t>& bytes);
    void sendReply(std::vector<uint8_t> reply);
    void updateLive();
    void traceBytes(const char* tag, const std::vector<uint8_t>& bytes, const char* note);
    Station* stationLocked(int station) const;
    struct Cell {
        uint8_t* bit = nullptr;
        uint16_t* word = nullptr;
        int bitNo = -1;  // bit inside *word for bit-in-word codes, else -1
    };
    Cell cellLocked(int station, int type, int address) const;
    bool unitLocked(int station, int type, int address, uint16_t* value) const;
    bool setUnitLocked(int station, int type, int address, uint16_t value);
    void drainLibmodbusSocket();

    Options options_;
    std::string devicePath_;
    int lineFd_ = -1;         // pty master or the serial device
    int keepSlave_ = -1;      // pty slave kept open so the master never sees a hang-up
    int sock_[2] = {-1, -1};  // our end / libmodbus's end
    int wake_[2] = {-1, -1};
    int gapUs_ = 3000;  // silence that ends an incomplete frame
    struct ModbusCtx;
    std::unique_ptr<ModbusCtx> mb_;

    mutable std::mutex mutex_;  // stations_, stats_, faultRate_, rng_
    std::map<int, std::unique_ptr<Station>> stations_;
    Stats stats_;
    double faultRate_;
    uint32_t rngState_;
    std::atomic<bool> live_;
    int64_t startNs_ = 0;
    int64_t lastTick_ = -1;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

// CRC-16/MODBUS and the remote framing's 8-bit byte sum, as the controller
// computes them.
uint16_t crc16(const uint8_t* data, size_t len);
uint8_t byteSum(const uint8_t* data, size_t len);

}  // namespace plcsim

#endif  // PLCSIM_SIMULATOR_H
