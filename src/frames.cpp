// Frame building: block checks, ASCII digits, the controller's address map,
// and the builders that turn one variable into queued request frames.
//
// The builders are pure apart from appending to pendingFrames, setting the
// frame counters in COMINFO and, for writes, mirroring the value into the
// register image. They never touch the link.
#include <algorithm>
#include <cstring>
#include <limits>

#include "driver_internal.h"
#include "wire.h"

using plc::AreaKind;

// ---------------------------------------------------------------------------
// Block checks. Lengths are 16-bit byte counts of what precedes the check.

unsigned short CalSUM(unsigned char* buf, unsigned short len) {
    unsigned int sum = 0;
    for (unsigned i = 0; i < len; ++i) sum += buf[i];
    return static_cast<unsigned short>(sum);
}

// CRC-16/MODBUS (see wire.h); goes on the wire low byte first.
unsigned short CalCRC(unsigned char* buf, unsigned short len) { return plc::wire::crc16(buf, len); }

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
// Modbus address at which each register area starts (plc::kRegisterTypes).
// Areas that share a base (0, 6, 13, 14 at 0; 1 and 17 at 1024) are told
// apart by the function code. Bit-in-word codes have no base of their own.
int getOffsetAddress(int type) {
    const plc::RegisterType* t = plc::registerType(type);
    if (!t || t->areaBase < 0) {
        Diag("getOffsetAddress default") << type;
        return 0;
    }
    return t->areaBase;
}

namespace {

int32_t saturate(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Bytes a reply carries for `count` units: bits packed eight to a byte,
// words two bytes each. Signed division truncating toward zero.
int32_t replyDataBytes(AreaKind kind, int32_t count) {
    return kind == AreaKind::Bits ? saturate((int64_t(count) + 7) / 8)
                                  : saturate(int64_t(count) * 2);
}

// Start address on the wire: area base plus addr in full width, of which the
// low 16 bits are sent.
uint32_t wireAddress(const plc::RegisterType& t, const RW_VAR& v) {
    return static_cast<uint32_t>(int64_t(t.areaBase) + v.addr);
}

// A fresh frame buffer keeps this much room, so that frames of every usual
// size reuse it without reallocating.
constexpr int kFrameCapacity = 64;

// The 21-byte header of the remote framing, multi-byte fields high byte
// first, each cut to its width. Byte 0 (total length) is the caller's.
constexpr int kRemoteHeaderBytes = 21;
void putRemoteHeader(uint8_t* f, const RW_VAR& v) {
    f[0] = 0;
    f[1] = static_cast<uint8_t>(v.kind);
    f[2] = static_cast<uint8_t>(v.direction);
    f[3] = static_cast<uint8_t>(v.linkNo);
    f[4] = static_cast<uint8_t>(v.station);
    plc::wire::putBe16(f + 5, static_cast<uint32_t>(v.regType));
    plc::wire::putBe32(f + 7, static_cast<uint32_t>(v.addr));
    plc::wire::putBe16(f + 11, static_cast<uint32_t>(v.count));
    plc::wire::putBe32(f + 13, static_cast<uint32_t>(v.special));
    plc::wire::putBe32(f + 17, static_cast<uint32_t>(v.extra));
}

}  // namespace

uint8_t* queueFrame(const RW_VAR& var, int size, int32_t replyLen, int32_t dataPos,
                    int32_t dataLen) {
    Communication_Protocol& d = PLC_driver;
    if (d.pendingFrames.isEmpty() && !d.recycledFrame.isEmpty()) {
        d.pendingFrames.swap(d.recycledFrame);
    } else {
        d.pendingFrames.append(Protocol());
    }
    Protocol& p = d.pendingFrames.last();
    // The buffer stays unless the host still shares it (frameBytes detaches).
    if (p.frame.size() != size) {
        if (p.frame.capacity() < size) p.frame.reserve(std::max(size, kFrameCapacity));
        p.frame.resize(size);
    }
    p.frameLen = size;
    p.replyLen = replyLen;
    p.dataPos = dataPos;
    p.dataLen = dataLen;
    p.var = var;
    p.reserved1 = p.reserved2 = p.reserved3 = 0;  // as in a fresh record
    if (COMINFO* ci = d.comInfo) {
        ci->framesDone = 0;
        ci->framesExpected = 1;
    }
    return frameBytes(p);
}

uint8_t* frameBytes(Protocol& p) { return reinterpret_cast<uint8_t*>(p.frame.data()); }

void retireHeadFrame() {
    Communication_Protocol& d = PLC_driver;
    if (d.pendingFrames.size() == 1 && d.recycledFrame.isEmpty()) {
        d.pendingFrames.swap(d.recycledFrame);
    } else {
        d.pendingFrames.removeFirst();
    }
}

// ---------------------------------------------------------------------------
// Local (Modbus RTU) read: station, function, start address, count, CRC.
void ReadRegister(RW_VAR* var) { ReadAnalog(var); }

void ReadAnalog(RW_VAR* var) {
    if (!var) return;
    const plc::RegisterType* t = plc::registerType(var->regType);
    if (!t || t->readFunction == plc::kNoFunction) {
        Diag("ReadAnalog default") << var->station << var->regType << var->addr << var->count;
        return;
    }
    const int32_t dataLen = replyDataBytes(t->kind, var->count);
    // Reply: station, function, byte count, data, CRC.
    uint8_t* f = queueFrame(*var, 8, saturate(int64_t(dataLen) + 5), 3, dataLen);
    f[0] = static_cast<uint8_t>(var->station);
    f[1] = t->readFunction;
    plc::wire::putBe16(f + 2, wireAddress(*t, *var));
    plc::wire::putBe16(f + 4, static_cast<uint32_t>(var->count));
    plc::wire::sealCrc(f, 6);
}

// ---------------------------------------------------------------------------
// Local write: function 5 (one coil), 6 (one register) or 16 (registers).
// `value` is sent as stored: register bytes high byte first; for a coil only
// its first byte counts (nonzero = on).
void WriteAnalog(RW_VAR* var) {
    if (!var) return;
    const plc::RegisterType* t = plc::registerType(var->regType);
    if (!t || t->kind == AreaKind::BitInWord || t->writeFunction == plc::kNoFunction) {
        Diag("WriteAnalog default") << var->regType;
        return;
    }
    const QByteArray& value = var->value;
    const int32_t replyLen = var->station != 0 ? 8 : 0;  // a broadcast is not answered
    uint8_t* f;
    int covered;
    if (t->kind == AreaKind::Bits) {
        f = queueFrame(*var, 8, replyLen, 0, 0);
        const bool on = !value.isEmpty() && value.at(0) != 0;
        plc::wire::putBe16(f + 4, on ? 0xFF00 : 0x0000);
        covered = 6;
    } else if (var->count == 1) {
        covered = 4 + value.size();
        f = queueFrame(*var, covered + 2, replyLen, 0, 0);
        std::memcpy(f + 4, value.constData(), size_t(value.size()));
    } else {
        // Count, byte count (count x 2, cut to 8 bits), then the registers.
        covered = 7 + value.size();
        f = queueFrame(*var, covered + 2, replyLen, 0, 0);
        plc::wire::putBe16(f + 4, static_cast<uint32_t>(var->count));
        f[6] = static_cast<uint8_t>(int64_t(var->count) * 2);
        std::memcpy(f + 7, value.constData(), size_t(value.size()));
    }
    f[0] = static_cast<uint8_t>(var->station);
    f[1] = t->kind == AreaKind::Bits ? plc::kWriteSingleCoil
           : var->count == 1         ? plc::kWriteSingleRegister
                                     : plc::kWriteMultipleRegisters;
    plc::wire::putBe16(f + 2, wireAddress(*t, *var));
    plc::wire::sealCrc(f, size_t(covered));
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
    const plc::RegisterType* t = plc::registerType(type);
    const bool bitInWord = t && t->kind == AreaKind::BitInWord;
    if (plc::hasLocalWrite(type) && !bitInWord) {
        WriteAnalog(var);
    } else if (plc::hasLocalWrite(type) && var->station != 0) {
        RW_VAR pair = *var;
        pair.regType = t->folded;
        pair.addr = var->addr / 16;  // register holding the bit
        pair.count = 1;
        pair.value = QByteArray(2, '\0');
        pair.direction = 0;
        pair.special = kBitPairReadHalf;
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
    } else if (plc::hasLocalWrite(type)) {
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
        if (bitInWord) {
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
    const plc::RegisterType* t = plc::registerType(var->regType);
    // Bit-in-word codes and codes outside the table are not readable
    // remotely: dropped without a message.
    if (!t || t->kind == AreaKind::BitInWord) return;
    const int32_t dataLen = replyDataBytes(t->kind, var->count);
    constexpr int kSize = kRemoteHeaderBytes + 1;
    uint8_t* f = queueFrame(*var, kSize, saturate(int64_t(dataLen) + 5), 3, dataLen);
    putRemoteHeader(f, *var);
    f[0] = kSize;
    plc::wire::sealSum(f, kRemoteHeaderBytes);
}

void Remote_WriteVar(RW_VAR* var) {
    if (!var) return;
    const QByteArray& value = var->value;
    const int covered = kRemoteHeaderBytes + value.size();
    uint8_t* f = queueFrame(*var, covered + 1, var->station != 0 ? 8 : 0, 0, 0);
    putRemoteHeader(f, *var);
    std::memcpy(f + kRemoteHeaderBytes, value.constData(), size_t(value.size()));
    f[0] = static_cast<uint8_t>(covered + 1);
    plc::wire::sealSum(f, size_t(covered));
    WriteDataToLocal(var);  // remote writes are always mirrored at once
}
