// The planner's cycle against the real thing: the frames plc-host --plan
// lists are, byte for byte and in order, the frames the engine sends in one
// read cycle over the pty.
#include "planner.h"

#include "frame_decoder.h"
#include "rig.h"

namespace plctest {
namespace {

// The TX frames of the second read cycle in an engine trace, as hex text.
std::vector<std::string> secondCycleFrames(const std::string& trace) {
    std::vector<std::string> frames;
    int cyclesSeen = 0;
    size_t pos = 0;
    while (pos < trace.size() && cyclesSeen < 2) {
        const size_t nl = std::min(trace.find('\n', pos), trace.size());
        const std::string line = trace.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.find("-- read cycle") != std::string::npos) ++cyclesSeen;
        const size_t tx = line.find("] TX ");
        if (tx == std::string::npos || cyclesSeen != 1) continue;
        std::string hex = line.substr(tx + 5, line.find("  ;") - tx - 5);
        while (!hex.empty() && hex.back() == ' ') hex.pop_back();
        frames.push_back(hex);
    }
    return frames;
}

TEST(Planner, TheBlocksPlannedAreTheFramesTheEnginePollsForEveryBlockSize) {
    // A sparse screen on two stations: gaps that fit some block sizes only.
    const std::vector<plchost::VarConfig> screen = {
        var(1, 7, "0", 2),    var(1, 7, "40", 1),  var(1, 7, "90", 3), var(1, 20, "100.3", 4),
        var(1, 2, "0", 8),    var(1, 2, "300", 4), var(2, 12, "5", 1), var(2, 12, "200", 2),
        var(2, 21, "8.0", 4), var(2, 0, "17", 3),
    };
    for (int blockSize : {1, 4, 32, 125}) {
        SCOPED_TRACE("block size " + std::to_string(blockSize));
        Trace trace;
        {
            Rig rig({1, 2});
            rig.cfg.vars = screen;
            rig.cfg.com.blockSize = blockSize;
            rig.cfg.trace = trace.file;
            ASSERT_NO_FATAL_FAILURE(rig.start());
            ASSERT_TRUE(rig.cycles(2));
        }

        plchost::DriverApi api;
        std::string err;
        ASSERT_TRUE(api.load(PLC_DRIVER_LIBRARY, &err, /*privateCopy=*/true)) << err;
        plchost::EngineConfig cfg;
        cfg.vars = screen;
        cfg.com.multiStation = 1;
        plchost::Planner planner(api, cfg, {115200, 'N', 8, 1});
        plchost::CyclePlan plan;
        ASSERT_TRUE(planner.plan(blockSize, &plan, &err)) << err;
        std::vector<std::string> planned;
        for (const plchost::PlannedRequest& r : plan.requests)
            planned.push_back(plchost::hexBytes(r.frame));
        EXPECT_EQ(planned, secondCycleFrames(trace.text()));
        EXPECT_GE(planned.size(), 4u);
    }
}

}  // namespace
}  // namespace plctest
