// plc-host's options: what each combination resolves to, the stations the
// requests go to in particular, and the refusals (plc-host exits 2 for each).
#include "options.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <functional>

namespace {

using namespace plchost;

bool parse(const QStringList& args, HostConfig* cfg, std::string* why) {
    return parseCommandLine(QStringList{"plc-host"} + args, cfg, why);
}

struct GoodRow {
    const char* name;
    QStringList args;
    std::function<void(const HostConfig&)> check;
};

TEST(Options, CombinationsResolveToTheStationsAndSettingsTheyName) {
    const GoodRow rows[] = {
        {"WriteNamedForStationTwoWithTwoStations",
         {"-a", "1,2", "--write", "2/7:50=777"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.engine.com.multiStation, 1);
             ASSERT_EQ(c.writes.size(), 1u);
             EXPECT_EQ(c.writes[0].req.station, 2);
             EXPECT_EQ(c.writes[0].req.values, QByteArray::fromHex("0903"));
         }},
        {"WriteWithoutStationGoesToTheFirstOfAEvenWhenGivenBeforeIt",
         {"--write", "7:50=1", "-a", "3"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.writes.at(0).req.station, 3);
             EXPECT_EQ(c.engine.com.defStation, 3);
             EXPECT_EQ(c.engine.com.multiStation, 0);
         }},
        {"OneStationBecomesTheDefault",
         {"-a", "5", "-t", "7", "-r", "0"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.engine.com.defStation, 5);
             EXPECT_EQ(c.engine.vars.at(0).station, 5);
             EXPECT_EQ(c.engine.com.multiStation, 0);
         }},
        {"TwoReadStationsTurnMultiStationOn",
         {"-a", "1,2", "-t", "12", "-r", "4", "-c", "3"},
         [](const HostConfig& c) {
             ASSERT_EQ(c.engine.vars.size(), 2u);
             EXPECT_EQ(c.engine.vars[1].station, 2);
             EXPECT_EQ(c.engine.vars[1].count, 3);
             EXPECT_EQ(c.engine.com.multiStation, 1);
         }},
        {"ABroadcastIsAnotherStation",
         {"-a", "1", "-t", "7", "-r", "0", "--write", "0/7:1=5"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.writes.at(0).req.station, 0);
             EXPECT_EQ(c.engine.com.multiStation, 1);
         }},
        {"PositionalValuesGoToEveryStationInTheirFormat",
         {"-a", "1,2", "-t", "7:hex", "-r", "100", "0x1234", "7"},
         [](const HostConfig& c) {
             ASSERT_EQ(c.writes.size(), 2u);
             EXPECT_EQ(c.writes[1].req.station, 2);
             EXPECT_EQ(c.writes[1].req.values, QByteArray::fromHex("34120700"));
             EXPECT_EQ(c.engine.vars.at(0).count, 2);
             EXPECT_EQ(c.engine.vars.at(0).format, Format::Hex);
         }},
        {"SignedValuesAfterDoubleDash",
         {"-t", "7:int", "-r", "0", "--", "-5"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.writes.at(0).req.values, QByteArray::fromHex("fbff"));
         }},
        {"DeviceBeforeValues",
         {"-t", "1", "-r", "17", "/dev/ttyUSB0", "1", "0"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.link.device, "/dev/ttyUSB0");
             EXPECT_EQ(c.writes.at(0).req.values, QByteArray::fromHex("0100"));
         }},
        {"LineOptions",
         {"-t",
          "7",
          "-r",
          "0",
          "-b",
          "9600",
          "-P",
          "none",
          "-d",
          "7",
          "-s",
          "2",
          "-o",
          "0.25",
          "--byte-timeout",
          "20",
          "--echo",
          "--rs485",
          "--rts-delay-before",
          "2"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.link.baud, 9600);
             EXPECT_EQ(c.link.parity, 'N');
             EXPECT_EQ(c.link.dataBits, 7);
             EXPECT_EQ(c.link.stopBits, 2);
             EXPECT_EQ(c.link.timeoutMs, 250);
             EXPECT_EQ(c.link.byteTimeoutMs, 20);
             EXPECT_TRUE(c.link.echo);
             EXPECT_EQ(c.link.direction, LinkSettings::Direction::KernelRs485);
             EXPECT_EQ(c.link.rtsDelayBeforeMs, 2);
         }},
        {"SimulatorModes",
         {"-t", "7", "-r", "0", "--sim-pace", "--sim-turnaround", "3", "--sim-burst", "8",
          "--sim-echo", "--sim-set", "2/20:52=1"},
         [](const HostConfig& c) {
             EXPECT_TRUE(c.sim.pace && c.sim.echo);
             EXPECT_EQ(c.sim.turnaroundMs, 3);
             EXPECT_EQ(c.sim.burstMs, 8);
             ASSERT_EQ(c.sim.presets.size(), 1u);
             EXPECT_EQ(c.sim.presets[0].addr, 52);
         }},
        {"OnceIsOneCycleAndLogWritesCsv",
         {"-t", "7", "-r", "0", "-1", "--log", "out.csv", "--rts"},
         [](const HostConfig& c) {
             EXPECT_EQ(c.cycles, 1);
             EXPECT_EQ(c.format, OutputFormat::Csv);
             EXPECT_EQ(c.logPath, "out.csv");
             EXPECT_EQ(c.link.direction, LinkSettings::Direction::ManualRts);
         }},
        {"ListTypesNeedsNothingElse",
         {"--list-types"},
         [](const HostConfig& c) { EXPECT_EQ(c.mode, RunMode::ListTypes); }},
    };
    for (const GoodRow& r : rows) {
        SCOPED_TRACE(r.name);
        HostConfig cfg;
        std::string why;
        ASSERT_TRUE(parse(r.args, &cfg, &why)) << why;
        r.check(cfg);
    }
}

struct BadRow {
    const char* name;
    QStringList args;
    const char* message;
};

TEST(Options, BadInputIsRefusedWithAMessageNamingTheOption) {
    const BadRow rows[] = {
        {"CountZero", {"-t", "7", "-r", "0", "-c", "0"}, "-c: '0' is out of range 1..65535"},
        {"CountTooLarge", {"-t", "7", "-r", "0", "-c", "70000"}, "-c:"},
        {"UnsupportedBaud", {"-t", "7", "-r", "0", "-b", "1234"}, "-b: unsupported baud rate"},
        {"TypeCode26", {"-t", "26", "-r", "0"}, "-t: '26' is out of range 0..25"},
        {"UnknownFormat", {"-t", "7:oct", "-r", "0"}, "-t: 'oct'"},
        {"StationTwice", {"-a", "1,1", "-t", "7", "-r", "0"}, "-a: '1' is given twice"},
        {"Station248", {"-a", "248", "-t", "7", "-r", "0"}, "-a:"},
        {"RegisterValueTooLarge", {"--write", "7:0=70000"}, "out of range 0..65535"},
        {"BitValueTwo", {"--write", "1:0=2"}, "(a bit is 0 or 1)"},
        {"SignedValueTooLarge", {"--write", "7:int:0=40000"}, "-32768..32767"},
        {"NegativeUnsignedValue", {"-t", "7", "-r", "0", "--", "-5"}, "out of range 0..65535"},
        {"WriteWithoutValue", {"--write", "7:0"}, "--write:"},
        {"WriteWithoutAddress", {"--write", "2/7=5"}, "--write:"},
        {"WriteTimeNotANumber", {"--write", "7:0=5@soon"}, "not a number"},
        {"OnceAndCycles", {"-t", "7", "-r", "0", "--once", "--cycles", "2"}, "choose one"},
        {"Rs485AndRts", {"-t", "7", "-r", "0", "--rs485", "--rts"}, "choose one"},
        {"LogWithTable", {"-t", "7", "-r", "0", "--log", "x", "--format", "table"}, "--log"},
        {"UnknownOutputFormat", {"-t", "7", "-r", "0", "--format", "xml"}, "--format: 'xml'"},
        {"MisspelledOption", {"-t", "7", "-r", "0", "--tarce"}, "Unknown option 'tarce'"},
        {"MissingOptionValue", {"-t", "7", "-r"}, "Missing value"},
        {"TypeWithoutAddress", {"-t", "7"}, "-t needs -r"},
        {"ValuesWithoutTarget", {"5"}, "write values need -t TYPE and -r ADDRESS"},
        {"TwoDevices", {"-t", "7", "-r", "0", "/dev/a", "/dev/b"}, "more than one device"},
        {"PresetOutOfRange", {"-t", "7", "-r", "0", "--sim-set", "1/7:3=70000"}, "--sim-set:"},
        {"BlockBeyondModbusRead", {"-t", "7", "-r", "0", "--block-size", "126"}, "at most 125"},
        {"TimeoutZero", {"-t", "7", "-r", "0", "-o", "0"}, "-o:"},
        {"NothingToPoll", {}, "nothing to poll"},
    };
    for (const BadRow& r : rows) {
        SCOPED_TRACE(r.name);
        HostConfig cfg;
        std::string why;
        EXPECT_FALSE(parse(r.args, &cfg, &why));
        EXPECT_NE(why.find(r.message), std::string::npos) << why;
    }
}

TEST(Options, ABitScreenMayUseBlocksUpTo250) {
    HostConfig cfg;
    std::string why;
    EXPECT_TRUE(parse({"-t", "2", "-r", "0", "--block-size", "250"}, &cfg, &why)) << why;
    EXPECT_FALSE(parse({"-t", "2", "-r", "0", "--block-size", "251"}, &cfg, &why));
}

TEST(Options, HelpDescribesEveryOption) {
    int argc = 1;
    char name[] = "plc-host";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);  // the usage line names the program
    const std::string help = helpText();
    for (const char* name : {"--project",
                             "-a",
                             "-t",
                             "-r",
                             "-c",
                             "--write",
                             "-b",
                             "-P",
                             "-d",
                             "-s",
                             "-o",
                             "-l",
                             "--byte-timeout",
                             "--echo",
                             "--rs485",
                             "--rts",
                             "--rts-delay-before",
                             "--rts-delay-after",
                             "--format",
                             "--log",
                             "--cycles",
                             "--all",
                             "--plan",
                             "--list-types",
                             "--version",
                             "--sim-pace",
                             "--sim-burst",
                             "--sim-echo",
                             "-1, --once"})
        EXPECT_NE(help.find(std::string(name)), std::string::npos) << name;
}

}  // namespace
