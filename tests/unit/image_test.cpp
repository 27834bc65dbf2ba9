// The register image: area look-up, saving replies and host register access.
// (The sequence fuzzer checks the image after every good read of its sessions.)
#include <climits>
#include <tuple>

#include "test_support.h"

namespace plctest {
namespace {

const std::string kRange = "**** ERROR checkTheStorage range ";
const std::string kDefault = "**** ERROR checkTheStorage default ";

class ImageTest : public DriverTest {
protected:
    // Read-only view that never inserts into the image.
    static std::string area(int station, int key) {
        return toHex(DataStorage.value(station).value(key)).toStdString();
    }
    void fresh() {
        resetDriver();
        SetComInfo(&info);
        rec.messages.clear();
    }
    // A host write by "op" with kind 6 and id 9.
    int set(int type, const char* text, const char* values, int count, int station = 3) {
        QString name = QString::fromLatin1("op"), t = QString::fromLatin1(text);
        QByteArray v = hex(values);
        return SetRegisterData(name, type, t, station, v, count, 6, 9);
    }
};

TEST_F(ImageTest, LookUpsCreateAndGrowAreasButNeverShrinkOrClearThem) {
    const int top = int(kMaxAreaBytes / 2), big = int(kMaxAreaBytes);
    // station, code, addr, count -> area key, its size, diagnostic
    // clang-format off
    const std::tuple<int, int, int, int, int, int, std::string> rows[] = {
        {1, 7, 10, 5, 7, 30, ""}, {1, 7, 0, 4, 7, 30, ""}, {1, 7, 20, 5, 7, 50, ""}, {1, 3, 100, 16, 3, 116, ""},
        {1, 21, 35, 1, 12, 4, ""}, {1, 21, 35, 40, 12, 8, ""},  // bit in word: A / 16 + N / 17 words
        {4, 20, 0, 16, 7, 0, ""}, {4, 20, 0, 17, 7, 2, ""}, {1, 22, 160, 16, 13, 20, ""}, {2, 7, 0, 1, 7, 2, ""},
        {3, 7, 0, 0, 7, 0, ""}, {3, 8, -5, 2, 8, 0, ""}, {1, 3, -200, 16, 3, 116, ""},  // empty ranges
        {1, 30, 1, 2, 30, 6, kDefault}, {1, -1, 0, 3, -1, 6, kDefault}, {1, 7, 2000000000, 1, 7, 50, kRange + "1 7 2000000000 1 "},
        {1, 21, INT_MAX, INT_MAX, 12, 8, kRange + "1 21 2147483647 2147483647 "}, {1, 7, top, 1, 7, 50, kRange + "1 7 8388608 1 "},
        {5, 9, INT_MAX, 1, 9, 0, kRange + "5 9 2147483647 1 "}, {1, 7, top - 1, 1, 7, big, ""},  // the bound itself is served
    };
    // clang-format on
    for (const auto& [station, type, addr, count, key, size, diag] : rows) {
        ControlInformationM ci{station, type, addr, count};
        checkTheStorage(ci);
        ASSERT_TRUE(DataStorage.value(station).contains(key)) << type << "/" << addr;
        EXPECT_EQ(DataStorage.value(station).value(key).size(), size) << type << "/" << addr;
        EXPECT_EQ(takeMessages(), diag);
        if (addr == 10) DataStorage[1][7][5] = char(0xAB);  // kept by every later look-up
    }
    const QByteArray a7 = DataStorage.value(1).value(7);
    EXPECT_TRUE(a7.at(5) == char(0xAB) && a7.count('\0') == a7.size() - 1);
    for (int st : DataStorage.keys())
        for (int code = 20; code <= 23; ++code) EXPECT_FALSE(DataStorage[st].contains(code));
}

TEST_F(ImageTest, RepliesAndWriteRecordsLandInTheImageInItsOwnByteOrder) {
    const char* aa = "AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA";
    const char* a12 = "AA AA AA AA AA AA AA AA AA AA AA AA";
    // reply data length (-1: a write record instead), code, addr, count, reply or value
    //   -> folded area before and after, diagnostic
    // clang-format off
    const std::tuple<int, int, int, int, const char*, const char*, const char*, std::string> rows[] = {
        // Replies (whole ones in every session of the sequence fuzzer): bits stop when
        // the data ends; an odd last byte is ignored; the data length bounds the
        // registers, count does not.
        {1, 2, 0, 12, "01 01 01 FF 00 00", aa, "01 01 01 01 01 01 01 01 AA AA AA AA AA AA AA AA AA AA AA AA", ""},
        {3, 9, 0, 2, "01 03 03 12 34 56 00 00", "", "34 12 00 00", ""}, {2, 7, 0, 2, "01 03 04 12 34 56 78 00 00", "", "34 12 00 00", ""},
        {4, 8, 0, 1, "01 03 04 12 34 56 78 00 00", "", "34 12 78 56", ""}, {6, 7, 0, 3, "01 03 06 11 22 33", "", "22 11 00 00 00 00", ""},
        {6, 7, 0, 3, "01 03", "", "00 00 00 00 00 00", ""},
        {2, 21, 35, 1, "01 03 02 FF FF 00 00", "", "00 00 00 00", "SaveToLocalDataErea default 21 "}, {2, 30, 0, 1, "01 03 02 FF FF 00 00", "", "00 00", kDefault + "|SaveToLocalDataErea default 30 "},
        {2, 7, 2000000000, 1, "01 03 02 FF FF 00 00", "", "", kRange + "1 7 2000000000 1 "},
        // Write records: registers swapped back, bit areas keep bit 0, bits in words any nonzero byte.
        {-1, 7, 1, 2, "12 34 56 78", "", "00 00 34 12 78 56", ""}, {-1, 12, 0, 2, "12 34 56", "FF FF FF FF", "34 12 00 56", ""},
        {-1, 2, 0, 3, "FE 01 03", "AA AA AA", "00 01 01", ""}, {-1, 22, 1, 2, "02 80", "00", "06", ""},
        {-1, 20, 35, 1, "01", "00 00 00 00 F0", "00 00 00 00 F8", ""}, {-1, 20, 35, 1, "00", "00 00 00 00 FF", "00 00 00 00 F7", ""},
        {-1, 23, 35, 1, "01", "", "00 00 00 00 08", ""}, {-1, 21, -3, 1, "01", "00 00", "00 00", ""},
        {-1, 7, 0, 0, "12 34", "AA AA", "AA AA", ""}, {-1, 7, 0, -2, "12 34", "AA AA", "AA AA", ""},
        {-1, 0, 5, 1, "01", a12, a12, "WriteDataToLocal default 1 0 5 "}, {-1, 13, 5, 1, "12 34", a12, a12, "WriteDataToLocal default 1 13 5 "},
        {-1, 17, 5, 1, "12 34", a12, a12, "WriteDataToLocal default 1 17 5 "}, {-1, 26, 5, 1, "12 34", a12, a12, kDefault + "|WriteDataToLocal default 1 26 5 "},
    };
    // clang-format on
    for (const auto& [dataLen, type, addr, count, bytes, before, after, diag] : rows) {
        fresh();
        const int key = type >= 20 && type <= 23 ? getPlcReg(type) : type;
        if (*before) DataStorage[1][key] = hex(before);
        RW_VAR v = var(type, addr, count);
        QByteArray data = v.value = hex(bytes);
        PLC_driver.pendingFrames << Protocol{{}, 0, 0, 3, dataLen, v, 0, 0, 0};
        dataLen < 0 ? WriteDataToLocal(&v) : storeReplyData(&data);
        EXPECT_EQ(area(1, key), toHex(hex(after)).toStdString()) << type << " " << bytes;
        EXPECT_EQ(PLC_driver.pendingFrames.size(), 1);  // the caller retires the frame
        EXPECT_EQ(takeMessages(), diag);
    }
}

TEST_F(ImageTest, HostReadsComeFromTheImageInHostByteOrder) {
    // Register 3 of area 7 holds bits 4, 6 and 9, register 10 holds 0x1234.
    // clang-format off
    QMap<int, QMap<int, QByteArray>> image;
    image[1][7] = hex("00 00 00 00 00 00 50 02 00 00 00 00 00 00 00 00 00 00 00 00 34 12");
    image[1][3] = hex("00 00 01 00 01");
    image[1][12] = hex("FF FF");
    image[2][7] = hex("22 22");
    image[5][7] = hex("55 55");
    // multi-station, code, text, station, count -> result, bytes, diagnostic
    const std::tuple<int, int, const char*, int, int, int, const char*, std::string> rows[] = {
        {1, 7, "10", 1, 1, 1, "34 12", ""}, {1, 7, "11", 1, 2, 1, "00 00 00 00", ""}, {1, 3, "2", 1, 3, 1, "01 00 01", ""},
        {1, 20, "3.4", 1, 3, 1, "01 00 01", ""}, {1, 20, "3.9", 1, 2, 1, "01 00", ""}, {1, 21, "40.0", 1, 2, 1, "00 00", ""},
        {0, 7, "0", 5, 1, 1, "22 22", ""}, {1, 7, "0", 5, 1, 1, "55 55", ""},  // the station only with multi-station
        {1, 9, "0", 1, 4, 1, "00 00 00 00 00 00 00 00", ""}, {1, 7, "10", 1, 0, 1, "", ""},
    };
    // clang-format on
    for (const auto& [multi, type, text, station, count, result, want, diag] : rows) {
        fresh();
        DataStorage = image;
        info.multiStation = multi;
        info.defStation = 2;
        QByteArray out = hex("EE EE EE");
        QString t = QString::fromLatin1(text);
        EXPECT_EQ(GetRegisterData(nullptr, type, t, station, &out, count), result) << type << text;
        EXPECT_EQ(toHex(out).toStdString(), want) << type << " " << text;
        EXPECT_EQ(takeMessages(), diag);
        EXPECT_EQ(area(1, 9), type == 9 ? want : "");
        EXPECT_LE(DataStorage.value(1).value(7).size(), 26);  // no absurd allocation
    }
}

TEST_F(ImageTest, WithoutALinkOrWhileItFailsHostWritesAreMirroredIntoTheImageAtOnce) {
    const RW_VAR waiting = var(8, 1, 1);
    PLC_driver.writeList = {waiting, waiting};
    info.runMode = 0;
    info.blockSize = 1;
    EXPECT_EQ(set(7, "1", "34 12 78 56", 2), 4);  // list length after the last record
    EXPECT_TRUE(PLC_driver.failFlag && PLC_driver.writeList.isEmpty());
    EXPECT_EQ(area(1, 7), "00 00 34 12 78 56");
    PLC_driver.writeList = {waiting};
    EXPECT_TRUE(set(13, "1", "01 00", 1) == 0 && PLC_driver.writeList.isEmpty());  // read-only

    fresh();
    info.runMode = 2;
    PLC_driver.failFlag = true;  // link up but failing: queued and mirrored
    EXPECT_EQ(
        QList<int>({set(7, "2", "34 12", 1), set(3, "4", "01 01", 2), set(20, "0.9", "07", 1)}),
        QList<int>({1, 3, 4}));
    EXPECT_TRUE(PLC_driver.failFlag);
    EXPECT_EQ(area(1, 7) + "|" + area(1, 3), "00 02 00 00 34 12|00 00 00 00 01 01");
}

// While the driver puts a host write into the image itself, a write of many
// units lands there as one range: the host's values, also those of pieces a
// full write list drops, and one diagnostic at most for a range beyond the
// area bound.
TEST_F(ImageTest, ManyUnitWritesAreMirroredAsOneRange) {
    struct Row {
        const char* name;
        int type;
        const char* text;
        int count, blockSize;
        int first;  // image index of the first unit: bit, bit inside area 12, byte of register
        const char* diagnostic;
        bool linkFailing;  // rather than run mode 0; the write list starts full
    };
    const Row rows[] = {
        {"EveryCoilOfAnArea", 3, "0", 65536, 32, 0, "", false},
        {"BitsInsideWordsFromBit7", 21, "3.7", 65536, 32, 55, "", false},
        {"RegistersInBlocks", 7, "10", 65536, 100, 20, "", false},
        {"CoilsAgainstAFullWriteList", 3, "0", 65536, 32, 0, "", true},
        {"RegistersAgainstAFullWriteList", 7, "10", 65536, 1, 20, "", true},
        {"CoilsBeyondTheAreaBound", 3, "16777200", 100, 32, -1,
         "**** ERROR checkTheStorage range 1 3 16777200 100 ", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        info.runMode = row.linkFailing ? 2 : 0;
        PLC_driver.failFlag = row.linkFailing;
        for (int i = 0; row.linkFailing && i < kListCapacity; ++i)
            PLC_driver.writeList << var(12, i, 1);
        info.blockSize = row.blockSize;
        const bool words = row.type == 7;
        QByteArray values(words ? 2 * row.count : row.count, '\0');
        for (int k = 0; k < values.size(); ++k) values[k] = char(k % 3 == 0 ? 1 + k % 251 : 0);
        QString name("n"), text(row.text);
        const int result = SetRegisterData(name, row.type, text, 3, values, row.count, 6, 9);
        EXPECT_TRUE(!row.linkFailing || result == kListCapacity) << result;  // full, stays so
        EXPECT_EQ(takeMessages(), row.diagnostic);
        const QByteArray area = DataStorage.value(1).value(getPlcReg(row.type));
        if (row.first < 0) {
            EXPECT_TRUE(area.isEmpty());
            continue;
        }
        int wrong = 0;
        for (int k = 0; k < values.size(); ++k) {
            const int p = row.first + k, in = uint8_t(values.at(k));
            if (words)
                wrong += uint8_t(area.at(p)) != in;  // host byte order on both sides
            else if (row.type == 21)
                wrong += ((uint8_t(area.at(p / 8)) >> (p % 8)) & 1) != (in != 0);
            else
                wrong += area.at(p) != (in & 1);
        }
        EXPECT_EQ(wrong, 0);
    }
}

}  // namespace
}  // namespace plctest
