// Reply handling: the reply check, status codes, repeats and give-ups,
// completion callbacks, multi-frame requests and the bit-in-word patch.
#include "scripted_controller.h"
#include "test_support.h"

namespace plctest {
namespace {

class Replies : public DriverTest {
protected:
    ScriptedController ctl{1, 5, 200};

    static int feed(QByteArray reply) { return DataCom(&reply, reply.size())->status; }
    static int feed(QByteArray reply, int len) { return DataCom(&reply, len)->status; }

    // Puts one frame for `v` at the head of pendingFrames, the way the
    // scheduler would.
    static void queueRead(const RW_VAR& v) {
        RW_VAR copy = v;
        ReadAnalog(&copy);
    }
    RW_VAR writeVar(int addr, int kind, int id, int station = 1) const {
        RW_VAR v = var(12, addr, 1, station);
        v.direction = 1;
        v.kind = kind;
        v.id = id;
        v.value = hex("12 34");
        return v;
    }
};

TEST_F(Replies, StatusCodesAddTheFineCodeOfSmallKinds) {
    const int kinds[] = {0, 3, 11, 12, -1, 100};
    for (int kind : kinds) {
        SCOPED_TRACE(kind);
        PLC_driver.pendingFrames.clear();
        RW_VAR v = var(7, 0, 1);
        v.kind = kind;
        queueRead(v);
        const int k = kind >= 0 && kind <= 11 ? kind : 0;
        const int expected[][2] = {{0, 1},   {1, 11 + k},  {2, 41 + k},  {3, 71 + k},
                                   {4, 100}, {5, 111 + k}, {6, 141 + k}, {7, 171 + k},
                                   {8, 200}, {-1, 200}};
        for (const auto& e : expected) EXPECT_EQ(GetDriverReturnValue(e[0]), e[1]) << e[0];
        EXPECT_EQ(SwitchErrorReturn(40), 41 + k);
    }
}

struct CheckRow {
    const char* what;
    int station, direction;
    QByteArray reply;
    int len;  // -1: the reply's size
    int expected;
};

TEST_F(Replies, ReplyCheckLooksAtStationLengthCrcAndDirection) {
    const QByteArray good = hex("01 03 02 12 14 B4 EB");
    const CheckRow rows[] = {
        {"station 0 is never checked", 0, 0, hex("FF"), -1, 2},
        {"station 0 ignores direction", 0, 7, QByteArray(), -1, 2},
        {"read reply carries data", 1, 0, good, -1, 1},
        {"write acknowledgement", 1, 1, good, -1, 2},
        {"unknown direction", 1, 2, good, -1, 0},
        {"other station", 5, 0, good, -1, 0},
        {"station above 127", 200, 0, hex("C8 03 02 00 07 25 96"), -1, 1},
        {"five bytes are too few", 5, 0, hex("05 01 00 60 51"), -1, 0},
        {"crc low byte wrong", 1, 0, hex("01 03 02 12 14 B5 EB"), -1, 0},
        {"crc high byte wrong", 1, 0, hex("01 03 02 12 14 B4 EA"), -1, 0},
        {"crc bytes swapped", 1, 0, hex("01 03 02 12 14 EB B4"), -1, 0},
        {"length argument decides where the crc is", 1, 0, good + hex("77 88"), 7, 1},
        {"trailing bytes break the crc", 1, 0, good + hex("77 88"), -1, 0},
    };
    for (const CheckRow& r : rows) {
        SCOPED_TRACE(r.what);
        PLC_driver.pendingFrames.clear();
        RW_VAR v = var(7, 0, 1, r.station);
        v.direction = r.direction;
        queueRead(v);
        QByteArray reply = r.reply;
        EXPECT_EQ(CheckGetData(&reply, r.len < 0 ? reply.size() : r.len), r.expected);
    }
}

TEST_F(Replies, NothingPendingLeavesTheReturnedRecordAlone) {
    PLC_driver.retVar.kind = 6;
    PLC_driver.retVar.addr = 123;
    PLC_driver.retVar.status = 55;
    QByteArray none;
    RW_VAR* r = DataCom(&none, 0);
    EXPECT_EQ(r, &PLC_driver.retVar);
    EXPECT_EQ(r->status, 1);
    EXPECT_EQ(r->kind, 6);
    EXPECT_EQ(r->addr, 123);
    EXPECT_EQ(feed(hex("01 03 02 00 00 B8 44")), 1);
    EXPECT_TRUE(rec.done.empty());
    EXPECT_TRUE(rec.fails.empty());
}

TEST_F(Replies, BadCrcIsRepeatedRetryMaxTimesThenGivenUp) {
    RW_VAR v = var(7, 10, 2);
    v.kind = 2;
    PLC_driver.readList << v << var(7, 50, 1);
    ctl.setWord(1, 7, 10, 0x1111);
    ctl.script({Answer::BadCrc, Answer::BadCrc, Answer::BadCrc});
    std::vector<int> statuses;
    for (int i = 0; i < 3; ++i) statuses.push_back(pollOnce(ctl).status);
    EXPECT_EQ(statuses, (std::vector<int>{0, 0, 13}));
    EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
    EXPECT_EQ(info.retryCount, 0);
    EXPECT_TRUE(PLC_driver.failFlag);
    EXPECT_EQ(info.finishFlag, 0);
    ASSERT_EQ(rec.fails.size(), 1u);
    EXPECT_EQ(rec.fails[0].listSize, 0);
    EXPECT_EQ(rec.fails[0].kind, 2);
    EXPECT_EQ(rec.fails[0].one, 1);
    EXPECT_TRUE(rec.done.empty());  // cyclic reads report no completion
    // The cyclic read went to the end; nothing reached the image.
    EXPECT_EQ(PLC_driver.readList.last().addr, 10);
    const QByteArray area = DataStorage.value(1).value(7);
    EXPECT_EQ(area, QByteArray(area.size(), 0));
}

struct FinalRow {
    const char* what;
    bool remote;
    int kind;
    Answer answer;
    int expected;
};

TEST_F(Replies, LastRepeatReportsWhatWentWrongAndOnWhichPath) {
    const FinalRow rows[] = {
        {"no reply, local", false, 3, Answer::Silent, 44},
        {"no reply, remote", true, 3, Answer::Silent, 144},
        {"short reply, local", false, 0, Answer::Short, 71},
        {"short reply, remote", true, 5, Answer::Short, 176},
        {"exception reply has the wrong length", false, 1, Answer::Exception, 72},
        {"wrong station, local", false, 11, Answer::WrongStation, 22},
        {"wrong station, remote, kind 12", true, 12, Answer::WrongStation, 111},
        {"bad crc, negative kind", false, -1, Answer::BadCrc, 11},
        {"bad crc, remote", true, 0, Answer::BadCrc, 111},
    };
    info.retryMax = 0;
    for (const FinalRow& r : rows) {
        SCOPED_TRACE(r.what);
        RW_VAR v = var(7, 0, 1);
        v.kind = r.kind;
        v.linkNo = r.remote ? 3 : 0;
        PLC_driver.readList = {v};
        ctl.script({r.answer});
        EXPECT_EQ(pollOnce(ctl).status, r.expected);
        EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
    }
    EXPECT_EQ(rec.fails.size(), sizeof(rows) / sizeof(rows[0]));
}

TEST_F(Replies, BroadcastWriteNeedsNoReply) {
    PLC_driver.writeList << writeVar(4, 1, 2, 0);
    Protocol* p = ComCommunication();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->replyLen, 0);
    EXPECT_EQ(feed(QByteArray()), 1);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    ASSERT_EQ(rec.done.size(), 1u);
    EXPECT_EQ(rec.done[0].result, 1);
}

TEST_F(Replies, FiveByteReplyIsInvalidEvenWhenFiveAreExpected) {
    info.retryMax = 0;
    RW_VAR v = var(1, 0, 0, 5);  // zero bits: replyLen 5
    queueRead(v);
    PLC_driver.readList << v;
    PLC_driver.lastList = 0;
    ASSERT_EQ(PLC_driver.pendingFrames.first().replyLen, 5);
    EXPECT_EQ(feed(hex("05 01 00 60 51")), 11);
}

TEST_F(Replies, AnyLengthIsAcceptedWhenTheFrameSaysSo) {
    PLC_driver.readList << var(7, 0, 1);
    ASSERT_NE(ComCommunication(), nullptr);
    PLC_driver.pendingFrames.first().replyLen = -1;
    // Two registers come back for a one-register request; one is stored.
    EXPECT_EQ(feed(sealCrc(hex("01 03 04 12 34 56 78"))), 1);
    EXPECT_EQ(DataStorage.value(1).value(7).mid(0, 4).leftJustified(4, 0), hex("34 12 00 00"));
}

TEST_F(Replies, CompletionIsReportedOnlyForTheLastOfEqualWrites) {
    PLC_driver.writeList << writeVar(0, 1, 5) << writeVar(1, 1, 5) << writeVar(2, 2, 5);
    pollOnce(ctl);
    EXPECT_TRUE(rec.done.empty());
    pollOnce(ctl);
    pollOnce(ctl);
    ASSERT_EQ(rec.done.size(), 2u);
    EXPECT_EQ(rec.done[0].hostHandle, 77);
    EXPECT_EQ(rec.done[0].kind, 1);
    EXPECT_EQ(rec.done[0].id, 5);
    EXPECT_EQ(rec.done[0].result, 1);
    EXPECT_EQ(rec.done[1].kind, 2);
    EXPECT_EQ(ctl.requests().size(), 3u);
}

TEST_F(Replies, OnceReadsReportCompletionOnlyOnTheLocalPath) {
    for (bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "remote" : "local");
        rec.done.clear();
        DataStorage.clear();
        ctl.setWord(1, 7, 30, 0xBEEF);
        RW_VAR v = var(7, 30, 1);
        v.kind = 4;
        v.id = 17;
        v.linkNo = remote ? 9 : 0;
        v.value = hex("01 02");
        PLC_driver.onceReadList = {v};
        Turn t = pollOnce(ctl);
        EXPECT_EQ(t.status, remote ? 100 : 1);
        EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
        const RW_VAR& r = PLC_driver.retVar;
        EXPECT_EQ(r.kind, 4);
        EXPECT_EQ(r.id, 17);
        EXPECT_EQ(r.addr, 30);
        EXPECT_EQ(r.linkNo, v.linkNo);
        EXPECT_TRUE(r.value.isEmpty());
        EXPECT_EQ(rec.done.size(), remote ? 0u : 1u);
        // A remote reply to an ordinary read is not stored.
        const QByteArray stored = DataStorage.value(1).value(7).mid(60, 2);
        EXPECT_EQ(stored.leftJustified(2, 0), remote ? QByteArray(2, 0) : hex("EF BE"));
    }
}

TEST_F(Replies, RemoteGoodRepliesReport100ExceptAMarkedFirstFrame) {
    const struct {
        int special;
        int first, second;
    } rows[] = {{0, 100, 100}, {-1, 1, 100}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.special);
        RW_VAR v = var(7, 0, 1);
        v.linkNo = 9;
        v.special = r.special;
        queueRead(v);
        queueRead(v);
        info.framesExpected = 2;
        PLC_driver.onceReadList = {v};
        PLC_driver.lastList = 2;
        EXPECT_EQ(feed(hex("01 03 02 12 34 B5 33")), r.first);
        EXPECT_EQ(feed(hex("01 03 02 12 34 B5 33")), r.second);
        EXPECT_TRUE(PLC_driver.onceReadList.isEmpty());
        EXPECT_TRUE(DataStorage.isEmpty());
    }
    EXPECT_TRUE(rec.done.empty());
}

TEST_F(Replies, GoodReplyDoesNotRefillTheRepeatBudget) {
    RW_VAR v = var(7, 0, 1);
    PLC_driver.readList << v;
    ctl.script({Answer::BadCrc, Answer::Good, Answer::BadCrc, Answer::BadCrc});
    std::vector<int> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(pollOnce(ctl).status);
    EXPECT_EQ(statuses, (std::vector<int>{0, 1, 0, 11}));
    EXPECT_EQ(info.retryCount, 0);
}

TEST_F(Replies, FailFlagFollowsTheLastReply) {
    PLC_driver.readList << var(7, 0, 1);
    ctl.script({Answer::Silent});
    pollOnce(ctl);
    EXPECT_TRUE(PLC_driver.failFlag);
    pollOnce(ctl);
    EXPECT_FALSE(PLC_driver.failFlag);
}

TEST_F(Replies, FinishFlagRisesAfterOneMoreGoodCompletionThanReadEntries) {
    PLC_driver.readList << var(7, 0, 1) << var(7, 10, 1) << var(7, 20, 1);
    for (int i = 1; i <= 3; ++i) {
        pollOnce(ctl);
        EXPECT_EQ(info.finishFlag, 0) << i;
        EXPECT_EQ(PLC_driver.okCount, i);
    }
    ctl.script({Answer::Short});
    EXPECT_EQ(pollOnce(ctl).status, 0);
    EXPECT_EQ(PLC_driver.okCount, 0);
    for (int i = 1; i <= 3; ++i) pollOnce(ctl);
    EXPECT_EQ(info.finishFlag, 0);
    pollOnce(ctl);
    EXPECT_EQ(info.finishFlag, 1);
    EXPECT_EQ(PLC_driver.okCount, 0);
    // Once raised, good completions no longer count; a bad reply lowers it.
    pollOnce(ctl);
    EXPECT_EQ(PLC_driver.okCount, 0);
    ctl.script({Answer::BadCrc});
    pollOnce(ctl);
    EXPECT_EQ(info.finishFlag, 0);
}

TEST_F(Replies, RemoteCompletionsDoNotCountTowardsTheCycle) {
    RW_VAR v = var(7, 0, 1);
    v.linkNo = 9;
    PLC_driver.readList << v;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pollOnce(ctl).status, 100);
    EXPECT_EQ(PLC_driver.okCount, 0);
    EXPECT_EQ(info.finishFlag, 0);
}

TEST_F(Replies, GiveUpPurgesEqualWritesAndOnlyThisStationsInMultiStationMode) {
    for (int multi : {0, 1}) {
        SCOPED_TRACE(multi);
        info.multiStation = multi;
        rec.done.clear();
        rec.fails.clear();
        PLC_driver.writeList = {writeVar(0, 4, 8, 1), writeVar(1, 4, 9, 1), writeVar(2, 4, 8, 1),
                                writeVar(3, 4, 8, 2)};
        ctl.script({Answer::Silent, Answer::Silent, Answer::Silent});
        EXPECT_EQ(pollOnce(ctl).status, 0);
        EXPECT_EQ(pollOnce(ctl).status, 0);
        EXPECT_EQ(pollOnce(ctl).status, 41 + 4);
        ASSERT_EQ(rec.fails.size(), 1u);
        EXPECT_EQ(rec.fails[0].kind, 4);
        ASSERT_EQ(rec.done.size(), 1u);
        EXPECT_EQ(rec.done[0].id, 8);
        EXPECT_EQ(rec.done[0].result, 2);
        QList<int> left;
        for (const RW_VAR& w : PLC_driver.writeList) left << w.addr;
        EXPECT_EQ(left, multi ? QList<int>({1, 3}) : QList<int>({1}));
        PLC_driver.writeList.clear();
        PLC_driver.writeBurst = 0;
    }
}

TEST_F(Replies, GiveUpOfAOnceReadPurgesItsDuplicates) {
    RW_VAR a = var(7, 0, 1);
    a.kind = 2;
    a.id = 3;
    RW_VAR b = a;
    b.addr = 32;
    RW_VAR c = a;
    c.id = 4;
    PLC_driver.onceReadList = {a, b, c};
    info.retryMax = 0;
    ctl.script({Answer::BadCrc});
    EXPECT_EQ(pollOnce(ctl).status, 13);
    ASSERT_EQ(PLC_driver.onceReadList.size(), 1);
    EXPECT_EQ(PLC_driver.onceReadList.first().id, 4);
    ASSERT_EQ(rec.done.size(), 1u);
    EXPECT_EQ(rec.done[0].result, 2);
}

TEST_F(Replies, ReturnedRecordNeverCarriesTheWriteValue) {
    RW_VAR from = writeVar(7, 3, 4);
    from.name = "pump";
    from.addrText = "7";
    from.extra = 99;
    RW_VAR to = emptyRwVar();
    to.value = hex("FF");
    passRetValue(from, to);
    EXPECT_TRUE(to.value.isEmpty());
    EXPECT_EQ(to.name, from.name);
    EXPECT_EQ(to.addrText, from.addrText);
    EXPECT_EQ(to.extra, 99);
    EXPECT_EQ(to.direction, 1);
    EXPECT_EQ(to.addr, 7);

    PLC_driver.writeList << from;
    pollOnce(ctl);
    EXPECT_TRUE(PLC_driver.retVar.value.isEmpty());
    EXPECT_EQ(PLC_driver.retVar.extra, 99);
}

// The recorder's callbacks cannot see the lock; these can.
bool listLockedInCallback = false;
int lockChecks = 0;
void checkLockDone(int32_t, int32_t, int32_t, int32_t) {
    ++lockChecks;
    listLockedInCallback = !PLC_driver.listMutex.tryLock();
    if (!listLockedInCallback) PLC_driver.listMutex.unlock();
}
void checkLockFail(QList<RW_VAR>, int32_t, int32_t) { checkLockDone(0, 0, 0, 0); }

TEST_F(Replies, CallbacksRunWhileTheListsAreLocked) {
    RegistCallBackFuncIntf(checkLockDone, checkLockFail);
    info.retryMax = 0;
    PLC_driver.writeList << writeVar(0, 1, 1) << writeVar(1, 1, 2);
    pollOnce(ctl);
    EXPECT_EQ(lockChecks, 1);
    EXPECT_TRUE(listLockedInCallback);
    listLockedInCallback = false;
    ctl.script({Answer::Silent});
    pollOnce(ctl);
    EXPECT_EQ(lockChecks, 3);  // completion (given up) and failure
    EXPECT_TRUE(listLockedInCallback);
}

// ---------------------------------------------------------------------------
// Two-frame requests: a bit inside a word register

struct PatchRow {
    int addr;
    const char* value;
    const char* reply;
    const char* patched;
};

TEST_F(Replies, BitWriteReadReplyPatchesTheWaitingWriteFrame) {
    const PatchRow rows[] = {
        {53, "01", "01 03 02 12 14 B4 EB", "01 06 2D DB 12 34 FD EA"},
        {53, "00", "01 03 02 12 14 B4 EB", "01 06 2D DB 12 14 FC 32"},
        {53, "80", "01 03 02 12 14 B4 EB", "01 06 2D DB 12 34 FD EA"},
        {53, "", "01 03 02 12 34 B5 33", "01 06 2D DB 12 14 FC 32"},
        {35, "01", "01 03 02 12 34 B5 33", "01 06 2D DA 12 3C AD EC"},
        {36, "00", "01 03 02 12 34 B5 33", "01 06 2D DA 12 24 AD E6"},
        {63, "01", "01 03 02 00 00 B8 44", "01 06 2D DB 80 00 91 5D"},
        {48, "00", "01 03 02 FF FF B9 F4", "01 06 2D DB FF FE 30 ED"},
    };
    for (const PatchRow& r : rows) {
        SCOPED_TRACE(r.patched);
        PLC_driver.pendingFrames.clear();
        RW_VAR bit = var(20, r.addr, 1);
        bit.direction = 1;
        bit.kind = 6;
        bit.value = hex(r.value);
        PLC_driver.writeList = {bit};
        PLC_driver.lastList = 1;
        WriteRegister(&bit);
        ASSERT_EQ(PLC_driver.pendingFrames.size(), 2);
        const auto imageBefore = DataStorage;

        EXPECT_EQ(feed(hex(r.reply)), 1);
        ASSERT_EQ(PLC_driver.pendingFrames.size(), 1);
        EXPECT_EQ(toHex(PLC_driver.pendingFrames.first().frame), QString(r.patched));
        EXPECT_EQ(info.framesDone, 1);
        EXPECT_EQ(PLC_driver.writeList.size(), 1);  // not completed yet
        EXPECT_TRUE(rec.done.empty());
        EXPECT_TRUE(DataStorage == imageBefore);
        PLC_driver.writeList.clear();
    }
}

TEST_F(Replies, SecondFrameOfABitWriteCompletesIt) {
    ctl.setWord(1, 7, 3, 0x1214);
    RW_VAR bit = var(20, 53, 1);
    bit.direction = 1;
    bit.kind = 6;
    bit.id = 60;
    bit.value = hex("01");
    PLC_driver.writeList << bit;
    Turn first = pollOnce(ctl);
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(PLC_driver.writeList.size(), 1);
    Turn second = pollOnce(ctl);
    EXPECT_EQ(toHex(second.request), QString("01 06 2D DB 12 34 FD EA"));
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(PLC_driver.writeList.isEmpty());
    EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
    ASSERT_EQ(rec.done.size(), 1u);
    EXPECT_EQ(rec.done[0].id, 60);
    EXPECT_EQ(ctl.word(1, 7, 3), 0x1234);
}

TEST_F(Replies, FailureOnEitherFrameGivesUpTheWholeBitWrite) {
    const struct {
        std::initializer_list<Answer> script;
        std::vector<int> statuses;
    } rows[] = {
        {{Answer::Silent, Answer::Silent}, {0, 41}},
        {{Answer::Good, Answer::Silent, Answer::Silent}, {1, 0, 41}},
    };
    info.retryMax = 1;
    for (const auto& r : rows) {
        ctl.setWord(1, 7, 3, 0x00F0);
        RW_VAR bit = var(20, 53, 1);
        bit.direction = 1;
        bit.value = hex("01");
        PLC_driver.writeList = {bit, writeVar(0, 9, 9)};
        PLC_driver.writeBurst = 0;
        ctl.script(r.script);
        std::vector<int> statuses;
        for (size_t i = 0; i < r.statuses.size(); ++i) statuses.push_back(pollOnce(ctl).status);
        EXPECT_EQ(statuses, r.statuses);
        EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
        ASSERT_EQ(PLC_driver.writeList.size(), 1);
        EXPECT_EQ(PLC_driver.writeList.first().kind, 9);
        // What goes out next is the other write, not a leftover half.
        Turn next = pollOnce(ctl);
        EXPECT_EQ(toHex(next.request.left(4)), QString("01 06 06 C8"));
        EXPECT_EQ(ctl.word(1, 7, 3), 0x00F0);
    }
}

TEST_F(Replies, BitWriteWhoseEntryVanishedInFlightNeverClobbersTheRegister) {
    ctl.setWord(1, 7, 3, 0x1214);
    RW_VAR bit = var(20, 53, 1);
    bit.direction = 1;
    bit.value = hex("01");
    PLC_driver.writeList << bit;
    Protocol* p = ComCommunication();
    ASSERT_NE(p, nullptr);
    // The host switches to image-only writes while the pair is in flight;
    // that empties the write list, the entry being served included.
    info.runMode = 0;
    QString name, text("1");
    QByteArray values = hex("01 00");
    SetRegisterData(name, 7, text, 1, values, 1, 0, 0);
    ASSERT_TRUE(PLC_driver.writeList.isEmpty());
    QByteArray reply = ctl.answer(p->frame);
    EXPECT_EQ(feed(reply), 1);
    EXPECT_LE(PLC_driver.pendingFrames.size(), 1);
    pollUntilIdle(ctl);
    // Whether the write half is patched or dropped, the placeholder 00 00
    // must not reach the controller.
    const uint16_t word = ctl.word(1, 7, 3);
    EXPECT_TRUE(word == 0x1214 || word == 0x1234) << std::hex << word;
    EXPECT_TRUE(PLC_driver.pendingFrames.isEmpty());
    EXPECT_TRUE(rec.done.empty());
}

// ---------------------------------------------------------------------------
// Storing read replies

struct StoreRow {
    int type, addr, count;
    const char* data;
    int from;
    const char* stored;  // area bytes from index `from`
};

TEST_F(Replies, ReadRepliesLandInTheImageInItsByteOrder) {
    const StoreRow rows[] = {
        {1, 8, 10, "05 02", 8, "01 00 01 00 00 00 00 00 00 01 07"},  // index 18 untouched
        {1, 0, 16, "FF 00", 0, "01 01 01 01 01 01 01 01 00 00 00 00 00 00 00 00"},
        {0, 3, 3, "06", 3, "00 01 01"},
        {7, 5, 2, "12 34 AB CD", 10, "34 12 CD AB"},
        {17, 0, 1, "80 01", 0, "01 80"},
    };
    for (const StoreRow& r : rows) {
        SCOPED_TRACE(r.stored);
        DataStorage.clear();
        DataStorage[1][r.type] = QByteArray(40, '\x07');
        PLC_driver.readList = {var(r.type, r.addr, r.count)};
        ASSERT_NE(ComCommunication(), nullptr);
        QByteArray reply = hex("01");
        reply.append(PLC_driver.pendingFrames.first().frame[1]);
        reply.append(char(hex(r.data).size()));
        reply.append(hex(r.data));
        EXPECT_EQ(feed(sealCrc(reply)), 1);
        const QByteArray expected = hex(r.stored);
        EXPECT_EQ(DataStorage[1][r.type].mid(r.from, expected.size()), expected);
    }
}

TEST_F(Replies, SavingForABitInWordHeadIsRefusedWithADiagnostic) {
    Protocol head{};
    head.var = var(21, 2, 1);
    head.dataPos = 3;
    head.dataLen = 2;
    head.replyLen = 7;
    PLC_driver.pendingFrames << head;
    QByteArray reply = hex("01 03 02 12 34 B5 33");
    SaveToLocalDataErea(&reply);
    EXPECT_EQ(rec.messages, QStringList("SaveToLocalDataErea default 21 "));
    EXPECT_FALSE(DataStorage.value(1).contains(21));
    const QByteArray area = DataStorage.value(1).value(12);
    EXPECT_EQ(area, QByteArray(area.size(), 0));
}

}  // namespace
}  // namespace plctest
