// Frame building: checksums, digit conversion, the controller's address map
// and the request frames of both framings, byte for byte.
#include <QtCore/QByteArray>

#include "test_support.h"

namespace plctest {
namespace {

unsigned char* bytes(QByteArray& b) { return reinterpret_cast<unsigned char*>(b.data()); }

// ---------------------------------------------------------------------------
// Checksums and digits

struct SumRow {
    const char* what;
    unsigned short (*fn)(unsigned char*, unsigned short);
    QByteArray input;
    unsigned expected;
};

TEST(Checksums, MatchTheirCatalogueCheckValues) {
    const SumRow rows[] = {
        {"crc of 123456789", CalCRC, "123456789", 0x4B37},
        {"crc of nothing", CalCRC, "", 0xFFFF},
        {"crc of a read request", CalCRC, hex("01 03 00 00 00 0A"), 0xCDC5},
        {"crc of a single zero byte", CalCRC, hex("00"), 0x40BF},
        {"sum of 123456789", CalSUM, "123456789", 0x01DD},
        {"sum of nothing", CalSUM, "", 0},
        {"sum of 300 x FF wraps at 16 bits", CalSUM, QByteArray(300, '\xFF'), 0x2AD4},
        {"xor of 123456789", CalXOR, "123456789", 0x31},
        {"xor of abc", CalXOR, "abc", 0x60},
        {"xor of one byte is that byte", CalXOR, hex("A5"), 0xA5},
    };
    for (const SumRow& r : rows) {
        QByteArray in = r.input;
        EXPECT_EQ(r.fn(bytes(in), static_cast<unsigned short>(in.size())), r.expected) << r.what;
    }
}

TEST(Checksums, LrcIsTheNegatedByteSumWithZeroBecoming256) {
    const struct {
        QByteArray input;
        int expected;
    } rows[] = {
        {"", 256}, {hex("80 80"), 256}, {"abc", 0xDA}, {"123456789", 0x23}, {hex("01"), 0xFF},
    };
    for (const auto& r : rows) {
        QByteArray in = r.input;
        EXPECT_EQ(CalLRC(bytes(in), static_cast<unsigned short>(in.size())), r.expected)
            << toHex(r.input).toStdString();
    }
}

TEST(AsciiDigits, ConvertBothWaysWithoutRangeChecks) {
    const int toAscii[][2] = {{0, 0x30}, {9, 0x39}, {10, 0x41}, {15, 0x46}, {16, 0x47}, {-1, 0x2F}};
    for (const auto& r : toAscii) EXPECT_EQ(DigitalToASCII(r[0]), r[1]) << r[0];

    const int toDigit[][2] = {{0x2F, 0}, {0x30, 0},  {0x39, 9},  {0x3A, 10}, {0x3F, 15},
                              {0x40, 0}, {0x41, 10}, {0x46, 15}, {0x61, 42}, {-5, 0}};
    for (const auto& r : toDigit) EXPECT_EQ(ASCIIToDigital(r[0]), r[1]) << r[0];
}

// ---------------------------------------------------------------------------
// Address map

using AddressMap = DriverTest;

TEST_F(AddressMap, GivesEachAreaItsBaseAndRejectsTheRest) {
    const int bases[26] = {0,     1024,  3072,  11520, 11264, 11776, 0,     11736, 19928,
                           19936, 19944, 20200, 1736,  0,     0,     512,   1536,  1024,
                           1088,  1600,  0,     0,     0,     0,     20512, 22560};
    for (int type = 0; type <= 25; ++type) EXPECT_EQ(getOffsetAddress(type), bases[type]) << type;
    EXPECT_EQ(getOffsetAddress(26), 0);
    EXPECT_EQ(getOffsetAddress(-1), 0);
    EXPECT_EQ(rec.messages,
              QStringList({"getOffsetAddress default 20 ", "getOffsetAddress default 21 ",
                           "getOffsetAddress default 22 ", "getOffsetAddress default 23 ",
                           "getOffsetAddress default 26 ", "getOffsetAddress default -1 "}));
}

// ---------------------------------------------------------------------------
// Local read frames

class FrameTest : public DriverTest {
protected:
    // Marks the counters so that an untouched COMINFO can be told apart.
    void markCounters() {
        info.framesDone = 5;
        info.framesExpected = 7;
    }
    const Protocol& only() {
        EXPECT_EQ(PLC_driver.pendingFrames.size(), 1);
        return PLC_driver.pendingFrames.first();
    }
    void expectCountersUntouched() {
        EXPECT_EQ(info.framesDone, 5);
        EXPECT_EQ(info.framesExpected, 7);
    }
};

struct LocalReadRow {
    int station, type, addr, count;
    const char* frame;
    int dataLen;
};

TEST_F(FrameTest, LocalReadsPickTheFunctionAndAddressOfTheirArea) {
    const LocalReadRow rows[] = {
        {1, 0, 5, 10, "01 02 00 05 00 0A E8 0C", 2},      // discrete inputs
        {1, 7, 100, 2, "01 03 2E 3C 00 02 0D 2F", 4},     // holding, base 11736
        {1, 17, 10, 1, "01 04 04 0A 00 01 10 F8", 2},     // input registers
        {1, 1, 0, 9, "01 01 04 00 00 09 FD 3C", 2},       // 9 bits need 2 bytes
        {1, 1, 0, 0, "01 01 04 00 00 00 3D 3A", 0},       // zero count still goes out
        {1, 6, 7, 3, "01 01 00 07 00 03 CD CA", 1},       // coils at 0 ...
        {1, 0, 7, 3, "01 02 00 07 00 03 89 CA", 1},       // ... same address, inputs
        {0, 14, 3, 1, "00 03 00 03 00 01 75 DB", 2},      // station 0 is not special
        {1, 25, 43000, 1, "01 03 00 18 00 01 04 0D", 2},  // 22560 + 43000 cut to 16 bits
        {3, 13, 2, 4, "03 04 00 02 00 04 51 EB", 8},
        {2, 24, 0, 125, "02 03 50 20 00 7D 95 12", 250},
        {1, 19, 4, 2, "01 04 06 44 00 02 31 56", 4},
        {1, 5, 1, 16, "01 01 2E 01 00 10 65 2E", 2},
        {1, 18, 1, 1, "01 04 04 41 00 01 60 EE", 2},
        {1, 2, 0, 1, "01 01 0C 00 00 01 FE 9A", 1},
        {1, 3, 0, 1, "01 01 2D 00 00 01 F4 A6", 1},
        {1, 4, 0, 1, "01 01 2C 00 00 01 F5 5A", 1},
        {1, 8, 0, 1, "01 03 4D D8 00 01 13 5D", 2},
        {1, 9, 0, 1, "01 03 4D E0 00 01 92 90", 2},
        {1, 10, 0, 1, "01 03 4D E8 00 01 13 52", 2},
        {1, 11, 0, 1, "01 03 4E E8 00 01 13 16", 2},
        {1, 12, 0, 1, "01 03 06 C8 00 01 05 7C", 2},
        {1, 15, 0, 1, "01 03 02 00 00 01 85 B2", 2},
        {1, 16, 0, 1, "01 03 06 00 00 01 84 82", 2},
        {0x101, 7, 0, 1, "01 03 2D D8 00 01 0D 5D", 2},  // station cut to its low byte
    };
    for (const LocalReadRow& r : rows) {
        SCOPED_TRACE(r.frame);
        PLC_driver.pendingFrames.clear();
        markCounters();
        RW_VAR v = var(r.type, r.addr, r.count, r.station);
        v.kind = 9;
        v.id = 4242;
        v.name = "tank level";
        v.value = hex("AA BB");
        ReadAnalog(&v);
        const Protocol& p = only();
        EXPECT_EQ(toHex(p.frame), QString(r.frame));
        EXPECT_EQ(p.frameLen, 8);
        EXPECT_EQ(p.dataLen, r.dataLen);
        EXPECT_EQ(p.replyLen, r.dataLen + 5);
        EXPECT_EQ(p.dataPos, 3);
        EXPECT_EQ(p.var.kind, 9);
        EXPECT_EQ(p.var.id, 4242);
        EXPECT_EQ(p.var.name, QString("tank level"));
        EXPECT_EQ(p.var.value, hex("AA BB"));
        EXPECT_EQ(p.var.addr, r.addr);
        EXPECT_EQ(info.framesDone, 0);
        EXPECT_EQ(info.framesExpected, 1);
    }
    EXPECT_TRUE(rec.messages.isEmpty());
}

TEST_F(FrameTest, ReadRegisterQueuesExactlyWhatReadAnalogQueues) {
    RW_VAR v = var(7, 100, 2);
    ReadRegister(&v);
    EXPECT_EQ(toHex(only().frame), QString("01 03 2E 3C 00 02 0D 2F"));
}

TEST_F(FrameTest, LocalReadsOfBitInWordOrUnknownTypesAreRefused) {
    const int types[] = {20, 21, 22, 23, 26, -1};
    QStringList expected;
    for (int t : types) {
        markCounters();
        RW_VAR v = var(t, 0, 1);
        ReadAnalog(&v);
        expected << QString("ReadAnalog default 1 %1 0 1 ").arg(t);
        EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty()) << t;
        expectCountersUntouched();
    }
    EXPECT_EQ(rec.messages, expected);
}

// ---------------------------------------------------------------------------
// Local write frames

struct LocalWriteRow {
    int station, type, addr, count;
    const char* value;
    const char* frame;
    int replyLen;
};

TEST_F(FrameTest, LocalWritesUseCoilSingleOrMultipleRegisterFunctions) {
    const LocalWriteRow rows[] = {
        {2, 1, 3, 1, "01", "02 05 04 03 FF 00 7D 39", 8},
        {2, 1, 3, 1, "00", "02 05 04 03 00 00 3C C9", 8},
        {2, 1, 3, 1, "80", "02 05 04 03 FF 00 7D 39", 8},  // any nonzero byte is on
        {2, 1, 3, 1, "", "02 05 04 03 00 00 3C C9", 8},    // no value is off
        {2, 1, 3, 5, "01", "02 05 04 03 FF 00 7D 39", 8},  // a coil write sets one coil
        {1, 6, 0, 1, "01", "01 05 00 00 FF 00 8C 3A", 8},
        {1, 12, 4, 1, "12 34", "01 06 06 CC 12 34 44 0A", 8},
        {0, 12, 4, 1, "12 34", "00 06 06 CC 12 34 45 DB", 0},  // broadcast: no reply
        {1, 7, 100, 2, "00 01 00 02", "01 10 2E 3C 00 02 04 00 01 00 02 F5 4E", 8},
        {1, 7, 0, 3, "01 02 03 04", "01 10 2D D8 00 03 06 01 02 03 04 E7 1A", 8},
        {1, 14, 9, 1, "AB CD", "01 06 00 09 AB CD E7 6D", 8},
        {1, 25, 43000, 1, "00 01", "01 06 00 18 00 01 C8 0D", 8},
        {1, 7, 0, 1, "", "01 06 2D D8 FC D3", 8},  // value bytes go out as they are
    };
    for (const LocalWriteRow& r : rows) {
        SCOPED_TRACE(r.frame);
        PLC_driver.pendingFrames.clear();
        markCounters();
        RW_VAR v = var(r.type, r.addr, r.count, r.station);
        v.direction = 1;
        v.value = hex(r.value);
        WriteAnalog(&v);
        const Protocol& p = only();
        EXPECT_EQ(toHex(p.frame), QString(r.frame));
        EXPECT_EQ(p.frameLen, p.frame.size());
        EXPECT_EQ(p.replyLen, r.replyLen);
        EXPECT_EQ(p.dataPos, 0);
        EXPECT_EQ(p.dataLen, 0);
        EXPECT_EQ(p.var.value, hex(r.value));
        EXPECT_EQ(info.framesDone, 0);
        EXPECT_EQ(info.framesExpected, 1);
    }
    EXPECT_TRUE(rec.messages.isEmpty());
}

TEST_F(FrameTest, LocalWritesToReadOnlyOrUnknownTypesAreRefused) {
    const int types[] = {0, 13, 17, 18, 19, 20, 21, 22, 23, 26, -1};
    QStringList expected;
    for (int t : types) {
        markCounters();
        RW_VAR v = var(t, 0, 1);
        v.value = hex("00 01");
        WriteAnalog(&v);
        expected << QString("WriteAnalog default %1 ").arg(t);
        EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty()) << t;
        expectCountersUntouched();
    }
    EXPECT_EQ(rec.messages, expected);
}

TEST_F(FrameTest, PlainWriteIsMirroredIntoTheImageUnlessTheLinkHasFailed) {
    for (bool failed : {false, true}) {
        SCOPED_TRACE(failed ? "failFlag set" : "failFlag clear");
        DataStorage.clear();
        PLC_driver.pendingFrames.clear();
        PLC_driver.failFlag = failed;
        RW_VAR v = var(12, 4, 1);
        v.direction = 1;
        v.value = hex("12 34");
        WriteRegister(&v);
        EXPECT_EQ(toHex(only().frame), QString("01 06 06 CC 12 34 44 0A"));
        const QByteArray area = DataStorage.value(1).value(12);
        const QByteArray expected = failed ? QByteArray(2, 0) : hex("34 12");
        EXPECT_EQ(area.mid(8, 2).leftJustified(2, 0), expected);
    }
}

TEST_F(FrameTest, UnwritableTypesAreDroppedFromTheWriteList) {
    const int types[] = {0, 13, 17, 18, 19, 26, -1};
    for (int t : types) {
        SCOPED_TRACE(t);
        rec.messages.clear();
        markCounters();
        RW_VAR bad = var(t, 3, 1);
        RW_VAR next = var(12, 0, 1);
        next.id = 99;
        PLC_driver.writeList = {bad, next};
        WriteRegister(&bad);
        EXPECT_EQ(rec.messages, QStringList(QString("WriteRegister default 1 %1 3 1 ").arg(t)));
        ASSERT_EQ(PLC_driver.writeList.size(), 1);
        EXPECT_EQ(PLC_driver.writeList.first().id, 99);
        EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
        EXPECT_TRUE(DataStorage.isEmpty());
        expectCountersUntouched();
    }
}

TEST_F(FrameTest, BitWriteOnAReadOnlyWordAreaQueuesNoHalfPair) {
    markCounters();
    RW_VAR bit = var(22, 53, 1);
    bit.value = hex("01");
    PLC_driver.writeList = {bit};
    WriteRegister(&bit);
    EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    ASSERT_EQ(rec.messages.size(), 1);
    EXPECT_TRUE(rec.messages.first().startsWith("WriteRegister default"))
        << rec.messages.first().toStdString();
    expectCountersUntouched();
}

struct BitPairRow {
    int type, addr, area, reg;
    const char* read;
    const char* write;
};

TEST_F(FrameTest, BitInWordWritesBecomeAReadThenAPlaceholderWrite) {
    const BitPairRow rows[] = {
        {20, 53, 7, 3, "01 03 2D DB 00 01 FD 5D", "01 06 2D DB 00 00 F0 9D"},
        {21, 35, 12, 2, "01 03 06 CA 00 01 A4 BC", "01 06 06 CA 00 00 A9 7C"},
        {23, 15, 14, 0, "01 03 00 00 00 01 84 0A", "01 06 00 00 00 00 89 CA"},
    };
    for (const BitPairRow& r : rows) {
        SCOPED_TRACE(r.read);
        PLC_driver.pendingFrames.clear();
        DataStorage.clear();
        RW_VAR v = var(r.type, r.addr, 1);
        v.direction = 1;
        v.value = hex("01");
        const RW_VAR before = v;
        WriteRegister(&v);
        ASSERT_EQ(PLC_driver.pendingFrames.size(), 2);
        const Protocol& rd = PLC_driver.pendingFrames[0];
        const Protocol& wr = PLC_driver.pendingFrames[1];
        EXPECT_EQ(toHex(rd.frame), QString(r.read));
        EXPECT_EQ(toHex(wr.frame), QString(r.write));
        EXPECT_EQ(rd.replyLen, 7);
        EXPECT_EQ(wr.replyLen, 8);
        EXPECT_EQ(rd.var.special, -1);
        EXPECT_EQ(rd.var.direction, 0);
        EXPECT_EQ(wr.var.special, 0);
        EXPECT_EQ(wr.var.direction, 1);
        for (const Protocol* p : {&rd, &wr}) {
            EXPECT_EQ(p->var.regType, r.area);
            EXPECT_EQ(p->var.addr, r.reg);
            EXPECT_EQ(p->var.count, 1);
        }
        EXPECT_EQ(info.framesExpected, 2);
        EXPECT_EQ(info.framesDone, 0);
        // The caller's record is untouched and the bit shows in the image at once.
        EXPECT_EQ(v.regType, before.regType);
        EXPECT_EQ(v.addr, before.addr);
        const QByteArray area = DataStorage.value(1).value(r.area);
        ASSERT_GT(area.size(), r.addr / 8);
        EXPECT_EQ(static_cast<uint8_t>(area[r.addr / 8]), 1u << (r.addr % 8));
    }
}

// ---------------------------------------------------------------------------
// Remote frames

struct RemoteReadRow {
    int kind, direction, link, station, type, addr, count, special, extra;
    const char* frame;
    int dataLen;
};

RW_VAR remoteVar(int kind, int direction, int link, int station, int type, int addr, int count,
                 int special, int extra) {
    RW_VAR v = emptyRwVar();
    v.kind = kind;
    v.direction = direction;
    v.linkNo = link;
    v.station = station;
    v.regType = type;
    v.addr = addr;
    v.count = count;
    v.special = special;
    v.extra = extra;
    return v;
}

TEST_F(FrameTest, RemoteReadsCarryTheWholeVariableInTheirHeader) {
    const RemoteReadRow rows[] = {
        {0, 0, 0, 1, 7, 100, 2, 0, 0,
         "16 00 00 00 01 00 07 00 00 00 64 00 02 00 00 00 00 00 00 00 00 84", 4},
        {5, 0, 2, 3, 0, 10, 16, 0, 0,
         "16 05 00 02 03 00 00 00 00 00 0A 00 10 00 00 00 00 00 00 00 00 3A", 2},
        {0, 0, 0, 1, 7, 0, 1, -1, 0,
         "16 00 00 00 01 00 07 00 00 00 00 00 01 FF FF FF FF 00 00 00 00 1B", 2},
        {0, 0, 0, 1, 9, 70000, 1, 0, 0,  // no address map, no 16-bit cut
         "16 00 00 00 01 00 09 00 01 11 70 00 01 00 00 00 00 00 00 00 00 A3", 2},
        {0, 0, 0, 1, 25, 1, 125, 0, 0,
         "16 00 00 00 01 00 19 00 00 00 01 00 7D 00 00 00 00 00 00 00 00 AE", 250},
        {1, 0, 0, 1, 6, 0, 9, 0, 0,
         "16 01 00 00 01 00 06 00 00 00 00 00 09 00 00 00 00 00 00 00 00 27", 2},
        {300, 0, 0x1FF, 0x102, 7, -2, 3, 0, 0x01020304,  // every field cut to its width
         "16 2C 00 FF 02 00 07 FF FF FF FE 00 03 00 00 00 00 01 02 03 04 52", 6},
    };
    for (const RemoteReadRow& r : rows) {
        SCOPED_TRACE(r.frame);
        PLC_driver.pendingFrames.clear();
        markCounters();
        RW_VAR v = remoteVar(r.kind, r.direction, r.link, r.station, r.type, r.addr, r.count,
                             r.special, r.extra);
        Remote_ReadVar(&v);
        const Protocol& p = only();
        EXPECT_EQ(toHex(p.frame), QString(r.frame));
        EXPECT_EQ(p.frameLen, 22);
        EXPECT_EQ(p.dataLen, r.dataLen);
        EXPECT_EQ(p.replyLen, r.dataLen + 5);
        EXPECT_EQ(p.dataPos, 3);
        EXPECT_EQ(p.var.special, r.special);
        EXPECT_EQ(info.framesDone, 0);
        EXPECT_EQ(info.framesExpected, 1);
    }
}

TEST_F(FrameTest, RemoteReadsOfUnreadableTypesQueueNothingAndSayNothing) {
    for (int t : {20, 21, 22, 23, 26, -1}) {
        markCounters();
        RW_VAR v = remoteVar(0, 0, 0, 1, t, 0, 1, 0, 0);
        Remote_ReadVar(&v);
        EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty()) << t;
        expectCountersUntouched();
    }
    EXPECT_TRUE(rec.messages.isEmpty());
}

struct RemoteWriteRow {
    int kind, station, type, addr, count;
    const char* value;
    const char* frame;
    int replyLen;
};

TEST_F(FrameTest, RemoteWritesAppendTheValueBytesAndResealTheLength) {
    const RemoteWriteRow rows[] = {
        {0, 1, 12, 4, 1, "12 34",
         "18 00 01 00 01 00 0C 00 00 00 04 00 01 00 00 00 00 00 00 00 00 12 34 71", 8},
        {0, 0, 12, 4, 1, "12 34",
         "18 00 01 00 00 00 0C 00 00 00 04 00 01 00 00 00 00 00 00 00 00 12 34 70", 0},
        {0, 1, 7, 0, 1, "", "16 00 01 00 01 00 07 00 00 00 00 00 01 00 00 00 00 00 00 00 00 20", 8},
        {0, 1, 3, 5, 2, "01 00",
         "18 00 01 00 01 00 03 00 00 00 05 00 02 00 00 00 00 00 00 00 00 01 00 25", 8},
        // A bit inside a word goes out as it is: one frame, bit address 53.
        {9, 1, 20, 53, 1, "01",
         "17 09 01 00 01 00 14 00 00 00 35 00 01 00 00 00 00 00 00 00 00 01 6D", 8},
    };
    for (const RemoteWriteRow& r : rows) {
        SCOPED_TRACE(r.frame);
        PLC_driver.pendingFrames.clear();
        markCounters();
        RW_VAR v = remoteVar(r.kind, 1, 0, r.station, r.type, r.addr, r.count, 0, 0);
        v.value = hex(r.value);
        Remote_WriteVar(&v);
        const Protocol& p = only();
        EXPECT_EQ(toHex(p.frame), QString(r.frame));
        EXPECT_EQ(p.frameLen, p.frame.size());
        EXPECT_EQ(p.replyLen, r.replyLen);
        EXPECT_EQ(p.dataPos, 0);
        EXPECT_EQ(p.dataLen, 0);
        EXPECT_EQ(info.framesDone, 0);
        EXPECT_EQ(info.framesExpected, 1);
    }
}

TEST_F(FrameTest, RemoteWriteOfMoreThan233BytesKeepsOnlyTheLowLengthByte) {
    RW_VAR v = remoteVar(0, 1, 0, 1, 7, 0, 117, 0, 0);
    v.value = QByteArray(234, '\x5A');
    Remote_WriteVar(&v);
    const Protocol& p = only();
    ASSERT_EQ(p.frame.size(), 256);
    EXPECT_EQ(p.frameLen, 256);
    EXPECT_EQ(static_cast<uint8_t>(p.frame[0]), 0);
    EXPECT_EQ(static_cast<uint8_t>(p.frame[255]), 194);
}

TEST_F(FrameTest, RemoteWritesAlwaysMirrorIntoTheImage) {
    PLC_driver.failFlag = true;
    RW_VAR v = remoteVar(0, 1, 0, 1, 12, 4, 1, 0, 0);
    v.value = hex("12 34");
    Remote_WriteVar(&v);
    EXPECT_EQ(DataStorage.value(1).value(12).mid(8, 2), hex("34 12"));
}

}  // namespace
}  // namespace plctest
