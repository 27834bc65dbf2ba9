#include "options.h"

#include <QtCore/QCommandLineParser>
#include <algorithm>
#include <set>

#include "cli_values.h"
#include "option_table.h"
#include "project.h"
#include "register_types.h"
#include "setting_ranges.h"

namespace plchost {

namespace {

using plc::cli::parseInt;
using plc::cli::parseReal;

// Options that only make sense together (-a -t -r -c, the positional write
// values, --write before -a is known), resolved once all are read.
struct Collected {
    std::vector<int> stations;  // -a
    int type = -1;              // -t
    Format format = Format::Dec;
    std::string address;  // -r
    bool addressGiven = false;
    int count = 1;
    std::vector<std::string> writeTexts;  // --write
    bool once = false;
    bool rs485 = false, rts = false;
    bool formatGiven = false;
};

struct OptionRow {
    const char* names;      // comma-separated, without dashes: "a", "f,project"
    const char* valueName;  // nullptr: a switch
    const char* description;
    bool (*apply)(HostConfig& c, Collected& o, const std::string& value, std::string* why);
};

bool fail(std::string* error, std::string message) {
    *error = std::move(message);
    return false;
}

bool parseIn(std::string_view v, Range r, int* out, std::string* why) {
    return parseInt(v, r.min, r.max, out, why);
}

// clang-format off
const OptionRow kOptions[] = {
    // What to poll and write.
    {"f,project", "FILE", "JSON project (link, cominfo, variables, writes, simulator); the other options override it.",
     [](HostConfig&, Collected&, const std::string&, std::string*) { return true; }},  // read first
    {"a", "STATIONS", "Station(s) 1..247, e.g. 1 or 1,2 (default: the project's defStation, or 1). More than one station, or one other than defStation, turns multi-station mode on. Broadcasts: --write 0/...",
     [](HostConfig&, Collected& o, const std::string& v, std::string* why) {
         return plc::cli::parseIntList(v, limits::kStation.min, limits::kStation.max, &o.stations, why);
     }},
    {"t", "TYPE[:FMT]", "Register-type code 0..25 (see --list-types), not a Modbus table; FMT dec|int|hex|bin (default 7:dec).",
     [](HostConfig&, Collected& o, const std::string& v, std::string* why) {
         const std::vector<std::string_view> parts = plc::cli::split(v, ':');
         if (parts.size() > 2) { *why = "'" + v + "': TYPE or TYPE:FMT"; return false; }
         if (!parseIn(parts[0], limits::kRegisterType, &o.type, why)) return false;
         if (parts.size() == 2 && !parseFormat(parts[1], &o.format)) {
             *why = "'" + std::string(parts[1]) + "': dec, int, hex or bin";
             return false;
         }
         return true;
     }},
    {"r", "ADDRESS", "Address text inside the type's area, as the driver parses it: octal for types 0 and 1, word.bit for 20..23, decimal otherwise. Not a raw Modbus address: the area base is added.",
     [](HostConfig&, Collected& o, const std::string& v, std::string*) {
         o.address = v;
         o.addressGiven = true;
         return true;
     }},
    {"c", "COUNT", "Units to poll, 1..65535 (bits or registers; default 1).",
     [](HostConfig&, Collected& o, const std::string& v, std::string* why) {
         return parseIn(v, limits::kCount, &o.count, why);
     }},
    {"write", "WRITE", "A write through SetRegisterData, [S/]T[:FMT]:ADDR=V[,V...][@SEC]: station, type, format, address text, values, seconds after start (repeatable), e.g. 2/7:100=0x1234@2. Without S/ it goes to the first station of -a.",
     [](HostConfig&, Collected& o, const std::string& v, std::string*) {
         o.writeTexts.push_back(v);
         return true;
     }},
    // The line.
    {"b", "BAUD", "Baud rate (default 19200).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return plc::cli::parseBaud(v, &c.link.baud, why);
     }},
    {"P", "PARITY", "Parity none|even|odd (default even).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return plc::cli::parseParity(v, &c.link.parity, why);
     }},
    {"d", "BITS", "Data bits 7|8 (default 8).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kDataBits, &c.link.dataBits, why);
     }},
    {"s", "BITS", "Stop bits 1|2 (default 1).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kStopBits, &c.link.stopBits, why);
     }},
    {"o", "SECONDS", "Response timeout, 0.001..60 (default 1.0).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         double s = 0;
         if (!parseReal(v, limits::kTimeoutMs.min / 1000.0, limits::kTimeoutMs.max / 1000.0, &s, why)) return false;
         c.link.timeoutMs = std::max(1, int(s * 1000 + 0.5));
         return true;
     }},
    {"l", "MS", "Poll interval: shortest time from one read cycle to the next (default 1000).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kPollIntervalMs, &c.engine.pollIntervalMs, why);
     }},
    {"turnaround", "MS", "Pause after a broadcast write (default 100).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kTurnaroundMs, &c.link.turnaroundMs, why);
     }},
    {"byte-timeout", "MS", "Largest gap tolerated inside a reply, 1..10000 (default 50): USB adapters hand replies over in bursts.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kByteTimeoutMs, &c.link.byteTimeoutMs, why);
     }},
    {"echo", nullptr, "Two-wire adapter that echoes what is sent: check and discard the echo of each request.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) { return c.link.echo = true; }},
    {"rs485", nullptr, "Direction control by the kernel's RS-485 mode (RTS on send).",
     [](HostConfig&, Collected& o, const std::string&, std::string*) { return o.rs485 = true; }},
    {"rts", nullptr, "Direction control by toggling RTS around each send, for adapters without the kernel mode.",
     [](HostConfig&, Collected& o, const std::string&, std::string*) { return o.rts = true; }},
    {"rts-delay-before", "MS", "RS-485: RTS raised this long before the first bit (default 0).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kRtsDelayMs, &c.link.rtsDelayBeforeMs, why);
     }},
    {"rts-delay-after", "MS", "RS-485: RTS held this long after the last bit (default 0).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kRtsDelayMs, &c.link.rtsDelayAfterMs, why);
     }},
    // The driver and its communication settings.
    {"driver", "PATH", "The driver library (default libplcdriver.so.1, found next to plc-host).",
     [](HostConfig& c, Collected&, const std::string& v, std::string*) {
         c.driverPath = v;
         return true;
     }},
    {"block-size", "N", "COMINFO blockSize: registers per read block, 8 x N bits (1..250; at most 125 with word areas in the local framing).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kBlockSize, &c.engine.com.blockSize, why);
     }},
    {"retries", "N", "COMINFO retryMax, 0..100 (default 2).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kRetryMax, &c.engine.com.retryMax, why);
     }},
    {"remote", nullptr, "The driver's remote framing instead of Modbus RTU.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.engine.com.remoteMode = 1;
         return true;
     }},
    {"run-mode", "N", "COMINFO runMode 0..255; only 2 sends writes to the controller (default 2).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kRunMode, &c.engine.com.runMode, why);
     }},
    {"backoff", "N", "Give-ups in a row that switch a station off for a while; 0 = never (default 3).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kBackoffGiveUps, &c.engine.backoff.giveUps, why);
     }},
    {"backoff-delay", "MS", "How long a station stays off before a probe (default 5000).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kBackoffDelayMs, &c.engine.backoff.delayMs, why);
     }},
    {"no-log", nullptr, "Do not install the driver's log handler (debug.log).",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.engine.installLogHandler = false;
         return true;
     }},
    // The built-in simulator.
    {"sim-stations", "LIST", "Stations the built-in simulator serves (default: those polled and written).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return plc::cli::parseIntList(v, limits::kStation.min, limits::kStation.max, &c.sim.stations, why);
     }},
    {"fault-rate", "X", "Share 0..1 of the simulator's replies spoiled: dropped, bad CRC or cut short.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseReal(v, 0, 1, &c.sim.faultRate, why);
     }},
    {"seed", "N", "Seed of the simulator's fault pattern.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         long long n = 0;
         if (!plc::cli::parseInteger(v, 0, UINT32_MAX, &n, why)) return false;
         c.sim.seed = uint32_t(n);
         return true;
     }},
    {"no-live", nullptr, "Keep the simulator's memory still (no counter, ramp or walking bit).",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.sim.live = false;
         return true;
     }},
    {"sim-set", "S/T:A=V", "Preset a simulator unit: station, type, unit number (bit number for 20..23), value (repeatable).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         const size_t slash = v.find('/'), colon = v.find(':'), eq = v.find('=');
         SimSettings::Preset p{};
         if (slash == std::string::npos || colon == std::string::npos || eq == std::string::npos ||
             !(slash < colon && colon < eq)) {
             *why = "'" + v + "': S/T:A=V, e.g. 1/7:3=0xA5C3";
             return false;
         }
         if (!parseIn(v.substr(0, slash), limits::kStation, &p.station, why) ||
             !parseIn(v.substr(slash + 1, colon - slash - 1), limits::kRegisterType, &p.type, why) ||
             !parseIn(v.substr(colon + 1, eq - colon - 1), limits::kSimUnit, &p.addr, why) ||
             !parseUnitValue(v.substr(eq + 1), p.type, Format::Dec, &p.value, why))
             return false;
         c.sim.presets.push_back(p);
         return true;
     }},
    {"sim-pace", nullptr, "The simulator sends reply bytes at the link's baud rate (11 bits a character).",
     [](HostConfig& c, Collected&, const std::string&, std::string*) { return c.sim.pace = true; }},
    {"sim-turnaround", "MS", "With --sim-pace: the simulator's pause between request and reply.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kSimTurnaroundMs, &c.sim.turnaroundMs, why);
     }},
    {"sim-burst", "MS", "The simulator hands each reply over in two bursts MS apart, as a USB adapter does.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseIn(v, limits::kSimBurstMs, &c.sim.burstMs, why);
     }},
    {"sim-echo", nullptr, "The simulator echoes every request byte first, as a two-wire line does.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) { return c.sim.echo = true; }},
    // Output and run control.
    {"trace", nullptr, "Print every frame in hex with what it asks for and the outcome.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) { return c.trace = true; }},
    {"1,once", nullptr, "One read cycle (after the writes), then exit; the same as --cycles 1.",
     [](HostConfig&, Collected& o, const std::string&, std::string*) { return o.once = true; }},
    {"cycles", "N", "Stop after N read cycles; the exit status judges the last one as --once does.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseInt(v, 1, 100000000, &c.cycles, why);
     }},
    {"duration", "SECONDS", "Stop after this long.",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseReal(v, 0.001, 1e7, &c.durationSec, why);
     }},
    {"format", "FORMAT", "table (the live screen, default), csv or jsonl: one record per variable per read cycle.",
     [](HostConfig& c, Collected& o, const std::string& v, std::string* why) {
         struct Name { const char* name; OutputFormat format; };
         static constexpr Name kNames[] = {{"table", OutputFormat::Table}, {"csv", OutputFormat::Csv}, {"jsonl", OutputFormat::Jsonl}};
         for (const Name& n : kNames)
             if (v == n.name) { c.format = n.format; return o.formatGiven = true; }
         *why = "'" + v + "': table, csv or jsonl";
         return false;
     }},
    {"log", "FILE", "Write the records (--format csv or jsonl; csv if not given) to FILE; the screen stays.",
     [](HostConfig& c, Collected&, const std::string& v, std::string*) {
         c.logPath = v;
         return true;
     }},
    {"all", nullptr, "Show every unit of every variable; by default a variable shows its first 16.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) { return c.showAll = true; }},
    {"plain", nullptr, "Plain snapshots instead of the refreshing screen.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) { return c.plain = true; }},
    {"snapshot", "SECONDS", "Period of plain snapshots, 0.1..3600 (default 2.5).",
     [](HostConfig& c, Collected&, const std::string& v, std::string* why) {
         return parseReal(v, 0.1, 3600, &c.snapshotSec, why);
     }},
    // Other things to do.
    {"plan", nullptr, "Print the read blocks the driver builds, their bytes and wire time per cycle, for this and other block sizes; nothing is sent.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.mode = RunMode::Plan;
         return true;
     }},
    {"list-types", nullptr, "Print the table of register-type codes and exit.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.mode = RunMode::ListTypes;
         return true;
     }},
    {"version", nullptr, "Print plc-host's version and that of the driver it loads.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.mode = RunMode::Version;
         return true;
     }},
    {"h,help", nullptr, "This text.",
     [](HostConfig& c, Collected&, const std::string&, std::string*) {
         c.mode = RunMode::Help;
         return true;
     }},
};
// clang-format on

void buildParser(QCommandLineParser& parser) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        "A panel-runtime stand-in: loads the controller driver library, polls controllers over\n"
        "a serial line through it and shows what it reads. Without DEVICE it starts a built-in\n"
        "simulated controller on a pseudo-terminal.");
    plc::cli::addOptions(parser, kOptions);
    parser.addPositionalArgument("DEVICE", "Serial device, e.g. /dev/ttyUSB0.", "[DEVICE]");
    parser.addPositionalArgument(
        "VALUES",
        "Values written to the -t/-r target on every -a station, then polled (after -- "
        "when one is negative).",
        "[VALUES...]");
}

bool looksNumeric(const QString& s) {
    const QString t = s.startsWith('-') || s.startsWith('+') ? s.mid(1) : s;
    return !t.isEmpty() && t[0].isDigit();
}

}  // namespace

bool parseWriteText(const std::string& text, int defaultStation, ScheduledWrite* w,
                    bool* stationNamed, std::string* error) {
    const std::string usage =
        "'" + text + "': [S/]T[:FMT]:ADDR=V[,V...][@SEC], e.g. 2/7:100=0x1234@2";
    std::string s = text;
    w->atSec = 0;
    const size_t at = s.rfind('@');
    if (at != std::string::npos) {
        if (!parseReal(s.substr(at + 1), 0, 1e7, &w->atSec, error)) return false;
        s.resize(at);
    }
    const size_t eq = s.find('=');
    if (eq == std::string::npos) return fail(error, usage);
    std::string target = s.substr(0, eq);
    const std::string valueList = s.substr(eq + 1);
    int station = defaultStation;
    *stationNamed = false;
    const size_t slash = target.find('/');
    if (slash != std::string::npos) {
        if (!parseIn(target.substr(0, slash), limits::kWriteStation, &station, error)) return false;
        target = target.substr(slash + 1);
        *stationNamed = true;
    }
    const std::vector<std::string_view> parts = plc::cli::split(target, ':');
    if (parts.size() < 2 || parts.size() > 3) return fail(error, usage);
    int type = 0;
    Format format = Format::Dec;
    if (!parseIn(parts[0], limits::kRegisterType, &type, error)) return false;
    if (parts.size() == 3 && !parseFormat(parts[1], &format))
        return fail(error, "'" + std::string(parts[1]) + "': dec, int, hex or bin");
    std::vector<long> values;
    for (std::string_view v : plc::cli::split(valueList, ',')) {
        long value = 0;
        if (!parseUnitValue(v, type, format, &value, error)) return false;
        values.push_back(value);
    }
    WriteRequest& r = w->req;
    r.station = station;
    r.type = type;
    r.addrText = QString::fromStdString(std::string(parts.back()));
    r.count = int(values.size());
    r.values = encodeUnits(type, values);
    r.name = QString::fromStdString(text.substr(0, text.find('=')));
    return true;
}

bool parseCommandLine(const QStringList& args, HostConfig* cfg, std::string* error) {
    QCommandLineParser parser;
    buildParser(parser);
    if (!parser.parse(args)) {
        *error = parser.errorText().toStdString();
        return false;
    }
    // The project first, so that the options override it.
    if (parser.isSet("project") && !loadProject(parser.value("project").toStdString(), cfg, error))
        return false;

    Collected o;
    for (const OptionRow& row : kOptions) {
        const auto apply = [&](const std::string& value, std::string* why) {
            return row.apply(*cfg, o, value, why);
        };
        if (!plc::cli::applyOption(parser, row, apply, error)) return false;
    }
    if (cfg->mode == RunMode::Help || cfg->mode == RunMode::ListTypes) return true;

    // Mutually exclusive switches.
    if (o.rs485 && o.rts) return fail(error, "--rs485 and --rts: choose one");
    if (o.rs485) cfg->link.direction = LinkSettings::Direction::KernelRs485;
    if (o.rts) cfg->link.direction = LinkSettings::Direction::ManualRts;
    if (o.once && cfg->cycles > 0) return fail(error, "--once and --cycles: choose one");
    if (o.once) cfg->cycles = 1;
    if (!cfg->logPath.empty() && !o.formatGiven) cfg->format = OutputFormat::Csv;
    if (!cfg->logPath.empty() && cfg->format == OutputFormat::Table)
        return fail(error, "--log writes records: --format csv or jsonl");

    // DEVICE and write values.
    std::vector<std::string> valueTexts;
    bool deviceGiven = false;
    for (const QString& a : parser.positionalArguments()) {
        if (looksNumeric(a)) {
            valueTexts.push_back(a.toStdString());
        } else if (!deviceGiven) {
            cfg->link.device = a.toStdString();
            deviceGiven = true;
        } else {
            return fail(error, "'" + a.toStdString() + "': more than one device given");
        }
    }

    // The command line's own targets go to the -a stations, or to defStation.
    ComSettings& com = cfg->engine.com;
    if (cfg->projectPath.empty() && !o.stations.empty()) {
        const auto first =
            std::find_if(o.stations.begin(), o.stations.end(), [](int s) { return s != 0; });
        if (first != o.stations.end()) com.defStation = *first;
    }
    const std::vector<int> stations =
        o.stations.empty() ? std::vector<int>{com.defStation} : o.stations;
    std::set<int> named;  // stations the command line sends requests to
    if (o.addressGiven || o.type >= 0) {
        if (!o.addressGiven) return fail(error, "-t needs -r ADDRESS");
        const int type = o.type < 0 ? 7 : o.type;
        std::vector<long> values;
        for (const std::string& t : valueTexts) {
            long v = 0;
            std::string why;
            if (!parseUnitValue(t, type, o.format, &v, &why)) return fail(error, "value " + why);
            values.push_back(v);
        }
        const QString addr = QString::fromStdString(o.address);
        const QString name = QString("%1:%2").arg(type).arg(addr);
        for (int st : stations) {
            named.insert(st);
            VarConfig v;
            v.name = name;
            v.station = st;
            v.type = type;
            v.addrText = addr;
            v.count = std::max(o.count, int(values.size()));
            v.format = o.format;
            cfg->engine.vars.push_back(v);
            if (values.empty()) continue;
            ScheduledWrite w;
            w.req.name = name;
            w.req.station = st;
            w.req.type = type;
            w.req.addrText = addr;
            w.req.count = int(values.size());
            w.req.values = encodeUnits(type, values);
            cfg->writes.push_back(w);
        }
    } else if (!valueTexts.empty()) {
        return fail(error, "write values need -t TYPE and -r ADDRESS");
    }
    for (const std::string& text : o.writeTexts) {
        ScheduledWrite w;
        bool stationNamed = false;
        std::string why;
        if (!parseWriteText(text, stations.front(), &w, &stationNamed, &why))
            return fail(error, "--write: " + why);
        named.insert(w.req.station);
        cfg->writes.push_back(w);
    }
    // A request for a station other than defStation needs multi-station
    // mode, or the driver sends it to defStation.
    if (std::any_of(named.begin(), named.end(), [&](int s) { return s != com.defStation; }))
        com.multiStation = 1;

    if (cfg->mode != RunMode::Version && cfg->engine.vars.empty() && cfg->writes.empty())
        return fail(error, "nothing to poll: give -r ADDRESS (with -t TYPE) or --project FILE");
    // A read block of more than 125 registers is refused by Modbus servers;
    // bits are bounded by the option's range (8 x 250 = 2000).
    const bool wordAreas = std::any_of(cfg->engine.vars.begin(), cfg->engine.vars.end(),
                                       [](const VarConfig& v) { return !plc::isBitArea(v.type); });
    if (!com.remoteMode && wordAreas && com.blockSize > 125)
        return fail(error, "block size " + std::to_string(com.blockSize) +
                               ": a Modbus read takes at most 125 registers");
    if (cfg->trace) cfg->plain = true;
    return true;
}

std::string helpText() {
    QCommandLineParser parser;
    buildParser(parser);
    std::string text = parser.helpText().toStdString();
    text +=
        "\nExamples:\n"
        "  plc-host -f tool/demo.json                       live screen until Ctrl-C\n"
        "  plc-host -a 1 -t 7 -r 0 -c 4                     poll area 7, registers 0..3\n"
        "  plc-host -a 1 -t 7:hex -r 100 0x1234             write 0x1234, then poll it\n"
        "  plc-host -a 1,2 -t 20 -r 3.4 -c 3 --once --trace bits 4..6 of word 3, once\n"
        "  plc-host -a 1 -t 7 -r 0 -b 9600 -P none /dev/ttyUSB0\n"
        "\nExit status: 0 done, every write confirmed; 1 a write or (with --once/--cycles)\n"
        "the last read cycle failed; 2 bad options, project or address; 3 driver cannot\n"
        "be loaded; 4 serial device or simulator cannot be opened as asked.\n";
    return text;
}

}  // namespace plchost
