// The polling loop by example: switched-off stations, the reply check, the
// finish flag and callbacks under the list lock. The sequence fuzzer (fuzz/)
// checks the scheduler's order, bursts, the status of every reply on either
// path, repeats and give-ups, completion, reporting, purging and the
// bit-in-word patch against a model over many generated sessions.
#include <tuple>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

class Polling : public DriverTest {
protected:
    ScriptedController ctl{1, 2, 3};

    static RW_VAR write(int addr, int kind, int id, int station = 1, int type = 12) {
        return RW_VAR{kind, id, 1, 0, 0, 0, "", "", type, addr, station, 1, 0, 0, hex("12 34")};
    }
};

TEST_F(Polling, SwitchedOffStationsAreRotatedBehindTheOthersAndAllOffKeepsTheOrder) {
    info.multiStation = 1;
    PLC_driver.writeList << write(0, 1, 1, 2);
    PLC_driver.readList << var(7, 0, 1, 1) << var(7, 0, 1, 2) << var(7, 0, 1, 3);
    EnCommStation(1, 0);
    EnableEthernet(2, 0);
    Protocol* p = ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(toHex(p->frame.left(2)), QString("03 03"));
    EXPECT_EQ(listText(PLC_driver.readList), "3:7:0:1 1:7:0:1 2:7:0:1");
    EXPECT_EQ(PLC_driver.lastList, 0);
    EXPECT_EQ(PLC_driver.writeBurst, 0);
    PLC_driver.pendingFrames.clear();
    EnCommStation(3, 0);
    EXPECT_EQ(ComCommunication(), nullptr);
    EXPECT_EQ(listText(PLC_driver.readList), "3:7:0:1 1:7:0:1 2:7:0:1");
    EXPECT_EQ(info.finishFlag, 1);
}

TEST_F(Polling, ReplyCheckLooksAtStationLengthCrcAndDirection) {
    const std::tuple<int, int, const char*, int, int> rows[] = {
        // station, direction, reply, length (-1: all of it), result
        {0, 7, "FF", -1, 2},                         // station 0 is never checked
        {1, 0, "01 03 02 12 14 B4 EB", -1, 1},       // read reply carries data
        {1, 1, "01 03 02 12 14 B4 EB", -1, 2},       // write acknowledgement
        {1, 2, "01 03 02 12 14 B4 EB", -1, 0},       // unknown direction
        {5, 0, "01 03 02 12 14 B4 EB", -1, 0},       // other station
        {200, 0, "C8 03 02 00 07 25 96", -1, 1},     // station above 127
        {5, 0, "05 01 00 60 51", -1, 0},             // five bytes are too few
        {1, 0, "01 03 02 12 14 B5 EB", -1, 0},       // crc low byte wrong
        {1, 0, "01 03 02 12 14 B4 EA", -1, 0},       // crc high byte wrong
        {1, 0, "01 03 02 12 14 EB B4", -1, 0},       // crc bytes swapped
        {1, 0, "01 03 02 12 14 B4 EB 77 88", 7, 1},  // the length decides where the crc is
    };
    for (const auto& [station, direction, bytes, len, expected] : rows) {
        PLC_driver.pendingFrames.clear();
        RW_VAR v = var(7, 0, 1, station);
        v.direction = direction;
        ReadRegister(&v);
        QByteArray reply = hex(bytes);
        EXPECT_EQ(CheckGetData(&reply, len < 0 ? reply.size() : len), expected) << bytes;
    }
}

TEST_F(Polling, FinishFlagRisesAfterOneMoreGoodCompletionThanReadEntries) {
    PLC_driver.readList << var(7, 0, 1) << var(7, 10, 1) << var(7, 20, 1);
    pollUntilIdle(ctl, 3);
    EXPECT_EQ(PLC_driver.okCount, 3);
    ctl.script({Answer::Short});
    EXPECT_EQ(pollOnce(ctl), 0);
    EXPECT_EQ(PLC_driver.okCount, 0);
    pollUntilIdle(ctl, 3);
    EXPECT_EQ(info.finishFlag, 0);
    pollOnce(ctl);
    EXPECT_EQ(info.finishFlag, 1);
    pollOnce(ctl);  // once raised, good completions no longer count
    EXPECT_EQ(PLC_driver.okCount, 0);
    ctl.script({Answer::BadCrc});
    pollOnce(ctl);
    EXPECT_EQ(info.finishFlag, 0);
}

// The recorder's callbacks cannot see the lock; this one can.
int lockedCalls = 0;
void countLocked(int32_t, int32_t, int32_t, int32_t) {
    const bool free = PLC_driver.listMutex.tryLock();
    if (free) PLC_driver.listMutex.unlock();
    lockedCalls += free ? 0 : 1;
}
void countLockedFail(QList<RW_VAR>, int32_t, int32_t) { countLocked(0, 0, 0, 0); }

TEST_F(Polling, CallbacksRunWhileTheListsAreLocked) {
    RegistCallBackFuncIntf(countLocked, countLockedFail);
    info.retryMax = 0;
    PLC_driver.writeList << write(0, 1, 1) << write(1, 1, 2);
    pollOnce(ctl);
    ctl.script({Answer::Silent});
    pollOnce(ctl);
    EXPECT_EQ(lockedCalls, 3);  // completion, then completion (given up) and failure
}

}  // namespace
}  // namespace plctest
