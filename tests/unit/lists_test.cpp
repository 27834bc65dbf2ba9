// Registration of cyclic reads, writes and once-reads.
#include <algorithm>
#include <climits>
#include <tuple>

#include "test_support.h"

namespace plctest {
namespace {

class ListsTest : public DriverTest {
protected:
    static RW_VAR write(int station, int regType, int addr, int count, const char* value) {
        return RW_VAR{9, 0, 1, 0, 0, 0, "in", "", regType, addr, station, count, 0, 0, hex(value)};
    }
    // A once-read record as the host hands it over: text only, addr unset.
    static RW_VAR onceRead(int type, const char* text, int count, int kind = 0, int id = 0,
                           int st = 1) {
        return RW_VAR{kind, id, 0, 0, 0, 0, "", text, type, -77, st, count, 5, 6, QByteArray()};
    }
    int once(int regType, const char* text, int count, int kind = 0, int id = 0) {
        RW_VAR v = onceRead(regType, text, count, kind, id);
        return AddListOnceReadVar(&v, 0);
    }
};

TEST_F(ListsTest, CyclicReadsAreAppendedAsFullCopiesDuplicatesIncluded) {
    RW_VAR v = write(1, 21, 35, 16, "AA");
    EXPECT_EQ(QList<int>({AddListReadVar(&v), AddListReadVar(&v)}), QList<int>({1, 2}));
    for (const RW_VAR& e : PLC_driver.readList) EXPECT_EQ(recordText(e), recordText(v));
}

TEST_F(ListsTest, AWaitingWriteToTheSameTargetIsReplacedInItsPlaceButTheHeadNeverIs) {
    RW_VAR a = write(1, 7, 0, 1, "00 01"), b = write(1, 7, 5, 2, "00 02 00 03"),
           c = write(2, 3, 9, 1, "01"), b2 = write(1, 7, 5, 2, "FF FF EE EE"),
           a2 = write(1, 7, 0, 1, "12 34");
    a.kind = b.kind = c.kind = 1;
    // list before, incoming record -> list after (station:type:addr:count=VALUE)
    // clang-format off
    const std::tuple<QList<RW_VAR>, RW_VAR, const char*> rows[] = {
        {{}, a, "1:7:0:1=0001"},
        {{a}, a2, "1:7:0:1=0001 1:7:0:1=1234"},  // the head is never merged into
        {{a, b, c}, a2, "1:7:0:1=0001 1:7:5:2=00020003 2:3:9:1=01 1:7:0:1=1234"},
        {{a, b}, b2, "1:7:0:1=0001 1:7:5:2=FFFFEEEE"},
        {{a, c, b}, b2, "1:7:0:1=0001 2:3:9:1=01 1:7:5:2=FFFFEEEE"},
        {{a, b, c, b}, b2, "1:7:0:1=0001 1:7:5:2=FFFFEEEE 2:3:9:1=01 1:7:5:2=00020003"},  // first match wins
        {{a, b}, write(2, 7, 5, 2, "00 00 00 00"), "1:7:0:1=0001 1:7:5:2=00020003 2:7:5:2=00000000"},
        {{a, b}, write(1, 8, 5, 2, "00 00 00 00"), "1:7:0:1=0001 1:7:5:2=00020003 1:8:5:2=00000000"},
        {{a, b}, write(1, 7, 6, 2, "00 00 00 00"), "1:7:0:1=0001 1:7:5:2=00020003 1:7:6:2=00000000"},
        {{a, b}, write(1, 7, 5, 1, "00 00"), "1:7:0:1=0001 1:7:5:2=00020003 1:7:5:1=0000"},
    };
    // clang-format on
    for (const auto& [before, incoming, want] : rows) {
        PLC_driver.writeList = before;
        RW_VAR in = incoming;
        const int n = AddListWriteVar(&in, 0);
        EXPECT_EQ(n, PLC_driver.writeList.size());
        EXPECT_EQ(listText(PLC_driver.writeList, true), want);
        EXPECT_EQ(recordText(in), recordText(incoming));
        const auto same = [&](const RW_VAR& e) { return recordText(e) == recordText(in); };
        EXPECT_EQ(std::count_if(PLC_driver.writeList.begin(), PLC_driver.writeList.end(), same), 1);
    }
}

TEST_F(ListsTest, OnceReadsAreParsedFoldedSplitAndWrittenBackIntoTheCallersRecord) {
    // block size, multi-station, default station, own station, code, text, count -> result,
    // once-read list, caller's record with its special and extra, diagnostic
    // clang-format off
    const std::tuple<int, int, int, int, int, const char*, int, int, const char*, const char*, const char*> rows[] = {
        {100, 0, 1, 9, 21, "2.3", 16, 1, "1:12:2:2", "1:12:2:2 00", ""},  // bit in word folds
        {100, 0, 1, 9, 7, "10", 250, 3, "1:7:10:100 1:7:110:100 1:7:210:50", "1:7:210:50 00", ""}, {100, 0, 1, 9, 7, "10", 200, 2, "1:7:10:100 1:7:110:100", "1:7:110:100 00", ""},
        {4, 0, 1, 9, 2, "0", 10, 3, "1:2:0:4 1:2:4:4 1:2:8:2", "1:2:8:2 00", ""}, {100, 0, 1, 9, 1, "17", 3, 1, "1:1:15:3", "1:1:15:3 00", ""},  // bits: no factor 8, octal
        {0, 0, 1, 9, 7, "3", 500, 1, "1:7:3:500", "1:7:3:500 00", ""}, {-4, 0, 1, 9, 7, "3", 10, 1, "1:7:3:10", "1:7:3:10 00", ""},
        {100, 0, 1, 9, 7, "3", 0, 0, "", "1:7:3:0 00", ""}, {100, 0, 1, 9, 7, "3", INT_MIN, 0, "", "1:7:3:-2147483648 00", ""},
        {32, 1, 2, 9, 7, "1", 1, 1, "9:7:1:1", "9:7:1:1 00", ""}, {32, 0, 2, 9, 7, "1", 1, 1, "2:7:1:1", "2:7:1:1 00", ""},
        {32, 0, 0, 9, 7, "12", 1, 0, "", "0:7:12:1 00", ""}, {32, 1, 2, 0, 7, "12", 1, 0, "", "0:7:12:1 00", ""},  // station 0
        {32, 0, 1, 1, 0, "9", 4, 0, "", "1:0:-77:4 56", "StringAddressToInt error 0 \"9\" "},
        {32, 0, 1, 1, 20, "12", 4, 0, "", "1:20:-77:4 56", "StringAddressToInt error 20 \"12\" "},
        {32, 0, 1, 1, 30, "5", 4, 0, "", "1:30:-77:4 56", "StringAddressToInt error 30 \"5\" "},
        {1, 0, 1, 1, 7, "0", INT_MAX, 0, "", "1:7:0:2147483647 00", "AddListOnceReadVar count 1 7 0 2147483647 "},
    };
    // clang-format on
    for (const auto& [blockSize, multi, defStation, own, type, text, count, result, pieces, record,
                      diag] : rows) {
        PLC_driver.onceReadList.clear();
        std::tie(info.blockSize, info.multiStation, info.defStation) =
            std::tie(blockSize, multi, defStation);
        RW_VAR v = onceRead(type, text, count, 0, 0, own);
        EXPECT_EQ(AddListOnceReadVar(&v, 0), result) << record;
        EXPECT_EQ(listText(PLC_driver.onceReadList), pieces);
        for (const RW_VAR& e : PLC_driver.onceReadList) EXPECT_EQ(e.special + e.extra, 0);
        EXPECT_EQ(listText({v}) + format(" %d%d", v.special, v.extra), record);
        EXPECT_EQ(takeMessages(), diag);
    }
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
