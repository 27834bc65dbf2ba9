// An in-process controller for the driver's tests. It decodes each request
// frame the driver hands out (local Modbus RTU or the driver's remote framing),
// executes it against its own register memory and returns the reply bytes a
// real controller would put on the line. A script of answers makes it
// misbehave on command.
#ifndef PLC_SCRIPTED_CONTROLLER_H
#define PLC_SCRIPTED_CONTROLLER_H

#include <QtCore/QByteArray>
#include <QtCore/QMap>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <vector>

#include "driver_internal.h"

namespace plctest {

enum class Answer {
    Good,          // executes the request, correct reply
    BadCrc,        // executes the request, last CRC byte corrupted
    WrongStation,  // executes the request, reply from another station (valid CRC)
    Short,         // executes the request, reply loses its last byte
    Exception,     // refuses the request: exception reply, nothing executed
    Silent,        // the request never arrives: nothing executed, no reply
    Late,          // executes the request, but its reply comes instead of the next one
};

// Which object space of the controller a register type lives in.
enum class Space { Discrete, Coil, Holding, Input, None };

class ScriptedController {
public:
    // The controller answers for the given station numbers only.
    explicit ScriptedController(std::initializer_list<int> stations = {1});

    // Answers for the next requests, in order; once the script is used up
    // every request is answered Good.
    void script(std::initializer_list<Answer> answers);

    // Takes one request frame as sent on the line, returns what comes back
    // (empty for no reply).
    QByteArray answer(const QByteArray& request);

    // Flat memory of one station.
    bool coil(int station, int address) const;
    bool discrete(int station, int address) const;
    uint16_t holding(int station, int address) const;
    uint16_t input(int station, int address) const;
    void setCoil(int station, int address, bool on);
    void setDiscrete(int station, int address, bool on);
    void setHolding(int station, int address, uint16_t value);
    void setInput(int station, int address, uint16_t value);

    // The same memory seen through the register-type codes of the panel.
    static Space spaceOf(int type);
    static int baseOf(int type);
    uint16_t word(int station, int type, int addr) const;
    bool bit(int station, int type, int addr) const;
    void setWord(int station, int type, int addr, uint16_t value);
    void setBit(int station, int type, int addr, bool on);

    // Every request that reached the controller and was understood.
    struct Request {
        bool remote;
        int station;
        int function;  // Modbus function; remote: 0 read, 1 write
        int address;   // flat address (local) or addr field (remote)
        int count;
        int regType;  // remote only, -1 for local requests
        QByteArray data;
    };
    const std::vector<Request>& requests() const { return requests_; }
    void clearRequests() { requests_.clear(); }
    // Frames that failed their checksum or could not be decoded.
    int rejected() const { return rejected_; }

private:
    struct Memory {
        std::vector<uint8_t> coils = std::vector<uint8_t>(65536, 0);
        std::vector<uint8_t> discretes = std::vector<uint8_t>(65536, 0);
        std::vector<uint16_t> holding = std::vector<uint16_t>(65536, 0);
        std::vector<uint16_t> input = std::vector<uint16_t>(65536, 0);
    };
    Memory& mem(int station);
    const Memory& mem(int station) const;
    bool serves(int station) const;
    QByteArray executeLocal(const QByteArray& req, int station, bool* executed);
    QByteArray executeRemote(const QByteArray& req, int station, bool* executed);
    bool readUnits(Memory& m, Space space, int address, int count, QByteArray* data) const;
    bool writeBit(Memory& m, Space space, int address, bool on);
    bool writeWord(Memory& m, Space space, int address, uint16_t value);

    QMap<int, Memory> memory_;
    std::deque<Answer> script_;
    QByteArray heldBack_;
    bool haveHeldBack_ = false;
    std::vector<Request> requests_;
    int rejected_ = 0;
};

// Appends the CRC-16 of the local framing, low byte first.
QByteArray sealCrc(QByteArray bytes);

// One turn of the host's polling loop: take the next frame, let the
// controller answer it and hand the reply to DataCom.
struct Turn {
    bool sent = false;
    QByteArray request;
    QByteArray reply;
    int status = -1;
};
Turn pollOnce(ScriptedController& ctl);
// Polls until ComCommunication has nothing to send or `maxTurns` is reached;
// returns the turns that sent a frame.
std::vector<Turn> pollUntilIdle(ScriptedController& ctl, int maxTurns = 200);

}  // namespace plctest

#endif
