// Whole polling scenarios against the scripted controller: values travel from
// the controller into the image and from the host into the controller.
#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

class Scenario : public DriverTest {
protected:
    ScriptedController ctl{1, 2};

    static VARDESC desc(int type, const char* text, int count, int station = 1) {
        VARDESC d{};
        d.regType = static_cast<uint8_t>(type);
        d.station = static_cast<uint8_t>(station);
        d.addrText = text;
        d.name = QString("v%1").arg(text);
        d.count = count;
        return d;
    }
    static int rebuild(QList<VARDESC> descs) { return ReCreatReadVarList(&descs); }

    // What the host reads out of the image, in host byte order.
    static QByteArray image(int type, const QString& text, int count, int station = 1) {
        QString t = text;
        QByteArray out;
        EXPECT_EQ(GetRegisterData(nullptr, type, t, station, &out, count), 1);
        return out;
    }
    static uint16_t imageWord(int type, int addr, int station = 1) {
        QByteArray o = image(type, QString::number(addr), 1, station);
        return o.size() == 2 ? uint16_t(uint8_t(o[0]) | (uint8_t(o[1]) << 8)) : 0xDEAD;
    }
    static int hostWrite(int type, const char* text, QByteArray values, int count, int kind, int id,
                         int station = 1) {
        QString name("w"), t(text);
        return SetRegisterData(name, type, t, station, values, count, kind, id);
    }
    static QByteArray le(uint16_t v) { return QByteArray(1, char(v & 0xFF)) + char(v >> 8); }

    std::vector<Turn> poll(int turns) {
        std::vector<Turn> out;
        for (int i = 0; i < turns; ++i) out.push_back(pollOnce(ctl));
        return out;
    }
    int writesSeen() const {
        int n = 0;
        for (const auto& r : ctl.requests())
            n += (r.function == 5 || r.function == 6 || r.function == 16 ||
                  (r.remote && r.function));
        return n;
    }
};

TEST_F(Scenario, CyclicReadingPollsGroupedBlocksAndFillsTheImage) {
    for (int a = 0; a < 45; ++a) ctl.setWord(1, 7, a, uint16_t(0x1000 + a * 0x0101));
    ctl.setBit(1, 2, 0, true);
    ctl.setBit(1, 2, 255, true);
    ctl.setBit(1, 2, 100, true);  // inside the block, not a variable of its own

    EXPECT_EQ(rebuild({desc(7, "0", 1), desc(7, "10", 2), desc(7, "31", 4), desc(7, "40", 1),
                       desc(2, "0", 1), desc(2, "255", 1), desc(20, "3.4", 4)}),
              3);
    std::vector<Turn> turns = poll(3);
    ASSERT_EQ(ctl.requests().size(), 3u);
    const int expected[][3] = {{1, 3072, 256}, {3, 11736, 32}, {3, 11768, 9}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(turns[i].status, 1);
        EXPECT_EQ(ctl.requests()[i].function, expected[i][0]);
        EXPECT_EQ(ctl.requests()[i].address, expected[i][1]);
        EXPECT_EQ(ctl.requests()[i].count, expected[i][2]);
    }
    for (int a : {0, 10, 11, 31, 32, 33, 34, 40})
        EXPECT_EQ(imageWord(7, a), ctl.word(1, 7, a)) << a;
    EXPECT_EQ(image(2, "0", 1), hex("01"));
    EXPECT_EQ(image(2, "255", 1), hex("01"));
    EXPECT_EQ(image(2, "99", 3), hex("00 01 00"));
    // Register 3 holds 0x1303: its bits 0 to 3 are 1, 1, 0, 0.
    EXPECT_EQ(image(20, "3.0", 4), hex("01 01 00 00"));
    EXPECT_TRUE(rec.done.empty());

    // One more completion than there are blocks ends the first cycle.
    EXPECT_EQ(info.finishFlag, 0);
    poll(1);
    EXPECT_EQ(info.finishFlag, 1);

    // A change in the controller shows up after the next round.
    ctl.setWord(1, 7, 33, 0xCAFE);
    poll(3);
    EXPECT_EQ(imageWord(7, 33), 0xCAFE);
}

TEST_F(Scenario, WritesToOneTargetAreCoalescedWhileTheFirstIsInFlight) {
    EXPECT_EQ(hostWrite(7, "5", le(0x1234), 1, 1, 1), 1);
    Protocol* inFlight = ComCommunication();
    ASSERT_NE(inFlight, nullptr);
    EXPECT_EQ(hostWrite(7, "5", le(0x5678), 1, 1, 2), 2);
    EXPECT_EQ(hostWrite(7, "5", le(0x9ABC), 1, 1, 3), 2);  // replaces the waiting one

    QByteArray reply = ctl.answer(inFlight->frame.left(inFlight->frameLen));
    EXPECT_EQ(DataCom(&reply, reply.size())->status, 1);
    EXPECT_EQ(ctl.word(1, 7, 5), 0x1234);
    pollUntilIdle(ctl);

    ASSERT_EQ(ctl.requests().size(), 2u);
    EXPECT_EQ(ctl.requests()[1].data, hex("9A BC"));
    EXPECT_EQ(ctl.word(1, 7, 5), 0x9ABC);
    EXPECT_EQ(imageWord(7, 5), 0x9ABC);
    ASSERT_EQ(rec.done.size(), 2u);
    EXPECT_EQ(rec.done[0].id, 1);
    EXPECT_EQ(rec.done[1].id, 3);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
}

TEST_F(Scenario, MultiRegisterWriteReachesTheControllerInPieces) {
    info.blockSize = 2;
    QByteArray values = le(0x1111) + le(0x2222) + le(0x3333) + le(0x4444) + le(0x5555);
    EXPECT_GT(hostWrite(25, "100", values, 5, 2, 2), 0);
    pollUntilIdle(ctl);
    std::vector<int> functions;
    for (const auto& r : ctl.requests()) functions.push_back(r.function);
    EXPECT_EQ(functions, (std::vector<int>{16, 16, 6}));
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(ctl.word(1, 25, 100 + k), 0x1111 * (k + 1)) << k;
        EXPECT_EQ(imageWord(25, 100 + k), 0x1111 * (k + 1)) << k;
    }
    // Only the last piece reports completion: all pieces share kind and id.
    EXPECT_EQ(rec.done.size(), 1u);
}

struct BitRow {
    int type;
    const char* text;
    uint16_t before;
    char bit;
    uint16_t after;
};

TEST_F(Scenario, BitInWordWritesKeepTheOtherFifteenBits) {
    const BitRow rows[] = {
        {20, "3.5", 0x1214, 1, 0x1234},  {20, "3.15", 0xFFFF, 0, 0x7FFF},
        {21, "2.0", 0xA5A4, 1, 0xA5A5},  {23, "0.8", 0x0100, 0, 0x0000},
        {20, "7.12", 0x0F0F, 1, 0x1F0F}, {21, "9.3", 0x0008, 1, 0x0008},
    };
    const int folded[] = {7, 12, 0, 14};
    for (const BitRow& r : rows) {
        SCOPED_TRACE(QString("%1 %2").arg(r.type).arg(r.text).toStdString());
        const int area = folded[r.type - 20];
        const int reg = QString(r.text).section('.', 0, 0).toInt();
        ctl.setWord(1, area, reg, r.before);
        ctl.clearRequests();
        rec.done.clear();
        EXPECT_EQ(hostWrite(r.type, r.text, QByteArray(1, r.bit), 1, 5, 6), 1);
        std::vector<Turn> turns = pollUntilIdle(ctl);
        ASSERT_EQ(turns.size(), 2u);
        EXPECT_EQ(ctl.requests()[0].function, 3);
        EXPECT_EQ(ctl.requests()[1].function, 6);
        EXPECT_EQ(ctl.word(1, area, reg), r.after);
        EXPECT_EQ(image(r.type, r.text, 1), QByteArray(1, r.bit));
        ASSERT_EQ(rec.done.size(), 1u);
        EXPECT_EQ(rec.done[0].result, 1);
        // Reading the whole register back gives the controller's word.
        RW_VAR once = var(area, reg, 1);
        once.addrText = QString::number(reg);
        EXPECT_EQ(AddListOnceReadVar(&once, 0), 1);
        pollUntilIdle(ctl);
        EXPECT_EQ(imageWord(area, reg), r.after);
    }
}

TEST_F(Scenario, GivenUpWriteTakesItsSiblingsAlongAndLaterWorkGoesOn) {
    ctl.setWord(1, 12, 0, 0x0A0A);
    EXPECT_EQ(hostWrite(12, "0", le(0x1111), 1, 7, 70), 1);
    EXPECT_EQ(hostWrite(12, "1", le(0x2222), 1, 7, 70), 2);
    EXPECT_EQ(hostWrite(12, "2", le(0x3333), 1, 8, 80), 3);
    EXPECT_EQ(hostWrite(12, "3", le(0x4444), 1, 7, 70), 4);
    ctl.script({Answer::Silent, Answer::Silent, Answer::Silent});
    std::vector<Turn> turns = pollUntilIdle(ctl);
    ASSERT_EQ(turns.size(), 4u);
    EXPECT_EQ(turns[0].status, 0);
    EXPECT_EQ(turns[1].status, 0);
    EXPECT_EQ(turns[2].status, 48);
    EXPECT_EQ(turns[3].status, 1);
    ASSERT_EQ(rec.fails.size(), 1u);
    EXPECT_EQ(rec.fails[0].kind, 7);
    ASSERT_EQ(rec.done.size(), 2u);
    EXPECT_EQ(rec.done[0].id, 70);
    EXPECT_EQ(rec.done[0].result, 2);
    EXPECT_EQ(rec.done[1].id, 80);
    EXPECT_EQ(rec.done[1].result, 1);
    EXPECT_EQ(ctl.word(1, 12, 0), 0x0A0A);
    EXPECT_EQ(ctl.word(1, 12, 1), 0);
    EXPECT_EQ(ctl.word(1, 12, 2), 0x3333);
    EXPECT_EQ(ctl.word(1, 12, 3), 0);
    // After a read the image agrees with the controller again.
    EXPECT_EQ(rebuild({desc(12, "0", 4)}), 1);
    poll(1);
    for (int a = 0; a < 4; ++a) EXPECT_EQ(imageWord(12, a), ctl.word(1, 12, a)) << a;
}

TEST_F(Scenario, LateReplyIsAcceptedWhenItArrivesForTheRepeat) {
    ctl.setWord(1, 9, 4, 0x4321);
    rebuild({desc(9, "4", 1)});
    ctl.script({Answer::Late});
    std::vector<Turn> turns = poll(2);
    EXPECT_EQ(turns[0].status, 0);
    EXPECT_TRUE(turns[0].reply.isEmpty());
    EXPECT_EQ(turns[1].status, 1);
    EXPECT_EQ(imageWord(9, 4), 0x4321);
}

TEST_F(Scenario, SwitchedOffStationIsLeftAloneUntilSwitchedOnAgain) {
    info.multiStation = 1;
    ctl.setWord(1, 7, 0, 0x0101);
    ctl.setWord(2, 7, 0, 0x0202);
    EXPECT_EQ(rebuild({desc(7, "0", 2, 1), desc(7, "0", 2, 2)}), 2);
    EnCommStation(1, 0);
    EXPECT_EQ(hostWrite(7, "1", le(0x1F1F), 1, 1, 1, 1), 1);
    poll(4);
    for (const auto& r : ctl.requests()) EXPECT_EQ(r.station, 2);
    EXPECT_EQ(imageWord(7, 0, 2), 0x0202);
    EXPECT_EQ(ctl.word(1, 7, 1), 0);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);

    EnCommStation(1, 1);
    ctl.clearRequests();
    poll(3);
    ASSERT_FALSE(ctl.requests().empty());
    EXPECT_EQ(ctl.requests()[0].station, 1);  // the waiting write goes first
    EXPECT_EQ(ctl.requests()[0].function, 6);
    EXPECT_EQ(ctl.word(1, 7, 1), 0x1F1F);
    EXPECT_EQ(imageWord(7, 0, 1), 0x0101);
    EXPECT_EQ(imageWord(7, 1, 1), 0x1F1F);
}

TEST_F(Scenario, RemoteFramingCarriesReadsAndWritesBothWays) {
    info.remoteMode = 1;
    for (int a = 0; a < 4; ++a) ctl.setWord(1, 24, a, uint16_t(0xA000 + a));
    ctl.setWord(1, 7, 1, 0x8001);
    EXPECT_EQ(rebuild({desc(24, "0", 4)}), 1);
    poll(1);
    for (int a = 0; a < 4; ++a) EXPECT_EQ(imageWord(24, a), 0xA000 + a);

    EXPECT_EQ(hostWrite(24, "2", le(0x5A5A), 1, 3, 3), 1);
    EXPECT_EQ(hostWrite(20, "1.3", QByteArray(1, 1), 1, 4, 4), 2);
    EXPECT_EQ(hostWrite(3, "6", hex("01"), 1, 5, 5), 3);
    EXPECT_EQ(imageWord(24, 2), 0xA002);  // queued, not framed yet: the image waits
    poll(3);
    EXPECT_EQ(ctl.rejected(), 0);
    EXPECT_EQ(ctl.word(1, 24, 2), 0x5A5A);
    EXPECT_EQ(ctl.word(1, 7, 1), 0x8009);
    EXPECT_TRUE(ctl.bit(1, 3, 6));
    EXPECT_EQ(image(20, "1.3", 1), hex("01"));
    EXPECT_EQ(image(3, "6", 1), hex("01"));
    EXPECT_EQ(rec.done.size(), 3u);
    for (const auto& r : ctl.requests()) EXPECT_TRUE(r.remote);
}

TEST_F(Scenario, ImageOnlyWritesNeverReachTheControllerAndAreReadOver) {
    for (int runMode : {0, 2}) {
        SCOPED_TRACE(runMode);
        info.runMode = runMode;
        DataStorage.clear();
        ctl.clearRequests();
        ctl.setWord(1, 15, 8, 0x0BAD);
        rebuild({desc(15, "8", 1)});
        poll(1);
        ASSERT_EQ(imageWord(15, 8), 0x0BAD);

        EXPECT_EQ(hostWrite(15, "8", le(0x600D), 1, 1, 1), 1);
        // Either way the host sees its value at once.
        if (runMode != 2) {
            EXPECT_TRUE(PLC_driver.writeList.isEmpty());
            EXPECT_TRUE(PLC_driver.failFlag);
            EXPECT_EQ(imageWord(15, 8), 0x600D);
        }
        poll(3);
        EXPECT_FALSE(PLC_driver.failFlag);
        EXPECT_EQ(writesSeen(), runMode == 2 ? 1 : 0);
        const uint16_t inController = runMode == 2 ? 0x600D : 0x0BAD;
        EXPECT_EQ(ctl.word(1, 15, 8), inController);
        EXPECT_EQ(imageWord(15, 8), inController);
    }
}

}  // namespace
}  // namespace plctest
