// An in-process controller for the driver's tests: it decodes local Modbus RTU
// and remote frames, runs them against its own register memory and answers as
// a controller would, or misbehaves on command.
#ifndef PLC_SCRIPTED_CONTROLLER_H
#define PLC_SCRIPTED_CONTROLLER_H

#include <array>
#include <deque>
#include <map>
#include <unordered_map>
#include <vector>

#include "driver_internal.h"

namespace plctest {

// Good: executes the request, correct reply. BadCrc, WrongStation (a valid
// reply from the next station), Short (last byte lost): executes it, spoils
// the reply. Exception: refuses it. Silent: the request never arrives.
enum class Answer { Good, BadCrc, WrongStation, Short, Exception, Silent };

class ScriptedController {
public:
    explicit ScriptedController(std::initializer_list<int> stations = {1});
    // Answers for the next requests in order; after that every answer is Good.
    void script(std::initializer_list<Answer> answers) { script_.insert(script_.end(), answers); }
    // One request as sent on the line in, the reply (empty: none) out.
    QByteArray answer(const QByteArray& request);
    // One station's memory through the driver's register-type codes and the
    // controller's own copy of the area bases; bits are 0 or 1.
    uint16_t word(int station, int type, int addr) const;
    void setWord(int station, int type, int addr, uint16_t value);

    // Every request understood and executed: function is the Modbus function
    // (remote: 0 read, 1 write), address the flat one (remote: the addr field).
    struct Request {
        bool remote;
        int station, function, address, count;
        QByteArray data;
    };
    std::vector<Request> requests;
    int rejected = 0;  // frames with a bad checksum or of no known framing

private:
    // Object spaces: 0 discrete inputs, 1 coils, 2 holding, 3 input registers,
    // 65536 cells each; only cells ever written are stored, the rest read 0.
    using Memory = std::array<std::unordered_map<int, uint16_t>, 4>;
    static uint16_t cell(const std::unordered_map<int, uint16_t>& space, int at);
    QByteArray execute(const QByteArray& q, int station, bool local);
    std::map<int, Memory> mem_;
    std::deque<Answer> script_;
};

// Appends the CRC-16 of the local framing, low byte first.
QByteArray sealCrc(QByteArray bytes);
// One turn of the host's polling loop (next frame, the controller's answer,
// DataCom): the status returned, or -1 when there was nothing to send.
int pollOnce(ScriptedController& ctl);
// Turns until nothing is left to send; the statuses of the turns taken.
std::vector<int> pollUntilIdle(ScriptedController& ctl, int maxTurns = 200);

}  // namespace plctest

#endif
