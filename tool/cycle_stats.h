// What the polling loop counts: requests and their outcomes, complete read
// cycles and their duration, and for every read block the outcome of its
// last exchange and its last good reply. From the blocks it answers, per
// variable, which units were ever read, how old the data is and whether it
// has gone stale. Polling thread only.
#ifndef PLCHOST_CYCLE_STATS_H
#define PLCHOST_CYCLE_STATS_H

#include <cstdint>
#include <map>
#include <set>
#include <tuple>
#include <vector>

namespace plchost {

struct EngineStats {
    uint64_t requests = 0;                                // frames sent, repeats included
    uint64_t good = 0;                                    // status 1 or 100
    uint64_t goodRemote = 0;                              // of which 100 (remote reply, not stored)
    uint64_t retries = 0;                                 // status 0
    uint64_t giveUps = 0;                                 // any other status
    uint64_t noReply = 0, badReply = 0, wrongLength = 0;  // give-ups by kind
    uint64_t exceptions = 0;                              // Modbus exception replies
    uint64_t broadcasts = 0;
    uint64_t cycles = 0;  // complete read cycles
    double lastCycleMs = 0, avgCycleMs = 0;
    double elapsedSec = 0;
    double requestsPerSec = 0;
    int readBlocks = 0;  // entries ReCreatReadVarList built
};

// A read request as the driver built it: station, area (bit-in-word codes
// folded onto their word area), first unit and unit count.
struct BlockKey {
    int station, type, addr, count;
    bool operator<(const BlockKey& o) const {
        return std::tie(station, type, addr, count) < std::tie(o.station, o.type, o.addr, o.count);
    }
};

struct BlockState {
    int status = -1;    // DataCom's status of the last exchange that was not repeated
    int exception = 0;  // Modbus exception code of that reply, 0 = none
    int64_t atNs = 0;
    bool everGood = false;
    int64_t lastGoodNs = 0;
    uint64_t lastGoodCycle = 0;  // completed cycles when the last good reply came
};

// One variable as the blocks that read it tell.
struct ReadState {
    int lastStatus = -1;         // of the newest exchange of a block covering it
    int exception = 0;           // that exchange's Modbus exception, 0 = none
    std::vector<bool> unitRead;  // per unit: a good reply has covered it
    double dataAgeSec = -1;      // since the oldest last-good reply of its blocks; -1 never
    bool stale = false;          // some part not refreshed for kStaleCycles or the time limit
};

class CycleStats {
public:
    // A part of a variable is stale once this many read cycles completed
    // without a good reply for it.
    static constexpr uint64_t kStaleCycles = 3;

    // Before a read-list frame goes out: the read list has come round to a
    // block already answered in this cycle, so the cycle is complete.
    bool completesCycle(const BlockKey& readListBlock) const;
    // Counts the cycle that ended at nowNs; returns its duration in ms.
    double endCycle(int64_t nowNs);
    void startCycle(int64_t nowNs) { cycleStartNs_ = nowNs; }
    int64_t cycleStartNs() const { return cycleStartNs_; }

    void setReadBlocks(int n) { stats_.readBlocks = n; }
    void noteRequest(bool broadcast);
    // DataCom's status of one exchange, and the exception code of its reply.
    void noteResult(int status, int exception);
    // The final outcome (not a retry) of a read: of the read list
    // (readList) or a once-read.
    void noteRead(const BlockKey& block, int status, int exception, int64_t nowNs, bool readList);

    const EngineStats& totals() const { return stats_; }
    const std::map<BlockKey, BlockState>& blocks() const { return blocks_; }

    // The state of `count` units of `type` from unit `addr` (a bit number
    // across the word area for bit-in-word codes) on `station`. A part not
    // refreshed for staleAfterNs is stale too (covers a link where no cycle
    // completes at all).
    ReadState readState(int station, int type, int addr, int count, int64_t nowNs,
                        int64_t staleAfterNs) const;

private:
    EngineStats stats_;
    std::set<BlockKey> doneThisCycle_;
    std::map<BlockKey, BlockState> blocks_;
    int64_t cycleStartNs_ = 0;
};

}  // namespace plchost

#endif  // PLCHOST_CYCLE_STATS_H
