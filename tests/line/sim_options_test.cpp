// plc-sim's options: what each sets, and a clear error for every bad value,
// never a wrap or a silent default.
#include "sim_options.h"

#include <gtest/gtest.h>

namespace plcsim {
namespace {

TEST(SimOptions, GoodCommandLinesSetWhatTheySay) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        void (*check)(const SimConfig&);
    };
    const Row rows[] = {
        {"Defaults",
         {},
         [](const SimConfig& c) {
             EXPECT_EQ(c.sim.stations, std::vector<int>{1});
             EXPECT_TRUE(c.device.empty());
             EXPECT_EQ(c.format.baud, 19200);
             EXPECT_EQ(c.sim.paceBaud, 19200);
             EXPECT_EQ(c.format.parity, 'E');
             EXPECT_FALSE(c.sim.pace || c.sim.echo || c.sim.burstGapMs || c.verbose);
             EXPECT_TRUE(c.sim.live);
         }},
        {"LineModes",
         {"--pace", "-b", "9600", "--turnaround", "1.5", "--burst", "8", "--echo"},
         [](const SimConfig& c) {
             EXPECT_TRUE(c.sim.pace && c.sim.echo);
             EXPECT_EQ(c.sim.paceBaud, 9600);
             EXPECT_EQ(c.sim.turnaroundUs, 1500);
             EXPECT_EQ(c.sim.burstGapMs, 8);
         }},
        {"Device",
         {"--device", "/dev/ttyUSB1", "--baud", "115200", "-P", "none", "-d", "7", "-s", "2"},
         [](const SimConfig& c) {
             EXPECT_EQ(c.device, "/dev/ttyUSB1");
             EXPECT_EQ(c.format.baud, 115200);
             EXPECT_EQ(c.format.parity, 'N');
             EXPECT_EQ(c.format.dataBits, 7);
             EXPECT_EQ(c.format.stopBits, 2);
         }},
        {"FaultsAndMemory",
         {"--fault-rate", "0.25", "--seed", "4294967295", "--reply-delay-ms", "20", "--no-live",
          "-v"},
         [](const SimConfig& c) {
             EXPECT_DOUBLE_EQ(c.sim.faultRate, 0.25);
             EXPECT_EQ(c.sim.seed, 4294967295u);
             EXPECT_EQ(c.sim.replyDelayUs, 20000);
             EXPECT_FALSE(c.sim.live);
             EXPECT_TRUE(c.verbose);
         }},
        // --set may come before the --stations that serve its station.
        {"PresetsOnServedStations",
         {"--set", "2/7:3=0xA5C3", "--stations", "1,2", "--set", "1/20:53=1"},
         [](const SimConfig& c) {
             EXPECT_EQ(c.sim.stations, (std::vector<int>{1, 2}));
             ASSERT_EQ(c.presets.size(), 2u);
             EXPECT_EQ(c.presets[0].station, 2);
             EXPECT_EQ(c.presets[0].value, 0xA5C3);
             EXPECT_EQ(c.presets[1].type, 20);
             EXPECT_EQ(c.presets[1].address, 53);
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimConfig c;
        std::string err;
        ASSERT_EQ(int(parseSimOptions(r.args, &c, &err)), int(ParseResult::Ok)) << err;
        r.check(c);
    }
}

TEST(SimOptions, EveryBadValueIsRefusedNamingTheOption) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        const char* error;  // part of the message
    };
    const Row rows[] = {
        {"UnknownOption", {"--stationz", "1"}, "stationz"},
        {"StrayArgument", {"/dev/ttyUSB0"}, "unexpected argument '/dev/ttyUSB0'"},
        {"MissingValue", {"--burst"}, "burst"},
        {"StationZero", {"--stations", "0"}, "--stations"},
        {"StationTooHigh", {"--stations", "1,248"}, "--stations"},
        {"EmptyStation", {"--stations", "1,,2"}, "--stations"},
        {"StationTwice", {"--stations", "2,2"}, "--stations"},
        {"OddBaud", {"-b", "12345"}, "-b"},
        {"Parity", {"-P", "mark"}, "-P"},
        {"DataBits", {"-d", "9"}, "-d"},
        {"FaultRateAboveOne", {"--fault-rate", "1.5"}, "--fault-rate"},
        {"FaultRateNotANumber", {"--fault-rate", "ten"}, "--fault-rate"},
        {"SeedBeyond32Bits", {"--seed", "4294967296"}, "--seed"},
        {"NegativeBurst", {"--burst", "-1"}, "--burst"},
        {"TurnaroundJunk", {"--turnaround", "2ms"}, "--turnaround"},
        {"DelayTooLong", {"--reply-delay-ms", "70000"}, "--reply-delay-ms"},
        {"PresetShape", {"--set", "1:7/3=1"}, "S/T:A=V"},
        {"PresetValueWraps", {"--set", "1/7:3=70000"}, "--set"},
        {"PresetBitValue", {"--set", "1/0:5=2"}, "--set"},
        {"PresetType", {"--set", "1/26:0=1"}, "--set"},
        {"PresetStationNotServed", {"--set", "3/7:0=1"}, "station 3 is not served"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimConfig c;
        std::string err;
        EXPECT_EQ(int(parseSimOptions(r.args, &c, &err)), int(ParseResult::Error));
        EXPECT_NE(err.find(r.error), std::string::npos) << err;
    }
}

}  // namespace
}  // namespace plcsim
