// The fault soak: a controller that spoils a share of its replies (dropped,
// bad CRC, cut short), host writes queued from another thread while the
// cyclic reads run, and the bookkeeping that proves no write went missing.
//
// CI runs 2,000 writes with 10% of the replies spoiled. The full soak, from
// the build tree:
//   PLC_SOAK_WRITES=10000 tests/integration/integration_tests --gtest_filter='FaultSoak.*'
// PLC_SOAK_FAULT_RATE (0.01..0.5) changes the share. The counts are printed
// at the end and recorded as test properties.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "cli_values.h"
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
    double writes = 2000, faultRate = 0.10;
    for (auto [name, value, lo, hi] : {std::tuple("PLC_SOAK_WRITES", &writes, 1.0, 1e7),
                                       std::tuple("PLC_SOAK_FAULT_RATE", &faultRate, 0.01, 0.5)}) {
        const char* text = std::getenv(name);
        ASSERT_TRUE(!text || !*text || plc::cli::parseReal(text, lo, hi, value, nullptr))
            << name << ": " << lo << ".." << hi;
    }
    const int kWrites = int(writes);
    // Generous for a loaded machine: about 6 ms a write is typical.
    const int timeLimitMs = 60000 + 50 * kWrites;

    Rig rig({1, 2});
    rig.cfg.com.blockSize = 16;
    std::vector<Target> targets;
    for (const Polled& p : kPolled) {
        rig.cfg.vars.push_back(var(p.station, p.type, p.addr(0), p.count));
        for (int k = 0; k < p.count; ++k) targets.push_back({&p, k});
    }
    // A pty hands a reply over in one piece: a 10 ms byte timeout is plenty,
    // and keeps the cut-short replies from costing 50 ms each.
    ASSERT_NO_FATAL_FAILURE(
        rig.start({"", 115200, 'N', 8, 1, 60, 5, /*byteTimeoutMs=*/10}, nullptr));
    ASSERT_TRUE(rig.cycles(1));
    rig.sim->setFaultRate(faultRate);
    rig.sim->resetStats();
    const int64_t startNs = plchost::monotonicNs();

    std::vector<std::string> violations;  // the writer's, read after it ended
    int confirmed = 0, confirmedAtController = 0, givenUp = 0;
    // Folds a finished write into its target and checks the controller, which
    // nothing else writes at that place meanwhile. False while still open.
    auto finish = [&](Target& t) {
        const plchost::WriteStatus w = rig.engine->writeStatus(t.busyId);
        if (w.state == WriteState::Waiting || w.state == WriteState::Queued) return false;
        const std::string what = std::to_string(t.p->type) + ":" + t.p->addr(t.k).toStdString();
        if (w.state == WriteState::Confirmed) {
            t.possible = {t.busyValue};
            ++confirmed;
        } else if (w.state == WriteState::Failed) {
            t.possible.insert(t.busyValue);
            ++givenUp;
            if (!w.failCallback) violations.push_back(what + " given up without failCallback");
        } else {
            violations.push_back(what + " ended " + plchost::writeStateText(w.state));
        }
        const long v = rig.mem(t.p->station, t.p->type, t.p->simAddr(t.k));
        if (!t.possible.count(v))
            violations.push_back(what + ": controller holds " + std::to_string(v));
        else if (w.state == WriteState::Confirmed)
            ++confirmedAtController;
        t.busyId = 0;
        return true;
    };

    std::atomic<bool> writerDone{false};
    std::atomic<int> issued{0};
    std::thread writer([&] {
        std::mt19937 rng(20240607);
        std::vector<size_t> busy;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs - 5000);
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
        [&] { return writerDone && rig.engine->outstandingWrites() == 0; }, timeLimitMs);
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
    EXPECT_EQ(confirmed + givenUp, kWrites);
    EXPECT_EQ(confirmedAtController, confirmed);
    const double seconds = double(plchost::monotonicNs() - startNs) / 1e9;
    const plcsim::Stats st = rig.sim->stats();
    const plchost::EngineStats es = rig.engine->stats();
    const uint64_t spoiled = st.dropped + st.corrupted + st.truncated;
    const double share = double(spoiled) / double(st.replies + st.dropped);
    EXPECT_NEAR(share, faultRate, 0.3 * faultRate) << spoiled << " of " << st.replies + st.dropped;
    EXPECT_GT(es.retries, 0u);
    std::printf(
        "soak: %d writes, %d confirmed and found at the controller, %d given up; "
        "%llu requests, %llu retries, %llu give-ups; replies spoiled %.1f%% (%llu dropped, "
        "%llu bad CRC, %llu cut short); %.1f s\n",
        kWrites, confirmedAtController, givenUp, (unsigned long long)es.requests,
        (unsigned long long)es.retries, (unsigned long long)es.giveUps, 100 * share,
        (unsigned long long)st.dropped, (unsigned long long)st.corrupted,
        (unsigned long long)st.truncated, seconds);
    RecordProperty("writes", kWrites);
    RecordProperty("confirmed", confirmedAtController);
    RecordProperty("givenUp", givenUp);
    RecordProperty("retries", int(es.retries));
    RecordProperty("seconds", int(seconds));

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
