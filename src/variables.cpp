// Variable lists: register-type codes, address parsing, the registration of
// read, write and once-read variables, and the rebuild of the cyclic read
// list into grouped block reads.
#include <algorithm>
#include <limits>

#include "driver_internal.h"

namespace {
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
}  // namespace

// ---------------------------------------------------------------------------
// Register types: plc::kRegisterTypes.

// Bit-in-word codes stand on their word area: 20 -> 7, 21 -> 12, 22 -> 13,
// 23 -> 14. Every other code gives itself.
int getPlcReg(int type) {
    if (!plc::registerType(type)) {
        Diag("getPlcReg default") << type;
        return type;
    }
    return plc::areaCode(type);
}

// Address text to number in the code's text base (octal for 0 and 1,
// decimal otherwise); bit-in-word codes take "word.bit" (both decimal, bit
// not limited to 0..15) and give word * 16 + bit. -1 means the text is
// unusable; other negative values are passed through and every caller
// treats them as unusable too.
int StringAddressToInt(int type, QString text) {
    int64_t result = -1;
    bool ok = false;
    const plc::RegisterType* t = plc::registerType(type);
    if (t && t->textBase != plc::kWordDotBit) {
        result = text.toInt(&ok, t->textBase);
    } else if (t) {
        const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
        if (parts.size() == 2) {
            // A part that does not convert counts as 0.
            result = int64_t(parts.at(0).toInt()) * 16 + parts.at(1).toInt();
            ok = result >= kInt32Min && result <= kInt32Max;  // word number out of range
        }
    }
    if (!ok || result == -1) {
        Diag("StringAddressToInt error") << type << text;
        return -1;
    }
    return static_cast<int>(result);
}

int32_t PLCAddressChangeIntef(int32_t type, QString text) { return StringAddressToInt(type, text); }

// Turns a bit-in-word variable into a read of the words its bits touch:
// addr = bit / 16, count = words covered by (bit % 16 + count) bits.
int updateRwVar(RW_VAR* var) {
    const int type = var->regType;
    const plc::RegisterType* t = plc::registerType(type);
    if (!t) {
        Diag("updateRwVar") << type << var->addr << var->count;
        return 1;
    }
    if (t->kind == plc::AreaKind::BitInWord) {
        const int32_t addr = var->addr;
        var->regType = t->folded;
        var->addr = addr / 16;
        const int64_t words = (int64_t(addr % 16) + var->count + 15) / 16;
        var->count = static_cast<int32_t>(std::clamp(words, kInt32Min, kInt32Max));
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Registration.

// Appends without any processing. The driver takes listMutex here, so the
// host may call it while the polling loop runs.
int32_t AddListReadVar(RW_VAR* var) {
    Communication_Protocol& d = PLC_driver;
    ListLock lock;
    if (var) d.readList.append(*var);
    return d.readList.size();
}

namespace {
bool sameOnceRead(const RW_VAR& a, const RW_VAR& b) {
    return a.kind == b.kind && a.id == b.id && a.station == b.station && a.regType == b.regType &&
           a.addr == b.addr && a.count == b.count;
}
// Merges past this many records index the list's targets.
constexpr int kScanMerges = 4;
}  // namespace

size_t WriteMerger::TargetHash::operator()(const Target& t) const {
    uint64_t h = uint32_t(t.station);
    for (int32_t v : {t.regType, t.addr, t.count}) h = h * 0x100000001B3ull ^ uint32_t(v);
    return size_t(h ^ (h >> 29));
}

int WriteMerger::find(const Target& t) {
    if (!indexed_ && ++merges_ > kScanMerges) {
        for (int i = list_.size() - 1; i >= 1; --i) firstAt_[targetOf(list_.at(i))] = i;
        indexed_ = true;
    }
    if (indexed_) {
        const auto it = firstAt_.find(t);
        return it == firstAt_.end() ? -1 : it->second;
    }
    for (int i = 1; i < list_.size(); ++i)
        if (targetOf(list_.at(i)) == t) return i;
    return -1;
}

void WriteMerger::noteAppended() {
    const int at = list_.size() - 1;
    if (indexed_ && at >= 1) firstAt_.emplace(targetOf(list_.at(at)), at);
}

int WriteMerger::merge(const RW_VAR& r) {
    if (list_.size() < 2) {
        list_.append(r);
        noteAppended();
        return list_.size();
    }
    const int at = find(targetOf(r));
    if (at >= 1) {
        list_[at] = r;
    } else if (list_.size() < kListCapacity) {
        list_.append(r);
        noteAppended();
    }
    return list_.size();
}

// Mode 1 appends. Otherwise a waiting write to the same target (station,
// type, address, count) is replaced in its place in the queue; the head is
// never merged into, since its frames may be in flight.
int32_t AddListWriteVar(RW_VAR* var, int32_t mode) {
    Communication_Protocol& d = PLC_driver;
    ListLock lock;
    if (!var) return d.writeList.size();
    if (mode == 1) {
        d.writeList.append(*var);
        return d.writeList.size();
    }
    return WriteMerger(d.writeList).merge(*var);
}

// Mode 1 appends. Otherwise the record is parsed, given its station,
// normalised onto word areas, split into pieces of at most blockSize units
// and de-duplicated against the whole list. The caller's record is updated
// in place and ends holding the last piece. A count above kMaxUnits is
// refused with the diagnostic "AddListOnceReadVar count" (result 0); a count
// of 0 or less adds nothing.
int32_t AddListOnceReadVar(RW_VAR* var, int32_t mode) {
    Communication_Protocol& d = PLC_driver;
    if (!var) return 0;
    if (mode == 1) {
        ListLock lock;
        d.onceReadList.append(*var);
        return d.onceReadList.size();
    }
    const COMINFO* ci = d.comInfo;
    if (!ci) return 0;
    const int addr = StringAddressToInt(var->regType, var->addrText);
    if (addr < 0) return 0;
    const int32_t station = ci->multiStation != 0 ? var->station : ci->defStation;
    var->addr = addr;
    var->station = station;
    var->special = 0;
    var->extra = 0;
    if (station == 0) return 0;
    if (updateRwVar(var) != 0) return 0;
    if (var->count > kMaxUnits) {
        // More than one area holds: refused like the host's register access.
        Diag("AddListOnceReadVar count") << var->station << var->regType << var->addr << var->count;
        return 0;
    }

    // Pieces: n = count / B, the remainder forming one more piece. B = 0
    // makes one piece of the whole count; a negative B (meaningless) is
    // treated the same way. A count of 0 or less reads nothing: no piece.
    const int64_t total = var->count;
    const int64_t block = ci->blockSize > 0 ? ci->blockSize : total;
    int64_t pieces = 0;
    int64_t last = 0;
    if (total > 0) {
        pieces = total / block;
        last = total - pieces * block;
        if (last != 0) {
            ++pieces;
        } else {
            last = block;
        }
    }
    const int64_t start = var->addr;

    ListLock lock;
    QList<RW_VAR>& list = d.onceReadList;
    for (int64_t k = 0; k < pieces; ++k) {
        // Once the list is full no further piece can be added, and pieces of
        // distinct addresses cannot all be duplicates, so stop early; the
        // caller's record still ends holding the last piece.
        if (list.size() >= kListCapacity) k = pieces - 1;
        const int64_t pieceAddr = start + k * block;
        if (pieceAddr > kInt32Max) break;  // beyond any address a record can hold
        var->addr = static_cast<int32_t>(pieceAddr);
        var->count = static_cast<int32_t>(k == pieces - 1 ? last : block);
        bool duplicate = false;
        for (int i = 0; i < list.size() && !duplicate; ++i)
            duplicate = sameOnceRead(list.at(i), *var);
        if (!duplicate && list.size() < kListCapacity) list.append(*var);
    }
    return list.size();
}

// ---------------------------------------------------------------------------
// Read-list rebuild.

// The order an exchange sort of adjacent entries gives, in n log n: a stable
// merge sort, which matters for projects with tens of thousands of variables.
void sortByAddress(QList<RW_VAR>* list) {
    if (!list || list->size() < 2) return;
    std::stable_sort(list->begin(), list->end(),
                     [](const RW_VAR& a, const RW_VAR& b) { return a.addr < b.addr; });
}

namespace {

// Appends copies of `rec` at rec.addr + k * limit, each covering at most
// `limit` units of `span` units from `from`. Pieces that would start beyond
// the largest address a record can hold are not made.
void appendBlocks(QList<RW_VAR>& out, const RW_VAR& rec, int64_t from, int64_t span,
                  int64_t limit) {
    for (int64_t off = 0; off < span; off += limit) {
        if (from + off > kInt32Max) break;
        RW_VAR b = rec;
        b.addr = static_cast<int32_t>(from + off);
        b.count = static_cast<int32_t>(std::min(limit, span - off));
        out.append(b);
    }
}

}  // namespace

// Groups one sorted group (one station, one area) into blocks of at most
// `limit` units. A variable starting less than `limit` units after the start
// of the last block joins it, stretching it and adding continuation blocks
// as needed; any other variable opens blocks of its own.
//
// A variable of count 0 or less reads nothing: it neither opens nor joins a
// block (with or without grouping), so a group never stretches a block of
// another group.
void groupIntoBlocks(QList<RW_VAR>* group, int limit) {
    QList<RW_VAR>& out = PLC_driver.readList;
    if (!group || group->isEmpty() || limit <= 0) return;

    if (limit == 1) {
        // Grouping switched off: whole variables, one per address, the
        // longest count of equal addresses winning.
        int32_t lastAddr = 0;
        int32_t lastCount = 0;
        bool first = true;
        for (const RW_VAR& v : *group) {
            if (v.count <= 0) continue;
            if (first || v.addr != lastAddr) {
                first = false;
                out.append(v);
                lastAddr = v.addr;
                lastCount = v.count;
            } else if (v.count > lastCount) {
                out.last().count = v.count;
                lastCount = v.count;
            }
        }
        return;
    }

    bool haveBlock = false;
    int64_t lastAddr = 0;
    int64_t lastCount = 0;
    for (const RW_VAR& v : *group) {
        if (v.count <= 0) continue;
        const int64_t vEnd = int64_t(v.addr) + v.count;
        if (haveBlock && v.addr < lastAddr + limit) {
            if (vEnd > lastAddr + lastCount) {
                const int64_t span = vEnd - lastAddr;
                out.last().count = static_cast<int32_t>(std::min<int64_t>(limit, span));
                if (span > limit) {
                    const RW_VAR opener = out.last();
                    appendBlocks(out, opener, lastAddr + limit, span - limit, limit);
                }
            }
        } else {
            appendBlocks(out, v, v.addr, v.count, limit);
        }
        haveBlock = true;
        lastAddr = out.last().addr;
        lastCount = out.last().count;
    }
}

void mergeTouching(QList<RW_VAR>* group) { mergeWithinGap(group, 0); }

void mergeWithinGap(QList<RW_VAR>* group, int gap) {
    QList<RW_VAR>& out = PLC_driver.readList;
    if (!group || group->isEmpty()) return;
    out.append(group->first());
    int64_t lastAddr = group->first().addr;
    int64_t lastCount = group->first().count;
    for (int i = 1; i < group->size(); ++i) {
        const RW_VAR& v = group->at(i);
        const int64_t vEnd = int64_t(v.addr) + v.count;
        if (v.addr > lastAddr + lastCount + gap) {
            out.append(v);
            lastAddr = v.addr;
            lastCount = v.count;
        } else if (vEnd > lastAddr + lastCount) {
            lastCount = std::min<int64_t>(vEnd - lastAddr, kInt32Max);
            out.last().count = static_cast<int32_t>(lastCount);
        }
    }
}

// Appends `var` to `out` whole when total <= limit, else in pieces of
// `limit` units (the last holding the rest). `var` ends holding the last
// piece. A limit of 0 or less cannot split anything: the record is appended
// whole.
void appendInPieces(int total, int limit, RW_VAR* var, QList<RW_VAR>* out) {
    if (!var || !out) return;
    if (total <= limit || limit <= 0) {
        out->append(*var);
        return;
    }
    int64_t n = total / limit;
    int64_t rest = int64_t(total) - n * limit;
    if (rest != 0) {
        ++n;
    } else {
        rest = limit;
    }
    const int64_t start = var->addr;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t a = start + k * limit;
        if (a > kInt32Max) break;
        var->addr = static_cast<int32_t>(a);
        var->count = static_cast<int32_t>(k == n - 1 ? rest : limit);
        out->append(*var);
    }
}

// Replaces the cyclic read list with block reads built from the host's
// variable descriptions: grouped by station, then folded area code, sorted by
// address and merged up to the block limit (8 x blockSize for bit areas,
// blockSize for word areas).
//
// A blockSize of 0 or less gives no usable limit: the rebuild is refused
// with the diagnostic "ReCreatReadVarList blockSize" and leaves the read list
// empty (0 blocks). A descriptor of more than kMaxUnits units asks for more
// than a controller area can hold; it is left out with the diagnostic
// "ReCreatReadVarList count" and its station, code, address and count.
int32_t ReCreatReadVarList(QList<VARDESC>* descs) {
    Communication_Protocol& d = PLC_driver;
    ListLock lock;
    d.readList.clear();
    COMINFO* ci = d.comInfo;
    if (!descs || descs->isEmpty() || !ci) return 0;
    d.okCount = 0;
    ci->finishFlag = 0;
    if (ci->blockSize <= 0) {
        Diag("ReCreatReadVarList blockSize") << ci->blockSize;
        return 0;
    }

    QMap<int, QMap<int, QList<RW_VAR> > > groups;
    for (const VARDESC& desc : *descs) {
        const int addr = StringAddressToInt(desc.regType, desc.addrText);
        if (addr < 0) continue;
        RW_VAR v = emptyRwVar();
        v.kind = 0;
        v.id = -1;
        v.direction = 0;
        v.framingMode = ci->remoteMode;
        v.linkNo = ci->ownLinkNo;
        v.name = desc.name;
        v.addrText = desc.addrText;
        v.station = ci->multiStation != 0 ? desc.station : ci->defStation;
        v.count = desc.count;
        v.addr = addr;
        v.regType = desc.regType;
        if (v.station == 0) continue;
        if (updateRwVar(&v) != 0) continue;
        if (v.count > kMaxUnits) {
            Diag("ReCreatReadVarList count") << v.station << v.regType << v.addr << v.count;
            continue;
        }
        groups[v.station][v.regType].append(v);
    }

    for (auto st = groups.begin(); st != groups.end(); ++st) {
        for (auto g = st->begin(); g != st->end(); ++g) {
            QList<RW_VAR>& list = g.value();
            sortByAddress(&list);
            const int64_t limit =
                plc::isBitArea(g.key()) ? int64_t(8) * ci->blockSize : ci->blockSize;
            if (!list.isEmpty())
                groupIntoBlocks(&list, static_cast<int>(std::min(limit, kInt32Max)));
        }
    }
    return d.readList.size();
}
