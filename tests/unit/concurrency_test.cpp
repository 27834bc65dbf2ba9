// Host threads registering, writing and reading while the polling loop runs
// against an in-process controller.
#include <array>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

constexpr int kWriters = 3;
constexpr int kRegsPerWriter = 16;
constexpr int kRounds = 150;
constexpr int kOnceReaders = 2;
constexpr int kOnceReadsEach = 150;
constexpr int kOnceReadKind = 11;

class ConcurrencyTest : public DriverTest {};

uint16_t hostWord(const QByteArray& b, int reg) {
    return static_cast<uint16_t>(uint8_t(b.at(2 * reg)) | uint8_t(b.at(2 * reg + 1)) << 8);
}

TEST_F(ConcurrencyTest, HostThreadsAndThePollingLoopKeepListsAndImageConsistent) {
    info.blockSize = 4;
    info.multiStation = 1;
    info.retryMax = 2;
    ScriptedController ctl({1, 2});

    // Station 1, area 7: every register the writers use is polled cyclically.
    QList<VARDESC> descs;
    for (int reg = 0; reg < kWriters * kRegsPerWriter; ++reg) {
        VARDESC d{};
        d.regType = 7;
        d.station = 1;
        d.addrText = QString::number(reg);
        d.count = 1;
        descs << d;
    }
    ASSERT_EQ(ReCreatReadVarList(&descs), kWriters * kRegsPerWriter / 4);

    std::atomic<bool> stop{false};
    std::atomic<int> turns{0};
    std::thread poller([&] {
        while (!stop.load()) {
            if (pollOnce(ctl).sent) {
                turns.fetch_add(1);
            } else {
                std::this_thread::yield();
            }
        }
    });

    // Writers: register w * 16 + (r % 16) gets the value (w << 12) | r in
    // round r, so every register only ever grows.
    std::array<std::map<int, uint16_t>, kWriters> lastWritten;
    std::vector<std::thread> workers;
    for (int w = 0; w < kWriters; ++w) {
        workers.emplace_back([&, w] {
            QString name = QStringLiteral("w%1").arg(w);
            for (int r = 1; r <= kRounds; ++r) {
                const int reg = w * kRegsPerWriter + r % kRegsPerWriter;
                const uint16_t value = static_cast<uint16_t>((w << 12) | r);
                QString text = QString::number(reg);
                QByteArray bytes;
                bytes.append(char(value & 0xFF));
                bytes.append(char(value >> 8));
                SetRegisterData(name, 7, text, 1, bytes, 1, w, r);
                lastWritten[w][reg] = value;
            }
        });
    }
    // Once-readers on station 2, each entry with its own id.
    std::atomic<int> badSizes{0};
    for (int t = 0; t < kOnceReaders; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kOnceReadsEach; ++i) {
                RW_VAR v = emptyRwVar();
                v.kind = kOnceReadKind;
                v.id = t * 1000 + i;
                v.regType = (i % 2) ? 12 : 3;
                v.addrText = QString::number(i);
                v.count = 2;
                v.station = 2;
                const int n = AddListOnceReadVar(&v, 0);
                if (n < 1 || n > kListCapacity) badSizes.fetch_add(1);
            }
        });
    }
    // A reader that watches the writers' registers: values never go back.
    std::atomic<int> wentBack{0};
    workers.emplace_back([&] {
        std::vector<uint16_t> seenMax(kWriters * kRegsPerWriter, 0);
        QString text = QStringLiteral("0");
        for (int i = 0; i < 300; ++i) {
            QByteArray out;
            GetRegisterData(nullptr, 7, text, 1, &out, kWriters * kRegsPerWriter);
            for (int reg = 0; reg < kWriters * kRegsPerWriter; ++reg) {
                const uint16_t v = hostWord(out, reg);
                if (v < seenMax[reg]) wentBack.fetch_add(1);
                seenMax[reg] = std::max(seenMax[reg], v);
            }
        }
    });
    // Station 2 goes off and on while everything else runs.
    workers.emplace_back([&] {
        for (int i = 0; i < 400; ++i) {
            EnCommStation(2, i % 2);
            if (i % 50 == 0) EnableEthernet(-1, 0);
        }
        EnCommStation(2, 1);
    });

    for (std::thread& t : workers) t.join();
    stop = true;
    poller.join();
    EXPECT_GT(turns.load(), 0);

    // Drain what is still queued, then run two full read cycles.
    for (int i = 0;
         i < 5000 && !(PLC_driver.writeList.isEmpty() && PLC_driver.onceReadList.isEmpty() &&
                       PLC_driver.pendingFrames.isEmpty());
         ++i) {
        pollOnce(ctl);
    }
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
    for (int i = 0; i < 2 * PLC_driver.readList.size() + 2; ++i) pollOnce(ctl);

    EXPECT_EQ(badSizes.load(), 0);
    EXPECT_EQ(wentBack.load(), 0);
    EXPECT_TRUE(rec.fails.empty());
    EXPECT_TRUE(rec.messages.isEmpty()) << rec.messages.join("|").toStdString();

    // The controller and the image both hold the last value of every register.
    QByteArray image;
    QString zero = QStringLiteral("0");
    ASSERT_EQ(GetRegisterData(nullptr, 7, zero, 1, &image, kWriters * kRegsPerWriter), 1);
    for (int w = 0; w < kWriters; ++w) {
        ASSERT_EQ(lastWritten[w].size(), size_t(kRegsPerWriter));
        for (const auto& [reg, value] : lastWritten[w]) {
            EXPECT_EQ(ctl.word(1, 7, reg), value) << "register " << reg;
            EXPECT_EQ(hostWord(image, reg), value) << "register " << reg;
        }
    }

    // Every once-read was served and reported exactly once; every callback
    // reports success.
    std::set<int> onceIds;
    int onceCalls = 0;
    for (const DoneCall& c : rec.done) {
        EXPECT_EQ(c.hostHandle, 77);
        EXPECT_EQ(c.result, 1);
        if (c.kind == kOnceReadKind) {
            ++onceCalls;
            onceIds.insert(c.id);
        }
    }
    EXPECT_EQ(onceCalls, kOnceReaders * kOnceReadsEach);
    EXPECT_EQ(onceIds.size(), size_t(kOnceReaders * kOnceReadsEach));
}

}  // namespace
}  // namespace plctest
