// A controller that answers every request with a Modbus exception: the
// trace and the screen name the exception, while the status stays the code
// DataCom returned.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "display.h"
#include "frame_decoder.h"
#include "rig.h"

namespace plctest {
namespace {

TEST(Exceptions, AnExceptionReplyIsNamedInTheTraceAndOnTheScreenBesideTheDriversStatus) {
    int master = -1, slave = -1;
    char name[256] = {0};
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(::openpty(&master, &slave, name, &raw, nullptr), 0);
    std::atomic<bool> done{false};
    // Reads each 8-byte request and answers "illegal data address".
    std::thread far([&] {
        uint8_t req[8];
        size_t have = 0;
        pollfd p{master, POLLIN, 0};
        while (!done) {
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::read(master, req + have, sizeof req - have);
            if (n <= 0) continue;
            have += size_t(n);
            if (have < sizeof req) continue;
            have = 0;
            uint8_t reply[5] = {req[0], uint8_t(req[1] | 0x80), 0x02, 0, 0};
            const uint16_t crc = plchost::crc16(reply, 3);
            reply[3] = uint8_t(crc & 0xFF);
            reply[4] = uint8_t(crc >> 8);
            EXPECT_EQ(::write(master, reply, sizeof reply), 5);
        }
    });

    char* buf = nullptr;
    size_t len = 0;
    FILE* trace = ::open_memstream(&buf, &len);
    {
        plchost::EngineConfig cfg;
        cfg.vars = {var(1, 7, "0", 1)};
        cfg.com.retryMax = 1;
        cfg.backoff.giveUps = 0;
        cfg.pollIntervalMs = 0;
        cfg.installLogHandler = false;
        cfg.trace = trace;
        plchost::DriverApi api;
        plchost::SerialLink link;
        std::string err;
        ASSERT_TRUE(api.load(PLC_DRIVER_LIBRARY, &err, /*privateCopy=*/true)) << err;
        ASSERT_TRUE(link.open({name, 115200, 'N', 8, 1, 300, 5}, &err)) << err;
        plchost::HostEngine engine(api, link, cfg);
        ASSERT_TRUE(engine.setup(&err)) << err;
        ASSERT_TRUE(engine.runUntil([&] { return engine.completedCycles() >= 1; }, 10000));
        const plchost::Snapshot snap = engine.snapshot();
        ASSERT_EQ(snap.vars.size(), 1u);
        EXPECT_EQ(snap.vars[0].read.lastStatus, 71);
        EXPECT_EQ(snap.vars[0].read.exception, 2);
        EXPECT_EQ(snap.vars[0].read.dataAgeSec, -1);
        plchost::ScreenInfo wide;
        wide.width = 120;  // the status on one line
        const std::string screen = plchost::renderScreen(snap, wide);
        EXPECT_NE(screen.find("71 exception 02 illegal data address"), std::string::npos) << screen;
        EXPECT_NE(screen.find("\u2013"), std::string::npos) << "never read: " << screen;
    }
    done = true;
    far.join();
    std::fflush(trace);
    const std::string traced(buf, len);
    std::fclose(trace);
    std::free(buf);
    ::close(master);
    ::close(slave);
    EXPECT_NE(traced.find("exception 02 illegal data address; status 0 retrying"),
              std::string::npos)
        << traced;
    EXPECT_NE(traced.find("exception 02 illegal data address; status 71 wrong length"),
              std::string::npos)
        << traced;
}

}  // namespace
}  // namespace plctest
