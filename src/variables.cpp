// Variable lists: register-type codes, address parsing, the registration of
// read, write and once-read variables, and the rebuild of the cyclic read
// list into grouped block reads.
#include <algorithm>
#include <limits>

#include "driver_internal.h"

namespace {
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();

// The quick way through QString::toInt for the texts it meets nearly always:
// one to nine digits of `base` (8 or 10) and nothing else, so no sign, blank
// or overflow to consider. False for anything else, which toInt decides.
bool plainDigits(const QChar* s, int n, int base, int64_t* value) {
    if (n < 1 || n > 9) return false;
    int64_t v = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned digit = s[i].unicode() - unsigned('0');
        if (digit >= unsigned(base)) return false;
        v = v * base + digit;
    }
    *value = v;
    return true;
}
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
    const QChar* chars = text.constData();
    if (t && t->textBase != plc::kWordDotBit) {
        ok = plainDigits(chars, text.size(), t->textBase, &result);
        if (!ok) result = text.toInt(&ok, t->textBase);
    } else if (t) {
        // Exactly two parts around one point; a part that does not convert
        // counts as 0, an empty one too.
        const int dot = text.indexOf(QLatin1Char('.'));
        if (dot >= 0 && text.indexOf(QLatin1Char('.'), dot + 1) < 0) {
            const int bitChars = text.size() - dot - 1;
            int64_t word = 0;
            int64_t bit = 0;
            if (dot > 0 && !plainDigits(chars, dot, 10, &word)) word = text.left(dot).toInt();
            if (bitChars > 0 && !plainDigits(chars + dot + 1, bitChars, 10, &bit))
                bit = text.mid(dot + 1).toInt();
            result = word * 16 + bit;
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

namespace {

// Turns a bit-in-word range into a read of the words its bits touch:
// addr = bit / 16, count = words covered by (bit % 16 + count) bits. 1 (with
// the diagnostic) for a code outside the table, the range unchanged.
int updateUnits(int32_t& regType, int32_t& addr, int32_t& count) {
    const plc::RegisterType* t = plc::registerType(regType);
    if (!t) {
        Diag("updateRwVar") << regType << addr << count;
        return 1;
    }
    if (t->kind == plc::AreaKind::BitInWord) {
        const int64_t words = (int64_t(addr % 16) + count + 15) / 16;
        regType = t->folded;
        addr = addr / 16;
        count = static_cast<int32_t>(std::clamp(words, kInt32Min, kInt32Max));
    }
    return 0;
}

}  // namespace

int updateRwVar(RW_VAR* var) { return updateUnits(var->regType, var->addr, var->count); }

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

bool WriteMerger::takes(const RW_VAR& r) {
    return list_.size() < kListCapacity || find(targetOf(r)) >= 1;
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

namespace {
// A group of the rebuild, as the key of a map. The driver's own type, so
// that the map's code stays out of the library's exported symbols.
struct GroupKey {
    int32_t station, regType;
    bool operator<(const GroupKey& o) const {
        return station != o.station ? station < o.station : regType < o.regType;
    }
};
}  // namespace

// Stable counting passes, least significant key first: the address in three
// 11-bit digits (addresses here are 0 or more, so 31 bits), then the group
// (station, folded code) as its rank among the groups present. Each pass
// keeps the order of equal keys, so variables of equal address stay in the
// host's order, the order an exchange sort of each group gives; linear in
// the number of variables.
void sortForGrouping(QVector<ReadCandidate>& vars) {
    QVector<ReadCandidate> sorted(vars.size());
    auto pass = [&](int buckets, auto bucketOf) {
        QVector<int> counts(buckets + 1, 0);  // then the next free slot per bucket
        int* next = counts.data();
        const ReadCandidate* const in = vars.constData();
        ReadCandidate* const out = sorted.data();
        const int n = vars.size();
        for (int i = 0; i < n; ++i) ++next[bucketOf(in[i]) + 1];
        for (int b = 1; b <= buckets; ++b) next[b] += next[b - 1];
        for (int i = 0; i < n; ++i) out[next[bucketOf(in[i])]++] = in[i];
        vars.swap(sorted);
    };
    for (int shift = 0; shift < 33; shift += 11)
        pass(2048, [shift](const ReadCandidate& v) { return (uint32_t(v.addr) >> shift) & 0x7FF; });

    // Groups in ascending station, then code.
    QMap<GroupKey, int> rank;
    for (const ReadCandidate& v : vars) rank.insert(GroupKey{v.station, v.regType}, 0);
    if (rank.size() < 2) return;
    int groups = 0;
    for (auto r = rank.begin(); r != rank.end(); ++r) r.value() = groups++;
    pass(groups, [&](const ReadCandidate& v) {
        return rank.value(GroupKey{v.station, v.regType});
    });
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

// The read-list record of a variable: the host's name and address text,
// the range in folded units, framing and link from COMINFO.
RW_VAR readRecord(const ReadCandidate& c) {
    const COMINFO* ci = PLC_driver.comInfo;
    RW_VAR v = emptyRwVar();
    v.id = -1;
    v.framingMode = ci ? ci->remoteMode : 0;
    v.linkNo = ci ? ci->ownLinkNo : 0;
    if (c.desc) {
        v.name = c.desc->name;
        v.addrText = c.desc->addrText;
    }
    v.regType = c.regType;
    v.addr = c.addr;
    v.station = c.station;
    v.count = c.count;
    return v;
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
void groupIntoBlocks(GroupIter first, GroupIter last, int limit) {
    QList<RW_VAR>& out = PLC_driver.readList;
    if (first == last || limit <= 0) return;

    if (limit == 1) {
        // Grouping switched off: whole variables, one per address, the
        // longest count of equal addresses winning.
        int32_t lastAddr = 0;
        int32_t lastCount = 0;
        bool opened = false;
        for (GroupIter it = first; it != last; ++it) {
            const ReadCandidate& v = *it;
            if (v.count <= 0) continue;
            if (!opened || v.addr != lastAddr) {
                opened = true;
                out.append(readRecord(v));
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
    for (GroupIter it = first; it != last; ++it) {
        const ReadCandidate& v = *it;
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
            appendBlocks(out, readRecord(v), v.addr, v.count, limit);
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

    // Every usable variable, then one sort that lines the groups up in the
    // order their blocks are built. Records are made for blocks only.
    QVector<ReadCandidate> vars;
    vars.reserve(descs->size());
    for (const VARDESC& desc : *descs) {
        ReadCandidate v{ci->multiStation != 0 ? desc.station : ci->defStation, desc.regType,
                        StringAddressToInt(desc.regType, desc.addrText), desc.count, &desc};
        if (v.addr < 0 || v.station == 0) continue;
        if (updateUnits(v.regType, v.addr, v.count) != 0) continue;
        if (v.count > kMaxUnits) {
            Diag("ReCreatReadVarList count") << v.station << v.regType << v.addr << v.count;
            continue;
        }
        vars.append(v);
    }
    sortForGrouping(vars);

    for (GroupIter first = vars.constBegin(); first != vars.constEnd();) {
        const ReadCandidate& lead = *first;
        const GroupIter last = std::find_if(first, vars.constEnd(), [&](const ReadCandidate& v) {
            return v.station != lead.station || v.regType != lead.regType;
        });
        const int64_t limit =
            plc::isBitArea(lead.regType) ? int64_t(8) * ci->blockSize : ci->blockSize;
        groupIntoBlocks(first, last, static_cast<int>(std::min(limit, kInt32Max)));
        first = last;
    }
    return d.readList.size();
}
