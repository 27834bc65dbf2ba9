// Rebuilding the cyclic read list from the host's variable descriptions, and
// the grouping helpers.
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

VARDESC desc(int regType, const char* text, int count, int station = 1, const char* name = "") {
    VARDESC d{};
    d.regType = static_cast<uint8_t>(regType);
    d.station = static_cast<uint8_t>(station);
    d.addrText = QString::fromLatin1(text);
    d.name = QString::fromLatin1(name);
    d.count = count;
    return d;
}

// "station:code:addr:count" per entry.
std::string blocks(const QList<RW_VAR>& list) {
    QStringList out;
    for (const RW_VAR& v : list) {
        out << QStringLiteral("%1:%2:%3:%4").arg(v.station).arg(v.regType).arg(v.addr).arg(v.count);
    }
    return out.join(QLatin1Char(' ')).toStdString();
}

// "addr:count" per entry.
std::string spans(const QList<RW_VAR>& list) {
    QStringList out;
    for (const RW_VAR& v : list) out << QStringLiteral("%1:%2").arg(v.addr).arg(v.count);
    return out.join(QLatin1Char(' ')).toStdString();
}

class RebuildTest : public DriverTest {
protected:
    int rebuild(QList<VARDESC> descs) { return ReCreatReadVarList(&descs); }
    RW_VAR rec_(int addr, int count, const char* name = "") const {
        RW_VAR v = var(7, addr, count);
        v.name = QString::fromLatin1(name);
        return v;
    }
};

struct RebuildRow {
    const char* what;
    int blockSize;
    int multiStation;
    QList<VARDESC> descs;
    const char* want;
};

TEST_F(RebuildTest, VariablesAreGroupedIntoBlockReadsPerStationAndArea) {
    const RebuildRow rows[] = {
        {"join, stretch to the limit, continue",
         32,
         0,
         {desc(7, "0", 1), desc(7, "10", 2), desc(7, "31", 4), desc(7, "40", 1)},
         "1:7:0:32 1:7:32:9"},
        {"starting exactly one limit later opens a block",
         32,
         0,
         {desc(7, "0", 1), desc(7, "32", 1)},
         "1:7:0:1 1:7:32:1"},
        {"one long variable is cut into limit-sized blocks",
         32,
         0,
         {desc(7, "100", 70)},
         "1:7:100:32 1:7:132:32 1:7:164:6"},
        {"bit areas use eight times the block size",
         32,
         0,
         {desc(2, "0", 1), desc(2, "255", 1)},
         "1:2:0:256"},
        {"bit areas split at eight times the block size",
         32,
         0,
         {desc(2, "256", 1), desc(2, "0", 1)},
         "1:2:0:1 1:2:256:1"},
        {"octal bit addresses", 32, 0, {desc(1, "10", 2), desc(1, "7", 1)}, "1:1:7:3"},
        {"bit in word reads its whole word",
         32,
         0,
         {desc(20, "3.4", 4), desc(7, "3", 1)},
         "1:7:3:1"},
        {"unsorted input is sorted by address",
         32,
         0,
         {desc(7, "90", 1), desc(7, "10", 1), desc(7, "40", 1)},
         "1:7:10:31 1:7:90:1"},
        {"variable inside the last block adds nothing",
         32,
         0,
         {desc(7, "0", 20), desc(7, "5", 3)},
         "1:7:0:20"},
        {"stations in ascending order, then codes, folded codes together",
         32,
         1,
         {desc(12, "8", 1, 2), desc(7, "4", 1, 2), desc(21, "5.0", 1, 1), desc(12, "2", 1, 1),
          desc(7, "9", 1, 1)},
         "1:7:9:1 1:12:2:4 2:7:4:1 2:12:8:1"},
        {"word limit 1 keeps variables apart, bits still group by 8",
         1,
         0,
         {desc(7, "5", 1), desc(7, "5", 3), desc(7, "6", 1), desc(3, "0", 1), desc(3, "7", 1),
          desc(3, "8", 1)},
         "1:3:0:8 1:3:8:1 1:7:5:3 1:7:6:1"},
        {"word limit 1 does not cut a long variable",
         1,
         0,
         {desc(7, "5", 4), desc(7, "5", 2)},
         "1:7:5:4"},
        {"two equal variables give one block",
         32,
         0,
         {desc(9, "3", 2), desc(9, "3", 2)},
         "1:9:3:2"},
        {"unparsable texts and unknown codes are left out",
         32,
         0,
         {desc(0, "8", 1), desc(7, "x", 1), desc(30, "1", 1), desc(20, "4", 1), desc(8, "1", 1)},
         "1:8:1:1"},
        {"station byte 0 is left out in multi-station mode",
         32,
         1,
         {desc(7, "1", 1, 0), desc(7, "2", 1, 3)},
         "3:7:2:1"},
    };
    for (const RebuildRow& r : rows) {
        SCOPED_TRACE(r.what);
        info.blockSize = r.blockSize;
        info.multiStation = r.multiStation;
        PLC_driver.readList.clear();
        const int n = rebuild(r.descs);
        EXPECT_EQ(blocks(PLC_driver.readList), r.want);
        EXPECT_EQ(n, PLC_driver.readList.size());
    }
}

TEST_F(RebuildTest, BlockRecordsAreReadsOfTheVariableThatOpenedThem) {
    info.remoteMode = 3;
    info.ownLinkNo = 6;
    info.defStation = 4;
    RW_VAR old = var(7, 1, 1);
    AddListReadVar(&old);  // discarded by the rebuild
    EXPECT_EQ(rebuild({desc(7, "10", 1, 9, "second"), desc(7, "2", 1, 9, "first"),
                       desc(7, "10", 5, 9, "third")}),
              1);
    ASSERT_EQ(PLC_driver.readList.size(), 1);
    const RW_VAR& b = PLC_driver.readList.first();
    EXPECT_EQ(b.name, QStringLiteral("first"));
    EXPECT_EQ(b.addrText, QStringLiteral("2"));
    EXPECT_EQ(b.kind, 0);
    EXPECT_EQ(b.id, -1);
    EXPECT_EQ(b.direction, 0);
    EXPECT_EQ(b.framingMode, 3);
    EXPECT_EQ(b.linkNo, 6);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.station, 4);
    EXPECT_EQ(b.special, 0);
    EXPECT_EQ(b.extra, 0);
    EXPECT_TRUE(b.value.isEmpty());
    EXPECT_EQ(spans(PLC_driver.readList), "2:13");
}

TEST_F(RebuildTest, ANonEmptyRebuildStartsANewCycleAnEmptyOneOnlyClearsTheList) {
    PLC_driver.okCount = 5;
    info.finishFlag = 1;
    RW_VAR old = var(7, 1, 1);
    AddListReadVar(&old);
    EXPECT_EQ(rebuild({}), 0);
    EXPECT_TRUE(PLC_driver.readList.isEmpty());
    EXPECT_EQ(PLC_driver.okCount, 5);
    EXPECT_EQ(info.finishFlag, 1);

    // Every descriptor rejected: the list is empty, but a cycle still begins.
    info.defStation = 0;
    EXPECT_EQ(rebuild({desc(7, "1", 1)}), 0);
    EXPECT_EQ(PLC_driver.okCount, 0);
    EXPECT_EQ(info.finishFlag, 0);
}

TEST_F(RebuildTest, ANonPositiveBlockSizeRefusesTheRebuildWithADiagnostic) {
    for (int bs : {0, -1, INT_MIN}) {
        SCOPED_TRACE(bs);
        info.blockSize = bs;
        info.finishFlag = 1;
        PLC_driver.okCount = 3;
        RW_VAR old = var(7, 1, 1);
        AddListReadVar(&old);
        rec.messages.clear();
        EXPECT_EQ(rebuild({desc(7, "0", 10), desc(2, "0", 10)}), 0);
        EXPECT_TRUE(PLC_driver.readList.isEmpty());
        EXPECT_EQ(rec.messages,
                  QStringList{QStringLiteral("ReCreatReadVarList blockSize %1 ").arg(bs)});
        EXPECT_EQ(PLC_driver.okCount, 0);
        EXPECT_EQ(info.finishFlag, 0);
    }
}

TEST_F(RebuildTest, VariablesWithoutUnitsNeitherOpenNorJoinBlocks) {
    const RebuildRow rows[] = {
        {"empty first variable of a later group",
         32,
         0,
         {desc(7, "0", 10), desc(8, "0", 0), desc(8, "5", 1)},
         "1:7:0:10 1:8:5:1"},
        {"negative first variable on an empty list",
         32,
         0,
         {desc(7, "0", -4), desc(7, "3", 1)},
         "1:7:3:1"},
        {"empty variable between two blocks",
         32,
         0,
         {desc(7, "0", 1), desc(7, "2", 0), desc(7, "40", 1)},
         "1:7:0:1 1:7:40:1"},
        {"only empty variables", 32, 0, {desc(9, "0", 0), desc(9, "4", INT_MIN)}, ""},
        {"without grouping too",
         1,
         0,
         {desc(7, "5", 0), desc(7, "6", -2), desc(7, "7", 1)},
         "1:7:7:1"},
    };
    for (const RebuildRow& r : rows) {
        SCOPED_TRACE(r.what);
        info.blockSize = r.blockSize;
        info.multiStation = r.multiStation;
        rebuild(r.descs);
        EXPECT_EQ(blocks(PLC_driver.readList), r.want);
    }
}

TEST_F(RebuildTest, HugeCountsAreLeftOutAndHugeAddressesDoNotWrap) {
    info.blockSize = 32;
    EXPECT_EQ(rebuild({desc(7, "0", kMaxUnits + 1), desc(7, "100", 1)}), 1);
    EXPECT_EQ(rec.messages,
              QStringList{QStringLiteral("ReCreatReadVarList count 1 7 0 %1 ").arg(kMaxUnits + 1)});
    EXPECT_EQ(rebuild({desc(7, "0", INT_MAX)}), 0);

    // The largest accepted count is still cut into blocks.
    EXPECT_EQ(rebuild({desc(7, "0", kMaxUnits)}), kMaxUnits / 32);
    EXPECT_EQ(rebuild({desc(2, "0", kMaxUnits)}), kMaxUnits / 256);

    // Near the top of the address range the join test must not overflow.
    EXPECT_EQ(rebuild({desc(7, "2147483640", 1), desc(7, "2147483647", 1)}), 1);
    EXPECT_EQ(blocks(PLC_driver.readList), "1:7:2147483640:8");

    rebuild({desc(7, "2147483600", 100)});
    ASSERT_FALSE(PLC_driver.readList.isEmpty());
    EXPECT_LE(PLC_driver.readList.size(), 4);
    int64_t previous = -1;
    for (const RW_VAR& b : PLC_driver.readList) {
        EXPECT_GT(int64_t(b.addr), previous);
        EXPECT_GE(b.count, 1);
        EXPECT_LE(b.count, 32);
        previous = b.addr;
    }

    // Eight times a huge block size does not wrap to a small limit.
    info.blockSize = 0x10000000;
    EXPECT_EQ(rebuild({desc(2, "0", 1), desc(2, "100000", 1)}), 1);
    EXPECT_EQ(blocks(PLC_driver.readList), "1:2:0:100001");
}

TEST_F(RebuildTest, SortingByAddressKeepsTheOrderOfEqualAddresses) {
    QList<RW_VAR> list{rec_(5, 1, "a"), rec_(3, 1, "b"), rec_(5, 2, "c"),
                       rec_(1, 1, "d"), rec_(3, 9, "e"), rec_(-2, 1, "f")};
    Bubble_Sort(&list);
    QStringList names;
    for (const RW_VAR& v : list) names << v.name;
    EXPECT_EQ(names.join(QString()), QStringLiteral("fdbeac"));

    QList<RW_VAR> one{rec_(4, 1, "x")};
    Bubble_Sort(&one);
    EXPECT_EQ(one.size(), 1);
    QList<RW_VAR> none;
    Bubble_Sort(&none);
    EXPECT_TRUE(none.isEmpty());
}

TEST_F(RebuildTest, TheUnusedMergersJoinTouchingVariablesAndBridgeGaps) {
    struct Row {
        const char* what;
        int gap;  // -1: the merger without a gap
        QList<RW_VAR> group;
        const char* want;
    } rows[] = {
        {"touching and overlapping", -1, {rec_(0, 4), rec_(4, 2), rec_(7, 1)}, "0:6 7:1"},
        {"no length limit", -1, {rec_(0, 40), rec_(30, 40), rec_(70, 40)}, "0:110"},
        {"contained adds nothing", -1, {rec_(0, 10), rec_(2, 3)}, "0:10"},
        {"gap of one bridged", 1, {rec_(0, 4), rec_(4, 2), rec_(7, 1)}, "0:8"},
        {"gap too wide", 1, {rec_(0, 4), rec_(6, 1)}, "0:4 6:1"},
        {"gap of zero", 0, {rec_(0, 4), rec_(4, 1), rec_(6, 1)}, "0:5 6:1"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        PLC_driver.readList.clear();
        QList<RW_VAR> g = r.group;
        if (r.gap < 0) {
            BitVarReCreat_1(&g);
        } else {
            BitVarReCreat_2(&g, r.gap);
        }
        EXPECT_EQ(spans(PLC_driver.readList), r.want);
    }
}

TEST_F(RebuildTest, SplittingARecordIntoLimitSizedPieces) {
    struct Row {
        int total, limit;
        const char* want;
        int endAddr, endCount;
    } rows[] = {
        {70, 32, "10:32 42:32 74:6", 74, 6},
        {64, 32, "10:32 42:32", 42, 32},
        {32, 32, "10:5", 10, 5},  // fits: appended unchanged
        {3, 32, "10:5", 10, 5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.total);
        RW_VAR v = rec_(10, 5, "w");
        QList<RW_VAR> out;
        WhetherGroup(r.total, r.limit, &v, &out);
        EXPECT_EQ(spans(out), r.want);
        EXPECT_EQ(v.addr, r.endAddr);
        EXPECT_EQ(v.count, r.endCount);
        for (const RW_VAR& e : out) EXPECT_EQ(e.name, QStringLiteral("w"));
    }
}

TEST_F(RebuildTest, ALargeRebuildOnOneAreaFinishes) {
    // Correctness at the size of a real project's group.
    QList<VARDESC> descs;
    for (int i = 0; i < 20000; ++i)
        descs << desc(7, QByteArray::number((i * 7919) % 20000).constData(), 1);
    info.blockSize = 100;
    EXPECT_EQ(rebuild(descs), 200);
    EXPECT_EQ(PLC_driver.readList.last().addr, 19900);
}

}  // namespace
}  // namespace plctest
