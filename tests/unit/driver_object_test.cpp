// The driver object, the set-up entry points and station switching.
#include <QtCore/QVector>
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

class DriverObjectTest : public DriverTest {};

TEST_F(DriverObjectTest, PassingAResultCopiesEveryFieldAndEmptiesTheValue) {
    const RW_VAR from{1, 2, 3, 4, 5, 6, "name", "3.4", 20, 52, 9, 10, -1, 12, hex("01 02 03")};
    RW_VAR to{7, 7, 7, 7, 7, 7, "old", "old", 7, 7, 7, 7, 7, 7, hex("FF")};
    passRetValue(from, to);
    EXPECT_EQ(recordText(to), "1 2 3 4 5 6 name 3.4 20 52 9 10 -1 12 ");
}

TEST_F(DriverObjectTest, SetUpCallsStoreWhatTheyAreGivenAndClearOnlyWordsTenAndThirteen) {
    COMINFO block, other{};
    int32_t* words = reinterpret_cast<int32_t*>(&block);
    for (int i = 0; i < 19; ++i) words[i] = 100 + i;
    SetComInfo(&block);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(words[i], (i == 10 || i == 13) ? 0 : 100 + i) << i;
    SetComInfo(&other);
    EXPECT_EQ(PLC_driver.comInfo, &other);
    FlashLocalRegister(-1, INT_MIN, INT_MAX);
    EXPECT_EQ(QList<int>({LB, LW, RWI}), QList<int>({-1, INT_MIN, INT_MAX}));
    EXPECT_EQ(QueryFinishFlag(), 1);  // whatever the block's finishFlag (0 here) says
    PLC_driver.comInfo = nullptr;
    EXPECT_EQ(QueryFinishFlag(), 1);
}

TEST_F(DriverObjectTest, StationsAreSwitchedOffAndOnUnderBothNames) {
    struct Step {
        int station, mode;
        QList<int> off;  // stations switched off afterwards
    };
    // clang-format off
    const Step steps[] = {
        {5, 0, {5}}, {5, 0, {5}}, {7, 0, {5, 7}}, {5, 2, {5, 7}}, {5, -1, {5, 7}},  // unknown modes: no change
        {9, 1, {5, 7}}, {5, 1, {7}}, {0, 0, {0, 7}}, {INT_MAX, 0, {0, 7, INT_MAX}},
        {-1, 7, {}}, {3, 0, {3}}, {INT_MIN, 0, {}},  // a negative station switches all on
    };
    // clang-format on
    for (auto sw : {EnCommStation, EnableEthernet}) {
        for (const Step& s : steps) {
            sw(s.station, s.mode);
            EXPECT_EQ(PLC_driver.stationsOff.keys(), s.off) << s.station << "/" << s.mode;
            EXPECT_EQ(PLC_driver.stationsOff.values(), QVector<int>(s.off.size(), 0).toList());
            for (int st : {0, 3, 5, 7, 9, 42, -3, INT_MAX})  // asking inserts nothing
                EXPECT_EQ(isStationOff(st), s.off.contains(st)) << st;
        }
    }
}

}  // namespace
}  // namespace plctest
