// plc-host's options: what each combination resolves to, the stations the
// requests go to in particular, and the refusals (plc-host exits 2 for each).
#include "options.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <sstream>

namespace {

using namespace plchost;

// Arguments are given blank-separated; none of them holds a blank.
bool parse(const char* args, HostConfig* cfg, std::string* why) {
    const QStringList list = QString(args).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return parseCommandLine(QStringList{"plc-host"} + list, cfg, why);
}

// What a command line resolved to, as blank-separated "key=value" words.
// Variables are "station:type:address:count:format", writes "station:values
// in hex", presets "station/type:address=value"; list items are '|'-separated.
std::string settingsOf(const HostConfig& c) {
    const LinkSettings& l = c.link;
    std::ostringstream s;
    s << "multi=" << c.engine.com.multiStation << " def=" << c.engine.com.defStation << " vars=";
    for (size_t i = 0; i < c.engine.vars.size(); ++i) {
        const VarConfig& v = c.engine.vars[i];
        s << (i ? "|" : "") << v.station << ':' << v.type << ':' << v.addrText.toStdString() << ':'
          << v.count << ':' << formatName(v.format);
    }
    s << " writes=";
    for (size_t i = 0; i < c.writes.size(); ++i)
        s << (i ? "|" : "") << c.writes[i].req.station << ':'
          << c.writes[i].req.values.toHex().constData();
    s << " presets=";
    for (size_t i = 0; i < c.sim.presets.size(); ++i) {
        const SimSettings::Preset& p = c.sim.presets[i];
        s << (i ? "|" : "") << p.station << '/' << p.type << ':' << p.addr << '=' << p.value;
    }
    s << " device=" << l.device << " line=" << l.baud << l.parity << l.dataBits << l.stopBits
      << " timeouts=" << l.timeoutMs << '/' << l.byteTimeoutMs << " echo=" << l.echo
      << " direction=" << int(l.direction) << '/' << l.rtsDelayBeforeMs << " sim=" << c.sim.pace
      << c.sim.echo << '/' << c.sim.turnaroundMs << '/' << c.sim.burstMs << " cycles=" << c.cycles
      << " format=" << int(c.format) << " log=" << c.logPath << " mode=" << int(c.mode);
    return s.str();
}

TEST(Options, CombinationsResolveToTheStationsAndSettingsTheyName) {
    struct Row {
        const char* name;
        const char* args;
        const char* settings;  // words settingsOf gives, among others
    };
    // Direction 1 is the kernel's RS-485 mode, 2 RTS by hand; format 1 is csv,
    // mode 1 the register-type list.
    // clang-format off
    const Row rows[] = {
        {"WriteNamedForStationTwoWithTwoStations", "-a 1,2 --write 2/7:50=777", "multi=1 writes=2:0903"},
        {"WriteWithoutStationGoesToTheFirstOfAEvenWhenGivenBeforeIt", "--write 7:50=1 -a 3", "writes=3:0100 def=3 multi=0"},
        {"OneStationBecomesTheDefault", "-a 5 -t 7 -r 0", "def=5 vars=5:7:0:1:dec multi=0"},
        {"TwoReadStationsTurnMultiStationOn", "-a 1,2 -t 12 -r 4 -c 3", "vars=1:12:4:3:dec|2:12:4:3:dec multi=1"},
        {"ABroadcastIsAnotherStation", "-a 1 -t 7 -r 0 --write 0/7:1=5", "writes=0:0500 multi=1"},
        {"PositionalValuesGoToEveryStationInTheirFormat", "-a 1,2 -t 7:hex -r 100 0x1234 7", "writes=1:34120700|2:34120700 vars=1:7:100:2:hex|2:7:100:2:hex"},
        {"SignedValuesAfterDoubleDash", "-t 7:int -r 0 -- -5", "writes=1:fbff"},
        {"DeviceBeforeValues", "-t 1 -r 17 /dev/ttyUSB0 1 0", "device=/dev/ttyUSB0 writes=1:0100"},
        {"LineOptions", "-t 7 -r 0 -b 9600 -P none -d 7 -s 2 -o 0.25 --byte-timeout 20 --echo --rs485 --rts-delay-before 2", "line=9600N72 timeouts=250/20 echo=1 direction=1/2"},
        {"SimulatorModes", "-t 7 -r 0 --sim-pace --sim-turnaround 3 --sim-burst 8 --sim-echo --sim-set 2/20:52=1", "sim=11/3/8 presets=2/20:52=1"},
        {"OnceIsOneCycleAndLogWritesCsv", "-t 7 -r 0 -1 --log out.csv --rts", "cycles=1 format=1 log=out.csv direction=2/0"},
        {"ListTypesNeedsNothingElse", "--list-types", "mode=1"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        HostConfig cfg;
        std::string why;
        ASSERT_TRUE(parse(r.args, &cfg, &why)) << why;
        const std::string got = " " + settingsOf(cfg) + " ";
        std::istringstream want(r.settings);
        for (std::string w; want >> w;)
            EXPECT_NE(got.find(" " + w + " "), std::string::npos) << w << " in" << got;
    }
}

TEST(Options, BadInputIsRefusedWithAMessageNamingTheOption) {
    struct Row {
        const char* name;
        const char* args;
        const char* message;
    };
    const Row rows[] = {
        {"CountZero", "-t 7 -r 0 -c 0", "-c: '0' is out of range 1..65535"},
        {"CountTooLarge", "-t 7 -r 0 -c 70000", "-c:"},
        {"UnsupportedBaud", "-t 7 -r 0 -b 1234", "-b: unsupported baud rate"},
        {"TypeCode26", "-t 26 -r 0", "-t: '26' is out of range 0..25"},
        {"UnknownFormat", "-t 7:oct -r 0", "-t: 'oct'"},
        {"StationTwice", "-a 1,1 -t 7 -r 0", "-a: '1' is given twice"},
        {"Station248", "-a 248 -t 7 -r 0", "-a:"},
        {"RegisterValueTooLarge", "--write 7:0=70000", "out of range 0..65535"},
        {"BitValueTwo", "--write 1:0=2", "(a bit is 0 or 1)"},
        {"SignedValueTooLarge", "--write 7:int:0=40000", "-32768..32767"},
        {"NegativeUnsignedValue", "-t 7 -r 0 -- -5", "out of range 0..65535"},
        {"WriteWithoutValue", "--write 7:0", "--write:"},
        {"WriteWithoutAddress", "--write 2/7=5", "--write:"},
        {"WriteTimeNotANumber", "--write 7:0=5@soon", "not a number"},
        {"OnceAndCycles", "-t 7 -r 0 --once --cycles 2", "choose one"},
        {"Rs485AndRts", "-t 7 -r 0 --rs485 --rts", "choose one"},
        {"LogWithTable", "-t 7 -r 0 --log x --format table", "--log"},
        {"UnknownOutputFormat", "-t 7 -r 0 --format xml", "--format: 'xml'"},
        {"MisspelledOption", "-t 7 -r 0 --tarce", "Unknown option 'tarce'"},
        {"MissingOptionValue", "-t 7 -r", "Missing value"},
        {"TypeWithoutAddress", "-t 7", "-t needs -r"},
        {"ValuesWithoutTarget", "5", "write values need -t TYPE and -r ADDRESS"},
        {"TwoDevices", "-t 7 -r 0 /dev/a /dev/b", "more than one device"},
        {"PresetOutOfRange", "-t 7 -r 0 --sim-set 1/7:3=70000", "--sim-set:"},
        {"BlockBeyondModbusRead", "-t 7 -r 0 --block-size 126", "at most 125"},
        {"BitBlockBeyondModbusRead", "-t 2 -r 0 --block-size 251", "out of range 1..250"},
        {"TimeoutZero", "-t 7 -r 0 -o 0", "-o:"},
        {"NothingToPoll", "", "nothing to poll"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        HostConfig cfg;
        std::string why;
        EXPECT_FALSE(parse(r.args, &cfg, &why));
        EXPECT_NE(why.find(r.message), std::string::npos) << why;
    }
    // A bit screen may use blocks up to 250.
    HostConfig cfg;
    std::string why;
    EXPECT_TRUE(parse("-t 2 -r 0 --block-size 250", &cfg, &why)) << why;
}

TEST(Options, HelpDescribesEveryOption) {
    int argc = 1;
    char name[] = "plc-host";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);  // the usage line names the program
    const std::string help = helpText();
    const char* names =
        "--project -a -t -r -c --write -b -P -d -s -o -l --byte-timeout --echo --rs485 --rts "
        "--rts-delay-before --rts-delay-after --format --log --cycles --all --plan --list-types "
        "--version --sim-pace --sim-burst --sim-echo";
    for (const QString& option : QString(names).split(QLatin1Char(' ')))
        EXPECT_NE(help.find(option.toStdString()), std::string::npos) << option.toStdString();
    EXPECT_NE(help.find("-1, --once"), std::string::npos);
}

}  // namespace
