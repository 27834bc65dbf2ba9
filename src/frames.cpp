// Frame building: block checks, ASCII digits, the controller's address map,
// and the builders that turn one variable into queued request frames.
//
// The builders are pure apart from appending to pendingFrames, setting the
// frame counters in COMINFO and, for writes, mirroring the value into the
// register image. They never touch the link.
#include <limits>

#include "driver_internal.h"

// ---------------------------------------------------------------------------
// Block checks. Lengths are 16-bit byte counts of what precedes the check.

unsigned short CalSUM(unsigned char* buf, unsigned short len) {
    unsigned int sum = 0;
    for (unsigned i = 0; i < len; ++i) sum += buf[i];
    return static_cast<unsigned short>(sum);
}

// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final
// XOR. Goes on the wire low byte first.
namespace {
uint16_t crc16(const uint8_t* buf, size_t len) {
    unsigned int crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= buf[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>(crc);
}
}  // namespace

unsigned short CalCRC(unsigned char* buf, unsigned short len) { return crc16(buf, len); }

// Two's-complement of the byte sum, kept in 1..256: a sum that is a multiple
// of 256 yields 256 rather than 0.
int CalLRC(unsigned char* buf, unsigned short len) {
    unsigned int sum = 0;
    for (unsigned i = 0; i < len; ++i) sum += buf[i];
    return static_cast<int>((~sum) & 0xFF) + 1;
}

// XOR of all bytes. An empty buffer has no first byte to start from; it
// yields 0 without reading the buffer.
unsigned short CalXOR(unsigned char* buf, unsigned short len) {
    if (len == 0) return 0;
    unsigned int x = buf[0];
    for (unsigned i = 1; i < len; ++i) x ^= buf[i];
    return static_cast<unsigned short>(x);
}

// 0..9 -> '0'..'9', 10..15 -> 'A'..'F'; no range check.
int DigitalToASCII(int digit) { return digit <= 9 ? digit + 0x30 : digit + 0x37; }

// '0'..'9' and the six characters after them give 0..15; 'A'..'F' give
// 10..15; below '0' and '@' give 0. Nothing above '@' is validated.
int ASCIIToDigital(int ch) {
    if (ch < 0x30) return 0;
    if (ch <= 0x3F) return ch - 0x30;
    if (ch == 0x40) return 0;
    return ch - 0x37;
}

// ---------------------------------------------------------------------------
// Modbus address at which each register area starts. Areas that share a base
// (0, 6, 13, 14 at 0; 1 and 17 at 1024) are told apart by the function code.
int getOffsetAddress(int type) {
    switch (type) {
        case 0:
            return 0;
        case 1:
            return 1024;
        case 2:
            return 3072;
        case 3:
            return 11520;
        case 4:
            return 11264;
        case 5:
            return 11776;
        case 6:
            return 0;
        case 7:
            return 11736;
        case 8:
            return 19928;
        case 9:
            return 19936;
        case 10:
            return 19944;
        case 11:
            return 20200;
        case 12:
            return 1736;
        case 13:
            return 0;
        case 14:
            return 0;
        case 15:
            return 512;
        case 16:
            return 1536;
        case 17:
            return 1024;
        case 18:
            return 1088;
        case 19:
            return 1600;
        case 24:
            return 20512;
        case 25:
            return 22560;
        default:
            Diag("getOffsetAddress default") << type;
            return 0;
    }
}

namespace {

int32_t saturate(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Bytes a reply carries for `count` units: bits packed eight to a byte,
// words two bytes each. Signed division truncating toward zero.
int32_t bitBytes(int32_t count) { return saturate((int64_t(count) + 7) / 8); }
int32_t wordBytes(int32_t count) { return saturate(int64_t(count) * 2); }

// Start address on the wire: area base plus addr in full width, of which the
// low 16 bits are sent.
uint16_t wireAddress(const RW_VAR& v) {
    return static_cast<uint16_t>(int64_t(getOffsetAddress(v.regType)) + v.addr);
}

void appendWord(QByteArray& f, uint32_t w) {
    f.append(static_cast<char>((w >> 8) & 0xFF));
    f.append(static_cast<char>(w & 0xFF));
}

void putWord32(QByteArray& f, int pos, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    f[pos] = static_cast<char>(u >> 24);
    f[pos + 1] = static_cast<char>(u >> 16);
    f[pos + 2] = static_cast<char>(u >> 8);
    f[pos + 3] = static_cast<char>(u);
}

// CRC-16 over the whole frame, appended low byte first.
void sealWithCrc(QByteArray& f) {
    const uint16_t crc = crc16(reinterpret_cast<const uint8_t*>(f.constData()), f.size());
    f.append(static_cast<char>(crc & 0xFF));
    f.append(static_cast<char>(crc >> 8));
}

void queueFrame(const QByteArray& frame, int32_t replyLen, int32_t dataPos, int32_t dataLen,
                const RW_VAR& var) {
    Protocol p{};
    p.frame = frame;
    p.frameLen = frame.size();
    p.replyLen = replyLen;
    p.dataPos = dataPos;
    p.dataLen = dataLen;
    p.var = var;
    PLC_driver.pendingFrames.append(p);
    if (COMINFO* ci = PLC_driver.comInfo) {
        ci->framesDone = 0;
        ci->framesExpected = 1;
    }
}

bool isPlainWritable(int type) {
    return (type >= 1 && type <= 12) || type == 14 || type == 15 || type == 16 || type == 24 ||
           type == 25;
}

// 21-byte header of the remote framing; byte 0 (total length) is filled in
// by the caller. Multi-byte fields high byte first, each cut to its width.
QByteArray remoteHeader(const RW_VAR& v) {
    QByteArray h(21, '\0');
    h[1] = static_cast<char>(v.kind & 0xFF);
    h[2] = static_cast<char>(v.direction & 0xFF);
    h[3] = static_cast<char>(v.linkNo & 0xFF);
    h[4] = static_cast<char>(v.station & 0xFF);
    h[5] = static_cast<char>((v.regType >> 8) & 0xFF);
    h[6] = static_cast<char>(v.regType & 0xFF);
    putWord32(h, 7, v.addr);
    h[11] = static_cast<char>((v.count >> 8) & 0xFF);
    h[12] = static_cast<char>(v.count & 0xFF);
    putWord32(h, 13, v.special);
    putWord32(h, 17, v.extra);
    return h;
}

// Appends the low 8 bits of the byte sum of everything before it.
void sealWithSum(QByteArray& f) {
    unsigned int sum = 0;
    for (char c : f) sum += static_cast<uint8_t>(c);
    f.append(static_cast<char>(sum & 0xFF));
}

}  // namespace

// ---------------------------------------------------------------------------
// Local (Modbus RTU) read: station, function, start address, count, CRC.
void ReadRegister(RW_VAR* var) { ReadAnalog(var); }

void ReadAnalog(RW_VAR* var) {
    if (!var) return;
    int function;
    int32_t dataLen;
    switch (var->regType) {
        case 0:
            function = 2;  // discrete inputs
            dataLen = bitBytes(var->count);
            break;
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
            function = 1;  // coils
            dataLen = bitBytes(var->count);
            break;
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
        case 14:
        case 15:
        case 16:
        case 24:
        case 25:
            function = 3;  // holding registers
            dataLen = wordBytes(var->count);
            break;
        case 13:
        case 17:
        case 18:
        case 19:
            function = 4;  // input registers
            dataLen = wordBytes(var->count);
            break;
        default:
            Diag("ReadAnalog default") << var->station << var->regType << var->addr << var->count;
            return;
    }
    QByteArray f;
    f.append(static_cast<char>(var->station & 0xFF));
    f.append(static_cast<char>(function));
    appendWord(f, wireAddress(*var));
    appendWord(f, static_cast<uint32_t>(var->count));
    sealWithCrc(f);
    // Reply: station, function, byte count, data, CRC.
    queueFrame(f, saturate(int64_t(dataLen) + 5), 3, dataLen, *var);
}

// ---------------------------------------------------------------------------
// Local write: function 5 (one coil), 6 (one register) or 16 (registers).
// `value` is sent as stored: register bytes high byte first; for a coil only
// its first byte counts (nonzero = on).
void WriteAnalog(RW_VAR* var) {
    if (!var) return;
    const int type = var->regType;
    QByteArray f;
    f.append(static_cast<char>(var->station & 0xFF));
    if (type >= 1 && type <= 6) {
        f.append(char(5));
        appendWord(f, wireAddress(*var));
        const bool on = !var->value.isEmpty() && var->value.at(0) != 0;
        appendWord(f, on ? 0xFF00 : 0x0000);
    } else if (isPlainWritable(type) && var->count == 1) {
        f.append(char(6));
        appendWord(f, wireAddress(*var));
        f.append(var->value);
    } else if (isPlainWritable(type)) {
        f.append(char(16));
        appendWord(f, wireAddress(*var));
        appendWord(f, static_cast<uint32_t>(var->count));
        f.append(static_cast<char>((int64_t(var->count) * 2) & 0xFF));
        f.append(var->value);
    } else {
        Diag("WriteAnalog default") << type;
        return;
    }
    sealWithCrc(f);
    // A broadcast (station 0) is not answered.
    queueFrame(f, var->station != 0 ? 8 : 0, 0, 0, *var);
}

namespace {

// Refuses the write at the head of the write list: it goes, with every other
// queued piece of the same request, and the host hears of it once, as of a
// request given up (both callbacks). The caller holds listMutex.
void refuseQueuedWrite() {
    Communication_Protocol& d = PLC_driver;
    if (d.writeList.isEmpty()) return;
    const RW_VAR dropped = d.writeList.takeFirst();
    const bool byStation = d.comInfo && d.comInfo->multiStation != 0;
    purgeRequest(d.writeList, dropped, byStation);
    HostReports reports;
    reports.done = true;
    reports.kind = dropped.kind;
    reports.id = dropped.id;
    reports.result = 2;
    reports.fail = true;
    reports.failKind = dropped.kind;
    if (d.comInfo) reports.send(d.comInfo->hostHandle);
}

}  // namespace

// Serves the head of the write list. A bit inside a word register becomes a
// read-modify-write pair: a read of the whole register (marked special -1)
// and a single-register write whose value is filled in when the read reply
// arrives. The image shows the written value at once unless the link is
// failing, in which case the host's write path has already put it there.
void WriteRegister(RW_VAR* var) {
    if (!var) return;
    Communication_Protocol& d = PLC_driver;
    const int type = var->regType;
    if (isPlainWritable(type)) {
        WriteAnalog(var);
    } else if ((type == 20 || type == 21 || type == 23) && var->station != 0) {
        RW_VAR pair = *var;
        pair.regType = getPlcReg(type);
        pair.addr = var->addr / 16;  // register holding the bit
        pair.count = 1;
        pair.value = QByteArray(2, '\0');
        pair.direction = 0;
        pair.special = -1;
        ReadRegister(&pair);
        pair.direction = 1;
        pair.special = 0;
        WriteAnalog(&pair);
        // The bit's position in the register, worked out again from the bit
        // address when the read reply arrives; 0 or negative for a negative
        // address, which leaves the word as read.
        d.bitPatch = {true, pair.station, pair.addr, var->addr % 16,
                      !var->value.isEmpty() && var->value.at(0) != 0};
        if (COMINFO* ci = d.comInfo) {
            ci->framesDone = 0;
            ci->framesExpected = 2;
        }
    } else if (type == 20 || type == 21 || type == 23) {
        // A broadcast is not answered, so the register can't be read before
        // the bit is put into it, and the write half would clear the other
        // fifteen bits of every station on the line.
        Diag("WriteRegister broadcast") << var->station << type << var->addr << var->count;
        refuseQueuedWrite();
        return;
    } else {
        // Not writable: 0, 13, 17, 18, 19 and codes outside the table, and a
        // bit inside area 13, whose registers cannot be written either; it is
        // refused here before a read half could be queued without its write.
        Diag("WriteRegister default") << var->station << type << var->addr << var->count;
        if (type == 22) {
            // The host's own write path queues bits of area 13 like any other
            // bit-in-word write, so the host is waiting for an outcome.
            refuseQueuedWrite();
        } else if (!d.writeList.isEmpty()) {
            d.writeList.removeFirst();
        }
        return;
    }
    if (!d.failFlag) WriteDataToLocal(var);
}

// ---------------------------------------------------------------------------
// Remote framing: header, value bytes (writes), 8-bit byte sum. Byte 0 holds
// the total length including the sum, cut to 8 bits; the sum covers it.
void Remote_ReadVar(RW_VAR* var) {
    if (!var) return;
    QByteArray f = remoteHeader(*var);
    f[0] = 22;
    sealWithSum(f);
    int32_t dataLen;
    const int type = var->regType;
    if (type >= 0 && type <= 6) {
        dataLen = bitBytes(var->count);
    } else if ((type >= 7 && type <= 19) || type == 24 || type == 25) {
        dataLen = wordBytes(var->count);
    } else {
        return;  // not readable remotely: dropped without a message
    }
    queueFrame(f, saturate(int64_t(dataLen) + 5), 3, dataLen, *var);
}

void Remote_WriteVar(RW_VAR* var) {
    if (!var) return;
    QByteArray f = remoteHeader(*var);
    f.append(var->value);
    f[0] = static_cast<char>((f.size() + 1) & 0xFF);
    sealWithSum(f);
    queueFrame(f, var->station != 0 ? 8 : 0, 0, 0, *var);
    WriteDataToLocal(var);  // remote writes are always mirrored at once
}
