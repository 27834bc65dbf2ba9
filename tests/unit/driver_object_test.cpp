// The driver object and the set-up entry points. (The sequence fuzzer checks
// station switching under both names against a model.)
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

}  // namespace
}  // namespace plctest
