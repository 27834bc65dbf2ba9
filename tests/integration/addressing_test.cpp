// Safe addressing in the engine itself: with multiStation 0 a request named
// for another station is refused, never sent to defStation instead.
#include "rig.h"

namespace plctest {
namespace {

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

}  // namespace
}  // namespace plctest
