// The fault soak: a controller that spoils a good share of its replies, host
// writes queued from another thread while the cyclic reads run, and the
// bookkeeping that proves no write went missing.
#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "rig.h"

namespace plctest {
namespace {

// The polled variables (bit-in-word ones from bit 0 of the word); every unit
// of them is also a write target.
struct Polled {
    int station, type, start, count;
    QString addr(int k) const {
        return type >= 20 ? QString("%1.%2").arg(start + k / 16).arg(k % 16)
                          : QString::number(start + k);
    }
    int simAddr(int k) const { return type >= 20 ? start * 16 + k : start + k; }
};
const Polled kPolled[] = {{1, 7, 100, 100}, {2, 12, 0, 100},  {1, 14, 200, 50}, {1, 2, 0, 100},
                          {2, 5, 0, 50},    {2, 20, 300, 80}, {1, 23, 400, 48}};

// The controller may hold the last confirmed value of a target, or any value
// given up since: a lost acknowledgement does not mean the write was not done.
struct Target {
    const Polled* p;
    int k;
    std::set<long> possible{0};
    int busyId = 0;
    long busyValue = 0;
};

TEST(FaultSoak, EveryQueuedWriteEndsConfirmedOrReportedAndTheImageMatchesTheControllerAfterwards) {
    constexpr int kWrites = 2000;
    Rig rig({1, 2});
    rig.cfg.com.blockSize = 16;
    std::vector<Target> targets;
    for (const Polled& p : kPolled) {
        rig.cfg.vars.push_back(var(p.station, p.type, p.addr(0), p.count));
        for (int k = 0; k < p.count; ++k) targets.push_back({&p, k});
    }
    ASSERT_NO_FATAL_FAILURE(rig.start(/*timeoutMs=*/60));
    ASSERT_TRUE(rig.cycles(1));
    rig.sim->setFaultRate(0.15);
    rig.sim->resetStats();

    std::vector<std::string> violations;  // the writer's, read after it ended
    // Folds a finished write into its target and checks the controller, which
    // nothing else writes at that place meanwhile. False while still open.
    auto finish = [&](Target& t) {
        const plchost::WriteStatus w = rig.engine->writeStatus(t.busyId);
        if (w.state == WriteState::Waiting || w.state == WriteState::Queued) return false;
        const std::string what = std::to_string(t.p->type) + ":" + t.p->addr(t.k).toStdString();
        if (w.state == WriteState::Confirmed) {
            t.possible = {t.busyValue};
        } else if (w.state == WriteState::Failed) {
            t.possible.insert(t.busyValue);
            if (!w.failCallback) violations.push_back(what + " given up without failCallback");
        } else {
            violations.push_back(what + " ended " + plchost::writeStateText(w.state));
        }
        const long v = rig.mem(t.p->station, t.p->type, t.p->simAddr(t.k));
        if (!t.possible.count(v))
            violations.push_back(what + ": controller holds " + std::to_string(v));
        t.busyId = 0;
        return true;
    };

    std::atomic<bool> writerDone{false};
    std::atomic<int> issued{0};
    std::thread writer([&] {
        std::mt19937 rng(20240607);
        std::vector<size_t> busy;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
        while (issued < kWrites && std::chrono::steady_clock::now() < deadline) {
            busy.erase(std::remove_if(busy.begin(), busy.end(),
                                      [&](size_t i) { return finish(targets[i]); }),
                       busy.end());
            if (busy.size() >= 300) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            // Waiting writes to one target are merged and the merged-away one
            // never reports, so each target has at most one write open.
            size_t idx;
            do idx = rng() % targets.size();
            while (targets[idx].busyId != 0);
            Target& t = targets[idx];
            t.busyValue = plchost::isBitUnitType(t.p->type) ? long(rng() % 2) : long(rng() % 65536);
            t.busyId = rig.engine->queueWrite(
                write(t.p->station, t.p->type, t.p->addr(t.k), {t.busyValue}));
            if (t.busyId == 0) break;  // the address did not parse: caught by the count
            busy.push_back(idx);
            ++issued;
        }
        writerDone = true;
    });
    const bool drained = rig.engine->runUntil(
        [&] { return writerDone && rig.engine->outstandingWrites() == 0; }, 45000);
    writer.join();
    ASSERT_TRUE(drained) << "writes still open: " << rig.engine->outstandingWrites();
    ASSERT_EQ(issued, kWrites);
    for (Target& t : targets)
        EXPECT_TRUE(t.busyId == 0 || finish(t)) << t.p->addr(t.k).toStdString();
    for (size_t i = 0; i < violations.size() && i < 20; ++i) ADD_FAILURE() << violations[i];

    int ended = 0;
    for (const plchost::WriteStatus& w : rig.engine->writes()) {
        ended += w.state == WriteState::Confirmed || w.state == WriteState::Failed;
        EXPECT_NE(w.queueResult, 0) << "SetRegisterData refused write " << w.id;
    }
    EXPECT_EQ(ended, kWrites);
    const plcsim::Stats st = rig.sim->stats();
    const uint64_t spoiled = st.dropped + st.corrupted + st.truncated;
    EXPECT_GE(double(spoiled) / double(st.replies + st.dropped), 0.10)
        << spoiled << " of " << st.replies + st.dropped;
    EXPECT_GT(rig.engine->stats().retries, 0u);

    // Faults off: one clean cycle brings the whole image level with the controller.
    rig.sim->setFaultRate(0);
    ASSERT_TRUE(rig.cycles(2));
    for (const Polled& p : kPolled) {
        std::vector<long> mem;
        for (int k = 0; k < p.count; ++k) mem.push_back(rig.mem(p.station, p.type, p.simAddr(k)));
        EXPECT_EQ(rig.image(p.station, p.type, p.addr(0), p.count), units(p.type, mem))
            << "station " << p.station << " type " << p.type;
    }
}

}  // namespace
}  // namespace plctest
