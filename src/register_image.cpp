// Register image: the per-station copy of the controller's areas, filled from
// replies and from host writes, read by the host.
//
// Encoding: bit areas keep one byte (0 or 1) per bit; word areas keep two
// bytes per register, low byte first. Bit-in-word codes live in the bytes of
// their word area: bit b of register n is bit (p mod 8) of byte p div 8,
// where p = 16n + b. Replies and write records carry registers high byte
// first, so every transfer between them and the image swaps the two bytes.
//
// Every access holds storageMutex (the reply path takes listMutex instead for
// the read half of a bit-in-word write, which touches no image).
#include <algorithm>
#include <cstring>
#include <limits>

#include "driver_internal.h"
#include "wire.h"

using plc::AreaKind;

namespace {

// Bytes the range {addr, count} of `type` needs in its area. Computed in 64
// bits so that no address or count can overflow.
int64_t requiredBytes(int type, int64_t addr, int64_t count) {
    const plc::RegisterType* t = plc::registerType(type);
    if (t && t->kind == AreaKind::Bits) return addr + count;
    // Bit-in-word codes: A div 16 + N div 17 registers. The divisor 17 is
    // not 16, so the length can fall short of the register holding the last
    // bit; readers treat missing bytes as 0 and writers grow the area.
    if (t && t->kind == AreaKind::BitInWord) return 2 * (addr / 16 + count / 17);
    return 2 * (addr + count);
}

uint8_t byteAt(const QByteArray& area, int64_t i) {
    return (i >= 0 && i < area.size()) ? static_cast<uint8_t>(area.at(static_cast<int>(i))) : 0;
}

const uint8_t* bytesOf(const QByteArray& a) {
    return reinterpret_cast<const uint8_t*>(a.constData());
}

// Grows `area` with zeros to `size` bytes (at most kMaxAreaBytes); a longer
// area is left alone. Returns its bytes, unshared, for writing.
uint8_t* growArea(QByteArray& area, int64_t size) {
    const int old = area.size();
    if (size > old) {
        area.resize(static_cast<int>(size));
        std::memset(area.data() + old, 0, static_cast<size_t>(size - old));
    }
    return reinterpret_cast<uint8_t*>(area.data());
}

// Stores single bytes into an area, growing it with zeros when an index lies
// beyond its end. Indexes outside 0 .. kMaxAreaBytes - 1 are ignored.
class AreaWriter {
public:
    explicit AreaWriter(QByteArray& area)
        : area_(area), bytes_(growArea(area, 0)), size_(area.size()) {}
    uint8_t get(int64_t i) const { return i >= 0 && i < size_ ? bytes_[i] : 0; }
    void set(int64_t i, uint8_t v) {
        if (i < 0 || i >= kMaxAreaBytes) return;
        if (i >= size_) {
            bytes_ = growArea(area_, i + 1);
            size_ = area_.size();
        }
        bytes_[i] = v;
    }

private:
    QByteArray& area_;
    uint8_t* bytes_;
    int64_t size_;
};

// Copies `len` bytes of `area` from `from` into a new array; bytes beyond
// the area's end read as 0.
QByteArray sliceOf(const QByteArray& area, int64_t from, int64_t len) {
    if (len <= 0) return QByteArray();
    QByteArray out(static_cast<int>(len), '\0');
    const int64_t begin = std::max<int64_t>(from, 0);
    const int64_t end = std::min<int64_t>(from + len, area.size());
    if (end > begin)
        std::memcpy(out.data() + (begin - from), area.constData() + begin, end - begin);
    return out;
}

int64_t imageBytes() {
    const QMap<int, QMap<int, QByteArray> >& image = DataStorage;
    int64_t total = 0;
    for (const QMap<int, QByteArray>& station : image)
        for (const QByteArray& area : station) total += area.size();
    return total;
}

// A bit area's data as it comes in a reply, eight bits to a byte from bit 0,
// into one byte (0 or 1) per bit from `addr`: `bits` of them at most, fewer
// when `data` (n bytes) runs out. Bits whose index falls outside
// 0 .. kMaxAreaBytes - 1 are left out; the area grows once.
void storeBits(QByteArray& area, int64_t addr, int64_t bits, const uint8_t* data, int64_t n) {
    const int64_t first = std::max<int64_t>(0, -addr);
    const int64_t end = std::min({bits, 8 * n, kMaxAreaBytes - addr});
    if (end <= first) return;
    uint8_t* out = growArea(area, addr + end) + addr;
    for (int64_t k = first; k < end; ++k) out[k] = (data[k / 8] >> (k % 8)) & 1;
}

// Registers as a reply carries them, high byte first, into the image's
// low-byte-first registers from register `addr`: the area grows once, then a
// swapping copy. The data length decides how many registers are stored (an
// odd last byte is ignored); registers outside the area bound are left out.
void storeWords(QByteArray& area, int64_t addr, const uint8_t* data, int64_t n) {
    const int64_t first = std::max<int64_t>(0, -addr);
    const int64_t end = std::min(n / 2, kMaxAreaBytes / 2 - addr);
    if (end <= first) return;
    uint8_t* out = growArea(area, 2 * (addr + end)) + 2 * (addr + first);
    plc::wire::copySwapped16(out, data + 2 * first, size_t(end - first));
}

}  // namespace

// Makes sure the area for `info` exists on its station and is long enough for
// the range. Areas never shrink. A range that would need more than
// kMaxAreaBytes, or grow the whole image beyond kMaxImageBytes, is refused
// with "**** ERROR checkTheStorage range" and the station, code, address and
// count: the area is then created (empty) if it was missing but not grown,
// and the callers leave it alone.
QByteArray& reserveRange(const ControlInformationM& info, bool& fits) {
    const int type = info.regType;
    if (!plc::registerType(type)) Diag("**** ERROR checkTheStorage default");
    QMap<int, QByteArray>& station = DataStorage[info.station];
    const int key = plc::areaCode(type);
    auto it = station.find(key);
    if (it == station.end()) it = station.insert(key, QByteArray());
    QByteArray& area = *it;
    fits = true;
    const int64_t need = requiredBytes(type, info.addr, info.count);
    const int64_t growth = need - area.size();
    if (growth < 1) return area;
    if (need > kMaxAreaBytes || imageBytes() + growth > kMaxImageBytes) {
        Diag("**** ERROR checkTheStorage range") << info.station << type << info.addr << info.count;
        fits = false;
        return area;
    }
    growArea(area, need);
    return area;
}

void checkTheStorage(ControlInformationM& info) {
    bool fits;
    reserveRange(info, fits);
}

void storeReplyData(QByteArray* reply) {
    Communication_Protocol& d = PLC_driver;
    if (!reply || d.pendingFrames.isEmpty()) return;
    const Protocol& head = d.pendingFrames.at(0);
    const RW_VAR& v = head.var;
    if (v.special == kBitPairReadHalf) {
        patchBitWrite(reply);
        return;
    }
    // Data bytes, read in place: from dataPos, at most dataLen of them, fewer
    // if the reply ends sooner.
    const uint8_t* data = nullptr;
    int64_t n = 0;
    if (head.dataPos >= 0 && head.dataPos < reply->size() && head.dataLen > 0) {
        data = bytesOf(*reply) + head.dataPos;
        n = std::min<int64_t>(head.dataLen, reply->size() - head.dataPos);
    }
    bool fits;
    QByteArray& area = reserveRange({v.station, v.regType, v.addr, v.count}, fits);
    const plc::RegisterType* t = plc::registerType(v.regType);
    if (t && t->kind == AreaKind::Bits) {
        if (fits) storeBits(area, v.addr, v.count, data, n);
    } else if (t && t->kind == AreaKind::Words) {
        if (fits) storeWords(area, v.addr, data, n);
    } else {
        Diag("SaveToLocalDataErea default") << v.regType;
    }
}

// The read half of a bit-in-word write has been answered: put the register
// value with the one bit set or cleared into the queued write half (bytes 4
// and 5, high byte first) and reseal its CRC. The image is not touched.
//
// Whether to patch depends on the two pending frames alone, whatever the
// reply path: the second must be the write half of a local pair, a
// function-6 frame of 8 bytes to the station and register of the read half,
// marked as a write, and the pair must be the one WriteRegister recorded.
// Any other second frame is left alone. The bit comes from that record, not
// from the write list, which the host may have emptied meanwhile: the write
// half never goes out with its placeholder.
void patchBitWrite(QByteArray* reply) {
    Communication_Protocol& d = PLC_driver;
    if (!reply || reply->size() < 5 || d.pendingFrames.size() < 2) return;
    Protocol& write = d.pendingFrames[1];
    const Protocol& read = d.pendingFrames.at(0);
    const QByteArray& rf = read.frame;
    const QByteArray& wf = write.frame;
    const bool isWriteHalf = wf.size() == 8 && rf.size() == 8 &&
                             wf.at(1) == plc::kWriteSingleRegister && write.var.direction == 1 &&
                             write.var.special == 0 && wf.at(0) == rf.at(0) &&
                             wf.at(2) == rf.at(2) && wf.at(3) == rf.at(3);
    const Communication_Protocol::BitPatch& bp = d.bitPatch;
    if (!isWriteHalf || !bp.valid || bp.station != write.var.station || bp.reg != write.var.addr)
        return;

    uint16_t w = plc::wire::getBe16(bytesOf(*reply) + 3);
    const uint16_t mask = bp.bit >= 0 ? static_cast<uint16_t>(1u << bp.bit) : 0;
    w = bp.set ? (w | mask) : (w & ~mask);
    uint8_t* f = frameBytes(write);
    plc::wire::putBe16(f + 4, w);
    plc::wire::sealCrc(f, 6);
}

// ---------------------------------------------------------------------------
// Host register access. Host buffers use the image's encoding: words low
// byte first, one byte per bit.

// Reads `count` units from the image. A count above kMaxUnits is refused
// ("GetRegisterData count" with the code and count; result 0, `out` empty);
// a count of 0 or less yields an empty `out`.
int32_t GetRegisterData(void*, int32_t type, QString& addrText, int32_t station, QByteArray* out,
                        int32_t count) {
    Communication_Protocol& d = PLC_driver;
    if (!out) return 0;
    out->clear();
    if (count > kMaxUnits) {
        Diag("GetRegisterData count") << type << count;
        return 0;
    }
    const int addr = StringAddressToInt(type, addrText);
    if (addr < 0) {
        if (count > 0) out->fill('\0', 2 * count);
        return 0;
    }
    const COMINFO* ci = d.comInfo;
    if (!ci) return 0;
    if (ci->multiStation == 0) station = ci->defStation;

    DriverLock lock(d.storageMutex);
    bool fits;
    const QByteArray& area = reserveRange({station, type, addr, count}, fits);
    switch (plc::registerType(type)->kind) {  // the parser accepted the code
        case AreaKind::Bits:
            *out = sliceOf(area, addr, count);
            break;
        case AreaKind::Words:
            *out = sliceOf(area, 2 * int64_t(addr), 2 * int64_t(count));
            break;
        case AreaKind::BitInWord:
            if (count > 0) {
                out->resize(count);
                char* bits = out->data();
                for (int64_t k = 0; k < count; ++k) {
                    const int64_t p = addr + k;
                    bits[k] = static_cast<char>((byteAt(area, p / 8) >> (p % 8)) & 1);
                }
            }
            break;
    }
    return 1;
}

// Turns a host write into write records (one per bit, or pieces of at most
// blockSize registers) and sees that the image shows the values. With
// runMode other than 2 nothing is sent: the image is updated here and the
// write list is emptied. A count above kMaxUnits is refused ("SetRegisterData
// count" with the code and count; result 0, nothing changed); a count of 0
// or less queues nothing. A negative blockSize is treated like 0: one piece.
// When the driver puts the values into the image itself, it does so once for
// the whole write: the pieces are contiguous, and one range of the image
// costs one reservation instead of one per bit.
int32_t SetRegisterData(QString& name, int32_t type, QString& addrText, int32_t station,
                        QByteArray& values, int32_t count, int32_t kind, int32_t id) {
    Communication_Protocol& d = PLC_driver;
    COMINFO* ci = d.comInfo;
    if (!ci) return 0;
    const int addr = StringAddressToInt(type, addrText);
    if (addr < 0) return 0;
    if (count > kMaxUnits) {
        Diag("SetRegisterData count") << type << count;
        return 0;
    }

    RW_VAR r = emptyRwVar();
    r.kind = kind;
    r.id = id;
    r.direction = 1;
    r.framingMode = ci->remoteMode;
    r.linkNo = ci->ownLinkNo;
    r.status = 0;
    r.name = name;
    r.addrText = addrText;
    r.regType = type;
    r.station = ci->multiStation != 0 ? station : ci->defStation;
    r.special = 0;
    r.extra = 0;
    QByteArray v = values;
    const bool sendToController = ci->runMode == 2;
    if (!sendToController) d.failFlag = true;

    // One hold of listMutex for all pieces, so that a write of many units
    // merges into the write list through one index instead of one scan of
    // the list per piece.
    ListLock lock;
    WriteMerger merger(d.writeList);
    int64_t units = 0;  // queued from addr on, in one run
    // Merges one piece. Its value is made only if the list takes the piece:
    // a full list drops most pieces of a huge write, and making a value for
    // each would cost an allocation per unit.
    auto queue = [&](int64_t pieceAddr, int32_t pieceCount, auto valueOf) {
        if (pieceAddr > std::numeric_limits<int32_t>::max()) return;
        r.addr = static_cast<int32_t>(pieceAddr);
        r.count = pieceCount;
        units += pieceCount;
        if (!merger.takes(r)) return;
        r.value = valueOf();
        merger.merge(r);
    };
    // Host registers are low byte first; records carry them high byte first.
    auto highFirst = [&](int64_t from, int64_t n) {
        QByteArray bytes(static_cast<int>(2 * n), Qt::Uninitialized);
        plc::wire::copySwapped16(reinterpret_cast<uint8_t*>(bytes.data()), bytesOf(v) + 2 * from,
                                 size_t(n));
        return bytes;
    };

    const bool writable = plc::isHostWritable(type);
    const bool bits = writable && plc::registerType(type)->kind != AreaKind::Words;
    if (bits) {
        // Bits and bits inside words: one record per bit.
        if (v.size() < count) v.append(QByteArray(count - v.size(), '\0'));
        for (int k = 0; k < count; ++k)
            queue(int64_t(addr) + k, 1, [&] { return QByteArray(1, v.at(k)); });
    } else if (writable && count > 0) {
        const int block = ci->blockSize > 0 ? ci->blockSize : count;
        int pieces = count / block;
        int last = count - block * pieces;
        if (last != 0) {
            ++pieces;
        } else {
            last = block;
        }
        if (v.size() < 2 * count) v.append(QByteArray(2 * count - v.size(), '\0'));
        for (int j = 0; j < pieces; ++j) {
            const int offset = j * block;
            const int n = j == pieces - 1 ? last : block;
            queue(int64_t(addr) + offset, n, [&] { return highFirst(offset, n); });
        }
    }
    // Merging never shortens the list: the last merge's result is its size.
    const int32_t result = units > 0 ? d.writeList.size() : 0;

    if (d.failFlag && units > 0) {
        RW_VAR mirror = r;  // every queued piece as one record
        mirror.addr = addr;
        mirror.count = static_cast<int32_t>(units);
        mirror.value = bits ? v.left(static_cast<int>(units)) : highFirst(0, units);
        WriteDataToLocal(&mirror);
    }
    if (!sendToController) d.writeList.clear();
    return result;
}

// Copies the value bytes of one write record into the image (record order:
// registers high byte first, one byte per bit). Bit areas keep bit 0 of each
// byte; bit-in-word codes treat any nonzero byte as 1.
void WriteDataToLocal(RW_VAR* var) {
    if (!var) return;
    Communication_Protocol& d = PLC_driver;
    DriverLock lock(d.storageMutex);
    bool fits;
    QByteArray& area = reserveRange({var->station, var->regType, var->addr, var->count}, fits);
    const int type = var->regType;
    if (!plc::isHostWritable(type)) {
        Diag("WriteDataToLocal default") << var->station << type << var->addr;
        return;
    }
    const QByteArray& v = var->value;
    const int64_t n = var->count;
    const int64_t addr = var->addr;
    // Counts beyond kMaxUnits come only from records the host built itself;
    // they are left out like ranges beyond the area bound.
    if (!fits || n > kMaxUnits) return;
    AreaWriter w(area);
    switch (plc::registerType(type)->kind) {
        case AreaKind::Bits:
            for (int64_t k = 0; k < n; ++k) w.set(addr + k, byteAt(v, k) & 1);
            break;
        case AreaKind::BitInWord:
            for (int64_t k = 0; k < n; ++k) {
                const int64_t p = addr + k;
                if (p < 0) continue;  // no bit has a negative number
                const uint8_t mask = static_cast<uint8_t>(1u << (p % 8));
                const uint8_t old = w.get(p / 8);
                w.set(p / 8, byteAt(v, k) != 0 ? (old | mask) : (old & ~mask));
            }
            break;
        case AreaKind::Words:
            for (int64_t k = 0; k < n; ++k) {
                w.set(2 * (addr + k), byteAt(v, 2 * k + 1));
                w.set(2 * (addr + k) + 1, byteAt(v, 2 * k));
            }
            break;
    }
}
