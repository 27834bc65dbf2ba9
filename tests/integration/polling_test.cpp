// The driver polled through a real pty against the simulated controller (libmodbus
// on the Modbus side): every area read and written in both framings, bit-in-word
// writes, broadcasts, several stations, the local-only run mode, requests
// named for a station the settings cannot reach, and exception replies.
#include "display.h"
#include "rig.h"

namespace plctest {
namespace {

// The simulator's address numbers: types 0 and 1 are parsed as octal, 20..23
// count bits across the word area.
struct ReadRow {
    int type;
    const char* addr;
    int simAddr;
    std::vector<long> units;
};

TEST(Polling, EveryReadableAreaArrivesInTheImageFromItsPlaceInTheControllerMap) {
    // clang-format off
    std::vector<ReadRow> rows = {
        {0, "5", 5, {1, 0, 1, 1, 0}}, {1, "11", 9, {0, 1, 1, 0}}, {2, "12", 12, {1, 1, 0}},
        {3, "12", 12, {0, 1, 1}}, {4, "12", 12, {1, 0, 0, 1}}, {5, "12", 12, {1, 0}},
        {6, "12", 12, {1, 0, 1}},
        // Word 9 from bit 3, one run crossing into word 10.
        {20, "9.3", 9 * 16 + 3, {1, 1, 0, 1}}, {21, "9.14", 9 * 16 + 14, {1, 0, 1}},
        {22, "9.3", 9 * 16 + 3, {0, 1, 1, 1}}, {23, "9.3", 9 * 16 + 3, {1, 0, 0, 0}},
    };
    // clang-format on
    for (int t : {7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 24, 25})
        rows.push_back({t, "2", 2, {0x0101 * t, 0x8000 + t, 0x7F00 + t}});
    for (int remote : {0, 1}) {
        SCOPED_TRACE(remote ? "remote framing" : "local framing");
        Rig rig;
        rig.cfg.com.remoteMode = remote;
        for (const ReadRow& r : rows) {
            rig.cfg.vars.push_back(var(1, r.type, r.addr, int(r.units.size())));
            for (size_t k = 0; k < r.units.size(); ++k)
                ASSERT_TRUE(rig.sim->setUnit(1, r.type, r.simAddr + int(k), uint16_t(r.units[k])));
            // Set neighbours: a reader taking the wrong bits sees ones for zeros.
            for (int b = 0; r.type >= 20 && b < 3; ++b) rig.sim->setUnit(1, r.type, 9 * 16 + b, 1);
        }
        ASSERT_NO_FATAL_FAILURE(rig.start());
        ASSERT_TRUE(rig.cycles(2));
        for (const ReadRow& r : rows)
            EXPECT_EQ(rig.image(1, r.type, r.addr, int(r.units.size())), units(r.type, r.units))
                << "type " << r.type << " address " << r.addr;
        const plcsim::Stats st = rig.sim->stats();
        EXPECT_EQ(remote ? st.modbusRequests : st.remoteRequests, 0u);
    }
}

// before: the controller's unit (each unit for multi-unit rows) ahead of the
// write; after: its expected value, -1 for the written values. A bit inside a
// word keeps the other fifteen bits, which only the read half can supply.
struct WriteRow {
    int type;
    const char* addr;
    int simAddr;  // word number for bit-in-word types
    uint16_t before;
    std::vector<long> values;
    long after;
    WriteState state;
};

TEST(Polling, EveryWritableAreaIsConfirmedAndReachesTheControllerWhileReadOnlyOnesNever) {
    const WriteState ok = WriteState::Confirmed, no = WriteState::Rejected;
    // clang-format off
    std::vector<WriteRow> rows = {
        {1, "3", 3, 0, {1}, -1, ok}, {2, "20", 20, 0, {1}, -1, ok}, {3, "20", 20, 0, {1}, -1, ok},
        {4, "20", 20, 0, {1}, -1, ok}, {5, "20", 20, 0, {1}, -1, ok}, {6, "21", 21, 1, {0}, -1, ok},
        {7, "40", 40, 0, {0x1111, 0x2222, 0x3333}, -1, ok},
        {20, "9.4", 9, 0xA5C3, {1}, 0xA5D3, ok}, {20, "11.0", 11, 0xA5C3, {0}, 0xA5C2, ok},
        {20, "13.3", 13, 0x0008, {1}, 0x0008, ok}, {21, "9.9", 9, 0x5A3C, {1}, 0x5A3C | 0x0200, ok},
        {21, "10.15", 10, 0xFFFF, {0}, 0x7FFF, ok}, {23, "9.8", 9, 0x00FF, {1}, 0x01FF, ok},
        {23, "12.7", 12, 0x0080, {0}, 0x0000, ok}, {0, "4", 4, 0, {1}, 0, no},
        // Area 13 has no write function; the host must hear of the refusal,
        // as a rejection or as a give-up, never through silence.
        {22, "5.2", 5, 0x00F0, {1}, 0x00F0, no},
    };
    // clang-format on
    for (int t : {7, 8, 9, 10, 11, 12, 14, 15, 16, 24, 25})
        rows.push_back({t, "3", 3, 0, {0x8000 + 0x0101 * t}, -1, ok});
    for (int t : {13, 17, 18, 19}) rows.push_back({t, "4", 4, 7, {1}, 7, no});
    for (int remote : {0, 1}) {
        SCOPED_TRACE(remote ? "remote framing" : "local framing");
        Rig rig;
        rig.cfg.com.remoteMode = remote;
        ASSERT_NO_FATAL_FAILURE(rig.start(/*timeoutMs=*/300));  // the remote 22 goes unanswered
        std::vector<int> ids;
        for (const WriteRow& r : rows) {
            for (size_t k = 0; k < r.values.size(); ++k)
                rig.sim->setUnit(1, plcsim::foldedType(r.type), r.simAddr + int(k), r.before);
            ids.push_back(rig.engine->queueWrite(write(1, r.type, r.addr, r.values, true)));
        }
        ASSERT_TRUE(rig.settle());
        for (size_t i = 0; i < rows.size(); ++i) {
            const WriteRow& r = rows[i];
            SCOPED_TRACE(std::string("type ") + std::to_string(r.type) + " address " + r.addr);
            const plchost::WriteStatus w = rig.engine->writeStatus(ids[i]);
            const bool reportedGiveUp = r.type == 22 && w.state == WriteState::Failed;
            EXPECT_EQ(w.state, reportedGiveUp ? w.state : r.state);
            EXPECT_EQ(w.readback, r.state == ok ? plchost::WriteStatus::Readback::Match
                                                : plchost::WriteStatus::Readback::None);
            for (size_t k = 0; k < r.values.size(); ++k)
                EXPECT_EQ(rig.mem(1, plcsim::foldedType(r.type), r.simAddr + int(k)),
                          r.after < 0 ? r.values[k] : r.after)
                    << std::hex << "unit " << k;
        }
    }
}

TEST(Polling, ABroadcastWriteReachesEveryStationWithoutAReplyAndIsConfirmed) {
    Rig rig({1, 2});
    rig.cfg.vars = {var(1, 7, "0", 1), var(2, 7, "0", 1)};
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    const int word = rig.engine->queueWrite(write(0, 7, "50", {0xBAD}));
    const int bit = rig.engine->queueWrite(write(0, 2, "33", {1}));
    ASSERT_TRUE(rig.settle());
    // No reply tells when the simulator took a broadcast in; an answered read
    // after them does.
    ASSERT_TRUE(rig.cycles(1));
    const plcsim::Stats st = rig.sim->stats();
    EXPECT_EQ(st.broadcasts, 2u);
    EXPECT_EQ(st.replies, st.frames - st.broadcasts);
    EXPECT_EQ(rig.state(word), WriteState::Confirmed);
    EXPECT_EQ(rig.state(bit), WriteState::Confirmed);
    for (int s : {1, 2})
        EXPECT_EQ(std::make_pair(rig.mem(s, 7, 50), rig.mem(s, 2, 33)), std::make_pair(0xBADL, 1L))
            << "station " << s;
}

TEST(Polling, AStationSwitchedOffIsNotPolledWhileTheOthersCarryOnAndReturnsWhenSwitchedOn) {
    Rig rig({1, 2, 3});
    for (int s : {1, 2, 3}) {
        rig.cfg.vars.push_back(var(s, 7, "0", 2));
        rig.sim->setUnit(s, 7, 0, uint16_t(100 + s));
    }
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    for (int s : {1, 2, 3}) EXPECT_EQ(rig.image(s, 7, "0", 1), units(7, {100 + s}));

    rig.engine->setStationEnabled(2, false);
    for (int s : {1, 2, 3}) rig.sim->setUnit(s, 7, 0, uint16_t(200 + s));
    rig.sim->resetStats();
    ASSERT_TRUE(rig.cycles(3));
    plcsim::Stats st = rig.sim->stats();
    EXPECT_EQ(st.requestsPerStation.count(2), 0u);
    EXPECT_GE(std::min(st.requestsPerStation[1], st.requestsPerStation[3]), 3u);
    for (int s : {1, 2, 3})
        EXPECT_EQ(rig.image(s, 7, "0", 1), units(7, {(s == 2 ? 100 : 200) + s})) << s;

    rig.engine->setStationEnabled(2, true);
    ASSERT_TRUE(rig.cycles(2));
    EXPECT_EQ(rig.image(2, 7, "0", 1), units(7, {202}));
}

TEST(Polling, ADeadStationIsSwitchedOffAfterRepeatedGiveUpsAndProbedAgainLater) {
    Rig rig({1, 2});  // station 3 is polled but nobody answers for it
    rig.cfg.com.retryMax = 1;
    rig.cfg.backoff = {/*giveUps=*/2, /*delayMs=*/300};
    for (int s : {1, 2, 3}) rig.cfg.vars.push_back(var(s, 7, "0", 1));
    ASSERT_NO_FATAL_FAILURE(rig.start(/*timeoutMs=*/80));
    auto timesOff = [&](int s) {
        for (const plchost::StationStatus& x : rig.engine->stations())
            if (x.station == s) return x.timesOff;
        return uint64_t(0);
    };
    // Switched off, probed after the delay, and switched off again.
    ASSERT_TRUE(rig.engine->runUntil([&] { return timesOff(3) >= 2; }, 15000));
    EXPECT_EQ(timesOff(1) + timesOff(2), 0u);
    std::map<int, uint64_t> polled = rig.sim->stats().requestsPerStation;
    // Each spell costs at most give-ups x (1 + retries) requests, while the
    // live stations are polled all along.
    EXPECT_LE(polled[3], 4u * (timesOff(3) + 1));
    EXPECT_GT(std::min(polled[1], polled[2]), 2u * polled[3]);
}

TEST(Polling, WithARunModeOtherThanTwoWritesOnlyChangeTheImageAndNeverTheController) {
    Rig rig;
    rig.cfg.com.runMode = 0;
    rig.cfg.vars = {var(1, 7, "0", 1)};
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const int w = rig.engine->queueWrite(write(1, 7, "40", {0x4242}));
    const int b = rig.engine->queueWrite(write(1, 2, "9", {1}));
    EXPECT_EQ(rig.state(w), WriteState::LocalOnly);
    EXPECT_EQ(rig.state(b), WriteState::LocalOnly);
    ASSERT_TRUE(rig.cycles(3));
    EXPECT_EQ(rig.image(1, 7, "40", 1), units(7, {0x4242}));
    EXPECT_EQ(rig.image(1, 2, "9", 1), units(2, {1}));
    EXPECT_TRUE(rig.sim->stats().writesPerStation.empty());
    EXPECT_EQ(rig.mem(1, 7, 40), 0);
}

// Safe addressing in the engine itself: with multiStation 0 a request named
// for another station is refused, never sent to defStation instead.
TEST(Addressing, WithMultiStationOffAWriteForAnotherStationIsRejectedAndReachesNoController) {
    Rig rig({1, 2});
    rig.cfg.com.multiStation = 0;
    rig.cfg.com.defStation = 1;
    rig.cfg.vars = {var(1, 7, "50", 1)};
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const int id = rig.engine->queueWrite(write(2, 7, "50", {777}, true));
    const plchost::WriteStatus w = rig.engine->writeStatus(id);
    EXPECT_EQ(w.state, WriteState::Rejected);
    EXPECT_NE(w.note.find("multiStation is 0"), std::string::npos) << w.note;
    ASSERT_TRUE(rig.cycles(2));
    EXPECT_TRUE(rig.sim->stats().writesPerStation.empty());
    EXPECT_EQ(rig.mem(1, 7, 50), 0);
    EXPECT_EQ(rig.mem(2, 7, 50), 0);

    // The same for a variable: set-up refuses it.
    plchost::EngineConfig cfg = rig.cfg;
    cfg.vars = {var(2, 7, "0", 1)};
    rig.engine.reset();
    plchost::HostEngine engine(rig.api, rig.link, cfg);
    std::string err;
    EXPECT_FALSE(engine.setup(&err));
    EXPECT_NE(err.find("station 2 is named while multiStation is 0"), std::string::npos) << err;
}

// A controller that answers a read with a Modbus exception: the trace and the
// screen name the exception, while the status stays the code DataCom returned.
TEST(Exceptions, AnExceptionReplyIsNamedInTheTraceAndOnTheScreenBesideTheDriversStatus) {
    Trace trace;
    Rig rig;
    // One block of 200 registers: beyond the 125 a read may ask for, which
    // the controller refuses with exception 03.
    rig.cfg.vars = {var(1, 7, "0", 200)};
    rig.cfg.com.blockSize = 200;
    rig.cfg.com.retryMax = 1;
    rig.cfg.trace = trace.file;
    ASSERT_NO_FATAL_FAILURE(rig.start(300));
    ASSERT_TRUE(rig.cycles(1));
    const plchost::Snapshot snap = rig.engine->snapshot();
    ASSERT_EQ(snap.vars.size(), 1u);
    EXPECT_EQ(snap.vars[0].read.lastStatus, 71);
    EXPECT_EQ(snap.vars[0].read.exception, 3);
    EXPECT_EQ(snap.vars[0].read.dataAgeSec, -1);
    plchost::ScreenInfo wide;
    wide.width = 120;  // the status on one line
    const std::string screen = plchost::renderScreen(snap, wide);
    EXPECT_NE(screen.find("71 exception 03 illegal data value"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\u2013"), std::string::npos) << "never read: " << screen;
    const std::string traced = trace.text();
    for (const char* line : {"exception 03 illegal data value; status 0 retrying",
                             "exception 03 illegal data value; status 71 wrong length"})
        EXPECT_NE(traced.find(line), std::string::npos) << traced;
}

}  // namespace
}  // namespace plctest
