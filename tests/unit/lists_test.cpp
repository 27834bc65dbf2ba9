// Registration of cyclic reads, writes and once-reads.
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

class ListsTest : public DriverTest {
protected:
    RW_VAR write(int station, int regType, int addr, int count, const char* value) const {
        RW_VAR v = var(regType, addr, count, station);
        v.direction = 1;
        v.value = hex(value);
        return v;
    }
    // A once-read record as the host hands it over: text only, addr unset.
    RW_VAR onceRead(int regType, const char* text, int count, int kind = 0, int id = 0) const {
        RW_VAR v = emptyRwVar();
        v.regType = regType;
        v.addrText = QString::fromLatin1(text);
        v.count = count;
        v.kind = kind;
        v.id = id;
        v.station = 1;
        v.addr = -77;
        v.special = 5;
        v.extra = 6;
        return v;
    }
    static std::string pieces(const QList<RW_VAR>& list) {
        QStringList out;
        for (const RW_VAR& v : list) {
            out << QStringLiteral("%1:%2:%3@%4")
                       .arg(v.regType)
                       .arg(v.addr)
                       .arg(v.count)
                       .arg(v.station);
        }
        return out.join(QLatin1Char(' ')).toStdString();
    }
    void fillWriteList(int n) {
        for (int i = 0; i < n; ++i) {
            RW_VAR w = write(1, 7, i, 1, "00 01");
            AddListWriteVar(&w, 1);
        }
    }
};

TEST_F(ListsTest, CyclicReadsAreAppendedAsFullCopiesDuplicatesIncluded) {
    RW_VAR v = var(21, 35, 16);
    v.name = QStringLiteral("x");
    v.value = hex("AA");
    EXPECT_EQ(AddListReadVar(&v), 1);
    EXPECT_EQ(AddListReadVar(&v), 2);
    v.addr = 99;  // the caller's record is not shared with the list
    ASSERT_EQ(PLC_driver.readList.size(), 2);
    for (const RW_VAR& e : PLC_driver.readList) {
        EXPECT_EQ(e.regType, 21);  // no normalisation
        EXPECT_EQ(e.addr, 35);
        EXPECT_EQ(e.name, QStringLiteral("x"));
        EXPECT_EQ(e.value, hex("AA"));
    }
}

TEST_F(ListsTest, AWaitingWriteToTheSameTargetIsReplacedInItsPlaceButTheHeadNeverIs) {
    struct Row {
        const char* what;
        std::vector<RW_VAR> before;
        RW_VAR incoming;
        int wantSize;
        int replacedAt;  // -1: appended at the end
    };
    const RW_VAR a = write(1, 7, 0, 1, "00 01");
    const RW_VAR b = write(1, 7, 5, 2, "00 02 00 03");
    const RW_VAR c = write(2, 3, 9, 1, "01");
    const RW_VAR b2 = write(1, 7, 5, 2, "FF FF EE EE");
    const RW_VAR a2 = write(1, 7, 0, 1, "12 34");
    const Row rows[] = {
        {"empty list", {}, a, 1, -1},
        {"only the head matches", {a}, a2, 2, -1},
        {"head matches, others not", {a, b, c}, a2, 4, -1},
        {"second entry matches", {a, b}, b2, 2, 1},
        {"third entry matches", {a, c, b}, b2, 3, 2},
        {"first of two matches wins", {a, b, c, b}, b2, 4, 1},
        {"station differs", {a, b}, write(2, 7, 5, 2, "00 00 00 00"), 3, -1},
        {"register type differs", {a, b}, write(1, 8, 5, 2, "00 00 00 00"), 3, -1},
        {"address differs", {a, b}, write(1, 7, 6, 2, "00 00 00 00"), 3, -1},
        {"count differs", {a, b}, write(1, 7, 5, 1, "00 00"), 3, -1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        PLC_driver.writeList.clear();
        for (const RW_VAR& v : r.before) PLC_driver.writeList.append(v);
        RW_VAR in = r.incoming;
        in.kind = 9;
        in.name = QStringLiteral("incoming");
        EXPECT_EQ(AddListWriteVar(&in, 0), r.wantSize);
        EXPECT_EQ(in.value, r.incoming.value);  // the caller's record stays as it was
        ASSERT_EQ(PLC_driver.writeList.size(), r.wantSize);
        const int at = r.replacedAt >= 0 ? r.replacedAt : r.wantSize - 1;
        const RW_VAR& e = PLC_driver.writeList.at(at);
        EXPECT_EQ(e.kind, 9);
        EXPECT_EQ(e.name, QStringLiteral("incoming"));
        EXPECT_EQ(e.value, r.incoming.value);
        // Nobody else was touched.
        for (int i = 0; i < r.wantSize; ++i) {
            if (i != at) {
                EXPECT_NE(PLC_driver.writeList.at(i).kind, 9) << i;
            }
        }
        if (!r.before.empty()) {
            EXPECT_EQ(PLC_driver.writeList.first().value, r.before[0].value);
        }
    }
}

TEST_F(ListsTest, WriteModeOneAppendsEvenWhenAnEqualEntryWaitsAndBeyondTheCap) {
    fillWriteList(kListCapacity);
    RW_VAR dup = write(1, 7, 5, 1, "AB CD");
    EXPECT_EQ(AddListWriteVar(&dup, 1), kListCapacity + 1);
    EXPECT_EQ(PLC_driver.writeList.at(5).value, hex("00 01"));
    EXPECT_EQ(PLC_driver.writeList.last().value, hex("AB CD"));
}

TEST_F(ListsTest, AFullWriteListDropsNewTargetsSilentlyButStillMergesKnownOnes) {
    fillWriteList(kListCapacity);
    RW_VAR fresh = write(1, 7, 5000, 1, "00 09");
    EXPECT_EQ(AddListWriteVar(&fresh, 0), kListCapacity);
    EXPECT_EQ(PLC_driver.writeList.size(), kListCapacity);
    EXPECT_TRUE(rec.messages.isEmpty());

    RW_VAR known = write(1, 7, 700, 1, "00 07");
    EXPECT_EQ(AddListWriteVar(&known, 0), kListCapacity);
    EXPECT_EQ(PLC_driver.writeList.at(700).value, hex("00 07"));

    // Any mode other than 1 merges.
    RW_VAR other = write(1, 7, 5001, 1, "00 09");
    EXPECT_EQ(AddListWriteVar(&other, 7), kListCapacity);
}

TEST_F(ListsTest, OnceReadsAreParsedFoldedSplitAndWrittenBackIntoTheCallersRecord) {
    struct Row {
        const char* what;
        int blockSize, regType;
        const char* text;
        int count;
        const char* pieces;
        int lastAddr, lastCount;
    } rows[] = {
        {"bit in word folds", 100, 21, "2.3", 16, "12:2:2@1", 2, 2},
        {"words split by block size", 100, 7, "10", 250, "7:10:100@1 7:110:100@1 7:210:50@1", 210,
         50},
        {"exact multiple", 100, 7, "10", 200, "7:10:100@1 7:110:100@1", 110, 100},
        {"bits split without a factor of eight", 4, 2, "0", 10, "2:0:4@1 2:4:4@1 2:8:2@1", 8, 2},
        {"octal bit address", 100, 1, "17", 3, "1:15:3@1", 15, 3},
        {"block size 0 keeps one piece", 0, 7, "3", 500, "7:3:500@1", 3, 500},
        {"count 0 adds nothing", 100, 7, "3", 0, "", 3, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        PLC_driver.onceReadList.clear();
        info.blockSize = r.blockSize;
        RW_VAR v = onceRead(r.regType, r.text, r.count);
        const int n = AddListOnceReadVar(&v, 0);
        EXPECT_EQ(n, PLC_driver.onceReadList.size());
        EXPECT_EQ(pieces(PLC_driver.onceReadList), r.pieces);
        for (const RW_VAR& e : PLC_driver.onceReadList) {
            EXPECT_EQ(e.special, 0);
            EXPECT_EQ(e.extra, 0);
        }
        EXPECT_EQ(v.regType, getPlcReg(r.regType));
        EXPECT_EQ(v.addr, r.lastAddr);
        EXPECT_EQ(v.count, r.lastCount);
        EXPECT_EQ(v.special, 0);
        EXPECT_EQ(v.extra, 0);
    }
}

TEST_F(ListsTest, OnceReadsTakeTheirStationFromTheRecordOnlyInMultiStationMode) {
    struct Row {
        int multi, def, own, want;
    } rows[] = {{0, 2, 9, 2}, {1, 2, 9, 9}, {1, 0, 3, 3}};
    for (const Row& r : rows) {
        PLC_driver.onceReadList.clear();
        info.multiStation = r.multi;
        info.defStation = r.def;
        RW_VAR v = onceRead(7, "1", 1);
        v.station = r.own;
        EXPECT_EQ(AddListOnceReadVar(&v, 0), 1);
        ASSERT_EQ(PLC_driver.onceReadList.size(), 1);
        EXPECT_EQ(PLC_driver.onceReadList.first().station, r.want);
        EXPECT_EQ(v.station, r.want);
    }
}

TEST_F(ListsTest, OnceReadsForStationZeroAreRejectedAfterTheRecordWasFilledIn) {
    info.multiStation = 0;
    info.defStation = 0;
    RW_VAR v = onceRead(7, "12", 1);
    EXPECT_EQ(AddListOnceReadVar(&v, 0), 0);
    EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
    EXPECT_EQ(v.addr, 12);
    EXPECT_EQ(v.station, 0);
    EXPECT_EQ(v.special, 0);
    EXPECT_EQ(v.extra, 0);

    info.multiStation = 1;
    RW_VAR w = onceRead(7, "12", 1);
    w.station = 0;
    EXPECT_EQ(AddListOnceReadVar(&w, 0), 0);
    EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
}

TEST_F(ListsTest, OnceReadsWithAnUnusableAddressChangeNothingAndReportTheParser) {
    struct Row {
        int regType;
        const char* text;
        const char* diag;
    } rows[] = {
        {0, "9", "StringAddressToInt error 0 \"9\" "},
        {20, "12", "StringAddressToInt error 20 \"12\" "},
        {30, "5", "StringAddressToInt error 30 \"5\" "},
    };
    RW_VAR keep = var(7, 1, 1);
    AddListOnceReadVar(&keep, 1);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        rec.messages.clear();
        RW_VAR v = onceRead(r.regType, r.text, 4);
        EXPECT_EQ(AddListOnceReadVar(&v, 0), 0);
        EXPECT_EQ(PLC_driver.onceReadList.size(), 1);
        EXPECT_EQ(v.addr, -77);
        EXPECT_EQ(v.special, 5);
        EXPECT_EQ(v.regType, r.regType);
        EXPECT_EQ(rec.messages, QStringList{QString::fromLatin1(r.diag)});
    }
}

TEST_F(ListsTest, OnceReadsAlreadyQueuedAreNotQueuedTwiceTheHeadIncluded) {
    RW_VAR first = onceRead(7, "10", 2, 3, 4);
    EXPECT_EQ(AddListOnceReadVar(&first, 0), 1);
    RW_VAR again = onceRead(7, "10", 2, 3, 4);
    EXPECT_EQ(AddListOnceReadVar(&again, 0), 1);  // equal to the head

    RW_VAR second = onceRead(12, "0", 1, 3, 4);
    EXPECT_EQ(AddListOnceReadVar(&second, 0), 2);
    RW_VAR secondAgain = onceRead(12, "0", 1, 3, 4);
    EXPECT_EQ(AddListOnceReadVar(&secondAgain, 0), 2);

    // kind and id are part of the key.
    RW_VAR otherKind = onceRead(7, "10", 2, 5, 4);
    EXPECT_EQ(AddListOnceReadVar(&otherKind, 0), 3);
    RW_VAR otherId = onceRead(7, "10", 2, 3, 6);
    EXPECT_EQ(AddListOnceReadVar(&otherId, 0), 4);

    // Only the pieces not yet queued are added.
    info.blockSize = 2;
    RW_VAR longer = onceRead(7, "10", 4, 3, 4);
    EXPECT_EQ(AddListOnceReadVar(&longer, 0), 5);
    EXPECT_EQ(pieces(PLC_driver.onceReadList.mid(4)), "7:12:2@1");
}

TEST_F(ListsTest, OnceReadModeOneAppendsWithoutAnyProcessing) {
    RW_VAR v = var(21, 35, 16, 0);
    v.special = -1;
    EXPECT_EQ(AddListOnceReadVar(&v, 1), 1);
    EXPECT_EQ(AddListOnceReadVar(&v, 1), 2);
    const RW_VAR& e = PLC_driver.onceReadList.first();
    EXPECT_EQ(e.regType, 21);
    EXPECT_EQ(e.station, 0);
    EXPECT_EQ(e.special, -1);
}

TEST_F(ListsTest, AFullOnceReadListDropsNewPiecesSilently) {
    for (int i = 0; i < kListCapacity; ++i) {
        RW_VAR v = var(7, i, 1);
        AddListOnceReadVar(&v, 1);
    }
    info.blockSize = 1;
    RW_VAR v = onceRead(7, "5000", 3);
    EXPECT_EQ(AddListOnceReadVar(&v, 0), kListCapacity);
    EXPECT_EQ(PLC_driver.onceReadList.size(), kListCapacity);
    EXPECT_TRUE(rec.messages.isEmpty());
}

// Bad counts and block sizes: the call must return promptly, queue a bounded
// number of pieces and never a piece with a non-positive count.
TEST_F(ListsTest, OnceReadsWithUnusableCountsOrBlockSizesStayBounded) {
    struct Row {
        const char* what;
        int blockSize, count;
        bool wantDiagnostic;
    } rows[] = {
        {"negative count", 32, -5, false},
        {"most negative count", 32, INT_MIN, false},
        {"huge count, tiny blocks", 1, INT_MAX, true},
        {"huge count, no blocks", 0, INT_MAX, true},
        {"negative block size", -4, 10, false},
        {"most negative block size", INT_MIN, 10, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        PLC_driver.onceReadList.clear();
        rec.messages.clear();
        info.blockSize = r.blockSize;
        RW_VAR v = onceRead(7, "0", r.count);
        const int n = AddListOnceReadVar(&v, 0);
        EXPECT_GE(n, 0);
        EXPECT_LE(PLC_driver.onceReadList.size(), kListCapacity);
        for (const RW_VAR& e : PLC_driver.onceReadList) {
            EXPECT_GT(e.count, 0);
            EXPECT_LE(e.count, kMaxUnits);
        }
        if (r.wantDiagnostic) {
            EXPECT_FALSE(rec.messages.isEmpty());
        }
    }
}

}  // namespace
}  // namespace plctest
