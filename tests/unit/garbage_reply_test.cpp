// Random replies of every length at every point of a request, with length
// arguments that agree with the bytes or not: the driver stays consistent
// and still finishes the host's work.
#include <algorithm>
#include <climits>
#include <random>

#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

// 0 repeat, 1 good, 100 good remote, or a give-up code: base + 0..11.
bool knownStatus(int s) {
    const int base = s >= 111 ? 111 : 11;
    return s == 0 || s == 1 || s == 100 || (s >= base && s < base + 72 && (s - base) % 30 < 12);
}

// Where a request stands when the garbage arrives: its entry on `list` (0 cyclic, 1 write,
// 2 once-read, -1 none), framed, after `answered` good and `empties` empty replies; `owed`:
// the completion callbacks due for it and for a plain write queued behind it.
// clang-format off
struct Point { const char* name; int list, type, addr, station, linkNo, remoteMode, answered, empties; bool anyLength; int owed; };
const Point kPoints[] = {
    {"nothing pending",                     -1,  0,  0, 1, 0, 0, 0, 0, false, 1},
    {"first frame of a cyclic read",         0,  7,  0, 1, 0, 0, 0, 0, false, 1},
    {"first frame of a bit write",           1, 20, 53, 1, 0, 0, 0, 0, false, 2},
    {"second frame of a bit write",          1, 23, 17, 1, 0, 0, 1, 0, false, 2},
    {"last repeat of a write",               1, 12,  0, 1, 0, 0, 0, 2, false, 2},
    {"remote once-read",                     2,  7,  2, 1, 5, 0, 0, 0, false, 1},
    {"local once-read in the remote framing",2, 24,  0, 1, 0, 1, 0, 0, false, 2},
    {"broadcast write",                      1, 12,  4, 0, 0, 0, 0, 0, false, 2},
    {"read accepting any length",            0,  9,  0, 1, 0, 0, 0, 0, true,  1},
    {"bit write whose read takes any length",1, 21, 35, 1, 0, 0, 0, 0, true,  2},
};
// clang-format on

using GarbageReplies = DriverTest;

TEST_F(GarbageReplies, NeverCrashNeverCorruptTheListsAndNeverLoseTheHostsWork) {
    Communication_Protocol& d = PLC_driver;
    ScriptedController ctl{1};
    // A fresh fixture with the entry of `p` in flight.
    auto setUpPoint = [&](const Point& p) {
        TearDown();
        SetUp();
        info.remoteMode = p.remoteMode;
        RW_VAR v = var(p.type, p.addr, p.list == 0 ? 4 : 1, p.station);
        v.kind = v.id = 3;
        v.direction = p.list == 1;
        v.linkNo = p.linkNo;
        v.value = hex(p.type == 12 ? "12 34" : "01");
        if (p.list >= 0) {
            (p.list == 0 ? d.readList : p.list == 1 ? d.writeList : d.onceReadList) << v;
            ASSERT_NE(ComCommunication(), nullptr);
        }
        if (p.anyLength) d.pendingFrames.first().replyLen = -1;
        for (int i = 0; i < p.answered; ++i) {
            QByteArray r = ctl.answer(d.pendingFrames.first().frame);
            ASSERT_EQ(DataCom(&r, r.size())->status, 1);
        }
        QByteArray none;
        for (int i = 0; i < p.empties; ++i) ASSERT_EQ(DataCom(&none, 0)->status, 0);
        d.writeList << RW_VAR{4, 4, 1, 0, 0, 0, "", "", 7, 9, 1, 1, 0, 0, hex("00 02")};
    };
    std::mt19937 rng(0x5EED2024u);
    for (const Point& p : kPoints) {
        SCOPED_TRACE(p.name);
        for (int size = 0; size <= 300; ++size) {
            for (bool sealed : {false, true}) {
                // Sealed: noise that starts with station 1 and ends in a valid
                // CRC, so that it gets past the reply check.
                QByteArray reply;
                for (int i = 0; i < size; ++i) reply.append(char(rng() & 0xFF));
                if (sealed && size >= 3) {
                    reply[0] = 1;
                    reply = sealCrc(reply.left(size - 2));
                }
                for (int len : {size, size + 1 + int(rng() % 64), size / 2, -1 - int(rng() % 1000),
                                INT_MIN}) {
                    setUpPoint(p);
                    if (HasFatalFailure()) return;
                    const int pending = d.pendingFrames.size(), reads = d.readList.size();
                    const int writes = d.writeList.size(), onces = d.onceReadList.size();
                    const auto imageBefore = DataStorage;

                    QByteArray copy = reply;  // exactly `size` bytes
                    RW_VAR* r = DataCom(&copy, len);
                    ASSERT_TRUE(r == &d.retVar && r->value.isEmpty());
                    ASSERT_TRUE(knownStatus(r->status)) << r->status << " size " << size;
                    ASSERT_LE(d.pendingFrames.size(), std::min(2, pending));
                    ASSERT_TRUE(d.writeList.size() <= writes && d.onceReadList.size() <= onces);
                    ASSERT_EQ(d.readList.size(), reads);
                    ASSERT_TRUE(info.retryCount >= 0 && info.retryCount <= info.retryMax);
                    ASSERT_TRUE(d.okCount >= 0 && d.okCount <= reads);
                    ASSERT_TRUE(d.pendingFrames.isEmpty() || info.framesDone < info.framesExpected);
                    ASSERT_TRUE(r->status == 1 || r->status == 100 || DataStorage == imageBefore)
                        << "a bad reply changed the image";

                    // Every write and local once-read is still reported, once.
                    pollUntilIdle(ctl, 12);
                    ASSERT_TRUE(d.writeList.isEmpty() && d.onceReadList.isEmpty());
                    ASSERT_EQ(int(rec.done.size()), p.owed) << "size " << size << " len " << len;
                }
            }
        }
    }
}

}  // namespace
}  // namespace plctest
