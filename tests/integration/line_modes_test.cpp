// The driver polled through the host's link layer against the simulated
// controller in each line mode: paced at the baud rate, replies in two bursts
// the way USB adapters hand them over, and a two-wire line that echoes every
// request. Every value read must be the controller's, every write must land,
// and no exchange may be repeated.
#include <random>

#include "frames.h"
#include "line_rig.h"

namespace plctest {
namespace {

struct Mode {
    const char* name;
    int baud;  // the link's, and the simulator's pace
    bool pace;
    int burstMs;
    bool echo;
    int byteTimeoutMs;
};

void startInMode(Rig& rig, const Mode& m, const plcsim::Options& simOptions) {
    plchost::LinkSettings s;
    s.baud = m.baud;
    s.parity = 'N';
    s.timeoutMs = 1000;
    s.turnaroundMs = 5;
    s.byteTimeoutMs = m.byteTimeoutMs;
    s.echo = m.echo;
    startRig(rig, s, simOptions);
}

plcsim::Options simOptions(const Mode& m) {
    plcsim::Options o{{1, 2}, /*live=*/false};
    o.pace = m.pace;
    o.paceBaud = m.baud;
    o.burstGapMs = m.burstMs;
    o.echo = m.echo;
    return o;
}

// Polled variables (a bit-in-word one from bit 0 of its word), and writes.
struct Polled {
    int station, type;
    const char* addr;
    int simAddr, count;
};
const Polled kPolled[] = {
    {1, 7, "0", 0, 12},     {1, 0, "0", 0, 11}, {2, 13, "5", 5, 3},
    {2, 21, "8.0", 128, 6}, {1, 1, "0", 0, 9},
};
struct Write {
    int station, type;
    const char* addr;
    int simAddr;
    std::vector<long> values;
};
const Write kWrites[] = {
    {1, 7, "40", 40, {0x1234}},
    {1, 12, "4", 4, {0xBEEF, 0x0102, 0xFFFF}},
    {2, 1, "3", 3, {1}},
    {1, 20, "3.4", 3 * 16 + 4, {1}},
};

TEST(LineModes, EveryValueReadIsTheControllersAndEveryWriteLandsWithoutARepeat) {
    const Mode modes[] = {
        {"Plain", 115200, false, 0, false, 50},
        {"Paced115200", 115200, true, 0, false, 50},
        {"Paced9600", 9600, true, 0, false, 50},
        {"Burst2ms9600", 9600, true, 2, false, 50},
        {"Burst8ms9600", 9600, true, 8, false, 50},
        {"Burst16ms9600", 9600, true, 16, false, 50},
        {"Burst2ms115200", 115200, true, 2, false, 50},
        {"Burst8ms115200", 115200, true, 8, false, 50},
        {"Burst16ms115200", 115200, true, 16, false, 50},
        {"Echo115200", 115200, false, 0, true, 50},
        {"EchoBurst8msPaced115200", 115200, true, 8, true, 50},
        {"EchoBurst16msPaced9600", 9600, true, 16, true, 50},
    };
    std::mt19937 rng(31);
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.name);
        Rig rig({1, 2});
        rig.cfg.pollIntervalMs = 0;
        for (const Polled& p : kPolled)
            rig.cfg.vars.push_back(var(p.station, p.type, p.addr, p.count));
        ASSERT_NO_FATAL_FAILURE(startInMode(rig, m, simOptions(m)));
        for (const Polled& p : kPolled)
            for (int k = 0; k < p.count; ++k) {
                const bool bit = plchost::isBitUnitType(p.type);
                const long v = bit ? long(rng() % 2) : long(rng() % 65536);
                ASSERT_TRUE(rig.sim->setUnit(p.station, p.type, p.simAddr + k, uint16_t(v)));
            }
        std::vector<int> ids;
        for (const Write& w : kWrites)
            ids.push_back(rig.engine->queueWrite(write(w.station, w.type, w.addr, w.values)));
        ASSERT_TRUE(rig.settle());
        ASSERT_TRUE(rig.cycles(2));

        // The bit write lands inside a polled word: the image must hold the
        // controller's word with it, and the other fifteen bits as they were.
        for (const Polled& p : kPolled) {
            std::vector<long> mem;
            for (int k = 0; k < p.count; ++k)
                mem.push_back(rig.mem(p.station, p.type, p.simAddr + k));
            EXPECT_EQ(rig.image(p.station, p.type, p.addr, p.count), units(p.type, mem))
                << "station " << p.station << " type " << p.type;
        }
        for (size_t i = 0; i < std::size(kWrites); ++i) {
            const Write& w = kWrites[i];
            EXPECT_EQ(rig.state(ids[i]), WriteState::Confirmed) << w.addr;
            for (size_t k = 0; k < w.values.size(); ++k)
                EXPECT_EQ(rig.mem(w.station, w.type, w.simAddr + int(k)), w.values[k])
                    << "type " << w.type << " address " << w.addr;
        }
        const plchost::EngineStats st = rig.engine->stats();
        EXPECT_EQ(st.retries, 0u);
        EXPECT_EQ(st.giveUps, 0u);
        EXPECT_EQ(st.good, st.requests);
    }
}

// A gap inside a reply longer than the byte timeout: every reply arrives cut,
// and its tail, late, is never taken for the head of the next one. Nothing
// is ever stored: the image stays as it was, never one exchange behind.
TEST(LineModes, RepliesSplitBeyondTheByteTimeoutAreNeverStoredAndTheirTailsNeverReused) {
    const Mode m{"Burst45msByteTimeout30", 115200, false, 45, false, 30};
    Rig rig({1});
    rig.cfg.com.retryMax = 1;
    rig.cfg.vars = {var(1, 7, "0", 2), var(1, 7, "10", 2)};
    plcsim::Options o = simOptions(m);
    ASSERT_NO_FATAL_FAILURE(startInMode(rig, m, o));
    for (int k = 0; k < 2; ++k) {
        rig.sim->setUnit(1, 7, k, uint16_t(0x1111 * (k + 1)));
        rig.sim->setUnit(1, 7, 10 + k, uint16_t(0x5555 + k));
    }
    ASSERT_TRUE(rig.engine->runUntil([&] { return rig.engine->stats().giveUps >= 4; }, 10000));
    const plchost::EngineStats st = rig.engine->stats();
    EXPECT_EQ(st.good, 0u);
    EXPECT_EQ(st.wrongLength, st.giveUps);
    EXPECT_EQ(rig.image(1, 7, "0", 2), units(7, {0, 0}));
    EXPECT_EQ(rig.image(1, 7, "10", 2), units(7, {0, 0}));
}

// The link layer straight against the controller: an exception reply ends
// the exchange at its fifth byte instead of the time-out, paced or not, in
// bursts or not.
TEST(LineModes, AnExceptionReplyEndsTheExchangeAtOnce) {
    const Mode modes[] = {
        {"Plain", 115200, false, 0, false, 50},
        {"Paced9600", 9600, true, 0, false, 50},
        {"Burst16msPaced19200", 19200, true, 16, false, 50},
        {"EchoPaced9600", 9600, true, 0, true, 50},
    };
    // Station 1, 200 holding registers from 11736: beyond the 125 a read may
    // ask for, which the controller answers with exception 03.
    const QByteArray request = QByteArray::fromHex("01032DD800C8");
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.name);
        plcsim::Simulator sim(simOptions(m));
        std::string err;
        ASSERT_TRUE(sim.openPty(&err) && sim.start(&err)) << err;
        plchost::SerialLink link;
        plchost::LinkSettings s;
        s.device = sim.devicePath();
        s.baud = m.baud;
        s.echo = m.echo;
        ASSERT_TRUE(link.open(s, &err)) << err;
        QByteArray frame = request;
        const uint16_t crc = plcsim::crc16(reinterpret_cast<const uint8_t*>(frame.constData()), 6);
        frame.append(char(crc & 0xFF)).append(char(crc >> 8));
        const plchost::Exchange ex = link.exchange(frame.constData(), frame.size(), 405);
        EXPECT_TRUE(ex.exception);
        EXPECT_FALSE(ex.echoMismatch);
        EXPECT_EQ(ex.reply.left(3).toHex(), QByteArray("018303"));
        // Five characters, the request's eight and the frame gap at 9600 are
        // 19 ms; the burst gap 16 ms more. Far below the 1 s time-out.
        EXPECT_LT(ex.doneNs - ex.sentNs, 100 * 1000000LL);
    }
}

}  // namespace
}  // namespace plctest
