// Four host threads against the polling loop. Each does PLC_STRESS_OPS mixed
// operations (register writes through both entry points, image reads,
// once-reads, cyclic-read registrations, read-list rebuilds, station
// switching) while the polling thread answers from the scripted controller
// and its callbacks call back into the driver.
// The suites run 2000 per thread; the full count, under ThreadSanitizer:
//
//   PLC_STRESS_OPS=100000 TSAN_OPTIONS=halt_on_error=1
//   build/tsan/tests/driver_tests --gtest_filter='Stress.*'
//
// A race fails the ThreadSanitizer run, a deadlock the watchdog; afterwards
// the lists drain, every request is reported once and the controller and the
// image hold the last value written to each register.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

constexpr int kHosts = 4, kRegs = 16, kOnceKind = 11, kOnceInFlight = 32;

int opsPerHost() {
    const char* env = std::getenv("PLC_STRESS_OPS");
    return env ? std::max(8, std::atoi(env)) : 2000;
}

// What the polling thread heard, read by the host threads.
std::atomic<int> onceReported[kHosts];
std::vector<DoneCall> heard;  // polling thread only, until it is joined

// Callbacks run on the polling thread with the lists locked; they may call
// back into the driver, which this one does with a list operation and a read.
void onDone(int32_t handle, int32_t kind, int32_t id, int32_t result) {
    heard.push_back({handle, kind, id, result});
    if (kind == kOnceKind) ++onceReported[id / 1000000];
    static QString zero = QString::number(0);
    QByteArray coils;
    if (AddListWriteVar(nullptr, 0) < 0 || GetRegisterData(nullptr, 3, zero, 2, &coils, 8) != 1)
        heard.push_back({-2, kind, id, result});
}
void onFail(QList<RW_VAR>, int32_t kind, int32_t) { heard.push_back({-1, kind, 0, 0}); }
int onceReportedInAll() {
    int n = 0;
    for (const std::atomic<int>& r : onceReported) n += r;
    return n;
}

// Registers 0 .. kHosts * kRegs - 1 of area 7 on station 1, as the host reads them.
std::vector<int> writersRegisters(const QString& zero) {
    QByteArray b;
    QString text = zero;
    GetRegisterData(nullptr, 7, text, 1, &b, kHosts * kRegs);
    std::vector<int> words;
    for (int k = 0; k + 1 < b.size(); k += 2)
        words.push_back(uint8_t(b[k]) | uint8_t(b[k + 1]) << 8);
    return words;
}

using Stress = DriverTest;

TEST_F(Stress, FourHostThreadsAndThePollingLoopStayConsistent) {
    const int ops = opsPerHost();
    info.blockSize = 4;
    info.multiStation = 1;
    ScriptedController ctl({1, 2});
    RegistCallBackFuncIntf(onDone, onFail);
    heard.clear();
    for (std::atomic<int>& n : onceReported) n = 0;

    // Every string and byte array the driver will hold is made here, so that
    // none dies with a host thread while the driver still shares it.
    std::vector<QString> texts;
    for (int i = 0; i < 256; ++i) texts.push_back(QString::number(i));
    QList<VARDESC> cycle;  // the writers' registers, and coils of station 2
    for (int reg = 0; reg < kHosts * kRegs; ++reg)
        cycle << VARDESC{0, 7, 1, 0, 0, texts[reg], QString(), 1};
    cycle << VARDESC{0, 3, 2, 0, 0, texts[0], QString(), 40};
    const QString name = QString::fromLatin1("stress");
    ASSERT_GT(ReCreatReadVarList(&cycle), 0);

    std::atomic<bool> stop{false};
    std::atomic<long long> progress[kHosts + 1] = {};
    std::atomic<int> onceQueued{0}, wentBack{0};
    std::thread poller([&] {
        while (!stop) {
            if (pollOnce(ctl) < 0) std::this_thread::yield();
            ++progress[kHosts];
        }
    });
    const auto start = std::chrono::steady_clock::now();
    {
        Watchdog dog(
            "stress",
            [&] {
                long long sum = 0;
                for (const auto& p : progress) sum += p;
                return sum;
            },
            std::chrono::seconds(60));
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHosts; ++t) {
            hosts.emplace_back([&, t] {
                QList<VARDESC> descs = cycle;
                QString who = name;
                std::vector<int> seen(kHosts * kRegs, 0);
                for (int i = 0; i < ops; ++i, ++progress[t]) {
                    // Host t writes its own registers, each with ever larger values.
                    const int reg = t * kRegs + (i / 4) % kRegs, value = i / 4 + 1;
                    QByteArray low(1, char(value & 0xFF));
                    low += char(value >> 8);
                    switch (i % 8) {
                        case 0:
                            SetRegisterData(who, 7, texts[reg], 1, low, 1, t, value);
                            break;
                        case 4: {
                            RW_VAR w{t, value, 1, 0, 0, 0, name, texts[reg],
                                     7, reg,   1, 1, 0, 0, {}};
                            w.value = QByteArray(1, char(value >> 8)) + char(value & 0xFF);
                            AddListWriteVar(&w, 0);
                            break;
                        }
                        case 1: {  // the writers' registers never go back
                            const std::vector<int> now = writersRegisters(texts[0]);
                            for (size_t r = 0; r < now.size(); ++r) wentBack += now[r] < seen[r];
                            seen = now;
                            break;
                        }
                        case 2:
                            if (t % 2 == 0 && i / 8 % 4 == 0) {
                                ReCreatReadVarList(&descs);
                            } else if (onceQueued - onceReportedInAll() < kOnceInFlight) {
                                // Once-reads on station 2, a few in flight at a time.
                                RW_VAR once = var(i % 16 ? 12 : 3, 0, 2, 2);
                                once.addrText = texts[i % 200];
                                once.kind = kOnceKind;
                                once.id = t * 1000000 + i;
                                if (AddListOnceReadVar(&once, 0) > 0) ++onceQueued;
                            }
                            break;
                        case 3:  // station 1 stays on: rotation would reorder its writes
                            (t % 2 ? EnableEthernet : EnCommStation)(2 + t / 2, i / 8 % 2);
                            break;
                        case 5: {
                            RW_VAR read = var(12, i % 100, 2, 2);
                            read.addrText = texts[i % 100];
                            if (i % 64 == 5) AddListReadVar(&read);
                            break;
                        }
                        default: {
                            QByteArray coils;
                            GetRegisterData(nullptr, 3, texts[0], 2, &coils, 40);
                            if (coils.size() != 40) ++wentBack;
                        }
                    }
                }
            });
        }
        for (std::thread& h : hosts) h.join();
        stop = true;
        poller.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "stress: %d host threads x %d operations, %lld polling turns in %.2f s: %.0f host "
        "operations/s\n",
        kHosts, ops, progress[kHosts].load(), seconds, kHosts * ops / seconds);

    // Every station on, then drain what is still queued and read two cycles.
    EnCommStation(-1, 1);
    for (int i = 0; i < 20000 && AddListWriteVar(nullptr, 0) > 0; ++i) pollOnce(ctl);
    for (int i = 0; i < 20000 && !PLC_driver.onceReadList.isEmpty(); ++i) pollOnce(ctl);
    for (int i = 0; i < 2 * PLC_driver.readList.size() + 2; ++i) pollOnce(ctl);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty() && PLC_driver.onceReadList.isEmpty());
    EXPECT_EQ(wentBack.load(), 0);
    EXPECT_EQ(takeMessages(), "");

    // Every request succeeded and every once-read was reported exactly once.
    std::set<int> onceIds;
    for (const DoneCall& c : heard) {
        EXPECT_EQ(std::make_pair(c.hostHandle, c.result), std::make_pair(77, 1)) << c.kind;
        EXPECT_TRUE(c.kind != kOnceKind || onceIds.insert(c.id).second) << c.id;
    }
    EXPECT_EQ(int(onceIds.size()), onceQueued.load());
    // The controller and the image hold the last value written to each register.
    std::vector<int> expected(kHosts * kRegs), inController;
    for (int t = 0; t < kHosts; ++t)
        for (int i = 0; i < ops; i += 4) expected[t * kRegs + (i / 4) % kRegs] = i / 4 + 1;
    for (int reg = 0; reg < kHosts * kRegs; ++reg) inController.push_back(ctl.word(1, 7, reg));
    EXPECT_EQ(inController, expected);
    EXPECT_EQ(writersRegisters(texts[0]), expected);
}

}  // namespace
}  // namespace plctest
