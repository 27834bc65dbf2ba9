// The driver polled through a real pseudo-terminal against the simulated
// controller, whose Modbus side is libmodbus: reads of every area, writes to
// every writable area, bit-in-word writes, broadcasts, several stations, the
// remote framing and the local-only run mode.
#include <set>

#include "rig.h"

namespace plctest {
namespace {

using plcsim::Table;

// Address numbers the simulator uses (the driver parses types 0 and 1 as
// octal; 20..23 as word.bit).
struct AreaRow {
    int type;
    const char* addrText;
    int addrNumber;
    std::vector<long> units;
};

std::string describe(const AreaRow& r) {
    return "type " + std::to_string(r.type) + " address '" + r.addrText + "'";
}

TEST(Polling, EveryReadableAreaArrivesInTheImageFromItsPlaceInTheControllerMap) {
    const std::vector<AreaRow> rows = {
        {0, "5", 5, {1, 0, 1, 1, 0}},
        {1, "11", 9, {0, 1, 1, 0}},  // octal 11 = bit 9
        {2, "12", 12, {1, 1, 0}},
        {3, "12", 12, {0, 1, 1}},
        {4, "12", 12, {1, 0, 0, 1}},
        {5, "12", 12, {1, 0}},
        {6, "12", 12, {1, 0, 1}},
        {7, "5", 5, {0x0701, 0x0702, 0x0703}},
        {8, "2", 2, {0x0801, 0x0802, 0x0803}},
        {9, "2", 2, {0x0901, 0x0902, 0x0903}},
        {10, "5", 5, {0x0A01, 0x0A02}},
        {11, "5", 5, {0x0B01, 0x0B02}},
        {12, "5", 5, {0x0C01, 0x0C02}},
        {13, "5", 5, {0x0D01, 0x0D02}},
        {14, "5", 5, {0x0E01, 0x0E02}},
        {15, "5", 5, {0x0F01, 0x0F02}},
        {16, "5", 5, {0x1001, 0x1002}},
        {17, "5", 5, {0x1101, 0x1102}},
        {18, "5", 5, {0x1201, 0x1202}},
        {19, "5", 5, {0x1301, 0x1302}},
        {24, "5", 5, {0x1801, 0xF802}},
        {25, "5", 5, {0x1901, 0xF902}},
        // Bits inside words: word 9, from bit 3 (and across into word 10).
        {20, "9.3", 9 * 16 + 3, {1, 1, 0, 1}},
        {21, "9.14", 9 * 16 + 14, {1, 0, 1}},
        {22, "9.3", 9 * 16 + 3, {0, 1, 1, 1}},
        {23, "9.3", 9 * 16 + 3, {1, 0, 0, 0}},
    };
    RigOptions o;
    o.com = multiStation();
    for (const AreaRow& r : rows) o.vars.push_back(var(1, r.type, r.addrText, int(r.units.size())));
    Rig rig(o);
    for (const AreaRow& r : rows) {
        for (size_t k = 0; k < r.units.size(); ++k)
            ASSERT_TRUE(rig.sim->setUnit(1, r.type, r.addrNumber + int(k), uint16_t(r.units[k])));
        // Neighbouring bits of the bit-in-word rows are set, so a reader that
        // takes the wrong bits sees ones where zeros belong.
        if (r.type >= 20) {
            for (int b = 0; b < 3; ++b) rig.sim->setUnit(1, r.type, 9 * 16 + b, 1);
        }
    }
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(2));
    for (const AreaRow& r : rows) {
        SCOPED_TRACE(describe(r));
        EXPECT_EQ(rig.image(1, r.type, r.addrText, int(r.units.size())),
                  hostBytes(r.type, r.units));
    }
}

TEST(Polling, EveryWritableAreaReachesTheControllerAndIsConfirmedAndReadBack) {
    const std::vector<AreaRow> rows = {
        {1, "3", 3, {1}},
        {2, "20", 20, {1}},
        {3, "20", 20, {1}},
        {4, "20", 20, {1}},
        {5, "20", 20, {1}},
        {6, "21", 21, {0}},
        {7, "30", 30, {0x7A01}},
        {8, "1", 1, {0x8A02}},
        {9, "1", 1, {0x9A03}},
        {10, "30", 30, {0xAA04}},
        {11, "30", 30, {0xBA05}},
        {12, "30", 30, {0xCA06}},
        {14, "30", 30, {0xEA07}},
        {15, "30", 30, {0xFA08}},
        {16, "30", 30, {0x0A09}},
        {24, "30", 30, {0x1A0A}},
        {25, "30", 30, {0x2A0B}},
        // Several registers in one request (write multiple registers).
        {7, "40", 40, {0x1111, 0x2222, 0x3333}},
    };
    RigOptions o;
    o.com = multiStation();
    Rig rig(o);
    rig.sim->setUnit(1, 6, 21, 1);  // the clear of a coil must be visible
    ASSERT_NO_FATAL_FAILURE(rig.start());
    std::vector<int> ids;
    for (const AreaRow& r : rows)
        ids.push_back(rig.engine->queueWrite(write(1, r.type, r.addrText, r.units, true)));
    ASSERT_TRUE(rig.settle());
    for (size_t i = 0; i < rows.size(); ++i) {
        const AreaRow& r = rows[i];
        SCOPED_TRACE(describe(r));
        const plchost::WriteStatus w = rig.engine->writeStatus(ids[i]);
        EXPECT_EQ(w.state, WriteState::Confirmed);
        EXPECT_EQ(w.readback, plchost::WriteStatus::Readback::Match);
        for (size_t k = 0; k < r.units.size(); ++k) {
            uint16_t v = 0xDEAD;
            ASSERT_TRUE(rig.sim->unit(1, r.type, r.addrNumber + int(k), &v));
            EXPECT_EQ(v, r.units[k]) << "unit " << k;
        }
    }
}

TEST(Polling, WritesToReadOnlyAreasAreRefusedAndNeverReachTheController) {
    RigOptions o;
    o.com = multiStation();
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    std::vector<int> ids;
    for (int type : {0, 13, 17, 18, 19})
        ids.push_back(rig.engine->queueWrite(write(1, type, "4", {1})));
    ASSERT_TRUE(rig.settle(2000));
    for (int id : ids) EXPECT_EQ(rig.engine->writeStatus(id).state, WriteState::Rejected);
    EXPECT_TRUE(rig.sim->stats().writesPerStation.empty());
}

// A bit inside an input register cannot be written. Whatever the driver does
// with it, the host must hear about it: either SetRegisterData refuses it, or
// the write is reported through the completion callback. A write that is
// taken and then dropped without a word leaves a panel waiting forever.
TEST(Polling, ABitWriteIntoTheInputRegisterAreaIsRefusedOrReportedNeverSilentlyDropped) {
    RigOptions o;
    o.com = multiStation();
    o.vars = {var(1, 7, "0", 1)};
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const int id = rig.engine->queueWrite(write(1, 22, "4.2", {1}));
    ASSERT_TRUE(rig.cycles(3));
    const WriteState s = rig.engine->writeStatus(id).state;
    EXPECT_TRUE(s == WriteState::Rejected || s == WriteState::Failed)
        << "write state: " << plchost::writeStateText(s);
    EXPECT_TRUE(rig.sim->stats().writesPerStation.empty());
}

struct BitRow {
    int type;
    const char* addrText;
    int word;
    long bit;
    uint16_t before, after;
};

TEST(Polling, ABitWriteInsideAWordChangesOnlyThatBitOfTheControllersRegister) {
    const std::vector<BitRow> rows = {
        {20, "9.4", 9, 1, 0xA5C3, 0xA5D3},    // set a clear bit in area 7
        {20, "11.0", 11, 0, 0xA5C3, 0xA5C2},  // clear a set bit
        {21, "9.9", 9, 1, 0x5A3C, 0x5A3C | 0x0200},
        {21, "10.15", 10, 0, 0xFFFF, 0x7FFF},
        {23, "9.8", 9, 1, 0x00FF, 0x01FF},  // area 14
        {23, "12.7", 12, 0, 0x0080, 0x0000},
        {20, "13.3", 13, 1, 0x0008, 0x0008},  // already set: stays as it was
    };
    RigOptions o;
    o.com = multiStation();
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    // The registers get their values only now, after the driver was set up:
    // the other fifteen bits can come only from the read half of the write.
    for (const BitRow& r : rows) rig.sim->setUnit(1, plcsim::foldedType(r.type), r.word, r.before);
    std::vector<int> ids;
    for (const BitRow& r : rows)
        ids.push_back(rig.engine->queueWrite(write(1, r.type, r.addrText, {r.bit})));
    ASSERT_TRUE(rig.settle());
    for (size_t i = 0; i < rows.size(); ++i) {
        const BitRow& r = rows[i];
        SCOPED_TRACE(std::string("type ") + std::to_string(r.type) + " " + r.addrText);
        EXPECT_EQ(rig.engine->writeStatus(ids[i]).state, WriteState::Confirmed);
        uint16_t v = 0;
        ASSERT_TRUE(rig.sim->unit(1, plcsim::foldedType(r.type), r.word, &v));
        EXPECT_EQ(v, r.after) << std::hex << "register 0x" << v << ", expected 0x" << r.after;
    }
}

TEST(Polling, ABroadcastWriteReachesEveryStationWithoutAReplyAndIsConfirmed) {
    struct Row {
        int type;
        const char* addrText;
        int addrNumber;
        long value;
    };
    const std::vector<Row> rows = {{7, "50", 50, 0x0BAD}, {2, "33", 33, 1}, {12, "7", 7, 0x1234}};
    RigOptions o;
    o.simStations = {1, 2};
    o.com = multiStation();
    o.vars = {var(1, 7, "0", 1), var(2, 7, "0", 1)};
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    std::vector<int> ids;
    for (const Row& r : rows)
        ids.push_back(rig.engine->queueWrite(write(0, r.type, r.addrText, {r.value})));
    ASSERT_TRUE(rig.settle());
    // A broadcast has no reply to wait for; an answered read after it shows
    // the simulator has taken in every frame before it.
    ASSERT_TRUE(rig.cycles(1));
    const plcsim::Stats st = rig.sim->stats();
    EXPECT_EQ(st.broadcasts, rows.size());
    EXPECT_EQ(st.requestsPerStation.at(0), rows.size());
    // Every read was answered; the broadcasts were not.
    EXPECT_EQ(st.replies, st.frames - st.broadcasts);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(std::string("type ") + std::to_string(rows[i].type));
        EXPECT_EQ(rig.engine->writeStatus(ids[i]).state, WriteState::Confirmed);
        for (int station : {1, 2}) {
            uint16_t v = 0;
            ASSERT_TRUE(rig.sim->unit(station, rows[i].type, rows[i].addrNumber, &v));
            EXPECT_EQ(v, rows[i].value) << "station " << station;
        }
    }
}

TEST(Polling, AStationSwitchedOffIsNotPolledWhileTheOthersCarryOnAndReturnsWhenSwitchedOn) {
    RigOptions o;
    o.simStations = {1, 2, 3};
    o.com = multiStation();
    o.vars = {var(1, 7, "0", 2), var(2, 7, "0", 2), var(3, 7, "0", 2)};
    Rig rig(o);
    for (int s : {1, 2, 3}) rig.sim->setUnit(s, 7, 0, uint16_t(100 + s));
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    for (int s : {1, 2, 3}) EXPECT_EQ(rig.image(s, 7, "0", 1), hostBytes(7, {100 + s}));

    rig.engine->setStationEnabled(2, false);
    for (int s : {1, 2, 3}) rig.sim->setUnit(s, 7, 0, uint16_t(200 + s));
    rig.sim->resetStats();
    ASSERT_TRUE(rig.cycles(3));
    plcsim::Stats st = rig.sim->stats();
    EXPECT_EQ(st.requestsPerStation.count(2), 0u);
    EXPECT_GE(st.requestsPerStation[1], 3u);
    EXPECT_GE(st.requestsPerStation[3], 3u);
    EXPECT_EQ(rig.image(1, 7, "0", 1), hostBytes(7, {201}));
    EXPECT_EQ(rig.image(2, 7, "0", 1), hostBytes(7, {102}));  // still the old value
    EXPECT_EQ(rig.image(3, 7, "0", 1), hostBytes(7, {203}));

    rig.engine->setStationEnabled(2, true);
    ASSERT_TRUE(rig.cycles(2));
    EXPECT_EQ(rig.image(2, 7, "0", 1), hostBytes(7, {202}));
}

TEST(Polling, ADeadStationIsSwitchedOffAfterRepeatedGiveUpsAndProbedAgainLater) {
    RigOptions o;
    o.simStations = {1, 2};  // station 3 is polled but nobody answers for it
    o.com = multiStation(32, /*retryMax=*/1);
    o.vars = {var(1, 7, "0", 1), var(2, 7, "0", 1), var(3, 7, "0", 1)};
    o.timeoutMs = 80;
    o.giveUpsBeforeOff = 2;
    o.backoffDelayMs = 300;
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    auto find = [&](int s) {
        for (const auto& x : rig.engine->stations())
            if (x.station == s) return x;
        return plchost::StationStatus();
    };
    // Switched off, probed after the delay, and switched off again.
    ASSERT_TRUE(rig.engine->runUntil([&] { return find(3).timesOff >= 2; }, 15000));
    const plchost::StationStatus dead = find(3);
    EXPECT_EQ(find(1).timesOff, 0u);
    EXPECT_EQ(find(2).timesOff, 0u);
    plcsim::Stats st = rig.sim->stats();
    // Each spell of the dead station costs at most give-ups x (1 + retries)
    // requests; the live ones are polled all the while.
    EXPECT_LE(st.requestsPerStation[3], 4u * (dead.timesOff + 1));
    EXPECT_GT(st.requestsPerStation[1], 2u * st.requestsPerStation[3]);
    EXPECT_GT(st.requestsPerStation[2], 2u * st.requestsPerStation[3]);
}

TEST(Polling, TheRemoteFramingReadsAndWritesTheSameControllerMemory) {
    RigOptions o;
    o.com = multiStation();
    o.com.remoteMode = 1;
    o.vars = {var(1, 7, "0", 3), var(1, 2, "4", 5), var(1, 17, "2", 1)};
    Rig rig(o);
    for (int k = 0; k < 3; ++k) rig.sim->setUnit(1, 7, k, uint16_t(0x4100 + k));
    const std::vector<long> bits = {1, 0, 0, 1, 1};
    for (int k = 0; k < 5; ++k) rig.sim->setUnit(1, 2, 4 + k, uint16_t(bits[size_t(k)]));
    rig.sim->setUnit(1, 17, 2, 0x1717);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(2));
    EXPECT_EQ(rig.image(1, 7, "0", 3), hostBytes(7, {0x4100, 0x4101, 0x4102}));
    EXPECT_EQ(rig.image(1, 2, "4", 5), hostBytes(2, bits));
    EXPECT_EQ(rig.image(1, 17, "2", 1), hostBytes(17, {0x1717}));
    EXPECT_GT(rig.sim->stats().remoteRequests, 0u);
    EXPECT_EQ(rig.sim->stats().modbusRequests, 0u);

    const int w1 = rig.engine->queueWrite(write(1, 7, "20", {0x1357, 0x2468}));
    const int w2 = rig.engine->queueWrite(write(1, 3, "7", {1}));
    const int w3 = rig.engine->queueWrite(write(1, 20, "2.5", {1}));
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.engine->writeStatus(w1).state, WriteState::Confirmed);
    EXPECT_EQ(rig.engine->writeStatus(w2).state, WriteState::Confirmed);
    EXPECT_EQ(rig.engine->writeStatus(w3).state, WriteState::Confirmed);
    uint16_t v = 0;
    ASSERT_TRUE(rig.sim->unit(1, 7, 20, &v));
    EXPECT_EQ(v, 0x1357);
    ASSERT_TRUE(rig.sim->unit(1, 7, 21, &v));
    EXPECT_EQ(v, 0x2468);
    ASSERT_TRUE(rig.sim->unit(1, 3, 7, &v));
    EXPECT_EQ(v, 1);
    ASSERT_TRUE(rig.sim->unit(1, 7, 2, &v));
    EXPECT_EQ(v, 0x4102 | 0x20) << "bit 5 of register 2 set, the rest kept";
}

TEST(Polling, ARemoteReplyForAnotherLinkIsGoodButNotStored) {
    RigOptions o;
    o.com = multiStation();
    o.com.remoteMode = 1;
    o.com.ownLinkNo = 3;
    o.vars = {var(1, 7, "0", 1)};
    Rig rig(o);
    rig.sim->setUnit(1, 7, 60, 0x6060);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    RW_VAR r{};
    r.kind = 5;
    r.id = 9;
    r.linkNo = 4;  // not this driver's link: the reply is handled as remote
    r.addrText = "60";
    r.regType = 7;
    r.addr = 60;
    r.station = 1;
    r.count = 1;
    ASSERT_EQ(rig.api.AddListOnceReadVar(&r, 1), 1);
    const uint64_t before = rig.engine->stats().goodRemote;
    ASSERT_TRUE(
        rig.engine->runUntil([&] { return rig.engine->stats().goodRemote > before; }, 3000));
    EXPECT_EQ(rig.image(1, 7, "60", 1), hostBytes(7, {0}));
}

TEST(Polling, WithARunModeOtherThanTwoWritesOnlyChangeTheImageAndNeverTheController) {
    RigOptions o;
    o.com = multiStation();
    o.com.runMode = 0;
    o.vars = {var(1, 7, "0", 1)};
    Rig rig(o);
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_TRUE(rig.cycles(1));
    const int w = rig.engine->queueWrite(write(1, 7, "40", {0x4242}));
    const int b = rig.engine->queueWrite(write(1, 2, "9", {1}));
    EXPECT_EQ(rig.engine->writeStatus(w).state, WriteState::LocalOnly);
    EXPECT_EQ(rig.engine->writeStatus(b).state, WriteState::LocalOnly);
    EXPECT_EQ(rig.image(1, 7, "40", 1), hostBytes(7, {0x4242}));
    EXPECT_EQ(rig.image(1, 2, "9", 1), hostBytes(2, {1}));
    ASSERT_TRUE(rig.cycles(3));
    EXPECT_TRUE(rig.sim->stats().writesPerStation.empty());
    uint16_t v = 1;
    ASSERT_TRUE(rig.sim->unit(1, 7, 40, &v));
    EXPECT_EQ(v, 0);
}

}  // namespace
}  // namespace plctest
