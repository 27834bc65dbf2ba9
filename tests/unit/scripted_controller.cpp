#include "scripted_controller.h"

#include <stdexcept>

namespace plctest {
namespace {

// The controller's own CRC-16 (reflected 0xA001, start 0xFFFF), kept apart
// from the driver's so that a wrong driver checksum cannot hide itself.
uint16_t crc16(const QByteArray& b, int len) {
    uint16_t r = 0xFFFF;
    for (int i = 0; i < len; ++i) {
        r ^= uint8_t(b[i]);
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
    }
    return r;
}
int u8(const QByteArray& b, int i) { return uint8_t(b[i]); }
int be16(const QByteArray& b, int i) { return u8(b, i) << 8 | u8(b, i + 1); }

// The controller's address map: object space (0 discrete inputs, 1 coils,
// 2 holding, 3 input registers) and base of each register type.
int spaceOf(int type) {
    if (type == 0) return 0;
    return type <= 6 ? 1 : type == 13 || (type >= 17 && type <= 19) ? 3 : 2;
}
int baseOf(int type) {
    static const int bases[26] = {0,     1024,  3072,  11520, 11264, 11776, 0,     11736, 19928,
                                  19936, 19944, 20200, 1736,  0,     0,     512,   1536,  1024,
                                  1088,  1600,  -1,    -1,    -1,    -1,    20512, 22560};
    return type >= 0 && type <= 25 ? bases[type] : -1;
}

}  // namespace

QByteArray sealCrc(QByteArray bytes) {
    const uint16_t c = crc16(bytes, bytes.size());
    return bytes.append(char(c & 0xFF)).append(char(c >> 8));
}

ScriptedController::ScriptedController(std::initializer_list<int> stations) {
    for (int s : stations) mem_[s];
}
uint16_t ScriptedController::cell(const std::unordered_map<int, uint16_t>& space, int at) {
    const auto it = space.find(at);
    return it == space.end() ? 0 : it->second;
}
namespace {
int cellOf(int type, int addr) {
    const long long at = (long long)baseOf(type) + addr;
    if (baseOf(type) < 0 || at < 0 || at >= 65536) throw std::out_of_range("no such register");
    return int(at);
}
}  // namespace
uint16_t ScriptedController::word(int s, int type, int addr) const {
    return cell(mem_.at(s)[spaceOf(type)], cellOf(type, addr));
}
void ScriptedController::setWord(int s, int type, int addr, uint16_t value) {
    mem_.at(s)[spaceOf(type)][cellOf(type, addr)] = value;
}

QByteArray ScriptedController::execute(const QByteArray& q, int st, bool local) {
    Request r{!local, st, u8(q, local ? 1 : 2), 0, 0, {}};
    const int fn = r.function, type = local ? 0 : be16(q, 5);
    static const int byFunction[7] = {-1, 1, 0, 2, 3, 1, 2};
    const int space = !local ? spaceOf(type) : fn == 16 ? 2 : fn <= 6 ? byFunction[fn] : -1;
    const bool read = local ? fn <= 4 : fn == 0;
    std::vector<int> values;  // what a write stores, one per unit
    bool ok;
    if (local) {
        r.address = be16(q, 2);
        r.count = read || fn == 16 ? be16(q, 4) : 1;
        r.data = fn == 16 ? q.mid(7, q.size() - 9) : q.mid(4, 2);
        for (int k = 0; !read && 2 * k + 1 < r.data.size(); ++k)
            values.push_back(be16(r.data, 2 * k));
        ok = fn == 16 ? u8(q, 6) == 2 * r.count && r.data.size() == 2 * r.count
                      : q.size() == 8 && (fn != 5 || values[0] == 0 || values[0] == 0xFF00);
    } else {
        r.address = int32_t(uint32_t(be16(q, 7)) << 16 | uint32_t(be16(q, 9)));
        r.count = be16(q, 11);
        r.data = q.mid(21, q.size() - 22);
        // One value byte per bit, registers high byte first; a missing byte is 0.
        auto byteAt = [&](int i) { return i < r.data.size() ? u8(r.data, i) : 0; };
        for (int k = 0; !read && k < r.count; ++k)
            values.push_back(space == 1 ? byteAt(k) : byteAt(2 * k) << 8 | byteAt(2 * k + 1));
        ok = baseOf(type) >= 0 && (read || r.count > 0);
    }
    // Only coils and holding registers can be written.
    const long long at = (local ? 0 : baseOf(type)) + (long long)r.address;
    ok = ok && space >= 0 && at >= 0 && at + r.count <= 65536 && (read || space == 1 || space == 2);
    // Reads: bits packed low bit first, registers high byte first.
    QByteArray reply(1, char(st)), data(read && space < 2 ? (r.count + 7) / 8 : 0, 0);
    for (int k = 0; ok && k < r.count; ++k) {
        std::unordered_map<int, uint16_t>& cells = mem_.at(st)[space];
        const uint16_t u = read ? cell(cells, int(at + k)) : 0;
        if (!read)
            cells[int(at + k)] = uint16_t(space == 1 ? values[k] != 0 : values[k]);
        else if (space < 2)
            data[k / 8] = char(data[k / 8] | (u != 0) << (k % 8));
        else
            data.append(char(u >> 8)).append(char(u & 0xFF));
    }
    if (!ok) return sealCrc(QByteArray(1, char(st)) + char((local ? fn : 0) | 0x80) + char(2));
    if (read) reply.append(char(local ? fn : type)).append(char(data.size())).append(data);
    if (!read && local) reply = q.left(6);
    if (!read && !local) reply.append(char(1)).append(char(type)).append(q.mid(11, 2)).append('\0');
    requests.push_back(r);
    return sealCrc(reply);
}

QByteArray ScriptedController::answer(const QByteArray& q) {
    const Answer how = script_.empty() ? Answer::Good : script_.front();
    if (!script_.empty()) script_.pop_front();
    const int n = q.size();
    const uint16_t crc = n >= 8 ? crc16(q, n - 2) : 0;
    const bool local = n >= 8 && u8(q, n - 2) == (crc & 0xFF) && u8(q, n - 1) == crc >> 8;
    int sum = 0;
    for (int i = 0; i + 1 < n; ++i) sum += u8(q, i);
    const bool remote = n >= 22 && u8(q, 0) == (n & 0xFF) && (sum & 0xFF) == u8(q, n - 1);
    const int st = local || remote ? u8(q, local ? 0 : 4) : -1;
    rejected += st < 0;
    if (st < 0 || how == Answer::Silent || (st != 0 && mem_.count(st) == 0)) return {};
    if (st == 0) {  // broadcast: every station executes a write, nobody answers
        if (local ? u8(q, 1) >= 5 : u8(q, 2) != 0)
            for (auto& s : mem_) execute(q, s.first, local);
        return {};
    }
    const int fn = local ? u8(q, 1) : 0;
    if (how == Answer::Exception)
        return sealCrc(QByteArray(1, char(st)) + char(fn | 0x80) + char(4));
    QByteArray r = execute(q, st, local);
    if (how == Answer::BadCrc) r[r.size() - 1] = char(u8(r, r.size() - 1) ^ 0x5A);
    if (how == Answer::WrongStation) r = sealCrc(char(st + 1) + r.mid(1, r.size() - 3));
    if (how == Answer::Short) r.chop(1);
    return r;
}

int pollOnce(ScriptedController& ctl) {
    Protocol* p = ComCommunication();
    if (p == nullptr) return -1;
    QByteArray reply = ctl.answer(p->frame.left(p->frameLen));
    return DataCom(&reply, reply.size())->status;
}

std::vector<int> pollUntilIdle(ScriptedController& ctl, int maxTurns) {
    std::vector<int> statuses;
    for (int s = 0; int(statuses.size()) < maxTurns && (s = pollOnce(ctl)) >= 0;)
        statuses.push_back(s);
    return statuses;
}

}  // namespace plctest
