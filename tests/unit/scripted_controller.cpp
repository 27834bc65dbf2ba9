#include "scripted_controller.h"

namespace plctest {

namespace {

// The controller's own CRC-16 (reflected 0xA001, start 0xFFFF), kept apart
// from the driver's so that a wrong driver checksum cannot hide itself.
uint16_t crc16(const QByteArray& bytes, int len) {
    uint16_t r = 0xFFFF;
    for (int i = 0; i < len; ++i) {
        r ^= static_cast<uint8_t>(bytes[i]);
        for (int b = 0; b < 8; ++b) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
    }
    return r;
}

uint8_t u8(const QByteArray& b, int i) { return static_cast<uint8_t>(b[i]); }
int be16(const QByteArray& b, int i) { return (u8(b, i) << 8) | u8(b, i + 1); }
int32_t be32(const QByteArray& b, int i) {
    return static_cast<int32_t>((uint32_t(u8(b, i)) << 24) | (uint32_t(u8(b, i + 1)) << 16) |
                                (uint32_t(u8(b, i + 2)) << 8) | uint32_t(u8(b, i + 3)));
}
void put16(QByteArray* b, int v) {
    b->append(char((v >> 8) & 0xFF));
    b->append(char(v & 0xFF));
}

bool crcValid(const QByteArray& req) {
    if (req.size() < 4) return false;
    uint16_t c = crc16(req, req.size() - 2);
    return u8(req, req.size() - 2) == (c & 0xFF) && u8(req, req.size() - 1) == (c >> 8);
}

bool remoteValid(const QByteArray& req) {
    if (req.size() < 22 || u8(req, 0) != (req.size() & 0xFF)) return false;
    unsigned sum = 0;
    for (int i = 0; i < req.size() - 1; ++i) sum += u8(req, i);
    return (sum & 0xFF) == u8(req, req.size() - 1);
}

QByteArray exceptionReply(int station, int function, int code) {
    QByteArray r;
    r.append(char(station));
    r.append(char(function | 0x80));
    r.append(char(code));
    return sealCrc(r);
}

}  // namespace

QByteArray sealCrc(QByteArray bytes) {
    uint16_t c = crc16(bytes, bytes.size());
    bytes.append(char(c & 0xFF));
    bytes.append(char(c >> 8));
    return bytes;
}

ScriptedController::ScriptedController(std::initializer_list<int> stations) {
    for (int s : stations) memory_[s];
}

void ScriptedController::script(std::initializer_list<Answer> answers) {
    script_.insert(script_.end(), answers.begin(), answers.end());
}

bool ScriptedController::serves(int station) const { return memory_.contains(station); }

ScriptedController::Memory& ScriptedController::mem(int station) { return memory_[station]; }
const ScriptedController::Memory& ScriptedController::mem(int station) const {
    static const Memory empty;
    auto it = memory_.find(station);
    return it == memory_.end() ? empty : *it;
}

bool ScriptedController::coil(int s, int a) const { return mem(s).coils.at(a) != 0; }
bool ScriptedController::discrete(int s, int a) const { return mem(s).discretes.at(a) != 0; }
uint16_t ScriptedController::holding(int s, int a) const { return mem(s).holding.at(a); }
uint16_t ScriptedController::input(int s, int a) const { return mem(s).input.at(a); }
void ScriptedController::setCoil(int s, int a, bool on) { mem(s).coils.at(a) = on; }
void ScriptedController::setDiscrete(int s, int a, bool on) { mem(s).discretes.at(a) = on; }
void ScriptedController::setHolding(int s, int a, uint16_t v) { mem(s).holding.at(a) = v; }
void ScriptedController::setInput(int s, int a, uint16_t v) { mem(s).input.at(a) = v; }

// The controller's address map: where each panel register type starts in
// which object space.
Space ScriptedController::spaceOf(int type) {
    if (type == 0) return Space::Discrete;
    if (type >= 1 && type <= 6) return Space::Coil;
    if (type == 13 || (type >= 17 && type <= 19)) return Space::Input;
    if ((type >= 7 && type <= 16) || type == 24 || type == 25) return Space::Holding;
    return Space::None;
}

int ScriptedController::baseOf(int type) {
    static const int bases[26] = {0,     1024,  3072,  11520, 11264, 11776, 0,     11736, 19928,
                                  19936, 19944, 20200, 1736,  0,     0,     512,   1536,  1024,
                                  1088,  1600,  -1,    -1,    -1,    -1,    20512, 22560};
    return type >= 0 && type <= 25 ? bases[type] : -1;
}

uint16_t ScriptedController::word(int s, int type, int addr) const {
    int a = baseOf(type) + addr;
    return spaceOf(type) == Space::Input ? input(s, a) : holding(s, a);
}
bool ScriptedController::bit(int s, int type, int addr) const {
    int a = baseOf(type) + addr;
    return spaceOf(type) == Space::Discrete ? discrete(s, a) : coil(s, a);
}
void ScriptedController::setWord(int s, int type, int addr, uint16_t v) {
    int a = baseOf(type) + addr;
    if (spaceOf(type) == Space::Input)
        setInput(s, a, v);
    else
        setHolding(s, a, v);
}
void ScriptedController::setBit(int s, int type, int addr, bool on) {
    int a = baseOf(type) + addr;
    if (spaceOf(type) == Space::Discrete)
        setDiscrete(s, a, on);
    else
        setCoil(s, a, on);
}

bool ScriptedController::readUnits(Memory& m, Space space, int address, int count,
                                   QByteArray* data) const {
    if (address < 0 || count < 0 || address + count > 65536) return false;
    if (space == Space::Coil || space == Space::Discrete) {
        const std::vector<uint8_t>& bits = space == Space::Coil ? m.coils : m.discretes;
        data->fill(0, (count + 7) / 8);
        for (int k = 0; k < count; ++k)
            if (bits[address + k]) (*data)[k / 8] = char(u8(*data, k / 8) | (1 << (k % 8)));
        return true;
    }
    if (space == Space::Holding || space == Space::Input) {
        const std::vector<uint16_t>& words = space == Space::Holding ? m.holding : m.input;
        data->clear();
        for (int k = 0; k < count; ++k) put16(data, words[address + k]);
        return true;
    }
    return false;
}

bool ScriptedController::writeBit(Memory& m, Space space, int address, bool on) {
    if (space != Space::Coil || address < 0 || address > 65535) return false;
    m.coils[address] = on;
    return true;
}

bool ScriptedController::writeWord(Memory& m, Space space, int address, uint16_t value) {
    if (space != Space::Holding || address < 0 || address > 65535) return false;
    m.holding[address] = value;
    return true;
}

QByteArray ScriptedController::executeLocal(const QByteArray& req, int station, bool* executed) {
    Memory& m = mem(station);
    const int fn = u8(req, 1);
    const int address = be16(req, 2);
    QByteArray reply;
    reply.append(char(station));
    reply.append(char(fn));
    Request rec{false, station, fn, address, 0, -1, {}};
    switch (fn) {
        case 1:
        case 2:
        case 3:
        case 4: {
            if (req.size() != 8) return exceptionReply(station, fn, 3);
            rec.count = be16(req, 4);
            Space sp = fn == 1   ? Space::Coil
                       : fn == 2 ? Space::Discrete
                       : fn == 3 ? Space::Holding
                                 : Space::Input;
            QByteArray data;
            if (!readUnits(m, sp, address, rec.count, &data)) return exceptionReply(station, fn, 2);
            reply.append(char(data.size()));
            reply.append(data);
            break;
        }
        case 5: {
            int v = be16(req, 4);
            if (req.size() != 8 || (v != 0xFF00 && v != 0)) return exceptionReply(station, fn, 3);
            rec.count = 1;
            rec.data = req.mid(4, 2);
            writeBit(m, Space::Coil, address, v == 0xFF00);
            reply = req.left(6);
            break;
        }
        case 6: {
            if (req.size() != 8) return exceptionReply(station, fn, 3);
            rec.count = 1;
            rec.data = req.mid(4, 2);
            writeWord(m, Space::Holding, address, uint16_t(be16(req, 4)));
            reply = req.left(6);
            break;
        }
        case 16: {
            if (req.size() < 9) return exceptionReply(station, fn, 3);
            rec.count = be16(req, 4);
            int bytes = u8(req, 6);
            if (bytes != rec.count * 2 || req.size() != 9 + bytes || address + rec.count > 65536)
                return exceptionReply(station, fn, 3);
            rec.data = req.mid(7, bytes);
            for (int k = 0; k < rec.count; ++k)
                writeWord(m, Space::Holding, address + k, uint16_t(be16(req, 7 + 2 * k)));
            reply = req.left(6);
            break;
        }
        default:
            return exceptionReply(station, fn, 1);
    }
    requests_.push_back(rec);
    *executed = true;
    return sealCrc(reply);
}

QByteArray ScriptedController::executeRemote(const QByteArray& req, int station, bool* executed) {
    Memory& m = mem(station);
    const int direction = u8(req, 2);
    const int type = be16(req, 5);
    const int32_t addr = be32(req, 7);
    const int count = be16(req, 11);
    Request rec{true, station, direction, addr, count, type, req.mid(21, req.size() - 22)};
    QByteArray reply;
    reply.append(char(station));
    if (direction == 0) {
        const Space sp = spaceOf(type);
        QByteArray data;
        if (!readUnits(m, sp, baseOf(type) + addr, count, &data))
            return exceptionReply(station, 0, 2);
        reply.append(char(type));
        reply.append(char(data.size()));
        reply.append(data);
    } else {
        // Bits and bit-in-word codes carry one value byte per bit, word areas
        // their registers high byte first; a byte that is not there is 0.
        auto byteAt = [&](int i) { return i < rec.data.size() ? u8(rec.data, i) : 0; };
        bool ok = true;
        if (type >= 20 && type <= 23) {
            static const int folded[4] = {7, 12, 13, 14};
            int area = folded[type - 20];
            for (int k = 0; k < count && ok; ++k) {
                int p = addr + k;
                int a = baseOf(area) + p / 16;
                uint16_t w = a >= 0 && a <= 65535 ? m.holding[a] : 0;
                uint16_t mask = uint16_t(1u << (p % 16));
                ok = writeWord(m, spaceOf(area), a, byteAt(k) ? (w | mask) : (w & ~mask));
            }
        } else if (spaceOf(type) == Space::Coil) {
            for (int k = 0; k < count && ok; ++k)
                ok = writeBit(m, Space::Coil, baseOf(type) + addr + k, byteAt(k) & 1);
        } else {
            for (int k = 0; k < count && ok; ++k)
                ok = writeWord(m, spaceOf(type), baseOf(type) + addr + k,
                               uint16_t((byteAt(2 * k) << 8) | byteAt(2 * k + 1)));
        }
        if (!ok || count <= 0) return exceptionReply(station, 1, 2);
        reply.append(char(0x01));
        reply.append(char(type));
        put16(&reply, count);
        reply.append(char(0));
    }
    requests_.push_back(rec);
    *executed = true;
    return sealCrc(reply);
}

QByteArray ScriptedController::answer(const QByteArray& request) {
    Answer how = Answer::Good;
    if (!script_.empty()) {
        how = script_.front();
        script_.pop_front();
    }
    const bool local = request.size() >= 8 && crcValid(request);
    const bool remote = !local && remoteValid(request);
    if (!local && !remote) {
        ++rejected_;
        return {};
    }
    if (how == Answer::Silent) return {};
    const int station = local ? u8(request, 0) : u8(request, 4);
    const bool isWrite = local
                             ? (u8(request, 1) == 5 || u8(request, 1) == 6 || u8(request, 1) == 16)
                             : u8(request, 2) != 0;

    bool executed = false;
    QByteArray reply;
    if (station == 0) {
        // Broadcast: every station executes a write, nobody answers.
        if (isWrite) {
            for (int s : memory_.keys())
                local ? executeLocal(request, s, &executed) : executeRemote(request, s, &executed);
        }
        return {};
    }
    if (!serves(station)) return {};
    if (how == Answer::Exception) {
        return exceptionReply(station, local ? u8(request, 1) : 0, 4);
    }
    reply = local ? executeLocal(request, station, &executed)
                  : executeRemote(request, station, &executed);

    switch (how) {
        case Answer::BadCrc:
            reply[reply.size() - 1] = char(u8(reply, reply.size() - 1) ^ 0x5A);
            break;
        case Answer::WrongStation:
            reply.chop(2);
            reply[0] = char(station + 1);
            reply = sealCrc(reply);
            break;
        case Answer::Short:
            reply.chop(1);
            break;
        case Answer::Late: {
            QByteArray stale = haveHeldBack_ ? heldBack_ : QByteArray();
            heldBack_ = reply;
            haveHeldBack_ = true;
            return stale;
        }
        default:
            break;
    }
    if (haveHeldBack_) {
        haveHeldBack_ = false;
        return heldBack_;
    }
    return reply;
}

Turn pollOnce(ScriptedController& ctl) {
    Turn t;
    Protocol* p = ComCommunication();
    if (p == nullptr) return t;
    t.sent = true;
    t.request = p->frame.left(p->frameLen);
    t.reply = ctl.answer(t.request);
    RW_VAR* r = DataCom(&t.reply, t.reply.size());
    t.status = r->status;
    return t;
}

std::vector<Turn> pollUntilIdle(ScriptedController& ctl, int maxTurns) {
    std::vector<Turn> turns;
    for (int i = 0; i < maxTurns; ++i) {
        Turn t = pollOnce(ctl);
        if (!t.sent) break;
        turns.push_back(t);
    }
    return turns;
}

}  // namespace plctest
