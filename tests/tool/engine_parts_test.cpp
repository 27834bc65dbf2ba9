// The engine's bookkeeping modules on their own: status codes, units,
// the trace's frame decoder, the write tracker, station back-off and the
// cycle statistics with what each variable's blocks say.
#include <gtest/gtest.h>

#include <QtCore/QStringList>
#include <random>

#include "cycle_stats.h"
#include "frame_decoder.h"
#include "station_backoff.h"
#include "status.h"
#include "units.h"
#include "write_tracker.h"

namespace {

using namespace plchost;

// The ranges DataCom's codes fall into (local k + 1 .. k + 12, remote 100 more):
// each class between its edges, the codes just outside them and the rest.
TEST(Status, EveryCodeFallsIntoTheClassOfItsRange) {
    using C = StatusClass;
    const std::pair<int, C> edges[] = {
        {-1, C::None},         {0, C::Retry},         {1, C::Good},          {100, C::Good},
        {11, C::BadReply},     {22, C::BadReply},     {111, C::BadReply},    {122, C::BadReply},
        {41, C::NoReply},      {52, C::NoReply},      {141, C::NoReply},     {152, C::NoReply},
        {71, C::WrongLength},  {82, C::WrongLength},  {171, C::WrongLength}, {182, C::WrongLength},
        {2, C::OtherGiveUp},   {10, C::OtherGiveUp},  {23, C::OtherGiveUp},  {40, C::OtherGiveUp},
        {53, C::OtherGiveUp},  {70, C::OtherGiveUp},  {83, C::OtherGiveUp},  {99, C::OtherGiveUp},
        {101, C::OtherGiveUp}, {110, C::OtherGiveUp}, {183, C::OtherGiveUp}, {250, C::OtherGiveUp},
    };
    for (const auto& [code, cls] : edges) {
        EXPECT_EQ(classifyStatus(code), cls) << code;
        EXPECT_EQ(isGiveUp(code), cls != C::None && cls != C::Good && cls != C::Retry) << code;
    }
    struct Row {
        int status, exception;
        const char* cell;
    };
    const Row rows[] = {
        {1, 0, "1 ok"},
        {100, 0, "100 ok (remote)"},
        {0, 0, "0 retrying"},
        {74, 0, "74 wrong length"},
        {171, 0, "171 remote length"},
        {44, 0, "44 no reply"},
        {71, 2, "71 exception 02 illegal data address"},
        {0, 6, "0 exception 06 server device busy"},
        {1, 2, "1 ok"},
        {-1, 0, "-"},
    };
    for (const Row& r : rows) EXPECT_EQ(statusCell(r.status, r.exception), r.cell);
}

TEST(Units, ValuesRoundTripThroughHostByteOrderInEveryTypeAndFormat) {
    std::mt19937 rng(3);
    for (int type = 0; type <= 25; ++type) {
        for (Format f : {Format::Dec, Format::Int, Format::Hex, Format::Bin}) {
            const UnitRange r = unitRange(type, f);
            std::uniform_int_distribution<long> any(r.min, r.max);
            std::vector<long> values;
            for (int k = 0; k < 40; ++k) values.push_back(any(rng));
            values.push_back(r.min);
            values.push_back(r.max);
            const QByteArray bytes = encodeUnits(type, values);
            EXPECT_EQ(bytes.size(), int(values.size()) * (isBitUnitType(type) ? 1 : 2));
            const Format back = f == Format::Int ? Format::Int : Format::Dec;
            EXPECT_EQ(decodeUnits(type, bytes, back), values) << type << " " << formatName(f);
            for (long v : values) {
                long parsed = -99999;
                std::string why;
                ASSERT_TRUE(parseUnitValue(std::to_string(v), type, f, &parsed, &why)) << why;
                EXPECT_EQ(parsed, v);
            }
            long out = 0;
            EXPECT_FALSE(parseUnitValue(std::to_string(r.max + 1), type, f, &out, nullptr));
            EXPECT_FALSE(parseUnitValue(std::to_string(r.min - 1), type, f, &out, nullptr));
        }
    }
    // Little-endian words: 0x1234 is 34 12.
    EXPECT_EQ(encodeUnits(7, {0x1234, 65535}), QByteArray::fromHex("3412ffff"));
    EXPECT_EQ(encodeUnits(7, {-2}), QByteArray::fromHex("feff"));
    EXPECT_EQ(formatUnit(7, 0x1234, Format::Hex), "0x1234");
    EXPECT_EQ(formatUnit(7, 5, Format::Bin), "0000000000000101");
    EXPECT_EQ(formatUnit(7, -2, Format::Int), "-2");
    EXPECT_EQ(formatUnit(20, 7, Format::Hex), "1");
}

TEST(FrameDecoder, ExceptionRepliesAreNamedFromTheirBytesAlone) {
    // 01 83 02 + CRC: station 1, function 3 with bit 7, code 2.
    const uint8_t head[] = {0x01, 0x83, 0x02};
    const uint16_t crc = crc16(head, 3);
    const QByteArray exception = QByteArray::fromHex("018302") + char(crc & 0xFF) + char(crc >> 8);
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>("\x01\x03\x00\x00\x00\x01"), 6), 0x0A84);
    struct Row {
        const char* name;
        QByteArray reply;
        int code;
    };
    QByteArray badCrc = exception;
    badCrc[4] = char(badCrc[4] ^ 1);
    const Row rows[] = {
        {"Exception", exception, 2},
        {"BadCrc", badCrc, 0},
        {"NormalReply", QByteArray::fromHex("010302123480B6"), 0},
        {"Truncated", exception.left(4), 0},
        {"Empty", QByteArray(), 0},
    };
    for (const Row& r : rows) EXPECT_EQ(exceptionCode(r.reply), r.code) << r.name;
    // Codes 1..11 by name; 7 and 9 have none.
    const char* names =
        "illegal function|illegal data address|illegal data value|server device failure|"
        "acknowledge|server device busy|unknown exception|memory parity error|"
        "unknown exception|gateway path unavailable|gateway target failed to respond";
    for (int code = 1; code <= 11; ++code) {
        const QString hex = QString::number(code, 16).toUpper().rightJustified(2, '0');
        const QString name = QString(names).section('|', code - 1, code - 1);
        EXPECT_EQ(exceptionText(code), ("exception " + hex + " " + name).toStdString());
    }
    EXPECT_EQ(exceptionText(0x42), "exception 42 unknown exception");
}

WriteRequest request(int station, int type, const char* addr, std::vector<long> values) {
    return {QString(), station, type, addr, int(values.size()), encodeUnits(type, values), false};
}

using Report = WriteTracker::Report;

// One completion reported by the driver: the follow-ups wanted.
WriteTracker::Followups done(WriteTracker& t, int id, int result, int64_t now) {
    return t.apply({Report{Report::WriteDone, id, result}}, now);
}

// Takes the next write the tracker lets go and hands it to the driver, which
// answers `result`; its id, or 0 when none may go.
int submitNext(WriteTracker& t, int64_t now, int result = 1) {
    int id = 0;
    WriteRequest req;
    if (!t.takeNext(now, &id, &req)) return 0;
    t.submitted(id, result, false, now);
    return id;
}

TEST(WriteTracker, WritesWaitForRoomAreConfirmedSupersededAndReadBack) {
    WriteTracker t(/*maxPiecesInDriver=*/4);
    const int a = t.add(request(1, 7, "10", {1, 2, 3}), 3);
    const int b = t.add(request(1, 7, "10", {4, 5, 6}), 3);
    ASSERT_EQ(submitNext(t, 110, 5), a);
    EXPECT_EQ(submitNext(t, 110), 0) << "3 + 3 pieces exceed the room for 4";
    EXPECT_EQ(t.status(b).state, WriteState::Waiting);
    EXPECT_EQ(t.status(a).state, WriteState::Queued);
    EXPECT_TRUE(done(t, a, 1, 210).readbacksToQueue.empty()) << "no read-back wanted";
    ASSERT_EQ(submitNext(t, 220), b);
    EXPECT_EQ(t.status(a).doneNs - t.status(a).queuedNs, 100);

    // A later write to the same target replaces an earlier one still queued.
    const int c = t.add(request(1, 7, "10", {7, 8, 9}), 1);
    ASSERT_EQ(submitNext(t, 300), c) << "3 + 1 pieces fit";
    EXPECT_TRUE(done(t, c, 1, 400).readbacksToQueue.empty());
    EXPECT_EQ(t.status(b).state, WriteState::Superseded);
    EXPECT_EQ(t.outstanding(), 0);

    // Given up: the failCallback that follows belongs to it.
    WriteRequest v = request(2, 20, "3.4", {1});
    v.verify = true;
    const int d = t.add(v, 1);
    ASSERT_EQ(submitNext(t, 500), d);
    t.apply({Report{Report::WriteDone, d, 2}, Report{Report::Fail, 0, 0, true}}, 600);
    EXPECT_EQ(t.status(d).state, WriteState::Failed);
    EXPECT_EQ(t.failCallbacks(), 1);
    EXPECT_TRUE(t.status(d).failCallback);

    // Confirmed with a read-back: a match, then a mismatch on another write.
    const int e = t.add(v, 1);
    ASSERT_EQ(submitNext(t, 700), e);
    EXPECT_EQ(done(t, e, 1, 800).readbacksToQueue, std::vector<int>{e});
    EXPECT_EQ(t.outstanding(), 1) << "reading back";
    EXPECT_EQ(t.apply({Report{Report::ReadbackDone, e, 1}}, 900).readbacksDone,
              std::vector<int>{e});
    t.readbackCompared(e, QByteArray::fromHex("01"));
    EXPECT_EQ(t.status(e).readback, WriteStatus::Readback::Match);
    EXPECT_FALSE(readbackMatches(request(1, 7, "0", {5, 6}), QByteArray::fromHex("05000700")));
    EXPECT_TRUE(readbackMatches(request(1, 7, "0", {5, 6}), QByteArray::fromHex("05000600")));
    EXPECT_FALSE(readbackMatches(request(1, 2, "0", {1, 0}), QByteArray::fromHex("0101")));

    // Refused by SetRegisterData, or by the host before it.
    const int f = t.add(request(1, 13, "0", {1}), 1);
    ASSERT_EQ(submitNext(t, 900, 0), f);
    EXPECT_EQ(t.status(f).state, WriteState::Rejected);
    const int g = t.addRejected(request(2, 7, "0", {1}), "station 2 is named while ...");
    EXPECT_EQ(t.status(g).state, WriteState::Rejected);
    EXPECT_EQ(t.outstanding(), 0);
}

TEST(StationBackoff, GiveUpsInARowSwitchAStationOffUntilAProbeAnswers) {
    std::vector<std::pair<int, bool>> switched;
    StationBackoff b({/*giveUps=*/2, /*delayMs=*/100}, [&](int s, bool on) {
        switched.push_back({s, on});
    });
    const int64_t ms = 1000000;
    struct Step {
        int station, status;
        int64_t atMs;
        StationBackoff::Change change;
    };
    using C = StationBackoff::Change;
    const Step steps[] = {
        {3, 41, 0, C::None}, {3, 1, 1, C::None},         {3, 41, 2, C::None},
        {3, 0, 3, C::None},  {3, 44, 4, C::SwitchedOff},  // the retry does not break the run
        {4, 41, 5, C::None},
    };
    for (const Step& s : steps)
        EXPECT_EQ(b.noteResult(s.station, s.status, s.atMs * ms), s.change) << s.atMs;
    EXPECT_EQ(switched, (std::vector<std::pair<int, bool>>{{3, false}}));
    EXPECT_EQ(b.nextProbeNs(), 104 * ms);
    EXPECT_TRUE(b.probeDue(103 * ms).empty());
    EXPECT_EQ(b.probeDue(104 * ms), std::vector<int>{3});
    EXPECT_EQ(b.noteResult(3, 1, 105 * ms), C::BackInService);
    EXPECT_EQ(b.station(3).timesOff, 1u);
    b.setEnabled(4, false);
    EXPECT_EQ(b.nextProbeNs(), INT64_MAX) << "switched off by hand: never probed";
}

TEST(CycleStats, UnitsNeverReadStayMarkedAndOldPartsGoStale) {
    CycleStats c;
    const int64_t s = 1000000000;
    c.noteRead({1, 7, 0, 4}, 1, 0, 1 * s, true);    // words 0..3 read
    c.noteRead({1, 7, 8, 4}, 44, 0, 1 * s, true);   // words 8..11 never answered
    c.noteRead({1, 7, 12, 2}, 71, 2, 2 * s, true);  // exception
    // Variable: words 2..9 of area 7.
    ReadState r = c.readState(1, 7, 2, 8, 2 * s, 10 * s);
    EXPECT_EQ(r.unitRead, (std::vector<bool>{1, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.lastStatus, 44);
    EXPECT_DOUBLE_EQ(r.dataAgeSec, 1.0);
    EXPECT_FALSE(r.stale);
    // Bits 60..67 inside words of area 7 (code 20): word 3 is read, word 4 is not.
    r = c.readState(1, 20, 60, 8, 2 * s, 10 * s);
    EXPECT_EQ(r.unitRead, (std::vector<bool>{1, 1, 1, 1, 0, 0, 0, 0}));
    r = c.readState(1, 7, 12, 1, 2 * s, 10 * s);
    EXPECT_EQ(r.exception, 2);
    EXPECT_EQ(r.dataAgeSec, -1) << "no good reply yet";
    EXPECT_TRUE(c.readState(2, 7, 0, 1, 2 * s, 10 * s).unitRead == std::vector<bool>{false});

    // Stale after three cycles without a good reply, or after the time limit.
    for (int cycle = 0; cycle < 2; ++cycle) c.endCycle(3 * s);
    EXPECT_FALSE(c.readState(1, 7, 0, 1, 3 * s, 10 * s).stale);
    c.endCycle(3 * s);
    EXPECT_TRUE(c.readState(1, 7, 0, 1, 3 * s, 10 * s).stale);
    c.noteRead({1, 7, 0, 4}, 1, 0, 4 * s, true);
    EXPECT_FALSE(c.readState(1, 7, 0, 1, 4 * s, 10 * s).stale);
    EXPECT_TRUE(c.readState(1, 7, 0, 1, 15 * s, 10 * s).stale);
    // A once-read of the same units long ago does not age them.
    c.noteRead({1, 7, 1, 1}, 1, 0, 1 * s, false);
    for (int cycle = 0; cycle < 5; ++cycle) c.endCycle(4 * s);
    c.noteRead({1, 7, 0, 4}, 1, 0, 5 * s, true);
    r = c.readState(1, 7, 0, 4, 5 * s, 10 * s);
    EXPECT_FALSE(r.stale);
    EXPECT_DOUBLE_EQ(r.dataAgeSec, 0.0);
    EXPECT_TRUE(c.completesCycle({1, 7, 0, 4}));
    EXPECT_FALSE(c.completesCycle({1, 7, 8, 4}));
}

}  // namespace
