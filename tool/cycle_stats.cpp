#include "cycle_stats.h"

#include <algorithm>

#include "register_types.h"
#include "status.h"

namespace plchost {

bool CycleStats::completesCycle(const BlockKey& readListBlock) const {
    return doneThisCycle_.count(readListBlock) != 0;
}

double CycleStats::endCycle(int64_t nowNs) {
    const double ms = double(nowNs - cycleStartNs_) / 1e6;
    stats_.cycles++;
    stats_.lastCycleMs = ms;
    stats_.avgCycleMs = stats_.avgCycleMs == 0 ? ms : 0.8 * stats_.avgCycleMs + 0.2 * ms;
    doneThisCycle_.clear();
    return ms;
}

void CycleStats::noteRequest(bool broadcast) {
    stats_.requests++;
    if (broadcast) stats_.broadcasts++;
}

void CycleStats::noteResult(int status, int exception) {
    if (exception) stats_.exceptions++;
    switch (classifyStatus(status)) {
        case StatusClass::Good:
            stats_.good++;
            if (status == 100) stats_.goodRemote++;
            return;
        case StatusClass::Retry:
            stats_.retries++;
            return;
        case StatusClass::BadReply:
            stats_.badReply++;
            break;
        case StatusClass::NoReply:
            stats_.noReply++;
            break;
        case StatusClass::WrongLength:
            stats_.wrongLength++;
            break;
        case StatusClass::None:
            return;
        case StatusClass::OtherGiveUp:
            break;
    }
    stats_.giveUps++;
}

void CycleStats::noteRead(const BlockKey& block, int status, int exception, int64_t nowNs,
                          bool readList) {
    BlockState& b = blocks_[block];
    b.status = status;
    b.exception = exception;
    b.atNs = nowNs;
    if (isGood(status)) {
        b.everGood = true;
        b.lastGoodNs = nowNs;
        b.lastGoodCycle = stats_.cycles;
    }
    if (readList) doneThisCycle_.insert(block);
}

ReadState CycleStats::readState(int station, int type, int addr, int count, int64_t nowNs,
                                int64_t staleAfterNs) const {
    ReadState rs;
    rs.unitRead.assign(size_t(std::max(0, count)), false);
    const plc::RegisterType* rt = plc::registerType(type);
    if (!rt || count <= 0 || addr < 0) return rs;
    // Units of the variable in its area's units: bit-in-word codes count
    // bits across the word area, 16 to a word.
    const bool bitsInWords = rt->kind == plc::AreaKind::BitInWord;
    const int64_t first = bitsInWords ? addr / 16 : addr;
    const int64_t last = bitsInWords ? (int64_t(addr) + count - 1) / 16 : int64_t(addr) + count - 1;
    // Per unit: the newest good reply of any block covering it (a once-read
    // of the same units may be older; the polled block keeps them fresh).
    std::vector<int64_t> goodNs(size_t(count), -1);
    std::vector<uint64_t> goodCycle(size_t(count), 0);
    int64_t newest = -1;
    for (const auto& kv : blocks_) {
        const BlockKey& k = kv.first;
        const BlockState& b = kv.second;
        if (k.station != station || k.type != rt->folded) continue;
        const int64_t lo = std::max<int64_t>(first, k.addr);
        const int64_t hi = std::min<int64_t>(last, int64_t(k.addr) + k.count - 1);
        if (lo > hi) continue;
        if (b.atNs >= newest) {
            newest = b.atNs;
            rs.lastStatus = b.status;
            rs.exception = b.exception;
        }
        if (!b.everGood) continue;
        // Units of the variable that lie in area units lo..hi.
        const int64_t kFirst = bitsInWords ? std::max<int64_t>(0, lo * 16 - addr) : lo - addr;
        const int64_t kLast =
            bitsInWords ? std::min<int64_t>(count - 1, hi * 16 + 15 - addr) : hi - addr;
        for (int64_t u = kFirst; u <= kLast; ++u) {
            if (b.lastGoodNs <= goodNs[size_t(u)]) continue;
            goodNs[size_t(u)] = b.lastGoodNs;
            goodCycle[size_t(u)] = b.lastGoodCycle;
        }
    }
    int64_t oldestGood = INT64_MAX;
    for (size_t u = 0; u < goodNs.size(); ++u) {
        rs.unitRead[u] = goodNs[u] >= 0;
        if (!rs.unitRead[u]) continue;
        oldestGood = std::min(oldestGood, goodNs[u]);
        if (stats_.cycles - goodCycle[u] >= kStaleCycles || nowNs - goodNs[u] > staleAfterNs)
            rs.stale = true;
    }
    if (oldestGood != INT64_MAX) rs.dataAgeSec = double(nowNs - oldestGood) / 1e9;
    return rs;
}

}  // namespace plchost
