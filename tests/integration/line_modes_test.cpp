// The driver polled through the host's link layer against the simulated
// controller in each line mode: paced at the baud rate, replies in two bursts
// the way USB adapters hand them over, and a two-wire line that echoes every
// request. Every value read must be the controller's, every write must land,
// no exchange may be repeated, and an exception reply ends its exchange at once.
#include <random>

#include "frames.h"
#include "rig.h"

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

void startInMode(Rig& rig, const Mode& m) {
    plchost::LinkSettings s;
    s.baud = m.baud;
    s.parity = 'N';
    s.timeoutMs = 1000;
    s.turnaroundMs = 5;
    s.byteTimeoutMs = m.byteTimeoutMs;
    s.echo = m.echo;
    plcsim::Options o{{1, 2}, /*live=*/false};
    o.pace = m.pace;
    o.paceBaud = m.baud;
    o.burstGapMs = m.burstMs;
    o.echo = m.echo;
    rig.start(s, &o);
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

// Station 1, 200 holding registers from 11736, and its CRC.
const QByteArray kTooLong = [] {
    QByteArray f = QByteArray::fromHex("01032DD800C8");
    const uint16_t crc = plcsim::crc16(reinterpret_cast<const uint8_t*>(f.constData()), 6);
    return f.append(char(crc & 0xFF)).append(char(crc >> 8));
}();

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
        ASSERT_NO_FATAL_FAILURE(startInMode(rig, m));
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

        // The link straight against the controller: 200 registers are beyond
        // the 125 a read may ask for, and the exception reply ends the
        // exchange at its fifth byte instead of the 1 s time-out. Five
        // characters, the request's eight and the frame gap at 9600 are 19 ms,
        // a burst gap at most 16 ms more.
        const plchost::Exchange ex = rig.link.exchange(kTooLong.constData(), kTooLong.size(), 405);
        EXPECT_TRUE(ex.exception && !ex.echoMismatch);
        EXPECT_EQ(ex.reply.left(3).toHex(), QByteArray("018303"));
        EXPECT_LT(ex.doneNs - ex.sentNs, 100 * 1000000LL);
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
    ASSERT_NO_FATAL_FAILURE(startInMode(rig, m));
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

}  // namespace
}  // namespace plctest
