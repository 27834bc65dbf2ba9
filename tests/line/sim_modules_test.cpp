// The simulated controller's modules on their own: where a request ends,
// how replies are spoiled, when paced and burst replies reach the line, and
// the answers of the libmodbus bridge and the remote responder.
#include <gtest/gtest.h>

#include <QtCore/QByteArray>
#include <random>

#include "faults.h"
#include "frames.h"
#include "line.h"
#include "memory.h"
#include "modbus_bridge.h"
#include "remote_responder.h"

namespace plcsim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes withCrc(Bytes f) {
    appendCrc(f);
    return f;
}
// Hex text ("0103") to bytes.
Bytes bytes(const char* hex) {
    const QByteArray b = QByteArray::fromHex(hex);
    return Bytes(b.begin(), b.end());
}

// Random requests of every shape a master sends: Modbus functions 1..6
// (8 bytes), 15 and 16 (9 + data), and remote frames (length byte first,
// byte sum last). Modbus stations stay below 22, the shortest remote length.
Bytes randomRequest(std::mt19937& rng, FrameKind* kind) {
    Bytes f;
    if (rng() % 3 == 0) {
        *kind = FrameKind::Remote;
        f.assign(21 + rng() % 30, 0);
        for (uint8_t& b : f) b = uint8_t(rng());
        f[0] = uint8_t(f.size() + 1);
        f.push_back(byteSum(f.data(), f.size()));
        return f;
    }
    *kind = FrameKind::Modbus;
    const uint8_t functions[] = {1, 2, 3, 4, 5, 6, 15, 16};
    f = {uint8_t(1 + rng() % 21), functions[rng() % 8], uint8_t(rng()),
         uint8_t(rng()),          uint8_t(rng()),       uint8_t(rng())};
    if (f[1] >= 15) {
        const uint8_t n = uint8_t(rng() % 40);
        f.push_back(n);
        for (int k = 0; k < n; ++k) f.push_back(uint8_t(rng()));
    }
    return withCrc(f);
}

TEST(FrameFinder, FindsEachRequestExactlyWhenItsLastByteIsInAndNeverAfterOneWrongByte) {
    std::mt19937 rng(11);
    for (int i = 0; i < 400; ++i) {
        FrameKind kind;
        const Bytes f = randomRequest(rng, &kind);
        for (size_t n = 0; n < f.size(); ++n)
            ASSERT_EQ(int(findFrame(Bytes(f.begin(), f.begin() + long(n))).kind),
                      int(FrameKind::None))
                << i << " prefix " << n;
        Bytes more = f;
        for (int k = 0; k < int(rng() % 5); ++k) more.push_back(uint8_t(rng()));
        const FoundFrame found = findFrame(more);
        ASSERT_EQ(int(found.kind), int(kind)) << i;
        ASSERT_EQ(found.length, f.size()) << i;
        Bytes bad = f;
        bad[rng() % bad.size()] ^= uint8_t(1 + rng() % 255);
        const FoundFrame spoiled = findFrame(bad);
        ASSERT_FALSE(spoiled.kind == kind && spoiled.length == f.size()) << i;
    }
    // A Modbus function no master sends is no request, whatever its checksum.
    EXPECT_EQ(int(findFrame(withCrc({0x01, 0x07})).kind), int(FrameKind::None));
}

TEST(Faults, ShareKindAndShapeOfSpoiledReplies) {
    struct Row {
        const char* name;
        double rate;
    };
    for (const Row& r : {Row{"Off", 0.0}, Row{"TenPercent", 0.1}, Row{"Always", 1.0}}) {
        SCOPED_TRACE(r.name);
        FaultInjector a(r.rate, 7), b(r.rate, 7);
        std::map<Fault, int> seen;
        constexpr int kReplies = 6000;
        for (int i = 0; i < kReplies; ++i) {
            const Bytes reply = withCrc({0x01, 0x03, 0x02, uint8_t(i), uint8_t(i >> 8)});
            Bytes x = reply, y = reply;
            const Fault f = a.spoil(x);
            ASSERT_EQ(int(f), int(b.spoil(y))) << "the same seed spoils the same replies";
            ASSERT_EQ(x, y);
            ++seen[f];
            switch (f) {
                case Fault::None:
                case Fault::Dropped:  // withheld by the caller, bytes untouched
                    ASSERT_EQ(x, reply);
                    break;
                case Fault::BadChecksum:
                    ASSERT_EQ(x.size(), reply.size());
                    ASSERT_TRUE(std::equal(x.begin(), x.end() - 1, reply.begin()));
                    ASSERT_NE(x.back(), reply.back());
                    break;
                case Fault::CutShort:
                    ASSERT_TRUE(!x.empty() && x.size() < reply.size());
                    ASSERT_TRUE(std::equal(x.begin(), x.end(), reply.begin()));
                    break;
            }
        }
        const double spoiled = 1.0 - double(seen[Fault::None]) / kReplies;
        EXPECT_NEAR(spoiled, r.rate, 0.015);
        for (Fault f : {Fault::Dropped, Fault::BadChecksum, Fault::CutShort})
            EXPECT_NEAR(double(seen[f]) / kReplies, r.rate / 3, 0.015);
    }
}

// 19200 baud, 11 bits a character: 572916 ns. An 8-byte request whose first
// byte was read at 0 is through at 8 characters; the reply may start 3.5
// characters later, and each byte is in one character after the one before.
TEST(ReplySchedule, PacedAndBurstRepliesArriveAtTheLinesPace) {
    const int64_t c = pacedCharNs(19200);
    EXPECT_EQ(c, 572916);
    EXPECT_EQ(pacedCharNs(9600), 1145833);
    EXPECT_EQ(pacedCharNs(115200), 95486);
    struct Row {
        const char* name;
        LineTiming timing;
        bool pty;
        int64_t nowNs;
        std::vector<int64_t> arrivals;  // of each of the 7 reply bytes
    };
    const int64_t ms = 1000000;
    auto paced = [&](int64_t first, int splitAfter = 7, int64_t gap = 0) {
        std::vector<int64_t> t;
        for (int k = 0; k < 7; ++k) t.push_back(first + k * c + (k >= splitAfter ? gap : 0));
        return t;
    };
    const int64_t reply = 8 * c + 7 * c / 2 + c;  // the first reply byte in, paced
    // clang-format off
    const Row rows[] = {
        {"Plain", {}, true, 5 * ms, std::vector<int64_t>(7, 5 * ms)},
        {"PacedOnAPty", {true, 19200}, true, 0, paced(reply)},
        {"PacedWithTurnaround", {true, 19200, 2500}, true, 0, paced(reply + 2500000)},
        {"PacedButAnsweredLate", {true, 19200}, true, 20 * ms, paced(20 * ms + c)},
        {"PacedOnADevicePacesItself", {true, 19200}, false, 0, std::vector<int64_t>(7, 3 * ms + 7 * c / 2)},
        {"BurstsUnpaced", {false, 19200, 0, 8}, true, 0, {0, 0, 0, 8 * ms, 8 * ms, 8 * ms, 8 * ms}},
        {"BurstsPaced", {true, 19200, 0, 16}, true, 0, paced(reply, 3, 16 * ms)},
        {"ReplyDelay", {false, 19200, 0, 0, false, 4000}, true, 0, std::vector<int64_t>(7, 4 * ms)},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        // The request: 8 bytes, first read at 0, last at 3 ms.
        const std::vector<Chunk> s = replySchedule(r.timing, c, r.pty, 8, 0, 3 * ms, 7, r.nowNs);
        std::vector<int64_t> arrivals;
        size_t next = 0;
        for (const Chunk& ch : s) {
            ASSERT_EQ(ch.from, next) << "bytes in order, none twice or left out";
            next += ch.count;
            // Bytes written together arrive together; paced ones come one by one.
            arrivals.insert(arrivals.end(), ch.count, ch.atNs);
        }
        EXPECT_EQ(next, 7u);
        EXPECT_EQ(arrivals, r.arrivals);
    }
}

TEST(ModbusBridge, LibmodbusAnswersFromTheStationsMapAndBroadcastsReachEveryOnlineStation) {
    Memory memory({1, 2, 3}, /*live=*/false);
    memory.setOnline(3, false);
    ModbusBridge bridge;
    std::string err;
    ASSERT_TRUE(bridge.open(&err)) << err;
    ASSERT_TRUE(memory.setUnit(1, 7, 100, 0x1234));
    ASSERT_TRUE(memory.setUnit(1, 7, 101, 0xABCD));
    using Kind = ModbusBridge::Outcome::Kind;
    struct Row {
        const char* name;
        Bytes request;
        Kind kind;
        Bytes reply;
        std::vector<int> stations;
    };
    // clang-format off
    const Row rows[] = {
        {"ReadTwoRegisters", bytes("01032E3C00020D2F"), Kind::Answered, withCrc(bytes("0103041234ABCD")), {1}},
        {"TooManyRegistersIsAnException", withCrc(bytes("01032E3C00C8")), Kind::Answered, withCrc(bytes("018303")), {1}},
        {"BroadcastWrite", bytes("000606CC123445DB"), Kind::Broadcast, {}, {1, 2}},
        {"BadCrc", bytes("01032E3C00020D2E"), Kind::Refused, {}, {}},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const ModbusBridge::Outcome out = bridge.handle(r.request, memory);
        EXPECT_EQ(int(out.kind), int(r.kind)) << out.why;
        EXPECT_EQ(out.reply, r.reply);
        EXPECT_EQ(out.stations, r.stations);
    }
    // Register 4 of area 12 on both online stations, not on the offline one.
    uint16_t v = 0;
    for (int s : {1, 2}) EXPECT_TRUE(memory.unit(s, 12, 4, &v) && v == 0x1234) << s;
    EXPECT_TRUE(memory.unit(3, 12, 4, &v) && v == 0);
}

TEST(RemoteResponder, ReadsAndWritesTheControllersMemoryInItsOwnFraming) {
    Memory memory({1, 2}, /*live=*/false);
    memory.setOnline(2, false);
    memory.setUnit(1, 12, 4, 0x0102);
    memory.setUnit(1, 2, 10, 1);
    memory.setUnit(1, 2, 12, 1);
    // Header: length, kind, direction, link, station, type, address, count,
    // special, extra; then the values and the sum.
    auto frame = [](int direction, int station, int type, int addr, int count, Bytes values) {
        Bytes f(21, 0);
        f[2] = uint8_t(direction);
        f[4] = uint8_t(station);
        f[6] = uint8_t(type);
        for (int k = 0; k < 4; ++k) f[7 + k] = uint8_t(addr >> (24 - 8 * k));
        f[12] = uint8_t(count);
        f.insert(f.end(), values.begin(), values.end());
        f[0] = uint8_t(f.size() + 1);
        f.push_back(byteSum(f.data(), f.size()));
        return f;
    };
    struct Row {
        const char* name;
        Bytes request, reply;
        bool refused;
    };
    // clang-format off
    const Row rows[] = {
        {"ReadRegisters", frame(0, 1, 12, 4, 2, {}), withCrc(bytes("010C0401020000")), false},
        {"ReadBitsPacked", frame(0, 1, 2, 10, 3, {}), withCrc(bytes("01020105")), false},
        {"WriteRegister", frame(1, 1, 7, 5, 1, {0xBE, 0xEF}), withCrc(bytes("010700050001")), false},
        {"WriteBitInWord", frame(1, 1, 20, 0x33, 1, {1}), withCrc(bytes("011400330001")), false},
        {"OfflineStation", frame(0, 2, 12, 4, 1, {}), {}, true},
        {"ReadFromStationZero", frame(0, 0, 12, 4, 1, {}), {}, true},
        {"WriteToInputs", frame(1, 1, 13, 0, 1, {0, 1}), {}, true},
        {"ReadBeyondMemory", frame(0, 1, 12, 0xFFFF, 2, {}), {}, true},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const RemoteOutcome out = respondRemote(r.request, memory);
        EXPECT_EQ(out.reply, r.reply);
        EXPECT_EQ(out.refused != nullptr, r.refused);
    }
    uint16_t v = 0;
    EXPECT_TRUE(memory.unit(1, 7, 5, &v) && v == 0xBEEF);
    EXPECT_TRUE(memory.unit(1, 7, 3, &v) && v == 0x0008) << "bit 3 of word 3 only: " << v;
}

}  // namespace
}  // namespace plcsim
