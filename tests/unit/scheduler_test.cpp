// The request scheduler: which list the next frame comes from, burst limits,
// switched-off stations and the choice of framing.
#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

class Scheduler : public DriverTest {
protected:
    ScriptedController ctl{1, 2, 3};

    RW_VAR writeVar(int addr, int id) const {
        RW_VAR v = var(12, addr, 1);
        v.direction = 1;
        v.kind = 1;
        v.id = id;
        v.value = hex("00 2A");
        return v;
    }
    RW_VAR readVar(int addr, int station = 1) const { return var(7, addr, 1, station); }

    static int functionOf(const Turn& t) { return t.sent ? static_cast<uint8_t>(t.request[1]) : 0; }
    static QList<int> stations(const QList<RW_VAR>& list) {
        QList<int> s;
        for (const RW_VAR& v : list) s << v.station;
        return s;
    }
};

TEST_F(Scheduler, NothingToDoReturnsNullAndRaisesFinishFlag) {
    PLC_driver.writeBurst = 3;
    PLC_driver.onceBurst = 2;
    EXPECT_EQ(ComCommunication(), nullptr);
    EXPECT_EQ(info.finishFlag, 1);
    EXPECT_EQ(PLC_driver.writeBurst, 0);
    EXPECT_EQ(PLC_driver.onceBurst, 0);
}

TEST_F(Scheduler, FiveWritesInARowThenTheOnceReadGetsItsTurn) {
    for (int i = 0; i < 6; ++i) PLC_driver.writeList << writeVar(i, i);
    PLC_driver.onceReadList << readVar(40);
    std::vector<int> functions, lists;
    for (int call = 0; call < 8; ++call) {
        Turn t = pollOnce(ctl);
        functions.push_back(functionOf(t));
        lists.push_back(PLC_driver.lastList);
    }
    // Call 7 finds the write burst used up, nothing else to read, and resets.
    EXPECT_EQ(functions, (std::vector<int>{6, 6, 6, 6, 6, 3, 0, 6}));
    EXPECT_EQ(lists[5], 2);
    EXPECT_EQ(lists[7], 1);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
}

TEST_F(Scheduler, OnlyWritesGetAPauseAfterFiveTurns) {
    for (int i = 0; i < 7; ++i) PLC_driver.writeList << writeVar(i, i);
    for (int call = 1; call <= 5; ++call) EXPECT_EQ(functionOf(pollOnce(ctl)), 6) << call;
    info.finishFlag = 0;
    EXPECT_EQ(ComCommunication(), nullptr);
    EXPECT_EQ(info.finishFlag, 1);
    EXPECT_EQ(PLC_driver.writeBurst, 0);
    EXPECT_EQ(PLC_driver.onceBurst, 0);
    EXPECT_EQ(functionOf(pollOnce(ctl)), 6);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
}

TEST_F(Scheduler, OnceReadBurstYieldsToTheReadList) {
    for (int i = 0; i < 6; ++i) {
        RW_VAR v = readVar(100 + i);
        v.id = i;
        PLC_driver.onceReadList << v;
    }
    PLC_driver.readList << readVar(7);
    std::vector<int> addresses;
    for (int call = 0; call < 7; ++call) {
        Turn t = pollOnce(ctl);
        ASSERT_TRUE(t.sent);
        addresses.push_back(ctl.requests().back().address - ScriptedController::baseOf(7));
    }
    EXPECT_EQ(addresses, (std::vector<int>{100, 101, 102, 103, 104, 7, 105}));
}

TEST_F(Scheduler, WriteForASwitchedOffStationLetsTheReadListRun) {
    info.multiStation = 1;
    RW_VAR w = writeVar(0, 1);
    w.station = 2;
    PLC_driver.writeList << w;
    PLC_driver.readList << readVar(0, 1);
    EnCommStation(2, 0);
    Protocol* p = ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(toHex(p->frame.left(2)), QString("01 03"));
    EXPECT_EQ(PLC_driver.lastList, 0);
    EXPECT_EQ(PLC_driver.writeBurst, 0);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
}

TEST_F(Scheduler, SwitchedOffStationsAreRotatedBehindTheOthers) {
    info.multiStation = 1;
    PLC_driver.readList << readVar(0, 1) << readVar(0, 2) << readVar(0, 3);
    EnCommStation(1, 0);
    Protocol* p = ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<uint8_t>(p->frame[0]), 2);
    EXPECT_EQ(stations(PLC_driver.readList), QList<int>({2, 3, 1}));
}

TEST_F(Scheduler, AllStationsOffMeansNothingToSendAndTheOrderIsKept) {
    info.multiStation = 1;
    PLC_driver.readList << readVar(0, 1) << readVar(0, 2) << readVar(0, 3);
    for (int s : {1, 2, 3}) EnableEthernet(s, 0);
    PLC_driver.writeBurst = 2;
    EXPECT_EQ(ComCommunication(), nullptr);
    EXPECT_EQ(stations(PLC_driver.readList), QList<int>({1, 2, 3}));
    EXPECT_EQ(info.finishFlag, 1);
    EXPECT_EQ(PLC_driver.writeBurst, 0);
    // Switching one back on resumes polling with it.
    EnCommStation(3, 1);
    Protocol* p = ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<uint8_t>(p->frame[0]), 3);
}

TEST_F(Scheduler, PendingFrameIsReturnedAgainUntilItIsAnswered) {
    PLC_driver.readList << readVar(0) << readVar(50);
    Protocol* first = ComCommunication();
    ASSERT_NE(first, nullptr);
    const QByteArray frame = first->frame;
    PLC_driver.writeList << writeVar(1, 1);  // arrives while the read is in flight
    for (int i = 0; i < 3; ++i) {
        Protocol* again = ComCommunication();
        EXPECT_EQ(again, first);
        EXPECT_EQ(again->frame, frame);
    }
    EXPECT_EQ(PLC_driver.lastList, 0);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
    EXPECT_EQ(PLC_driver.readList.first().addr, 0);
    QByteArray reply = ctl.answer(frame);
    DataCom(&reply, reply.size());
    // Answered: the read moved to the end and the waiting write goes next.
    Protocol* next = ComCommunication();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(static_cast<uint8_t>(next->frame[1]), 6);
    EXPECT_EQ(PLC_driver.readList.last().addr, 0);
}

TEST_F(Scheduler, RemoteModeFramesEveryListWithTheRemoteBuilders) {
    info.remoteMode = 1;
    PLC_driver.writeList << writeVar(4, 1);
    RW_VAR once = readVar(10);
    PLC_driver.onceReadList << once;
    PLC_driver.readList << readVar(20);
    std::vector<Turn> turns;
    for (int i = 0; i < 3; ++i) turns.push_back(pollOnce(ctl));
    for (const Turn& t : turns) {
        ASSERT_TRUE(t.sent);
        EXPECT_EQ(static_cast<uint8_t>(t.request[0]), t.request.size());
    }
    EXPECT_EQ(turns[0].request.size(), 24);  // header, two value bytes, sum
    EXPECT_EQ(static_cast<uint8_t>(turns[0].request[2]), 1);
    EXPECT_EQ(turns[1].request.size(), 22);
    EXPECT_EQ(static_cast<uint8_t>(turns[1].request[10]), 10);
    EXPECT_EQ(turns[2].request.size(), 22);
    EXPECT_EQ(static_cast<uint8_t>(turns[2].request[10]), 20);
    EXPECT_EQ(ctl.rejected(), 0);
    EXPECT_EQ(ctl.word(1, 12, 4), 0x002A);
}

TEST_F(Scheduler, ReadEntryThatCannotBeFramedStaysAtTheHead) {
    RW_VAR odd = var(21, 35, 1);  // appended without normalisation
    PLC_driver.readList << odd << readVar(0);
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(ComCommunication(), nullptr) << call;
        EXPECT_EQ(PLC_driver.readList.first().regType, 21);
        EXPECT_EQ(PLC_driver.lastList, 0);
    }
    EXPECT_EQ(rec.messages.size(), 3);
}

}  // namespace
}  // namespace plctest
