#include "frame_decoder.h"

#include <cstdio>

#include "crc16.h"

namespace plchost {

uint16_t crc16(const uint8_t* data, size_t len) { return plc::crc16Modbus(data, len); }

int exceptionCode(const QByteArray& reply) {
    if (reply.size() != 5) return 0;
    const auto* b = reinterpret_cast<const uint8_t*>(reply.constData());
    if (!(b[1] & 0x80) || b[2] == 0 || !plc::crc16Matches(b, 5)) return 0;
    return b[2];
}

const char* exceptionName(int code) {
    struct Name {
        int code;
        const char* name;
    };
    static constexpr Name kNames[] = {
        {0x01, "illegal function"},
        {0x02, "illegal data address"},
        {0x03, "illegal data value"},
        {0x04, "server device failure"},
        {0x05, "acknowledge"},
        {0x06, "server device busy"},
        {0x08, "memory parity error"},
        {0x0A, "gateway path unavailable"},
        {0x0B, "gateway target failed to respond"},
    };
    for (const Name& n : kNames)
        if (n.code == code) return n.name;
    return "unknown exception";
}

std::string exceptionText(int code) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "exception %02X %s", unsigned(code) & 0xFF, exceptionName(code));
    return buf;
}

std::string hexBytes(const QByteArray& bytes) {
    std::string hex;
    char b[4];
    for (char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", uint8_t(c));
        hex += b;
    }
    if (!hex.empty()) hex.pop_back();
    return hex;
}

std::string describeRequest(const QByteArray& f, const RW_VAR& v, bool remote) {
    char buf[200];
    const char* role = v.special == -1 ? " [read half of a bit write]" : "";
    if (remote) {
        std::snprintf(buf, sizeof buf, "remote %s station %d type %d addr %d count %d%s",
                      v.direction == 1 ? "write" : "read", v.station, v.regType, v.addr, v.count,
                      role);
        return buf;
    }
    if (f.size() < 6) return "";
    const int fn = uint8_t(f[1]);
    const int address = (uint8_t(f[2]) << 8) | uint8_t(f[3]);
    const int word = (uint8_t(f[4]) << 8) | uint8_t(f[5]);
    struct Function {
        int code;
        const char* what;
    };
    static constexpr Function kFunctions[] = {
        {1, "read coils"}, {2, "read inputs"},    {3, "read holding"},     {4, "read input regs"},
        {5, "write coil"}, {6, "write register"}, {16, "write registers"},
    };
    const char* what = "function ?";
    for (const Function& fn_ : kFunctions)
        if (fn_.code == fn) what = fn_.what;
    if (fn == 5 || fn == 6) {
        // The write half of a bit-in-word pair is the plain register write.
        std::snprintf(buf, sizeof buf, "st %d %s %d = 0x%04X (type %d addr %d)%s", v.station, what,
                      address, word, v.regType, v.addr, fn == 6 && v.regType >= 20 ? "" : role);
    } else {
        std::snprintf(buf, sizeof buf, "st %d %s %d x%d (type %d addr %d)%s", v.station, what,
                      address, word, v.regType, v.addr, role);
    }
    return buf;
}

}  // namespace plchost
