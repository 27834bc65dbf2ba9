// The cycle planner: the wire-time arithmetic, the block sizes it tries, and
// cycles walked through the driver (its static build, reached through the
// same entry points plc-host resolves with dlsym).
#include "planner.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace plchost;

TEST(Planner, WireTimeIsCharactersAtTheLineRatePlusTwoSilencesOfThreeAndAHalf) {
    struct Row {
        const char* name;
        int request, reply;
        plc::serial::CharFormat line;
        double us;
    };
    const Row rows[] = {
        // (8 + 7 + 7) characters x 11 bits / 19200 baud
        {"ReadOneRegister8E1", 8, 7, {19200, 'E', 8, 1}, 22 * 11 * 1e6 / 19200},
        {"ReadOneRegister8N1", 8, 7, {9600, 'N', 8, 1}, 22 * 10 * 1e6 / 9600},
        {"Read125Registers8E2", 8, 255, {115200, 'O', 8, 2}, 270 * 12 * 1e6 / 115200},
        {"BroadcastWithoutReply", 8, 0, {19200, 'E', 8, 1}, 15 * 11 * 1e6 / 19200},
        {"SevenBitCharacters", 22, 9, {1200, 'E', 7, 1}, 38 * 10 * 1e6 / 1200},
    };
    for (const Row& r : rows)
        EXPECT_NEAR(wireTimeUs(r.request, r.reply, r.line), r.us, 1e-6) << r.name;
}

TEST(Planner, CandidatesArePowersOfTwoUpToTheModbusLimitAndTheConfiguredSize) {
    EXPECT_EQ(modbusBlockLimit(true), 125);
    EXPECT_EQ(modbusBlockLimit(false), 250);
    EXPECT_EQ(candidateBlockSizes(32, 125), (std::vector<int>{1, 2, 4, 8, 16, 32, 64, 125}));
    EXPECT_EQ(candidateBlockSizes(20, 125), (std::vector<int>{1, 2, 4, 8, 16, 20, 32, 64, 125}));
    EXPECT_EQ(candidateBlockSizes(250, 250).back(), 250);
}

void useStaticDriver(DriverApi& api) {
    api.SetComInfo = &::SetComInfo;
    api.RegistCallBackFuncIntf = &::RegistCallBackFuncIntf;
    api.EnableEthernet = &::EnableEthernet;
    api.ReCreatReadVarList = &::ReCreatReadVarList;
    api.ComCommunication = &::ComCommunication;
    api.DataCom = &::DataCom;
}

// Whatever the grouping, one planned cycle reads every unit of every
// variable, no request is longer than the block limit, and the bytes add up.
TEST(Planner, EveryPlannedCycleCoversEveryVariableOnGeneratedScreens) {
    DriverApi api;
    useStaticDriver(api);
    std::mt19937 rng(5);
    for (int screen = 0; screen < 40; ++screen) {
        EngineConfig cfg;
        cfg.com.multiStation = 1;
        const int type = screen % 2 ? 7 : 2;
        for (int v = 0, n = 1 + int(rng() % 12); v < n; ++v) {
            VarConfig var;
            var.station = 1 + int(rng() % 2);
            var.type = type;
            var.addrText = QString::number(rng() % 600);
            var.count = 1 + int(rng() % 20);
            cfg.vars.push_back(var);
        }
        Planner planner(api, cfg, {19200, 'E', 8, 1});
        for (int size : candidateBlockSizes(32, 125)) {
            CyclePlan plan;
            std::string why;
            ASSERT_TRUE(planner.plan(size, &plan, &why)) << why;
            long out = 0, in = 0;
            double ms = 0;
            for (const PlannedRequest& r : plan.requests) {
                out += r.frame.size();
                in += r.replyBytes;
                ms += wireTimeUs(r.frame.size(), r.replyBytes, {19200, 'E', 8, 1}) / 1000;
                // Block size 1 switches grouping off for words: a variable is read whole.
                if (type == 2 || size > 1) {
                    EXPECT_LE(r.count, type == 2 ? 8 * size : size) << "block size " << size;
                }
            }
            EXPECT_EQ(plan.requestBytes, out);
            EXPECT_EQ(plan.replyBytes, in);
            EXPECT_NEAR(plan.wireMs, ms, 1e-9);
            for (const VarConfig& v : cfg.vars) {
                for (int u = v.addrText.toInt(); u < v.addrText.toInt() + v.count; ++u) {
                    const bool covered = std::any_of(
                        plan.requests.begin(), plan.requests.end(), [&](const PlannedRequest& r) {
                            return r.station == v.station && u >= r.addr && u < r.addr + r.count;
                        });
                    ASSERT_TRUE(covered)
                        << "screen " << screen << " size " << size << " unit " << u;
                }
            }
        }
    }
}

}  // namespace
