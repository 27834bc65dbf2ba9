// The fault soak: a controller that spoils a good share of its replies, a
// stream of host writes queued from another thread while the cyclic reads
// run, and the bookkeeping that proves no write went missing.
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "rig.h"

namespace plctest {
namespace {

struct Target {
    int station;
    int type;
    std::string addrText;
    int addrNumber;  // the simulator's unit address (bit number for 20..23)
    bool bit;
    // What the controller may hold: the last confirmed value, plus the values
    // of writes given up since then (a lost acknowledgement does not mean
    // the controller did not act on the write).
    std::set<long> possible{0};
    long confirmed = 0;
    bool lastConfirmed = true;
    int busyId = 0;
    long busyValue = 0;
};

std::vector<Target> makeTargets() {
    std::vector<Target> t;
    auto words = [&](int station, int type, int from, int n) {
        for (int a = from; a < from + n; ++a)
            t.push_back({station, type, std::to_string(a), a, false});
    };
    auto bits = [&](int station, int type, int from, int n) {
        for (int a = from; a < from + n; ++a)
            t.push_back({station, type, std::to_string(a), a, true});
    };
    auto wordBits = [&](int station, int type, int word, int words) {
        for (int w = word; w < word + words; ++w)
            for (int b = 0; b < 16; ++b)
                t.push_back(
                    {station, type, std::to_string(w) + "." + std::to_string(b), w * 16 + b, true});
    };
    words(1, 7, 100, 100);
    words(2, 12, 0, 100);
    words(1, 14, 200, 50);
    bits(1, 2, 0, 100);
    bits(2, 5, 0, 50);
    wordBits(2, 20, 300, 5);
    wordBits(1, 23, 400, 3);
    return t;
}

struct PolledRow {
    int station, type;
    const char* addrText;
    int addrNumber, count;
};

const std::vector<PolledRow> kPolled = {
    {1, 7, "100", 100, 100},
    {2, 12, "0", 0, 100},
    {1, 14, "200", 200, 50},
    {1, 2, "0", 0, 100},
    {2, 5, "0", 0, 50},
    {2, 20, "300.0", 300 * 16, 80},
    {1, 23, "400.0", 400 * 16, 48},
};

TEST(FaultSoak, EveryQueuedWriteEndsConfirmedOrReportedAndTheImageMatchesTheControllerAfterwards) {
    constexpr int kWrites = 2000;
    constexpr double kFaultRate = 0.15;
    const auto t0 = std::chrono::steady_clock::now();

    RigOptions o;
    o.simStations = {1, 2};
    o.com = multiStation(/*blockSize=*/16, /*retryMax=*/2);
    o.timeoutMs = 60;
    for (const PolledRow& p : kPolled)
        o.vars.push_back(var(p.station, p.type, p.addrText, p.count));
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    rig.sim->setFaultRate(kFaultRate);
    rig.sim->resetStats();

    std::vector<Target> targets = makeTargets();
    std::atomic<bool> writerDone{false};
    std::atomic<int> issued{0};
    std::vector<std::string> violations;
    std::mutex violationsMutex;
    auto violation = [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(violationsMutex);
        violations.push_back(s);
    };

    // Folds a finished write into its target's bookkeeping.
    auto settleTarget = [&](Target& t) {
        const plchost::WriteStatus w = rig.engine->writeStatus(t.busyId);
        if (w.state == WriteState::Confirmed) {
            t.possible = {t.busyValue};
            t.confirmed = t.busyValue;
            t.lastConfirmed = true;
        } else if (w.state == WriteState::Failed) {
            t.possible.insert(t.busyValue);
            t.lastConfirmed = false;
            if (!w.failCallback)
                violation("write " + std::to_string(w.id) + " given up without failCallback");
        } else {
            violation("write " + std::to_string(w.id) + " ended as " +
                      plchost::writeStateText(w.state));
        }
        t.busyId = 0;
    };
    auto checkController = [&](const Target& t) {
        uint16_t v = 0;
        if (!rig.sim->unit(t.station, t.type, t.addrNumber, &v)) {
            violation("no unit for " + t.addrText);
            return;
        }
        const bool ok = t.lastConfirmed ? long(v) == t.confirmed : t.possible.count(long(v)) > 0;
        if (!ok)
            violation("station " + std::to_string(t.station) + " type " + std::to_string(t.type) +
                      " address " + t.addrText + " holds " + std::to_string(v));
    };

    std::thread writer([&] {
        std::mt19937 rng(20240607);
        std::vector<size_t> busy;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
        while (issued < kWrites && std::chrono::steady_clock::now() < deadline) {
            for (size_t i = 0; i < busy.size();) {
                Target& t = targets[busy[i]];
                const WriteState s = rig.engine->writeStatus(t.busyId).state;
                if (s == WriteState::Waiting || s == WriteState::Queued) {
                    ++i;
                    continue;
                }
                settleTarget(t);
                checkController(t);  // nothing else writes this target now
                busy[i] = busy.back();
                busy.pop_back();
            }
            if (busy.size() >= 300) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            // A target with no write in flight: the driver merges waiting
            // writes to the same target, and a merged-away write never
            // reports, so each target has at most one write outstanding.
            size_t idx;
            do {
                idx = rng() % targets.size();
            } while (targets[idx].busyId != 0);
            Target& t = targets[idx];
            const long value = t.bit ? long(rng() % 2) : long(rng() % 65536);
            t.busyValue = value;
            t.busyId =
                rig.engine->queueWrite(write(t.station, t.type, t.addrText.c_str(), {value}));
            if (t.busyId == 0) {
                violation("queueWrite refused " + t.addrText);
                break;
            }
            busy.push_back(idx);
            ++issued;
        }
        writerDone = true;
    });

    const bool drained = rig.engine->runUntil(
        [&] { return writerDone && rig.engine->outstandingWrites() == 0; }, 50000);
    writer.join();
    ASSERT_TRUE(drained) << "writes still open: " << rig.engine->outstandingWrites();
    ASSERT_EQ(issued, kWrites);

    const plcsim::Stats faults = rig.sim->stats();
    for (Target& t : targets) {
        if (t.busyId) settleTarget(t);
        checkController(t);
    }

    int confirmed = 0, failed = 0, other = 0;
    for (const plchost::WriteStatus& w : rig.engine->writes()) {
        if (w.state == WriteState::Confirmed)
            ++confirmed;
        else if (w.state == WriteState::Failed)
            ++failed;
        else
            ++other;
        EXPECT_NE(w.queueResult, 0) << "SetRegisterData refused write " << w.id;
    }
    EXPECT_EQ(confirmed + failed, kWrites);
    EXPECT_EQ(other, 0);
    EXPECT_GE(rig.engine->failCallbacks(), failed);
    for (size_t i = 0; i < violations.size() && i < 20; ++i) ADD_FAILURE() << violations[i];

    const uint64_t spoiled = faults.dropped + faults.corrupted + faults.truncated;
    const double share = double(spoiled) / double(faults.replies + faults.dropped);
    EXPECT_GE(share, 0.10) << spoiled << " of " << faults.replies + faults.dropped;
    EXPECT_GT(rig.engine->stats().retries, 0u);

    // Faults off: one complete clean cycle must bring every polled variable
    // in the image level with the controller.
    rig.sim->setFaultRate(0);
    ASSERT_TRUE(rig.cycles(2));
    for (const PolledRow& p : kPolled) {
        SCOPED_TRACE(std::string("station ") + std::to_string(p.station) + " type " +
                     std::to_string(p.type) + " " + p.addrText);
        std::vector<long> units;
        for (int k = 0; k < p.count; ++k) {
            uint16_t v = 0;
            ASSERT_TRUE(rig.sim->unit(p.station, p.type, p.addrNumber + k, &v));
            units.push_back(v);
        }
        EXPECT_EQ(rig.image(p.station, p.type, p.addrText, p.count), hostBytes(p.type, units));
    }

    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf(
        "soak: %d writes, %d confirmed, %d given up; %llu of %llu replies spoiled "
        "(%.1f%%: %llu dropped, %llu bad CRC, %llu short); %llu requests, %llu retries, "
        "%llu give-ups; %.1f s\n",
        kWrites, confirmed, failed, (unsigned long long)spoiled,
        (unsigned long long)(faults.replies + faults.dropped), share * 100,
        (unsigned long long)faults.dropped, (unsigned long long)faults.corrupted,
        (unsigned long long)faults.truncated, (unsigned long long)rig.engine->stats().requests,
        (unsigned long long)rig.engine->stats().retries,
        (unsigned long long)rig.engine->stats().giveUps, secs);
}

}  // namespace
}  // namespace plctest
