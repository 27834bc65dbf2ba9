// Host threads registering, writing and reading while the polling loop runs
// against an in-process controller.
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

constexpr int kWriters = 3, kRegs = 16, kRounds = 150, kOnceReaders = 2, kOnceReads = 150,
              kOnceKind = 11;

// The writers' registers as the host reads them.
std::vector<int> image() {
    QByteArray b;
    QString zero = QString::fromLatin1("0");
    EXPECT_EQ(GetRegisterData(nullptr, 7, zero, 1, &b, kWriters * kRegs), 1);
    std::vector<int> words;
    for (int k = 0; k + 1 < b.size(); k += 2)
        words.push_back(uint8_t(b[k]) | uint8_t(b[k + 1]) << 8);
    return words;
}

using Concurrency = DriverTest;

TEST_F(Concurrency, HostThreadsAndThePollingLoopKeepListsAndImageConsistent) {
    info.blockSize = 4;
    info.multiStation = 1;
    ScriptedController ctl({1, 2});
    QList<VARDESC> descs;  // every register the writers use, station 1, area 7
    for (int reg = 0; reg < kWriters * kRegs; ++reg)
        descs << VARDESC{0, 7, 1, 0, 0, QString::number(reg), QString(), 1};
    ASSERT_EQ(ReCreatReadVarList(&descs), kWriters * kRegs / 4);

    // Address texts made up front, so that no string the driver holds dies with
    // a host thread (freeing inside uninstrumented Qt code would look racy).
    std::vector<QString> texts;
    for (int i = 0; i < kOnceReads; ++i) texts.push_back(QString::number(i));
    std::atomic<bool> stop{false};
    std::atomic<int> turns{0}, wentBack{0};
    std::thread poller([&] {
        while (!stop) pollOnce(ctl) >= 0 ? void(++turns) : std::this_thread::yield();
    });
    // Writer w gives register w * 16 + r % 16 the value (w << 12) | r in round
    // r, so registers only ever grow. Odd writers queue the records themselves.
    std::vector<std::thread> workers;
    for (int w = 0; w < kWriters; ++w) {
        workers.emplace_back([&texts, w] {
            for (int r = 1; r <= kRounds; ++r) {
                const int reg = w * kRegs + r % kRegs, value = w << 12 | r;
                const QByteArray bytes = QByteArray(1, char(value >> 8)) + char(value & 0xFF);
                RW_VAR v{w, r, 1, 0, 0, 0, "", texts[reg], 7, reg, 1, 1, 0, 0, bytes};
                if (w % 2 == 1) {
                    AddListWriteVar(&v, 0);
                } else {
                    std::reverse(v.value.begin(), v.value.end());  // host byte order
                    SetRegisterData(v.name, 7, v.addrText, 1, v.value, 1, w, r);
                }
            }
        });
    }
    // Once-reads on station 2, one id each; the readers check that the writers'
    // registers never go back. Reader 0 also switches station 2 off and on, ending on.
    for (int t = 0; t < kOnceReaders; ++t) {
        workers.emplace_back([&, t] {
            std::vector<int> seen(kWriters * kRegs, 0);
            for (int i = 0; i < kOnceReads; ++i) {
                RW_VAR v = var(i % 2 ? 12 : 3, i, 2, 2);
                v.addrText = texts[i];
                v.kind = kOnceKind;
                v.id = t * 1000 + i;
                AddListOnceReadVar(&v, 0);
                const std::vector<int> now = image();
                wentBack += !std::equal(seen.begin(), seen.end(), now.begin(), now.end(),
                                        std::less_equal<int>());
                seen = now;
                if (t == 0) EnCommStation(2, i % 2);
            }
        });
    }
    for (std::thread& t : workers) t.join();
    stop = true;
    poller.join();
    EXPECT_GT(turns.load(), 0);

    // Drain what is still queued, then run two full read cycles.
    for (int i = 0; i < 5000 && !PLC_driver.writeList.isEmpty(); ++i) pollOnce(ctl);
    for (int i = 0; i < 5000 && !PLC_driver.onceReadList.isEmpty(); ++i) pollOnce(ctl);
    for (int i = 0; i < 2 * PLC_driver.readList.size() + 2; ++i) pollOnce(ctl);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty() && PLC_driver.onceReadList.isEmpty());
    EXPECT_EQ(wentBack.load(), 0);
    EXPECT_TRUE(rec.fails.empty());
    EXPECT_EQ(takeMessages(), "");

    // The controller and the image both hold the last value of every register.
    std::vector<int> expected(kWriters * kRegs), inController;
    for (int w = 0; w < kWriters; ++w)
        for (int r = kRounds - kRegs + 1; r <= kRounds; ++r)
            expected[w * kRegs + r % kRegs] = w << 12 | r;
    for (int reg = 0; reg < kWriters * kRegs; ++reg) inController.push_back(ctl.word(1, 7, reg));
    EXPECT_EQ(inController, expected);
    EXPECT_EQ(image(), expected);
    // Every callback reports success; every once-read comes back exactly once.
    std::set<int> onceIds;
    for (const DoneCall& c : rec.done) {
        EXPECT_EQ(std::make_pair(c.hostHandle, c.result), std::make_pair(77, 1));
        EXPECT_TRUE(c.kind != kOnceKind || onceIds.insert(c.id).second) << c.id;
    }
    EXPECT_EQ(onceIds.size(), size_t(kOnceReaders * kOnceReads));
}

}  // namespace
}  // namespace plctest
