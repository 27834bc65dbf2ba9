// Frame building: checksums, digit conversion and the request frames of both
// framings, byte for byte.
#include <random>
#include <tuple>

#include "test_support.h"

namespace plctest {
namespace {

using Check = int (*)(unsigned char*, unsigned short);
int crc(unsigned char* b, unsigned short n) { return CalCRC(b, n); }
int sum(unsigned char* b, unsigned short n) { return CalSUM(b, n); }
int xorOf(unsigned char* b, unsigned short n) { return CalXOR(b, n); }

TEST(Checksums, MatchTheirKnownValues) {
    const std::tuple<Check, QByteArray, int> rows[] = {
        // clang-format off
        {crc, "123456789", 0x4B37}, {crc, "", 0xFFFF}, {crc, hex("01 03 00 00 00 0A"), 0xCDC5},
        {sum, "123456789", 0x01DD}, {sum, "", 0}, {sum, QByteArray(300, '\xFF'), 0x2AD4},
        {CalLRC, "", 256}, {CalLRC, hex("80 80"), 256}, {CalLRC, "abc", 0xDA}, {CalLRC, hex("01"), 0xFF},
        {xorOf, "abc", 0x60}, {xorOf, hex("A5"), 0xA5},
        // clang-format on
    };
    for (auto [fn, in, want] : rows) {
        const auto n = static_cast<unsigned short>(in.size());
        EXPECT_EQ(fn(reinterpret_cast<unsigned char*>(in.data()), n), want)
            << toHex(in).toStdString();
    }
}

// CalCRC against the bit-by-bit definition on random buffers of every length
// up to 300 bytes, so that every split into eight-byte steps and a tail is met.
TEST(Checksums, CrcMatchesTheBitwiseDefinitionOnEveryLength) {
    std::mt19937 rng(1);
    for (int n = 0; n <= 300; ++n) {
        QByteArray b(n, '\0');
        for (char& c : b) c = char(rng());
        unsigned want = 0xFFFF;
        for (char c : b) {
            want ^= uint8_t(c);
            for (int bit = 0; bit < 8; ++bit) want = want & 1 ? (want >> 1) ^ 0xA001 : want >> 1;
        }
        EXPECT_EQ(CalCRC(reinterpret_cast<unsigned char*>(b.data()), uint16_t(n)), want) << n;
    }
}

TEST(AsciiDigits, ConvertBothWaysWithoutRangeChecks) {
    const int toAscii[][2] = {{0, 0x30}, {9, 0x39}, {10, 0x41}, {15, 0x46}, {16, 0x47}, {-1, 0x2F}};
    for (const auto& r : toAscii) EXPECT_EQ(DigitalToASCII(r[0]), r[1]) << r[0];
    const int toDigit[][2] = {{0x2F, 0}, {0x30, 0},  {0x3A, 10}, {0x3F, 15},
                              {0x40, 0}, {0x46, 15}, {0x61, 42}};
    for (const auto& r : toDigit) EXPECT_EQ(ASCIIToDigital(r[0]), r[1]) << r[0];
}

using FrameTest = DriverTest;

// A record with a value is a write; the name shows that the whole record is copied.
RW_VAR rv(const char* value, int station, int type, int addr, int count, int kind = 0, int link = 0,
          int special = 0, int extra = 0) {
    return RW_VAR{kind, 0,    *value ? 1 : 0, 0,     link,    0,     "tank level", "",
                  type, addr, station,        count, special, extra, hex(value)};
}
using Counters = std::pair<int, int>;  // framesDone, framesExpected

// The rows cover each function and shape of frame; every area's base is
// checked end to end against the simulator (tests/integration), every field
// against a model by the sequence fuzzer.
TEST_F(FrameTest, EachBuilderQueuesOneFrameWithItsReplyExpectations) {
    const std::tuple<void (*)(RW_VAR*), RW_VAR, const char*, int> rows[] = {
        // clang-format off
        // builder, record (value, station, type, addr, count, ...), frame, replyLen
        {ReadRegister, rv("", 1, 0, 5, 10), "01 02 00 05 00 0A E8 0C", 7},
        {ReadRegister, rv("", 1, 7, 100, 2), "01 03 2E 3C 00 02 0D 2F", 9},
        {ReadRegister, rv("", 1, 17, 10, 1), "01 04 04 0A 00 01 10 F8", 7},
        {ReadRegister, rv("", 1, 1, 0, 9), "01 01 04 00 00 09 FD 3C", 7},  // 9 bits in 2 bytes
        {ReadRegister, rv("", 0, 14, 3, 1), "00 03 00 03 00 01 75 DB", 7},  // station 0 still answers
        {ReadRegister, rv("", 1, 25, 43000, 1), "01 03 00 18 00 01 04 0D", 7},  // address cut to 16 bits
        {ReadRegister, rv("", 2, 24, 0, 125), "02 03 50 20 00 7D 95 12", 255},
        {ReadRegister, rv("", 0x101, 7, 0, 1), "01 03 2D D8 00 01 0D 5D", 7},  // station's low byte
        {WriteAnalog, rv("01", 2, 1, 3, 1), "02 05 04 03 FF 00 7D 39", 8},
        {WriteAnalog, rv("", 2, 1, 3, 1), "02 05 04 03 00 00 3C C9", 8},  // no value is off
        {WriteAnalog, rv("80", 2, 1, 3, 5), "02 05 04 03 FF 00 7D 39", 8},  // one coil, any nonzero is on
        {WriteAnalog, rv("12 34", 1, 12, 4, 1), "01 06 06 CC 12 34 44 0A", 8},
        {WriteAnalog, rv("12 34", 0, 12, 4, 1), "00 06 06 CC 12 34 45 DB", 0},  // broadcast: no reply
        {WriteAnalog, rv("00 01 00 02", 1, 7, 100, 2), "01 10 2E 3C 00 02 04 00 01 00 02 F5 4E", 8},
        {WriteAnalog, rv("", 1, 7, 0, 1), "01 06 2D D8 FC D3", 8},  // value bytes go out as they are
        {Remote_ReadVar, rv("", 3, 0, 10, 16, 5, 2), "16 05 00 02 03 00 00 00 00 00 0A 00 10 00 00 00 00 00 00 00 00 3A", 7},
        {Remote_ReadVar, rv("", 1, 7, 0, 1, 0, 0, -1), "16 00 00 00 01 00 07 00 00 00 00 00 01 FF FF FF FF 00 00 00 00 1B", 7},
        {Remote_ReadVar, rv("", 0x102, 7, -2, 3, 300, 0x1FF, 0, 0x01020304), "16 2C 00 FF 02 00 07 FF FF FF FE 00 03 00 00 00 00 01 02 03 04 52", 11},
        {Remote_WriteVar, rv("12 34", 1, 12, 4, 1), "18 00 01 00 01 00 0C 00 00 00 04 00 01 00 00 00 00 00 00 00 00 12 34 71", 8},
        {Remote_WriteVar, rv("12 34", 0, 12, 4, 1), "18 00 01 00 00 00 0C 00 00 00 04 00 01 00 00 00 00 00 00 00 00 12 34 70", 0},
        {Remote_WriteVar, rv("01", 1, 20, 53, 1, 9), "17 09 01 00 01 00 14 00 00 00 35 00 01 00 00 00 00 00 00 00 00 01 6D", 8},  // bit stays whole
        // clang-format on
    };
    for (const auto& [build, record, frame, replyLen] : rows) {
        SCOPED_TRACE(frame);
        PLC_driver.pendingFrames.clear();
        info.framesDone = info.framesExpected = 5;
        RW_VAR v = record;
        build(&v);
        ASSERT_EQ(PLC_driver.pendingFrames.size(), 1);
        const Protocol& p = PLC_driver.pendingFrames.first();
        const bool read = build == ReadRegister || build == Remote_ReadVar;
        EXPECT_EQ(toHex(p.frame), QString(frame));
        EXPECT_EQ(p.frameLen, p.frame.size());
        EXPECT_EQ(p.replyLen, replyLen);
        EXPECT_EQ(Counters(p.dataPos, p.dataLen),
                  read ? Counters(3, replyLen - 5) : Counters(0, 0));
        EXPECT_EQ(p.var.name, record.name);  // a full copy rides along
        EXPECT_EQ(p.var.value, record.value);
        EXPECT_EQ(Counters(info.framesDone, info.framesExpected), Counters(0, 1));
    }
    EXPECT_TRUE(rec.messages.isEmpty());
    // 234 value bytes: the length byte keeps the low 8 bits of 256.
    PLC_driver.pendingFrames.clear();
    RW_VAR big = rv("", 1, 7, 0, 117);
    big.value = QByteArray(234, '\x5A');
    Remote_WriteVar(&big);
    EXPECT_EQ(toHex(PLC_driver.pendingFrames.first().frame.mid(254)), QString("5A C1"));
    EXPECT_EQ(PLC_driver.pendingFrames.first().frame[0], 0);
}

TEST_F(FrameTest, TypesWithoutAFrameQueueNothingAndLeaveTheCountersAlone) {
    const std::tuple<void (*)(RW_VAR*), std::vector<int>, const char*> rows[] = {
        // builder, refused types, diagnostic (%1: the type; empty: silent)
        {ReadRegister, {20, 21, 22, 23, 26, -1}, "ReadAnalog default 1 %1 3 1 "},
        {WriteAnalog, {0, 13, 17, 18, 19, 20, 21, 22, 23, 26, -1}, "WriteAnalog default %1 "},
        {WriteRegister, {0, 13, 17, 18, 19, 22, 26, -1}, "WriteRegister default 1 %1 3 1 "},
        {Remote_ReadVar, {20, 21, 22, 23, 26, -1}, ""},
    };
    for (const auto& [build, types, diag] : rows) {
        for (int t : types) {
            SCOPED_TRACE(testing::Message() << diag << "/" << t);
            rec = Recorder();
            info.framesDone = info.framesExpected = 5;
            RW_VAR bad = rv("01", 1, t, 3, 1);
            // The second entry is another request (kind 5): it stays queued.
            PLC_driver.writeList = {bad, rv("00 00", 1, 12, 0, 1, 5)};
            build(&bad);
            EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
            EXPECT_EQ(Counters(info.framesDone, info.framesExpected), Counters(5, 5));
            EXPECT_TRUE(DataStorage.isEmpty());
            EXPECT_EQ(rec.messages, *diag ? QStringList(QString(diag).arg(t)) : QStringList());
            // Only WriteRegister drops the entry being served; a bit of area
            // 13 was a host write waiting for an outcome, so it is reported.
            const bool dropped = build == WriteRegister;
            EXPECT_EQ(PLC_driver.writeList.size(), dropped ? 1 : 2);
            EXPECT_EQ(PLC_driver.writeList.last().regType, 12);
            EXPECT_EQ(rec.done.size(), dropped && t == 22 ? 1u : 0u);
            EXPECT_EQ(rec.fails.size(), rec.done.size());
            for (const DoneCall& d : rec.done) EXPECT_EQ(d.result, 2);
        }
    }
    EXPECT_EQ(getOffsetAddress(20) + getOffsetAddress(-1), 0);
    EXPECT_EQ(rec.messages,
              QStringList({"getOffsetAddress default 20 ", "getOffsetAddress default -1 "}));
}

// A register, or a bit inside a word (bit 5 of register 3 of area 7), shows
// in the image as soon as its frames are built. (The bit's read-modify-write
// pair is checked against a model by the sequence fuzzer.)
TEST_F(FrameTest, WritesAreMirroredUnlessTheLinkFailedAndRemoteOnesAlways) {
    for (int i = 0; i < 8; ++i) {
        const bool remote = i & 2, failed = i & 1, bit = i & 4;
        SCOPED_TRACE(testing::Message() << "remote " << remote << ", failed " << failed);
        DataStorage.clear();
        PLC_driver.failFlag = failed;
        RW_VAR v = bit ? rv("01", 1, 20, 53, 1) : rv("12 34", 1, 12, 4, 1);
        remote ? Remote_WriteVar(&v) : WriteRegister(&v);
        const QByteArray want = bit ? hex("20") : hex("34 12");
        const QByteArray shown = DataStorage.value(1).value(bit ? 7 : 12).mid(bit ? 6 : 8, 2);
        EXPECT_EQ(shown.leftJustified(want.size(), 0),
                  failed && !remote ? QByteArray(want.size(), 0) : want);
    }
}

}  // namespace
}  // namespace plctest
