// Writes reach the controller intact and are reported exactly once: the
// bit-in-word read-modify-write whatever the reply path, refused bit writes,
// requests the host removed while they were on the wire, host callbacks that
// call back into the driver, and many-piece writes merging like single ones.
#include <random>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

class WriteIntegrity : public DriverTest {
protected:
    ScriptedController ctl{1, 2};

    // A host write of `count` units through the host's own entry point.
    static int hostWrite(int type, const char* text, QByteArray values, int count, int id,
                         int station = 1, int kind = 3) {
        QString name("w"), addr(text);
        return SetRegisterData(name, type, addr, station, values, count, kind, id);
    }
    static RW_VAR bitWrite(int type, int bitAddr, bool on, int linkNo) {
        return RW_VAR{
            4, 9, 1, 0, linkNo, 0, "bit", "", type, bitAddr, 1, 1, 0, 0, QByteArray(1, on ? 1 : 0)};
    }
    int sentWrites() const {
        int n = 0;
        for (const auto& r : ctl.requests)
            n += r.function == 5 || r.function == 6 || r.function == 16;
        return n;
    }
};

TEST_F(WriteIntegrity, BitInWordWriteChangesOneBitWhicheverPathTheRepliesTake) {
    struct Row {
        const char* name;
        int type;  // 20, 21, 23 fold onto 7, 12, 14
        int linkNo;
    };
    const Row rows[] = {
        {"Area7OwnLink", 20, 0},      {"Area7ForeignLink", 20, 3}, {"Area12OwnLink", 21, 0},
        {"Area12ForeignLink", 21, 9}, {"Area14OwnLink", 23, 0},    {"Area14ForeignLink", 23, 1},
    };
    std::mt19937 rng(7);
    for (const Row& row : rows) {
        for (int trial = 0; trial < 24; ++trial) {
            SCOPED_TRACE(testing::Message() << row.name << " trial " << trial);
            const int folded = getPlcReg(row.type), reg = int(rng() % 200), bit = int(rng() % 16);
            const uint16_t before = uint16_t(rng());
            const bool on = rng() & 1;
            ctl.setWord(1, folded, reg, before);
            rec = Recorder();
            ctl.requests.clear();
            PLC_driver.writeList = {bitWrite(row.type, reg * 16 + bit, on, row.linkNo)};
            const std::vector<int> statuses = pollUntilIdle(ctl, 4);
            ASSERT_EQ(statuses.size(), 2u);
            const uint16_t mask = uint16_t(1u << bit);
            EXPECT_EQ(ctl.word(1, folded, reg), on ? (before | mask) : (before & ~mask));
            ASSERT_EQ(ctl.requests.size(), 2u);
            EXPECT_EQ(ctl.requests[1].function, 6);
            ASSERT_EQ(rec.done.size(), 1u);
            EXPECT_EQ(rec.done[0].result, 1);
            EXPECT_TRUE(PLC_driver.writeList.isEmpty());
        }
    }
}

TEST_F(WriteIntegrity, RefusedBitWritesAreReportedOnceAndNeverSent) {
    struct Row {
        const char* name;
        int type;
        int station;
        const char* diagnostic;
    };
    const Row rows[] = {
        {"BitOfInputRegisterArea", 22, 1, "WriteRegister default 1 22 35 1 "},
        {"BroadcastBitOfArea7", 20, 0, "WriteRegister broadcast 0 20 35 1 "},
        {"BroadcastBitOfArea14", 23, 0, "WriteRegister broadcast 0 23 35 1 "},
    };
    info.multiStation = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        rec = Recorder();
        ctl.requests.clear();
        PLC_driver.writeList.clear();
        // Eight bits of one host write, then an unrelated write behind them.
        ASSERT_EQ(hostWrite(row.type, "2.3", hex("01 00 01 01 00 01 01 01"), 8, 70, row.station),
                  8);
        ASSERT_EQ(hostWrite(7, "5", hex("34 12"), 1, 71), 9);
        // The turn that refuses the bit write sends nothing; the next one
        // takes the other write.
        EXPECT_EQ(pollOnce(ctl), -1);
        pollUntilIdle(ctl, 20);
        ASSERT_EQ(rec.done.size(), 2u);
        EXPECT_EQ(std::make_pair(rec.done[0].id, rec.done[0].result), std::make_pair(70, 2));
        EXPECT_EQ(std::make_pair(rec.done[1].id, rec.done[1].result), std::make_pair(71, 1));
        EXPECT_EQ(rec.fails.size(), 1u);
        EXPECT_EQ(sentWrites(), 1);  // only the unrelated write went out
        EXPECT_TRUE(PLC_driver.writeList.isEmpty());
        EXPECT_EQ(takeMessages(), row.diagnostic);
    }
}

TEST_F(WriteIntegrity, ARequestTheHostRemovedInFlightCompletesNothingElse) {
    struct Row {
        const char* name;
        bool bitWrite;  // a read-modify-write pair rather than a register write
        bool replyGood;
    };
    const Row rows[] = {
        {"RegisterWriteAnswered", false, true},
        {"RegisterWriteGivenUp", false, false},
        {"BitWriteAnswered", true, true},
    };
    info.retryMax = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        rec = Recorder();
        ctl.requests.clear();
        ctl.setWord(1, 7, 2, 0x00F0);
        if (row.bitWrite)
            hostWrite(20, "2.3", hex("01"), 1, 1);
        else
            hostWrite(7, "40", hex("11 11"), 1, 1);
        ASSERT_NE(ComCommunication(), nullptr);
        // While the first frame is on the wire the host drops its writes
        // (run mode 1: image only) and then queues another one.
        info.runMode = 1;
        hostWrite(7, "41", hex("22 22"), 1, 2);
        info.runMode = 2;
        ASSERT_EQ(hostWrite(7, "42", hex("33 33"), 1, 3), 1);
        Protocol* p = ComCommunication();
        QByteArray reply = row.replyGood ? ctl.answer(p->frame) : QByteArray();
        DataCom(&reply, reply.size());
        // Nothing is reported for the removed request, and the new write is
        // neither reported nor dropped: it goes out in its turn.
        EXPECT_TRUE(rec.done.empty());
        EXPECT_TRUE(rec.fails.empty());
        ASSERT_EQ(PLC_driver.writeList.size(), 1);
        EXPECT_EQ(PLC_driver.writeList.first().id, 3);
        pollUntilIdle(ctl, 4);
        ASSERT_EQ(rec.done.size(), 1u);
        EXPECT_EQ(std::make_pair(rec.done[0].id, rec.done[0].result), std::make_pair(3, 1));
        EXPECT_EQ(ctl.word(1, 7, 42), 0x3333);
        // A bit pair already on the wire finishes with the bit it was built
        // for; the other bits of the register survive.
        if (row.bitWrite) {
            EXPECT_EQ(ctl.word(1, 7, 2), 0x00F8);
        }
    }
}

// Callbacks that call back into the driver from the polling thread.
struct Reentry {
    int onceReads = -1, writes = -1, reads = -1, rebuilt = -1, hostWrites = -1, got = -1;
    Protocol* nested = reinterpret_cast<Protocol*>(1);
    RW_VAR* nestedReply = nullptr;
};
Reentry reentry;

void refreshAfterWrite(int32_t, int32_t, int32_t id, int32_t) {
    RW_VAR once{0, id, 0, 0, 0, 0, "refresh", "40", 7, 0, 1, 1, 0, 0, {}};
    reentry.onceReads = AddListOnceReadVar(&once, 0);
    RW_VAR w = once;
    w.direction = 1;
    w.addr = 60;
    w.value = hex("00 07");
    reentry.writes = AddListWriteVar(&w, 0);
    reentry.reads = AddListReadVar(&once);
    QList<VARDESC> descs{VARDESC{0, 7, 1, 0, 0, "0", "d", 2}};
    reentry.rebuilt = ReCreatReadVarList(&descs);
    QString name("n"), text("50");
    QByteArray v = hex("02 00");
    reentry.hostWrites = SetRegisterData(name, 7, text, 1, v, 1, 5, 6);
    QByteArray out;
    reentry.got = GetRegisterData(nullptr, 7, text, 1, &out, 1);
    EnCommStation(9, 0);
    reentry.nested = ComCommunication();
    QByteArray empty;
    reentry.nestedReply = DataCom(&empty, 0);
}

TEST_F(WriteIntegrity, CallbacksMayCallBackIntoTheDriverOnThePollingThread) {
    RegistCallBackFuncIntf(refreshAfterWrite, nullptr);
    reentry = Reentry();
    hostWrite(7, "40", hex("2A 00"), 1, 11);
    {
        // A deadlock ends the run as a failure rather than a hung suite.
        Watchdog dog(
            "a callback calling back into the driver", [] { return 0LL; }, std::chrono::seconds(5));
        pollOnce(ctl);
    }
    EXPECT_EQ(reentry.onceReads, 1);
    EXPECT_EQ(reentry.writes, 1);  // the completed write had left the list first
    EXPECT_EQ(reentry.reads, 1);
    EXPECT_EQ(reentry.rebuilt, 1);
    EXPECT_EQ(reentry.hostWrites, 2);
    EXPECT_EQ(reentry.got, 1);
    EXPECT_TRUE(isStationOff(9));
    // The polling entry points are refused inside a callback.
    EXPECT_EQ(reentry.nested, nullptr);
    EXPECT_EQ(reentry.nestedReply, &PLC_driver.retVar);
    EXPECT_EQ(takeMessages(), "ComCommunication callback |DataCom callback ");
    // What the callback queued is polled normally afterwards.
    EnCommStation(-1, 1);
    RegistCallBackFuncIntf(nullptr, nullptr);
    pollUntilIdle(ctl, 10);
    EXPECT_EQ(ctl.word(1, 7, 50), 2);
    EXPECT_EQ(ctl.word(1, 7, 60), 7);
}

// The write-list merge of many pieces (indexed) must equal merging them one
// by one with a scan, the way a single registration does.
TEST_F(WriteIntegrity, ManyPieceWritesMergeLikeSingleRegistrations) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        PLC_driver.writeList.clear();
        QList<RW_VAR> model;
        for (int call = 0; call < 6; ++call) {
            const int addr = int(rng() % 40), count = 1 + int(rng() % 30), id = int(rng() % 3);
            QByteArray values(count, char(call + 1));
            hostWrite(3, QByteArray::number(addr).constData(), values, count, id);
            for (int k = 0; k < count; ++k) {
                RW_VAR piece{3, id,       1, 0, 0, 0, "w", QString::number(addr),
                             3, addr + k, 1, 1, 0, 0, {}};
                piece.value = QByteArray(1, char(call + 1));
                int at = 1;  // the first waiting entry for the same coil, if any
                while (at < model.size() && model[at].addr != piece.addr) ++at;
                if (at < model.size())
                    model[at] = piece;
                else
                    model.append(piece);
            }
        }
        EXPECT_EQ(listText(PLC_driver.writeList, true), listText(model, true));
    }
}

}  // namespace
}  // namespace plctest
