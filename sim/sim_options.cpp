#include "sim_options.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QStringList>
#include <algorithm>

#include "address_map.h"
#include "cli_values.h"
#include "option_table.h"

namespace plcsim {

namespace {

using plc::cli::parseInt;

// "S/T:A=V": station, register-type code, address number (a bit number
// across the area for codes 20..23), value (0/1 for a bit).
bool parsePreset(const std::string& text, const std::vector<int>& stations, SimConfig::Preset* p,
                 std::string* why) {
    const size_t slash = text.find('/'), colon = text.find(':'), eq = text.find('=');
    if (slash == std::string::npos || colon == std::string::npos || eq == std::string::npos ||
        !(slash < colon && colon < eq)) {
        *why = "'" + text + "': S/T:A=V, e.g. 1/7:3=0xA5C3";
        return false;
    }
    const std::string_view t(text);
    int value = 0;
    if (!parseInt(t.substr(0, slash), 1, 247, &p->station, why) ||
        !parseInt(t.substr(slash + 1, colon - slash - 1), 0, 25, &p->type, why) ||
        !parseInt(t.substr(colon + 1, eq - colon - 1), 0, kTableSize * 16 - 1, &p->address, why))
        return false;
    const bool bit = isBitType(p->type) || isBitInWordType(p->type);
    if (!parseInt(t.substr(eq + 1), 0, bit ? 1 : 65535, &value, why)) return false;
    p->value = uint16_t(value);
    if (std::find(stations.begin(), stations.end(), p->station) == stations.end()) {
        *why = "station " + std::to_string(p->station) + " is not served (--stations)";
        return false;
    }
    return true;
}

struct OptionRow {
    const char* names;      // comma-separated, without dashes
    const char* valueName;  // nullptr: a switch
    const char* description;
    bool (*apply)(SimConfig& c, const std::string& value, std::string* why);
};

// clang-format off
const OptionRow kOptions[] = {
    {"stations", "LIST", "Stations to serve, 1..247, e.g. 1,2,5 (default 1).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return plc::cli::parseIntList(v, 1, 247, &c.sim.stations, why);
     }},
    {"device", "PATH", "Serve on a serial device instead of a pseudo-terminal.",
     [](SimConfig& c, const std::string& v, std::string* why) {
         if (v.empty()) { *why = "an empty path"; return false; }
         c.device = v;
         return true;
     }},
    {"b,baud", "BAUD", "Baud rate (default 19200): the device's, and on a pty the pace of --pace.",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return plc::cli::parseBaud(v, &c.format.baud, why);
     }},
    {"P,parity", "PARITY", "Device parity none|even|odd (default even).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return plc::cli::parseParity(v, &c.format.parity, why);
     }},
    {"d,data-bits", "BITS", "Device data bits 7|8 (default 8).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return parseInt(v, 7, 8, &c.format.dataBits, why);
     }},
    {"s,stop-bits", "BITS", "Device stop bits 1|2 (default 1).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return parseInt(v, 1, 2, &c.format.stopBits, why);
     }},
    {"pace", nullptr, "Send reply bytes at the line's pace, 11 bits a character, after the request's end and the 3.5-character frame gap.",
     [](SimConfig& c, const std::string&, std::string*) { c.sim.pace = true; return true; }},
    {"turnaround", "MS", "With --pace: a further pause before each reply, 0..1000 ms, fractions allowed (default 0).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         double ms = 0;
         if (!plc::cli::parseReal(v, 0, 1000, &ms, why)) return false;
         c.sim.turnaroundUs = int(ms * 1000 + 0.5);
         return true;
     }},
    {"burst", "MS", "Send every reply in two bursts this far apart, 1..1000 ms, as a USB adapter does.",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return parseInt(v, 1, 1000, &c.sim.burstGapMs, why);
     }},
    {"echo", nullptr, "Send every byte received straight back first, as a two-wire line does.",
     [](SimConfig& c, const std::string&, std::string*) { c.sim.echo = true; return true; }},
    {"fault-rate", "X", "Share of replies spoiled, 0..1: dropped, bad CRC or cut short in equal parts (default 0).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         return plc::cli::parseReal(v, 0, 1, &c.sim.faultRate, why);
     }},
    {"seed", "N", "Seed of the fault generator, 1..4294967295 (default 1).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         long long s = 0;
         if (!plc::cli::parseInteger(v, 1, 4294967295LL, &s, why)) return false;
         c.sim.seed = uint32_t(s);
         return true;
     }},
    {"reply-delay-ms", "MS", "Pause before every reply, 0..60000 ms (default 0).",
     [](SimConfig& c, const std::string& v, std::string* why) {
         int ms = 0;
         if (!parseInt(v, 0, 60000, &ms, why)) return false;
         c.sim.replyDelayUs = ms * 1000;
         return true;
     }},
    {"no-live", nullptr, "Keep memory still: no counter, ramp, seconds or walking bit.",
     [](SimConfig& c, const std::string&, std::string*) { c.sim.live = false; return true; }},
    {"set", "S/T:A=V", "Preset a unit: station S, register-type code T, address number A (a bit number for 20..23), value V (0/1 for bits); repeatable, e.g. --set 1/7:3=0xA5C3.",
     [](SimConfig& c, const std::string& v, std::string* why) {
         SimConfig::Preset p{};
         if (!parsePreset(v, c.sim.stations, &p, why)) return false;
         c.presets.push_back(p);
         return true;
     }},
    {"v,verbose", nullptr, "Log every frame received and sent.",
     [](SimConfig& c, const std::string&, std::string*) { c.verbose = true; return true; }},
};
// clang-format on

void buildParser(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "A simulated controller speaking Modbus RTU (served by libmodbus) and the driver's remote "
        "framing. Without --device it creates a pseudo-terminal, prints the path to open, and "
        "serves until interrupted (Ctrl-C).");
    plc::cli::addOptions(parser, kOptions);
    parser.addOption(QCommandLineOption(QStringList{"h", "help"}, "This text."));
}

}  // namespace

ParseResult parseSimOptions(const std::vector<std::string>& args, SimConfig* cfg,
                            std::string* error) {
    QStringList list{"plc-sim"};
    for (const std::string& a : args) list << QString::fromStdString(a);
    QCommandLineParser parser;
    buildParser(parser);
    if (!parser.parse(list)) {
        *error = parser.errorText().toStdString();
        return ParseResult::Error;
    }
    if (parser.isSet("help")) return ParseResult::Help;
    if (!parser.positionalArguments().isEmpty()) {
        *error = "unexpected argument '" + parser.positionalArguments().front().toStdString() + "'";
        return ParseResult::Error;
    }
    SimConfig c;
    c.sim.stations = {1};
    // --stations first: --set checks its station against them.
    std::vector<const OptionRow*> order;
    for (const OptionRow& row : kOptions) order.push_back(&row);
    std::stable_partition(order.begin(), order.end(),
                          [](const OptionRow* r) { return std::string(r->names) == "stations"; });
    for (const OptionRow* row : order) {
        const auto apply = [&](const std::string& value, std::string* why) {
            return row->apply(c, value, why);
        };
        if (!plc::cli::applyOption(parser, *row, apply, error)) return ParseResult::Error;
    }
    c.sim.paceBaud = c.format.baud;
    *cfg = c;
    return ParseResult::Ok;
}

std::string simHelpText() {
    QCommandLineParser parser;
    buildParser(parser);
    return parser.helpText().toStdString() +
           "\nExit status: 0 after an interrupt, 2 on bad options, 4 when the line cannot be "
           "opened.\n";
}

}  // namespace plcsim
