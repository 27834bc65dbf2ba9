// Whatever the line brings back: random replies of every length, at every
// point of a request, with length arguments that agree with the bytes or not.
// The driver must stay consistent and must still finish the host's work.
#include <algorithm>
#include <climits>
#include <functional>
#include <random>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

int doneCalls = 0;
int failCalls = 0;
void countDone(int32_t, int32_t, int32_t, int32_t) { ++doneCalls; }
void countFail(QList<RW_VAR>, int32_t, int32_t) { ++failCalls; }

bool knownStatus(int s) {
    if (s == 0 || s == 1 || s == 100) return true;
    for (int base : {11, 41, 71, 111, 141, 171})
        if (s >= base && s <= base + 11) return true;
    return false;
}

class GarbageReplies : public DriverTest {
protected:
    // One point of a request at which a reply can arrive. `setup` leaves the
    // driver there and returns how many host requests (writes and local
    // once-reads) must still be reported through the completion callback.
    struct Point {
        const char* name;
        std::function<int(GarbageReplies&)> setup;
    };

    ScriptedController ctl{1};

    void fresh() {
        resetDriver();
        info = COMINFO{};
        info.blockSize = 32;
        info.defStation = 1;
        info.retryMax = 2;
        info.runMode = 2;
        info.hostHandle = 77;
        SetComInfo(&info);
        RegistCallBackFuncIntf(countDone, countFail);
        doneCalls = failCalls = 0;
    }
    RW_VAR write(int type, int addr, int id, const char* value, int station = 1) {
        RW_VAR v = var(type, addr, 1, station);
        v.direction = 1;
        v.kind = id % 12;
        v.id = id;
        v.value = hex(value);
        return v;
    }
    // A good reply from the controller for the frame in flight.
    void answerHead() {
        QByteArray r = ctl.answer(PLC_driver.pendingFrames.first().frame);
        DataCom(&r, r.size());
    }

    static std::vector<Point> points() {
        return {
            {"nothing pending", [](GarbageReplies&) { return 0; }},
            {"first frame of a cyclic read",
             [](GarbageReplies& t) {
                 PLC_driver.readList << t.var(7, 0, 4) << t.var(1, 3, 12);
                 ComCommunication();
                 return 0;
             }},
            {"first frame of a bit write",
             [](GarbageReplies& t) {
                 PLC_driver.writeList << t.write(20, 53, 1, "01") << t.write(12, 4, 2, "12 34");
                 ComCommunication();
                 return 2;
             }},
            {"second frame of a bit write",
             [](GarbageReplies& t) {
                 PLC_driver.writeList << t.write(23, 17, 1, "00");
                 ComCommunication();
                 t.answerHead();
                 return 1;
             }},
            {"last repeat of a write",
             [](GarbageReplies& t) {
                 PLC_driver.writeList << t.write(12, 0, 1, "00 01") << t.write(7, 9, 2, "00 02");
                 ComCommunication();
                 QByteArray none;
                 for (int i = 0; i < t.info.retryMax; ++i) DataCom(&none, 0);
                 return 2;
             }},
            {"remote once-read",
             [](GarbageReplies& t) {
                 RW_VAR v = t.var(7, 2, 2);
                 v.linkNo = 5;
                 PLC_driver.onceReadList << v;
                 ComCommunication();
                 return 0;
             }},
            {"local once-read in the remote framing",
             [](GarbageReplies& t) {
                 t.info.remoteMode = 1;
                 RW_VAR a = t.var(24, 0, 3), b = t.var(2, 8, 9);
                 a.kind = a.id = 1;
                 b.kind = b.id = 2;
                 PLC_driver.onceReadList << a << b;
                 ComCommunication();
                 return 2;
             }},
            {"broadcast write",
             [](GarbageReplies& t) {
                 PLC_driver.writeList << t.write(12, 4, 3, "00 05", 0);
                 ComCommunication();
                 return 1;
             }},
            {"read accepting any length",
             [](GarbageReplies& t) {
                 PLC_driver.readList << t.var(9, 0, 2);
                 ComCommunication();
                 PLC_driver.pendingFrames.first().replyLen = -1;
                 return 0;
             }},
            {"bit write whose read accepts any length",
             [](GarbageReplies& t) {
                 PLC_driver.writeList << t.write(21, 35, 4, "01");
                 ComCommunication();
                 PLC_driver.pendingFrames.first().replyLen = -1;
                 return 1;
             }},
        };
    }
};

TEST_F(GarbageReplies, NeverCrashAndNeverLoseTheHostsWork) {
    std::mt19937 rng(0x5EED2024u);
    auto byte = [&] { return char(rng() & 0xFF); };
    long exchanges = 0;
    for (const Point& point : points()) {
        SCOPED_TRACE(point.name);
        for (int size = 0; size <= 300; ++size) {
            for (int shape = 0; shape < 2; ++shape) {
                // Shape 0: noise. Shape 1: noise that starts with the right
                // station and ends in a valid CRC, so it gets past the check.
                QByteArray reply;
                for (int i = 0; i < size; ++i) reply.append(byte());
                if (shape == 1 && size >= 3) {
                    reply[0] = 1;
                    reply = sealCrc(reply.left(size - 2));
                }
                const int lengths[] = {size, size + 1 + int(rng() % 64), size / 2,
                                       -1 - int(rng() % 1000), INT_MIN};
                for (int len : lengths) {
                    fresh();
                    const int owed = point.setup(*this);
                    const int pendingBefore = PLC_driver.pendingFrames.size();
                    const int writesBefore = PLC_driver.writeList.size();
                    const int onceBefore = PLC_driver.onceReadList.size();
                    const int readsBefore = PLC_driver.readList.size();
                    const auto imageBefore = DataStorage;

                    QByteArray copy = reply;  // exactly `size` bytes
                    RW_VAR* r = DataCom(&copy, len);
                    ++exchanges;

                    ASSERT_EQ(r, &PLC_driver.retVar);
                    ASSERT_TRUE(knownStatus(r->status)) << r->status << " size " << size;
                    ASSERT_TRUE(r->value.isEmpty());
                    ASSERT_LE(PLC_driver.pendingFrames.size(), std::min(2, pendingBefore));
                    ASSERT_LE(PLC_driver.writeList.size(), writesBefore);
                    ASSERT_LE(PLC_driver.onceReadList.size(), onceBefore);
                    ASSERT_EQ(PLC_driver.readList.size(), readsBefore);
                    ASSERT_GE(info.retryCount, 0);
                    ASSERT_LE(info.retryCount, info.retryMax);
                    ASSERT_GE(PLC_driver.okCount, 0);
                    ASSERT_LE(PLC_driver.okCount, readsBefore);
                    if (!PLC_driver.pendingFrames.isEmpty()) {
                        ASSERT_GE(info.framesDone, 0);
                        ASSERT_LT(info.framesDone, info.framesExpected);
                    }
                    if (r->status != 1 && r->status != 100) {
                        ASSERT_TRUE(DataStorage == imageBefore) << "a bad reply changed the image";
                    }

                    // The host's writes and once-reads still come to an end,
                    // each reported exactly once.
                    for (int turn = 0; turn < 12; ++turn)
                        if (!pollOnce(ctl).sent) break;
                    ASSERT_TRUE(PLC_driver.writeList.isEmpty());
                    ASSERT_TRUE(PLC_driver.onceReadList.isEmpty());
                    ASSERT_EQ(doneCalls, owed) << "size " << size << " len " << len;
                }
            }
        }
    }
    EXPECT_EQ(exchanges, long(points().size()) * 301 * 2 * 5);
}

TEST_F(GarbageReplies, AcceptedRandomDataLandsOnlyWhereTheFrameAskedFor) {
    // Whatever the data bytes of a valid reply hold, they go to the station,
    // area and registers of the frame, and nowhere else.
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        fresh();
        PLC_driver.readList << var(7, 0, 3);
        ComCommunication();
        QByteArray reply = hex("01 03 06");
        for (int i = 0; i < 6; ++i) reply.append(char(rng() & 0xFF));
        reply = sealCrc(reply);
        ASSERT_EQ(DataCom(&reply, reply.size())->status, 1);
        ASSERT_EQ(DataStorage.keys(), QList<int>({1}));
        ASSERT_EQ(DataStorage[1].keys(), QList<int>({7}));
        ASSERT_EQ(DataStorage[1][7].size(), 6);
        for (int k = 0; k < 3; ++k) {
            ASSERT_EQ(DataStorage[1][7][2 * k], reply[3 + 2 * k + 1]);
            ASSERT_EQ(DataStorage[1][7][2 * k + 1], reply[3 + 2 * k]);
        }
    }
}

}  // namespace
}  // namespace plctest
