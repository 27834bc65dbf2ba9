// The register image: area look-up, saving replies and host register access.
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

std::string hx(const QByteArray& b) { return toHex(b).toStdString(); }

class ImageTest : public DriverTest {
protected:
    // Read-only views that never insert into the image.
    static bool hasArea(int station, int key) {
        return DataStorage.contains(station) && DataStorage.value(station).contains(key);
    }
    static QByteArray area(int station, int key) { return DataStorage.value(station).value(key); }
    static void look(int station, int type, int addr, int count) {
        ControlInformationM info{station, type, addr, count};
        checkTheStorage(info);
    }
    // Head frame of a read whose reply is being saved.
    void pushRead(int regType, int addr, int count, int dataLen) {
        Protocol p{};
        p.var = var(regType, addr, count);
        p.dataPos = 3;
        p.dataLen = dataLen;
        PLC_driver.pendingFrames.append(p);
    }
    int set(int type, const char* text, const char* values, int count, int kind = 0, int id = 0,
            int station = 1) {
        QString name = QStringLiteral("op");
        QString t = QString::fromLatin1(text);
        QByteArray v = hex(values);
        return SetRegisterData(name, type, t, station, v, count, kind, id);
    }
    int get(int type, const char* text, int station, QByteArray* out, int count) {
        QString t = QString::fromLatin1(text);
        return GetRegisterData(nullptr, type, t, station, out, count);
    }
    // "addr:count:VALUE" per queued write.
    static QString writes() {
        QStringList out;
        for (const RW_VAR& v : PLC_driver.writeList) {
            out << QStringLiteral("%1:%2:%3").arg(v.addr).arg(v.count).arg(toHex(v.value));
        }
        return out.join(QLatin1Char('|'));
    }
};

TEST_F(ImageTest, LookUpsCreateAndGrowAreasButNeverShrinkOrClearThem) {
    struct Row {
        const char* what;
        int station, type, addr, count;
        int key, wantSize;
        bool diag;
    } rows[] = {
        {"new word area", 1, 7, 10, 5, 7, 30, false},
        {"smaller range leaves it", 1, 7, 0, 4, 7, 30, false},
        {"larger range grows it", 1, 7, 20, 5, 7, 50, false},
        {"bit area, one byte per bit", 1, 3, 100, 16, 3, 116, false},
        {"bit in word uses the word area", 1, 21, 35, 1, 12, 4, false},
        {"bit count divided by 17", 1, 21, 35, 40, 12, 8, false},
        {"16 bits ask for no word", 4, 20, 0, 16, 7, 0, false},
        {"17 bits ask for one word", 4, 20, 0, 17, 7, 2, false},
        {"22 shares area 13", 1, 22, 160, 16, 13, 20, false},
        {"another station", 2, 7, 0, 1, 7, 2, false},
        {"empty range still creates the area", 3, 7, 0, 0, 7, 0, false},
        {"negative range creates it empty", 3, 8, -5, 2, 8, 0, false},
        {"negative range leaves an area alone", 1, 3, -200, 16, 3, 116, false},
        {"unknown code keys its own area", 1, 30, 1, 2, 30, 6, true},
        {"negative code too", 1, -1, 0, 3, -1, 6, true},
    };
    look(1, 7, 10, 5);
    DataStorage[1][7][5] = char(0xAB);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        rec.messages.clear();
        look(r.station, r.type, r.addr, r.count);
        ASSERT_TRUE(hasArea(r.station, r.key));
        EXPECT_EQ(area(r.station, r.key).size(), r.wantSize);
        EXPECT_EQ(rec.messages,
                  r.diag ? QStringList{QStringLiteral("**** ERROR checkTheStorage default ")}
                         : QStringList{});
    }
    const QByteArray a7 = area(1, 7);
    EXPECT_EQ(a7, QByteArray(5, 0) + char(0xAB) + QByteArray(44, 0));
    EXPECT_EQ(area(2, 7).size(), 2);
    for (int st : DataStorage.keys()) {
        for (int code = 20; code <= 23; ++code) EXPECT_FALSE(hasArea(st, code)) << st << code;
    }
}

TEST_F(ImageTest, AbsurdRangesAreRefusedWithADiagnosticAndAllocateNothing) {
    look(1, 7, 0, 4);
    DataStorage[1][7][1] = 0x11;
    struct Row {
        int type, addr, count;
    } rows[] = {
        {7, 2000000000, 1},     {7, INT_MAX, INT_MAX},  {3, INT_MAX, INT_MAX},
        {21, INT_MAX, INT_MAX}, {30, INT_MAX, INT_MAX}, {7, int(kMaxAreaBytes / 2), 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.type << "/" << r.addr << "/" << r.count);
        rec.messages.clear();
        look(1, r.type, r.addr, r.count);
        EXPECT_FALSE(rec.messages.isEmpty());
        for (const QByteArray& a : DataStorage.value(1)) EXPECT_LE(a.size(), 16);
    }
    EXPECT_EQ(rec.messages.last(),
              QStringLiteral("**** ERROR checkTheStorage range 1 7 8388608 1 "));
    EXPECT_EQ(area(1, 7), hex("00 11 00 00 00 00 00 00"));
    // The bound itself is still served.
    rec.messages.clear();
    look(1, 7, int(kMaxAreaBytes / 2) - 1, 1);
    EXPECT_EQ(area(1, 7).size(), kMaxAreaBytes);
    EXPECT_TRUE(rec.messages.isEmpty());
}

struct SaveRow {
    const char* what;
    int regType, addr, count, dataLen;
    const char* reply;
    const char* before;  // area contents before, hex
    const char* after;
};

TEST_F(ImageTest, RepliesAreUnpackedIntoTheImageBitsUpToCountWordsUpToTheData) {
    const SaveRow rows[] = {
        {"bits stop at count", 1, 8, 10, 2, "01 01 02 05 02 00 00",
         "AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA",
         "AA AA AA AA AA AA AA AA 01 00 01 00 00 00 00 00 00 01 AA AA"},
        {"whole bytes of bits", 1, 0, 16, 2, "01 01 02 FF 00 00 00", "",
         "01 01 01 01 01 01 01 01 00 00 00 00 00 00 00 00"},
        {"bits stop when the data runs out", 2, 0, 12, 1, "01 01 01 FF 00 00",
         "AA AA AA AA AA AA AA AA AA AA AA AA", "01 01 01 01 01 01 01 01 AA AA AA AA"},
        {"discrete inputs", 0, 3, 3, 1, "01 02 01 06 00 00", "", "00 00 00 00 01 01"},
        {"registers are swapped to low byte first", 7, 5, 2, 4, "01 03 04 12 34 AB CD 00 00", "",
         "00 00 00 00 00 00 00 00 00 00 34 12 CD AB"},
        {"an odd last byte is ignored", 9, 0, 2, 3, "01 03 03 12 34 56 00 00", "", "34 12 00 00"},
        {"the data length bounds the registers", 7, 0, 2, 2, "01 03 04 12 34 56 78 00 00", "",
         "34 12 00 00"},
        {"more data than count is still stored", 8, 0, 1, 4, "01 03 04 12 34 56 78 00 00", "",
         "34 12 78 56"},
        {"a short reply stores what is there", 7, 0, 3, 6, "01 03 06 11 22 33", "",
         "22 11 00 00 00 00"},
        {"no data at all", 7, 0, 3, 6, "01 03", "", "00 00 00 00 00 00"},
    };
    for (const SaveRow& r : rows) {
        SCOPED_TRACE(r.what);
        resetDriver();
        SetComInfo(&info);
        if (*r.before) DataStorage[1][r.regType] = hex(r.before);
        pushRead(r.regType, r.addr, r.count, r.dataLen);
        QByteArray reply = hex(r.reply);
        SaveToLocalDataErea(&reply);
        EXPECT_EQ(hx(area(1, r.regType)), hx(hex(r.after)));
        EXPECT_EQ(PLC_driver.pendingFrames.size(), 1);  // the caller retires the frame
    }
    EXPECT_TRUE(rec.messages.isEmpty());
}

TEST_F(ImageTest, HeadFramesOfCodesWithoutAnAreaOfTheirOwnAreNotStored) {
    struct Row {
        int regType;
        QStringList diag;
    } rows[] = {
        {21, {QStringLiteral("SaveToLocalDataErea default 21 ")}},
        {30,
         {QStringLiteral("**** ERROR checkTheStorage default "),
          QStringLiteral("SaveToLocalDataErea default 30 ")}},
        {-2,
         {QStringLiteral("**** ERROR checkTheStorage default "),
          QStringLiteral("SaveToLocalDataErea default -2 ")}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.regType);
        resetDriver();
        rec.messages.clear();
        pushRead(r.regType, 35, 1, 2);
        QByteArray reply = hex("01 03 02 FF FF 00 00");
        SaveToLocalDataErea(&reply);
        EXPECT_EQ(rec.messages, r.diag);
        for (const QByteArray& a : DataStorage.value(1)) {
            EXPECT_EQ(a.count('\0'), a.size());  // nothing but the look-up's zeros
        }
        EXPECT_FALSE(hasArea(1, 21));
    }
}

TEST_F(ImageTest, TheReadHalfOfABitWritePatchesTheWriteHalfAndLeavesTheImage) {
    struct Row {
        int addr;
        const char* value;
        const char* reply;
        const char* wantWrite;
    } rows[] = {
        {53, "01", "01 03 02 12 14 B4 EB", "01 06 2D DB 12 34 FD EA"},
        {53, "00", "01 03 02 12 14 B4 EB", "01 06 2D DB 12 14 FC 32"},
        {53, "80", "01 03 02 12 14 B4 EB", "01 06 2D DB 12 34 FD EA"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value);
        resetDriver();
        SetComInfo(&info);
        RW_VAR bit = var(20, r.addr, 1);
        bit.direction = 1;
        bit.value = hex(r.value);
        PLC_driver.writeList.append(bit);
        Protocol read{};
        read.frame = hex("01 03 2D DB 00 01 FD 5D");
        read.frameLen = 8;
        read.dataPos = 3;
        read.dataLen = 2;
        read.var = var(7, 3, 1);
        read.var.special = -1;
        Protocol write{};
        write.frame = hex("01 06 2D DB 00 00 F0 9D");
        write.frameLen = 8;
        write.replyLen = 8;
        write.var = var(7, 3, 1);
        write.var.direction = 1;
        PLC_driver.pendingFrames << read << write;
        QByteArray reply = hex(r.reply);
        SaveToLocalDataErea(&reply);
        ASSERT_EQ(PLC_driver.pendingFrames.size(), 2);
        EXPECT_EQ(hx(PLC_driver.pendingFrames.at(1).frame), hx(hex(r.wantWrite)));
        EXPECT_EQ(hx(PLC_driver.pendingFrames.at(0).frame), hx(read.frame));
        EXPECT_TRUE(DataStorage.isEmpty());
        EXPECT_EQ(PLC_driver.writeList.size(), 1);
    }
}

TEST_F(ImageTest, HostReadsComeFromTheImageInHostByteOrder) {
    struct Row {
        const char* what;
        int multi, def, type;
        const char* text;
        int station, count;
        int wantResult;
        const char* want;
    } rows[] = {
        {"one register", 1, 1, 7, "10", 1, 1, 1, "34 12"},
        {"registers beyond the area read as zero", 1, 1, 7, "11", 1, 2, 1, "00 00 00 00"},
        {"bit area", 1, 1, 3, "2", 1, 3, 1, "01 00 01"},
        {"bits inside register 3", 1, 1, 20, "3.4", 1, 3, 1, "01 00 01"},
        {"bits inside the high byte", 1, 1, 20, "3.9", 1, 2, 1, "01 00"},
        {"bits past a short area", 1, 1, 21, "40.0", 1, 2, 1, "00 00"},
        {"station argument ignored without multi-station", 0, 2, 7, "0", 5, 1, 1, "22 22"},
        {"station argument used with multi-station", 1, 2, 7, "0", 5, 1, 1, "55 55"},
        {"count 0", 1, 1, 7, "10", 1, 0, 1, ""},
        {"negative count", 1, 1, 20, "3.4", 1, -4, 1, ""},
        {"unparsable text gives zeros", 1, 1, 1, "9", 1, 3, 0, "00 00 00 00 00 00"},
        {"unknown code gives zeros", 1, 1, 30, "1", 1, 2, 0, "00 00 00 00"},
        {"unparsable text and negative count", 1, 1, 7, "x", 1, -3, 0, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        resetDriver();
        SetComInfo(&info);
        DataStorage[1][7] = QByteArray(20, 0) + hex("34 12");
        DataStorage[1][7][6] = char(0x50);  // register 3: bits 4 and 6
        DataStorage[1][7][7] = char(0x02);  // register 3: bit 9
        DataStorage[1][3] = hex("00 00 01 00 01");
        DataStorage[1][12] = hex("FF FF");
        DataStorage[2][7] = hex("22 22");
        DataStorage[5][7] = hex("55 55");
        info.multiStation = r.multi;
        info.defStation = r.def;
        QByteArray out = hex("EE EE EE");
        EXPECT_EQ(get(r.type, r.text, r.station, &out, r.count), r.wantResult);
        EXPECT_EQ(hx(out), hx(hex(r.want)));
    }
}

TEST_F(ImageTest, AHostReadCreatesTheAreaItLooksAt) {
    QByteArray out;
    EXPECT_EQ(get(9, "0", 1, &out, 4), 1);
    EXPECT_EQ(out, QByteArray(8, 0));
    EXPECT_EQ(area(1, 9), QByteArray(8, 0));
}

TEST_F(ImageTest, HostReadsOfAbsurdSizeStayBounded) {
    QByteArray out;
    rec.messages.clear();
    get(7, "0", 1, &out, INT_MAX);
    EXPECT_LE(out.size(), 2 * kMaxUnits);
    EXPECT_FALSE(rec.messages.isEmpty());
    rec.messages.clear();
    EXPECT_EQ(get(7, "2000000000", 1, &out, 2), 1);
    EXPECT_EQ(out, QByteArray(4, 0));
    EXPECT_FALSE(rec.messages.isEmpty());
    EXPECT_LE(area(1, 7).size(), 16);
}

struct WriteRow {
    const char* what;
    int blockSize, type;
    const char* text;
    const char* values;
    int count;
    const char* want;  // addr:count:VALUE|...
};

TEST_F(ImageTest, HostWritesBecomeRecordsInControllerByteOrder) {
    const WriteRow rows[] = {
        {"one register per block", 1, 7, "100", "34 12 78 56", 2, "100:1:12 34|101:1:56 78"},
        {"one block", 10, 7, "100", "34 12 78 56", 2, "100:2:12 34 56 78"},
        {"block size 0 is one piece", 0, 7, "100", "34 12 78 56", 2, "100:2:12 34 56 78"},
        {"negative block size is one piece", -3, 7, "100", "34 12 78 56", 2, "100:2:12 34 56 78"},
        {"last piece holds the rest", 2, 24, "7", "01 00 02 00 03 00 04 00 05 00", 5,
         "7:2:00 01 00 02|9:2:00 03 00 04|11:1:00 05"},
        {"missing values are zero", 2, 7, "0", "34", 2, "0:2:00 34 00 00"},
        {"extra values are ignored", 4, 12, "0", "01 02 03 04", 1, "0:1:02 01"},
        {"one record per bit", 32, 3, "5", "01 00 01", 3, "5:1:01|6:1:00|7:1:01"},
        {"octal bit address", 32, 1, "10", "01", 1, "8:1:01"},
        {"missing bits are zero", 32, 2, "0", "01", 2, "0:1:01|1:1:00"},
        {"bits inside a word keep their bit address", 32, 20, "3.4", "01 00", 2, "52:1:01|53:1:00"},
        {"count 0 queues nothing", 32, 7, "0", "01 02", 0, ""},
        {"negative count queues nothing", 32, 3, "0", "01 02", -2, ""},
    };
    for (const WriteRow& r : rows) {
        SCOPED_TRACE(r.what);
        resetDriver();
        SetComInfo(&info);
        info.blockSize = r.blockSize;
        const int n = set(r.type, r.text, r.values, r.count);
        EXPECT_EQ(writes().toStdString(), r.want);
        EXPECT_EQ(n, PLC_driver.writeList.size());
        EXPECT_TRUE(DataStorage.isEmpty());  // link is up: framing mirrors later
    }
}

TEST_F(ImageTest, AHostWriteRecordCarriesTheCallersIdentity) {
    info.remoteMode = 2;
    info.ownLinkNo = 4;
    info.multiStation = 1;
    EXPECT_EQ(set(21, "2.3", "01", 1, 6, 9, 3), 1);
    ASSERT_EQ(PLC_driver.writeList.size(), 1);
    const RW_VAR& w = PLC_driver.writeList.first();
    EXPECT_EQ(w.kind, 6);
    EXPECT_EQ(w.id, 9);
    EXPECT_EQ(w.direction, 1);
    EXPECT_EQ(w.framingMode, 2);
    EXPECT_EQ(w.linkNo, 4);
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.name, QStringLiteral("op"));
    EXPECT_EQ(w.addrText, QStringLiteral("2.3"));
    EXPECT_EQ(w.regType, 21);
    EXPECT_EQ(w.addr, 35);
    EXPECT_EQ(w.station, 3);
    EXPECT_EQ(w.special, 0);
    EXPECT_EQ(w.extra, 0);

    info.multiStation = 0;
    info.defStation = 2;
    set(7, "0", "00 00", 1, 0, 0, 3);
    EXPECT_EQ(PLC_driver.writeList.last().station, 2);
}

TEST_F(ImageTest, ReadOnlyAreasAndUnusableAddressesQueueNothing) {
    for (int type : {0, 13, 17, 18, 19}) {
        EXPECT_EQ(set(type, "1", "01 00", 1), 0) << type;
    }
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_TRUE(DataStorage.isEmpty());

    RW_VAR waiting = var(7, 1, 1);
    AddListWriteVar(&waiting, 0);
    info.runMode = 0;
    EXPECT_EQ(set(7, "x", "01 00", 1), 0);
    EXPECT_FALSE(PLC_driver.failFlag);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
    EXPECT_TRUE(DataStorage.isEmpty());
}

TEST_F(ImageTest, WithoutALinkHostWritesGoToTheImageAndTheWriteListIsEmptied) {
    RW_VAR a = var(8, 1, 1);
    RW_VAR b = var(8, 2, 1);
    AddListWriteVar(&a, 0);
    AddListWriteVar(&b, 0);
    info.runMode = 0;
    info.blockSize = 1;
    EXPECT_EQ(set(7, "1", "34 12 78 56", 2), 4);  // list length after the last record
    EXPECT_TRUE(PLC_driver.failFlag);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_EQ(area(1, 7), hex("00 00 34 12 78 56"));

    // A read-only area still empties the list.
    AddListWriteVar(&a, 0);
    EXPECT_EQ(set(13, "1", "01 00", 1), 0);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
}

TEST_F(ImageTest, WhileTheLinkFailsHostWritesAreQueuedAndMirroredAtOnce) {
    PLC_driver.failFlag = true;
    EXPECT_EQ(set(7, "2", "34 12", 1), 1);
    EXPECT_EQ(set(3, "4", "01 01", 2), 3);
    EXPECT_EQ(set(20, "0.9", "07", 1), 4);
    EXPECT_EQ(area(1, 7), hex("00 02 00 00 34 12"));
    EXPECT_EQ(area(1, 3), hex("00 00 00 00 01 01"));
    EXPECT_TRUE(PLC_driver.failFlag);
}

TEST_F(ImageTest, HostWritesOfAbsurdSizeAreRefused) {
    info.blockSize = 1;
    rec.messages.clear();
    EXPECT_EQ(set(7, "0", "01 02", INT_MAX), 0);
    EXPECT_EQ(set(3, "0", "01", INT_MAX), 0);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_EQ(rec.messages.size(), 2);
}

struct LocalRow {
    const char* what;
    int type, addr, count;
    const char* value;
    const char* before;  // area (folded key) before
    const char* after;
};

TEST_F(ImageTest, WriteRecordsAreCopiedIntoTheImage) {
    const LocalRow rows[] = {
        {"register bytes swapped back", 7, 1, 2, "12 34 56 78", "", "00 00 34 12 78 56"},
        {"missing value bytes are zero", 12, 0, 2, "12 34 56", "FF FF FF FF", "34 12 00 56"},
        {"bit areas keep bit 0", 2, 0, 3, "FE 01 03", "AA AA AA", "00 01 01"},
        {"set bit 3 of register 2", 20, 35, 1, "01", "00 00 00 00 F0", "00 00 00 00 F8"},
        {"clear it, other bits stay", 20, 35, 1, "00", "00 00 00 00 FF", "00 00 00 00 F7"},
        {"any nonzero byte sets", 22, 1, 2, "02 80", "00", "06"},
        {"grows a short area", 23, 35, 1, "01", "", "00 00 00 00 08"},
        {"count 0 writes nothing", 7, 0, 0, "12 34", "AA AA", "AA AA"},
        {"negative count writes nothing", 7, 0, -2, "12 34", "AA AA", "AA AA"},
        {"negative bit address is ignored", 21, -3, 1, "01", "00 00", "00 00"},
    };
    for (const LocalRow& r : rows) {
        SCOPED_TRACE(r.what);
        resetDriver();
        SetComInfo(&info);
        const int key = getPlcReg(r.type);
        if (*r.before) DataStorage[1][key] = hex(r.before);
        RW_VAR w = var(r.type, r.addr, r.count);
        w.value = hex(r.value);
        WriteDataToLocal(&w);
        EXPECT_EQ(hx(area(1, key)), hx(hex(r.after)));
    }
    EXPECT_TRUE(rec.messages.isEmpty());
}

TEST_F(ImageTest, WriteRecordsOfReadOnlyAreasAreReportedAndNotStored) {
    for (int type : {0, 13, 17, 18, 19, 26, -1}) {
        SCOPED_TRACE(type);
        resetDriver();
        rec.messages.clear();
        DataStorage[1][type] = hex("AA AA AA AA AA AA AA AA AA AA AA AA");
        RW_VAR w = var(type, 5, 1);
        w.value = hex("12 34");
        WriteDataToLocal(&w);
        EXPECT_EQ(rec.messages.last(),
                  QStringLiteral("WriteDataToLocal default 1 %1 5 ").arg(type));
        EXPECT_EQ(hx(area(1, type)), "AA AA AA AA AA AA AA AA AA AA AA AA");
    }
}

}  // namespace
}  // namespace plctest
