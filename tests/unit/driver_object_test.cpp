// The driver object, the set-up entry points and station switching.
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

class DriverObjectTest : public DriverTest {};

// A non-recursive mutex that nobody holds: the first try succeeds, a second
// one from the same thread does not.
void expectFreeNonRecursive(QMutex& m, const char* name) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(m.tryLock());
    EXPECT_FALSE(m.tryLock());
    m.unlock();
}

TEST(DriverObject, ANewDriverObjectHoldsNothingAndHasTakenNoListYet) {
    Communication_Protocol d;
    EXPECT_EQ(d.comInfo, nullptr);
    EXPECT_TRUE(d.readList.isEmpty());
    EXPECT_TRUE(d.writeList.isEmpty());
    EXPECT_TRUE(d.onceReadList.isEmpty());
    EXPECT_TRUE(d.spareList.isEmpty());
    EXPECT_TRUE(d.pendingFrames.isEmpty());
    EXPECT_TRUE(d.extendList.isEmpty());
    EXPECT_EQ(d.varDoneCallback, nullptr);
    EXPECT_EQ(d.failCallback, nullptr);
    EXPECT_TRUE(d.stationsOff.isEmpty());
    EXPECT_EQ(d.lastList, 100);
    EXPECT_EQ(d.writeBurst, 0);
    EXPECT_EQ(d.onceBurst, 0);
    EXPECT_EQ(d.okCount, 0);
    EXPECT_FALSE(d.failFlag);
    expectFreeNonRecursive(d.listMutex, "listMutex");
    expectFreeNonRecursive(d.storageMutex, "storageMutex");
    expectFreeNonRecursive(d.stationMutex, "stationMutex");

    const RW_VAR& r = d.retVar;
    for (int32_t field : {r.kind, r.id, r.direction, r.framingMode, r.linkNo, r.status, r.regType,
                          r.addr, r.station, r.count, r.special, r.extra}) {
        EXPECT_EQ(field, 0);
    }
    EXPECT_TRUE(r.name.isEmpty());
    EXPECT_TRUE(r.addrText.isEmpty());
    EXPECT_TRUE(r.value.isEmpty());
}

TEST_F(DriverObjectTest, PassingAResultCopiesEveryFieldButTheValueBytes) {
    RW_VAR from{};
    from.kind = 1;
    from.id = 2;
    from.direction = 3;
    from.framingMode = 4;
    from.linkNo = 5;
    from.status = 6;
    from.name = QStringLiteral("name");
    from.addrText = QStringLiteral("3.4");
    from.regType = 20;
    from.addr = 52;
    from.station = 9;
    from.count = 10;
    from.special = -1;
    from.extra = 12;
    from.value = hex("01 02 03");

    RW_VAR to = var(7, 99, 98, 97);
    to.name = QStringLiteral("old");
    to.value = hex("FF");
    passRetValue(from, to);
    EXPECT_EQ(to.kind, 1);
    EXPECT_EQ(to.id, 2);
    EXPECT_EQ(to.direction, 3);
    EXPECT_EQ(to.framingMode, 4);
    EXPECT_EQ(to.linkNo, 5);
    EXPECT_EQ(to.status, 6);
    EXPECT_EQ(to.name, QStringLiteral("name"));
    EXPECT_EQ(to.addrText, QStringLiteral("3.4"));
    EXPECT_EQ(to.regType, 20);
    EXPECT_EQ(to.addr, 52);
    EXPECT_EQ(to.station, 9);
    EXPECT_EQ(to.count, 10);
    EXPECT_EQ(to.special, -1);
    EXPECT_EQ(to.extra, 12);
    EXPECT_TRUE(to.value.isEmpty());
    EXPECT_EQ(from.value, hex("01 02 03"));  // the source keeps its bytes
}

TEST_F(DriverObjectTest, HandingOverTheBlockClearsWordsTenAndThirteenOnly) {
    COMINFO block;
    int32_t* words = reinterpret_cast<int32_t*>(&block);
    for (int i = 0; i < 19; ++i) words[i] = 100 + i;
    SetComInfo(&block);
    EXPECT_EQ(PLC_driver.comInfo, &block);
    for (int i = 0; i < 19; ++i) {
        EXPECT_EQ(words[i], (i == 10 || i == 13) ? 0 : 100 + i) << "word " << i;
    }

    // A second block replaces the first for everything that follows.
    COMINFO other{};
    other.blockSize = 32;
    other.defStation = 6;
    SetComInfo(&other);
    EXPECT_EQ(PLC_driver.comInfo, &other);
    RW_VAR v = var(7, 0, 1);
    AddListOnceReadVar(&v, 0);
    ASSERT_EQ(PLC_driver.onceReadList.size(), 1);
    EXPECT_EQ(PLC_driver.onceReadList.first().station, 6);
    EXPECT_EQ(words[6], 106);
}

TEST_F(DriverObjectTest, TheThreeHostWordsAreStoredAsGiven) {
    const int32_t rows[][3] = {{1, 2, 3}, {-1, INT_MIN, INT_MAX}, {0, 0, 0}};
    for (const auto& r : rows) {
        FlashLocalRegister(r[0], r[1], r[2]);
        EXPECT_EQ(LB, r[0]);
        EXPECT_EQ(LW, r[1]);
        EXPECT_EQ(RWI, r[2]);
    }
}

void doneA(int32_t, int32_t, int32_t, int32_t) {}
void failA(QList<RW_VAR>, int32_t, int32_t) {}

TEST_F(DriverObjectTest, CallbacksAreRegisteredInArgumentOrder) {
    RegistCallBackFuncIntf(doneA, failA);
    EXPECT_EQ(PLC_driver.varDoneCallback, &doneA);
    EXPECT_EQ(PLC_driver.failCallback, &failA);
    RegistCallBackFuncIntf(nullptr, nullptr);
    EXPECT_EQ(PLC_driver.varDoneCallback, nullptr);
    EXPECT_EQ(PLC_driver.failCallback, nullptr);
}

TEST_F(DriverObjectTest, TheFinishQueryAlwaysAnswersOne) {
    EXPECT_EQ(QueryFinishFlag(), 1);
    info.finishFlag = 0;
    EXPECT_EQ(QueryFinishFlag(), 1);
    EXPECT_EQ(ComCommunication(), nullptr);  // nothing to poll: finishFlag becomes 1
    EXPECT_EQ(info.finishFlag, 1);
    info.finishFlag = 0;
    EXPECT_EQ(QueryFinishFlag(), 1);
    PLC_driver.comInfo = nullptr;
    EXPECT_EQ(QueryFinishFlag(), 1);
}

using StationSwitch = void (*)(int32_t, int32_t);

struct SwitchStep {
    int station, mode;
    QList<int> off;  // stations switched off afterwards
};

void runSwitchSteps(StationSwitch sw) {
    const SwitchStep steps[] = {
        {5, 0, {5}},     {5, 0, {5}},     // twice still one key
        {7, 0, {5, 7}},  {5, 2, {5, 7}},  // unknown mode
        {5, -1, {5, 7}},                  // unknown mode
        {9, 1, {5, 7}},                   // switching on a station that is on
        {5, 1, {7}},     {0, 0, {0, 7}},   {INT_MAX, 0, {0, 7, INT_MAX}},
        {-1, 7, {}},  // any negative station: everything on, whatever the mode
        {3, 0, {3}},     {INT_MIN, 0, {}},
    };
    for (const SwitchStep& s : steps) {
        SCOPED_TRACE(testing::Message() << s.station << "/" << s.mode);
        sw(s.station, s.mode);
        EXPECT_EQ(PLC_driver.stationsOff.keys(), s.off);
        for (int32_t value : PLC_driver.stationsOff) EXPECT_EQ(value, 0);
        for (int st : {0, 3, 5, 7, 9, INT_MAX})
            EXPECT_EQ(Ethernetcontains(st), s.off.contains(st)) << st;
        // Every step leaves the station lock free.
        ASSERT_TRUE(PLC_driver.stationMutex.tryLock());
        PLC_driver.stationMutex.unlock();
    }
}

TEST_F(DriverObjectTest, StationsAreSwitchedOffAndOnByStationAndMode) {
    runSwitchSteps(EnCommStation);
}

TEST_F(DriverObjectTest, TheSecondSwitchNameBehavesTheSame) { runSwitchSteps(EnableEthernet); }

TEST_F(DriverObjectTest, AskingAboutAStationDoesNotSwitchItOff) {
    EXPECT_FALSE(Ethernetcontains(42));
    EXPECT_FALSE(Ethernetcontains(-3));
    EXPECT_TRUE(PLC_driver.stationsOff.isEmpty());
    EXPECT_FALSE(Ethernetcontains(42));
}

}  // namespace
}  // namespace plctest
