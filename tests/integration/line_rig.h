// Starting a Rig with link settings and simulator options of the test's own
// choosing, where Rig::start takes the defaults.
#ifndef PLC_INTEGRATION_LINE_RIG_H
#define PLC_INTEGRATION_LINE_RIG_H

#include "rig.h"

namespace plctest {

// Replaces the rig's simulator with one made from `options`, opens the link
// to it with `link` (its device filled in) and sets the engine up.
inline void startRig(Rig& rig, plchost::LinkSettings link, const plcsim::Options& options) {
    rig.sim = std::make_unique<plcsim::Simulator>(options);
    std::string err;
    ASSERT_TRUE(rig.sim->openPty(&err) && rig.sim->start(&err)) << err;
    ASSERT_TRUE(rig.api.load(PLC_DRIVER_LIBRARY, &err, /*privateCopy=*/true)) << err;
    link.device = rig.sim->devicePath();
    ASSERT_TRUE(rig.link.open(link, &err)) << err;
    rig.engine = std::make_unique<plchost::HostEngine>(rig.api, rig.link, rig.cfg);
    ASSERT_TRUE(rig.engine->setup(&err)) << err;
}

}  // namespace plctest

#endif  // PLC_INTEGRATION_LINE_RIG_H
