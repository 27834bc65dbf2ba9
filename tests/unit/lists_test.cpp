// Registration of cyclic reads, writes and once-reads. (The sequence fuzzer
// checks write merging and once-read splitting against a model.)
#include "test_support.h"

namespace plctest {
namespace {

class ListsTest : public DriverTest {
protected:
    static RW_VAR write(int station, int regType, int addr, int count, const char* value) {
        return RW_VAR{9, 0, 1, 0, 0, 0, "in", "", regType, addr, station, count, 0, 0, hex(value)};
    }
    // A once-read record as the host hands it over: text only, addr unset.
    static int once(int regType, const char* text, int count, int kind = 0, int id = 0) {
        RW_VAR v{kind, id, 0, 0, 0, 0, "", text, regType, -77, 1, count, 5, 6, QByteArray()};
        return AddListOnceReadVar(&v, 0);
    }
};

TEST_F(ListsTest, CyclicReadsAreAppendedAsFullCopiesDuplicatesIncluded) {
    RW_VAR v = write(1, 21, 35, 16, "AA");
    EXPECT_EQ(QList<int>({AddListReadVar(&v), AddListReadVar(&v)}), QList<int>({1, 2}));
    for (const RW_VAR& e : PLC_driver.readList) EXPECT_EQ(recordText(e), recordText(v));
}

TEST_F(ListsTest, OnceReadsAlreadyQueuedAreNotQueuedTwiceTheHeadIncluded) {
    EXPECT_EQ(once(7, "10", 2, 3, 4), 1);
    EXPECT_EQ(once(7, "10", 2, 3, 4), 1);  // equal to the head
    EXPECT_EQ(once(7, "10", 2, 5, 4), 2);  // kind and id are part of the key
    EXPECT_EQ(once(7, "10", 2, 3, 6), 3);
    EXPECT_EQ(once(7, "10", 2, 5, 4), 3);  // equal to a later entry
    info.blockSize = 2;                    // only the pieces not yet queued are added
    EXPECT_EQ(once(7, "10", 4, 3, 4), 4);
    EXPECT_EQ(listText(PLC_driver.onceReadList.mid(3)), "1:7:12:2");
}

TEST_F(ListsTest, FullListsDropNewEntriesSilentlyButStillMergeAndModeOneAlwaysAppends) {
    for (int i = 0; i < kListCapacity; ++i) {
        RW_VAR w = write(1, 7, i, 1, "00 01");
        EXPECT_EQ(AddListWriteVar(&w, 1) + AddListOnceReadVar(&w, 1), 2 * i + 2);
    }
    RW_VAR fresh = write(1, 7, 5000, 1, "00 09"), known = write(1, 7, 700, 1, "00 07"),
           dup = write(1, 7, 5, 1, "AB CD");
    EXPECT_EQ(AddListWriteVar(&fresh, 0), kListCapacity);
    EXPECT_EQ(AddListWriteVar(&fresh, 7), kListCapacity);  // any mode but 1 merges
    EXPECT_EQ(AddListWriteVar(&known, 0), kListCapacity);
    EXPECT_EQ(PLC_driver.writeList.at(700).value, hex("00 07"));
    info.blockSize = 1;
    EXPECT_EQ(once(7, "5000", 3), kListCapacity);
    // Mode 1 appends beyond the cap, unprocessed, though entry 5 has the same target.
    EXPECT_EQ(AddListWriteVar(&dup, 1) + AddListOnceReadVar(&dup, 1), 2 * kListCapacity + 2);
    EXPECT_EQ(recordText(PLC_driver.writeList.last()), recordText(dup));
    EXPECT_EQ(recordText(PLC_driver.onceReadList.last()), recordText(dup));
    EXPECT_TRUE(rec.messages.isEmpty());
}

}  // namespace
}  // namespace plctest
