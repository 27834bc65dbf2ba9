// plc-sim's options: what each sets, and a clear error for every bad value,
// never a wrap or a silent default.
#include "sim_options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace plcsim {
namespace {

std::vector<std::string> words(const char* text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    return w;
}

// What a command line set, as blank-separated "key=value" words; presets are
// "station/type:address=value", '|'-separated.
std::string settingsOf(const SimConfig& c) {
    const Options& o = c.sim;
    std::ostringstream s;
    s << "stations=";
    for (size_t i = 0; i < o.stations.size(); ++i) s << (i ? "," : "") << o.stations[i];
    s << " presets=";
    for (size_t i = 0; i < c.presets.size(); ++i) {
        const SimConfig::Preset& p = c.presets[i];
        s << (i ? "|" : "") << p.station << '/' << p.type << ':' << p.address << '=' << p.value;
    }
    s << " device=" << c.device << " line=" << c.format.baud << c.format.parity << c.format.dataBits
      << c.format.stopBits << " pace=" << o.pace << '/' << o.paceBaud << '/' << o.turnaroundUs
      << " burst=" << o.burstGapMs << " echo=" << o.echo << " faults=" << o.faultRate << '/'
      << o.seed << " delay=" << o.replyDelayUs << " live=" << o.live << " verbose=" << c.verbose;
    return s.str();
}

TEST(SimOptions, GoodCommandLinesSetWhatTheySay) {
    struct Row {
        const char* name;
        const char* args;
        const char* settings;  // words settingsOf gives, among others
    };
    // clang-format off
    const Row rows[] = {
        {"Defaults", "", "stations=1 device= line=19200E81 pace=0/19200/0 burst=0 echo=0 verbose=0 live=1"},
        {"LineModes", "--pace -b 9600 --turnaround 1.5 --burst 8 --echo", "pace=1/9600/1500 burst=8 echo=1"},
        {"Device", "--device /dev/ttyUSB1 --baud 115200 -P none -d 7 -s 2", "device=/dev/ttyUSB1 line=115200N72"},
        {"FaultsAndMemory", "--fault-rate 0.25 --seed 4294967295 --reply-delay-ms 20 --no-live -v", "faults=0.25/4294967295 delay=20000 live=0 verbose=1"},
        // --set may come before the --stations that serve its station.
        {"PresetsOnServedStations", "--set 2/7:3=0xA5C3 --stations 1,2 --set 1/20:53=1", "stations=1,2 presets=2/7:3=42435|1/20:53=1"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimConfig c;
        std::string err;
        ASSERT_EQ(int(parseSimOptions(words(r.args), &c, &err)), int(ParseResult::Ok)) << err;
        const std::string got = " " + settingsOf(c) + " ";
        for (const std::string& w : words(r.settings))
            EXPECT_NE(got.find(" " + w + " "), std::string::npos) << w << " in" << got;
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
