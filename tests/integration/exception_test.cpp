// A controller that answers a read with a Modbus exception: the trace and the
// screen name the exception, while the status stays the code DataCom returned.
#include "display.h"
#include "rig.h"

namespace plctest {
namespace {

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
