// Whole polling scenarios against the scripted controller: values travel from
// the controller into the image and from the host into the controller. (The
// sequence fuzzer in fuzz/ runs generated sessions with garbled replies,
// merges, give-ups and switched-off stations against a model.)
#include <array>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

using Done = std::vector<std::array<int, 2>>;  // {id, result} per completion

class Scenario : public DriverTest {
protected:
    ScriptedController ctl{1, 2};

    static VARDESC desc(int type, const char* text, int count, int station = 1) {
        return VARDESC{0, uint8_t(type), uint8_t(station), 0, 0, text, QString(), count};
    }
    static int rebuild(QList<VARDESC> descs) { return ReCreatReadVarList(&descs); }
    // What the host reads from the image and what the controller holds, in host byte order.
    static QByteArray image(int type, QString text, int count = 1, int station = 1) {
        QByteArray out;
        EXPECT_EQ(GetRegisterData(nullptr, type, text, station, &out, count), 1);
        return out;
    }
    QByteArray mem(int type, int addr, int count = 1, int station = 1) const {
        QByteArray out;
        for (int k = 0; k < count; ++k) out += le(ctl.word(station, type, addr + k));
        return out;
    }
    static int hostWrite(int type, QString text, QByteArray values, int count, int kind, int id) {
        QString name("w");
        return SetRegisterData(name, type, text, 1, values, count, kind, id);
    }
    static QByteArray le(uint16_t v) { return QByteArray(1, char(v & 0xFF)) + char(v >> 8); }
    Done done() const {
        Done d;
        for (const DoneCall& c : rec.done) d.push_back({c.id, c.result});
        return d;
    }
};

TEST_F(Scenario, CyclicReadingPollsGroupedBlocksAndKeepsTheImageInStepWithTheController) {
    for (int a = 0; a < 45; ++a) ctl.setWord(1, 7, a, uint16_t(0x1000 + a * 0x0101));
    for (int a : {0, 100, 255}) ctl.setWord(1, 2, a, 1);  // 100: inside a block, no variable
    ASSERT_EQ(3, rebuild({desc(7, "0", 1), desc(7, "10", 2), desc(7, "31", 4), desc(7, "40", 1),
                          desc(2, "0", 1), desc(2, "255", 1), desc(20, "3.4", 4)}));
    EXPECT_EQ(pollUntilIdle(ctl, 3), std::vector<int>(3, 1));
    std::vector<std::array<int, 3>> blocks;  // function, flat address, count
    for (const auto& r : ctl.requests) blocks.push_back({r.function, r.address, r.count});
    EXPECT_EQ(blocks,
              (std::vector<std::array<int, 3>>{{1, 3072, 256}, {3, 11736, 32}, {3, 11768, 9}}));
    EXPECT_EQ(image(7, "0", 41), mem(7, 0, 41));
    EXPECT_EQ(image(2, "0", 1) + image(2, "255", 1) + image(2, "99", 3), hex("01 01 00 01 00"));
    EXPECT_EQ(image(20, "3.0", 4), hex("01 01 00 00"));  // register 3 holds 0x1303
    ctl.setWord(1, 7, 33, 0xCAFE);
    pollUntilIdle(ctl, 3);
    EXPECT_EQ(image(7, "33"), le(0xCAFE));
}

TEST_F(Scenario, BitInWordWritesChangeOneBitAndKeepTheOtherFifteen) {
    // clang-format off
    struct Row { int type; const char* text; uint16_t before; char bit; uint16_t after; };
    const Row rows[] = {{20, "3.5", 0x1214, 1, 0x1234}, {20, "3.15", 0xFFFF, 0, 0x7FFF}, {21, "2.0", 0xA5A4, 1, 0xA5A5},
                        {23, "0.8", 0x0100, 0, 0x0000}, {20, "7.12", 0x0F0F, 1, 0x1F0F}, {21, "9.3", 0x0008, 1, 0x0008}};
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        const int area = r.type == 20 ? 7 : r.type == 21 ? 12 : 14;
        const int reg = QString(r.text).section('.', 0, 0).toInt();
        ctl.setWord(1, area, reg, r.before);
        rec.done.clear();
        EXPECT_EQ(hostWrite(r.type, r.text, QByteArray(1, r.bit), 1, 5, 6), 1);
        EXPECT_EQ(pollUntilIdle(ctl), std::vector<int>({1, 1}));
        EXPECT_EQ(ctl.word(1, area, reg), r.after);
        EXPECT_EQ(image(r.type, r.text, 1), QByteArray(1, r.bit));
        EXPECT_EQ(done(), (Done{{6, 1}}));
    }
}

TEST_F(Scenario, RemoteFramingCarriesReadsAndWritesBothWays) {
    info.remoteMode = 1;
    for (int a = 0; a < 4; ++a) ctl.setWord(1, 24, a, uint16_t(0xA000 + a));
    EXPECT_EQ(rebuild({desc(24, "0", 4)}), 1);
    pollOnce(ctl);
    EXPECT_EQ(image(24, "0", 4), hex("00 A0 01 A0 02 A0 03 A0"));
    EXPECT_EQ(hostWrite(24, "2", le(0x5A5A), 1, 3, 3), 1);
    EXPECT_EQ(hostWrite(3, "6", hex("01"), 1, 5, 5), 2);
    EXPECT_EQ(image(24, "2"), le(0xA002));  // queued, not framed yet: the image waits
    pollUntilIdle(ctl, 3);
    EXPECT_EQ(mem(24, 0, 4) + mem(3, 6), hex("00 A0 01 A0 5A 5A 03 A0 01 00"));
    EXPECT_EQ(image(24, "0", 4) + image(3, "6"), hex("00 A0 01 A0 5A 5A 03 A0 01"));
    EXPECT_EQ(done(), (Done{{3, 1}, {5, 1}}));
    for (const auto& r : ctl.requests) EXPECT_TRUE(r.remote);
}

TEST_F(Scenario, OutsideRunModeTwoHostWritesOnlyReachTheImageAndAreReadOver) {
    const QByteArray entered = le(0x600D) + le(0xF00D), old = le(0x0BAD) + le(0x0BAD);
    for (int runMode : {0, 2}) {
        SCOPED_TRACE(runMode);
        info.runMode = runMode;
        for (int a : {8, 9}) ctl.setWord(1, 15, a, 0x0BAD);
        rebuild({desc(15, "8", 2)});
        pollOnce(ctl);
        ASSERT_EQ(image(15, "8", 2), old);
        EXPECT_EQ(hostWrite(15, "8", entered, 2, 1, 1), 1);
        // Outside run mode 2 the image shows the values at once, nothing is queued.
        EXPECT_EQ(PLC_driver.writeList.size(), runMode == 2 ? 1 : 0);
        EXPECT_EQ(PLC_driver.failFlag, runMode != 2);
        EXPECT_EQ(image(15, "8", 2), runMode == 2 ? old : entered);
        pollUntilIdle(ctl, 3);
        EXPECT_FALSE(PLC_driver.failFlag);
        EXPECT_EQ(mem(15, 8, 2), runMode == 2 ? entered : old);
        EXPECT_EQ(image(15, "8", 2), runMode == 2 ? entered : old);
    }
}

}  // namespace
}  // namespace plctest
