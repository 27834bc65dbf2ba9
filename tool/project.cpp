#include "project.h"

#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "register_types.h"

namespace plchost {

namespace {

bool parseLong(const std::string& s, long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno || *end) return false;
    *out = v;
    return true;
}

bool parseDouble(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno || *end) return false;
    *out = v;
    return true;
}

bool parseStationList(const std::string& s, std::vector<int>* out) {
    out->clear();
    size_t pos = 0;
    for (;;) {
        const size_t comma = s.find(',', pos);
        long v;
        if (!parseLong(s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos),
                       &v) ||
            v < 0 || v > 247)
            return false;
        out->push_back(int(v));
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

bool parseFormat(const std::string& s, Format* f) {
    if (s == "dec" || s == "uint")
        *f = Format::Dec;
    else if (s == "int")
        *f = Format::Int;
    else if (s == "hex")
        *f = Format::Hex;
    else if (s == "bin")
        *f = Format::Bin;
    else
        return false;
    return true;
}

bool parseParity(const std::string& s, char* p) {
    if (s == "none" || s == "N" || s == "n")
        *p = 'N';
    else if (s == "even" || s == "E" || s == "e")
        *p = 'E';
    else if (s == "odd" || s == "O" || s == "o")
        *p = 'O';
    else
        return false;
    return true;
}

// [S/]T:ADDR=V[,V...][@SEC]
bool parseWriteText(const std::string& text, int defStation, ScheduledWrite* w) {
    std::string s = text;
    w->atSec = 0;
    const size_t at = s.rfind('@');
    if (at != std::string::npos) {
        if (!parseDouble(s.substr(at + 1), &w->atSec) || w->atSec < 0) return false;
        s = s.substr(0, at);
    }
    long station = defStation;
    const size_t slash = s.find('/');
    if (slash != std::string::npos) {
        if (!parseLong(s.substr(0, slash), &station) || station < 0 || station > 247) return false;
        s = s.substr(slash + 1);
    }
    const size_t colon = s.find(':');
    const size_t eq = s.find('=');
    if (colon == std::string::npos || eq == std::string::npos || eq < colon) return false;
    long type;
    if (!parseLong(s.substr(0, colon), &type) || type < 0 || type >= plc::kRegisterTypeCount)
        return false;
    std::vector<long> values;
    std::string list = s.substr(eq + 1);
    size_t pos = 0;
    for (;;) {
        const size_t comma = list.find(',', pos);
        long v;
        if (!parseLong(
                list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos), &v))
            return false;
        values.push_back(v);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    w->req.station = int(station);
    w->req.type = int(type);
    w->req.addrText = QString::fromStdString(s.substr(colon + 1, eq - colon - 1));
    w->req.count = int(values.size());
    w->req.values = encodeUnits(int(type), values);
    w->req.name = QString::fromStdString(text.substr(0, text.find('=')));
    return true;
}

bool jsonLong(const QJsonValue& v, long* out) {
    if (v.isDouble()) {
        *out = long(v.toDouble());
        return true;
    }
    if (v.isString()) return parseLong(v.toString().toStdString(), out);
    if (v.isBool()) {
        *out = v.toBool() ? 1 : 0;
        return true;
    }
    return false;
}

QString jsonAddress(const QJsonValue& v) {
    if (v.isString()) return v.toString();
    if (v.isDouble()) return QString::number(qint64(v.toDouble()));
    return QString();
}

}  // namespace

std::string usageText() {
    return "Usage: plc-host [options] [DEVICE] [WRITE VALUES...]\n"
           "\n"
           "A panel-runtime stand-in: loads the controller driver library, polls\n"
           "controllers over a serial line through it and shows a live table. Without\n"
           "DEVICE it starts a built-in simulated controller on a pseudo-terminal.\n"
           "Numbers after DEVICE (or alone) are written to the -t/-r target.\n"
           "\n"
           "What to poll:\n"
           "  -f, --project FILE   JSON project (link, COMINFO, variables, writes, simulator)\n"
           "  -a STATIONS          station(s), e.g. 1 or 1,2 (default 1)\n"
           "  -t TYPE[:FMT]        register-type code 0..25; FMT dec|int|hex|bin (default 7)\n"
           "  -r ADDRESS           address text as the driver parses it, e.g. 100, 17 (octal\n"
           "                       for types 0/1), 3.4 (word.bit for types 20..23)\n"
           "  -c COUNT             units to poll (default 1)\n"
           "  --write WRITE        [S/]T:ADDR=V[,V...][@SEC] written through SetRegisterData\n"
           "                       SEC seconds after start; repeatable\n"
           "\n"
           "Serial line (the usual Modbus poller letters):\n"
           "  -b BAUD              1200..230400 (default 19200)\n"
           "  -P none|even|odd     parity (default even)\n"
           "  -d 7|8               data bits (default 8)\n"
           "  -s 1|2               stop bits (default 1)\n"
           "  -o SECONDS           response timeout (default 1.0)\n"
           "  -l MS                poll interval: shortest time between read cycles (default "
           "1000)\n"
           "  --turnaround MS      pause after a broadcast write (default 100)\n"
           "\n"
           "Driver settings:\n"
           "  --driver PATH        driver library to load (default: the one built with plc-host)\n"
           "  --block-size N       COMINFO block size (default 32)\n"
           "  --retries N          COMINFO retry limit (default 2)\n"
           "  --remote             use the driver's remote framing\n"
           "  --run-mode N         COMINFO run mode; other than 2 keeps writes local (default 2)\n"
           "  --backoff N          switch a station off after N give-ups in a row; 0 = never\n"
           "                       (default 3)\n"
           "  --backoff-delay MS   how long it stays off before a probe (default 5000)\n"
           "  --no-log             do not install the driver's log handler (debug.log)\n"
           "\n"
           "Built-in simulator (when no DEVICE is given):\n"
           "  --sim-stations LIST  stations it serves (default: those polled and written)\n"
           "  --fault-rate X       share of replies spoiled: dropped, bad CRC, cut short\n"
           "  --seed N             fault generator seed (default 1)\n"
           "  --no-live            no changing values\n"
           "  --sim-set S/T:A=V    preset a unit (address number, bit number for 20..23)\n"
           "\n"
           "Output and run control:\n"
           "  --trace              print every frame sent and received, in hex, time-stamped\n"
           "  -1, --once           poll one full cycle (and the writes), print, exit\n"
           "  --duration SECONDS   stop after this long\n"
           "  --plain              print snapshots instead of the refreshing screen\n"
           "  --snapshot SECONDS   period of plain snapshots (default 2.5)\n"
           "  -h, --help           this text;  --version  the version\n"
           "\n"
           "Exit status: 0 done; 1 a write was given up, rejected or not confirmed, or\n"
           "(--once) the cycle did not complete cleanly; 2 bad options or project;\n"
           "3 the driver library cannot be loaded; 4 the line or simulator cannot be opened.\n";
}

bool loadProject(const std::string& path, HostConfig* cfg, std::string* error) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) {
        *error = path + ": cannot open";
        return false;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &perr);
    if (doc.isNull() || !doc.isObject()) {
        *error = path + ": " + perr.errorString().toStdString() + " at offset " +
                 std::to_string(perr.offset);
        return false;
    }
    cfg->projectPath = path;
    const QJsonObject root = doc.object();
    long n;

    const QJsonObject link = root.value("link").toObject();
    if (link.contains("device")) cfg->link.device = link.value("device").toString().toStdString();
    if (jsonLong(link.value("baud"), &n)) cfg->link.baud = int(n);
    if (link.contains("parity") &&
        !parseParity(link.value("parity").toString().toStdString(), &cfg->link.parity)) {
        *error = "link.parity: none, even or odd";
        return false;
    }
    if (jsonLong(link.value("dataBits"), &n)) cfg->link.dataBits = int(n);
    if (jsonLong(link.value("stopBits"), &n)) cfg->link.stopBits = int(n);
    if (jsonLong(link.value("timeoutMs"), &n)) cfg->link.timeoutMs = int(n);
    if (jsonLong(link.value("turnaroundMs"), &n)) cfg->link.turnaroundMs = int(n);
    if (jsonLong(link.value("pollIntervalMs"), &n)) cfg->engine.pollIntervalMs = int(n);

    const QJsonObject com = root.value("cominfo").toObject();
    ComSettings& c = cfg->engine.com;
    if (jsonLong(com.value("blockSize"), &n)) c.blockSize = int(n);
    if (jsonLong(com.value("defStation"), &n)) c.defStation = int(n);
    if (jsonLong(com.value("retryMax"), &n)) c.retryMax = int(n);
    if (jsonLong(com.value("multiStation"), &n)) c.multiStation = int(n);
    if (jsonLong(com.value("remoteMode"), &n)) c.remoteMode = int(n);
    if (jsonLong(com.value("ownLinkNo"), &n)) c.ownLinkNo = int(n);
    if (jsonLong(com.value("runMode"), &n)) c.runMode = int(n);
    if (jsonLong(com.value("hostHandle"), &n)) c.hostHandle = int(n);

    const QJsonObject bo = root.value("backoff").toObject();
    if (jsonLong(bo.value("giveUps"), &n)) cfg->engine.backoff.giveUps = int(n);
    if (jsonLong(bo.value("delayMs"), &n)) cfg->engine.backoff.delayMs = int(n);

    if (root.contains("duration")) cfg->durationSec = root.value("duration").toDouble(-1);

    const QJsonArray vars = root.value("variables").toArray();
    for (int i = 0; i < vars.size(); ++i) {
        const QJsonObject o = vars[i].toObject();
        VarConfig v;
        v.name = o.value("name").toString(QString("var%1").arg(i + 1));
        if (jsonLong(o.value("station"), &n))
            v.station = int(n);
        else
            v.station = c.defStation;
        if (!jsonLong(o.value("type"), &n) || n < 0 || n >= plc::kRegisterTypeCount) {
            *error = "variables[" + std::to_string(i) + "].type: a code 0..25 is required";
            return false;
        }
        v.type = int(n);
        v.addrText = jsonAddress(o.value("address"));
        if (jsonLong(o.value("count"), &n)) v.count = int(n);
        if (o.contains("format") &&
            !parseFormat(o.value("format").toString().toStdString(), &v.format)) {
            *error = "variables[" + std::to_string(i) + "].format: dec, int, hex or bin";
            return false;
        }
        cfg->engine.vars.push_back(v);
    }

    const QJsonArray writes = root.value("writes").toArray();
    for (int i = 0; i < writes.size(); ++i) {
        const QJsonObject o = writes[i].toObject();
        ScheduledWrite w;
        w.atSec = o.value("at").toDouble(0);
        w.req.name = o.value("name").toString(QString("write%1").arg(i + 1));
        w.req.station = jsonLong(o.value("station"), &n) ? int(n) : c.defStation;
        if (!jsonLong(o.value("type"), &n) || n < 0 || n >= plc::kRegisterTypeCount) {
            *error = "writes[" + std::to_string(i) + "].type: a code 0..25 is required";
            return false;
        }
        w.req.type = int(n);
        w.req.addrText = jsonAddress(o.value("address"));
        std::vector<long> values;
        const QJsonArray va = o.value("values").toArray();
        for (const QJsonValue& x : va) {
            if (!jsonLong(x, &n)) {
                *error = "writes[" + std::to_string(i) + "].values: numbers expected";
                return false;
            }
            values.push_back(n);
        }
        if (values.empty()) {
            *error = "writes[" + std::to_string(i) + "].values: at least one value";
            return false;
        }
        w.req.count = int(values.size());
        w.req.values = encodeUnits(w.req.type, values);
        w.req.verify = o.value("verify").toBool(true);
        cfg->writes.push_back(w);
    }

    const QJsonObject sim = root.value("simulator").toObject();
    for (const QJsonValue& s : sim.value("stations").toArray())
        cfg->sim.stations.push_back(s.toInt());
    if (sim.contains("live")) cfg->sim.live = sim.value("live").toBool(true);
    if (sim.contains("faultRate")) cfg->sim.faultRate = sim.value("faultRate").toDouble(0);
    if (jsonLong(sim.value("seed"), &n)) cfg->sim.seed = uint32_t(n);
    if (jsonLong(sim.value("replyDelayMs"), &n)) cfg->sim.replyDelayMs = int(n);
    for (const QJsonValue& pv : sim.value("init").toArray()) {
        const QJsonObject o = pv.toObject();
        long st = 1, ty = 7, ad = 0;
        jsonLong(o.value("station"), &st);
        jsonLong(o.value("type"), &ty);
        jsonLong(o.value("address"), &ad);
        const QJsonArray va = o.value("values").toArray();
        for (int k = 0; k < va.size(); ++k) {
            long val = 0;
            jsonLong(va[k], &val);
            cfg->sim.presets.push_back({int(st), int(ty), int(ad) + k, val});
        }
    }
    return true;
}

ParseStatus parseCommandLine(int argc, char** argv, HostConfig* cfg, std::string* error) {
    // The project file first, so that options override it.
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-f" || a == "--project") {
            if (!loadProject(argv[i + 1], cfg, error)) return ParseStatus::Error;
            break;
        }
    }
    std::vector<int> stations;
    int type = -1;
    Format format = Format::Dec;
    std::string address;
    long count = 1;
    std::vector<long> writeValues;
    bool comStationsGiven = false;
    bool deviceGiven = false;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto text = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = a + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](long* out) {
            std::string s;
            if (!text(&s)) return false;
            if (!parseLong(s, out)) {
                *error = a + ": '" + s + "' is not a number";
                return false;
            }
            return true;
        };
        auto real = [&](double* out) {
            std::string s;
            if (!text(&s)) return false;
            if (!parseDouble(s, out)) {
                *error = a + ": '" + s + "' is not a number";
                return false;
            }
            return true;
        };
        std::string s;
        long n;
        double d;
        if (a == "-h" || a == "--help") return ParseStatus::Help;
        if (a == "--version") return ParseStatus::Version;
        if (a == "-f" || a == "--project") {
            ++i;  // loaded above
        } else if (a == "-a") {
            if (!text(&s) || !parseStationList(s, &stations)) {
                *error = "-a: station list such as 1 or 1,2 (0..247)";
                return ParseStatus::Error;
            }
            comStationsGiven = true;
        } else if (a == "-t") {
            if (!text(&s)) return ParseStatus::Error;
            const size_t colon = s.find(':');
            if (!parseLong(s.substr(0, colon), &n) || n < 0 || n >= plc::kRegisterTypeCount ||
                (colon != std::string::npos && !parseFormat(s.substr(colon + 1), &format))) {
                *error = "-t: register-type code 0..25, optionally :dec|int|hex|bin";
                return ParseStatus::Error;
            }
            type = int(n);
        } else if (a == "-r") {
            if (!text(&address)) return ParseStatus::Error;
        } else if (a == "-c") {
            if (!number(&count) || count < 1 || count > 65535) {
                *error = "-c: count 1..65535";
                return ParseStatus::Error;
            }
        } else if (a == "-b") {
            if (!number(&n)) return ParseStatus::Error;
            cfg->link.baud = int(n);
        } else if (a == "-P") {
            if (!text(&s) || !parseParity(s, &cfg->link.parity)) {
                *error = "-P: none, even or odd";
                return ParseStatus::Error;
            }
        } else if (a == "-d") {
            if (!number(&n) || (n != 7 && n != 8)) {
                *error = "-d: 7 or 8";
                return ParseStatus::Error;
            }
            cfg->link.dataBits = int(n);
        } else if (a == "-s") {
            if (!number(&n) || (n != 1 && n != 2)) {
                *error = "-s: 1 or 2";
                return ParseStatus::Error;
            }
            cfg->link.stopBits = int(n);
        } else if (a == "-o") {
            if (!real(&d) || d < 0.001 || d > 60) {
                *error = "-o: timeout in seconds, 0.001..60";
                return ParseStatus::Error;
            }
            cfg->link.timeoutMs = std::max(1, int(d * 1000 + 0.5));
        } else if (a == "-l") {
            if (!number(&n) || n < 0) {
                *error = "-l: poll interval in ms";
                return ParseStatus::Error;
            }
            cfg->engine.pollIntervalMs = int(n);
        } else if (a == "--turnaround") {
            if (!number(&n) || n < 0) return ParseStatus::Error;
            cfg->link.turnaroundMs = int(n);
        } else if (a == "--driver") {
            if (!text(&cfg->driverPath)) return ParseStatus::Error;
        } else if (a == "--block-size") {
            if (!number(&n) || n < 1) {
                *error = "--block-size: 1 or more";
                return ParseStatus::Error;
            }
            cfg->engine.com.blockSize = int(n);
        } else if (a == "--retries") {
            if (!number(&n) || n < 0) return ParseStatus::Error;
            cfg->engine.com.retryMax = int(n);
        } else if (a == "--remote") {
            cfg->engine.com.remoteMode = 1;
        } else if (a == "--run-mode") {
            if (!number(&n)) return ParseStatus::Error;
            cfg->engine.com.runMode = int(n);
        } else if (a == "--backoff") {
            if (!number(&n) || n < 0) return ParseStatus::Error;
            cfg->engine.backoff.giveUps = int(n);
        } else if (a == "--backoff-delay") {
            if (!number(&n) || n < 0) return ParseStatus::Error;
            cfg->engine.backoff.delayMs = int(n);
        } else if (a == "--no-log") {
            cfg->engine.installLogHandler = false;
        } else if (a == "--write") {
            ScheduledWrite w;
            if (!text(&s) ||
                !parseWriteText(s, stations.empty() ? cfg->engine.com.defStation : stations[0],
                                &w)) {
                *error = "--write: [S/]T:ADDR=V[,V...][@SEC], e.g. 1/7:100=0x1234@2";
                return ParseStatus::Error;
            }
            cfg->writes.push_back(w);
        } else if (a == "--sim-stations") {
            if (!text(&s) || !parseStationList(s, &cfg->sim.stations)) {
                *error = "--sim-stations: list such as 1,2";
                return ParseStatus::Error;
            }
        } else if (a == "--fault-rate") {
            if (!real(&d) || d < 0 || d > 1) {
                *error = "--fault-rate: 0..1";
                return ParseStatus::Error;
            }
            cfg->sim.faultRate = d;
        } else if (a == "--seed") {
            if (!number(&n)) return ParseStatus::Error;
            cfg->sim.seed = uint32_t(n);
        } else if (a == "--no-live") {
            cfg->sim.live = false;
        } else if (a == "--sim-set") {
            long st, ty, ad, val;
            if (!text(&s) || std::sscanf(s.c_str(), "%ld/%ld:%ld=%li", &st, &ty, &ad, &val) != 4) {
                *error = "--sim-set: S/T:A=V";
                return ParseStatus::Error;
            }
            cfg->sim.presets.push_back({int(st), int(ty), int(ad), val});
        } else if (a == "--trace") {
            cfg->trace = true;
        } else if (a == "-1" || a == "--once") {
            cfg->once = true;
        } else if (a == "--duration") {
            if (!real(&d) || d <= 0) {
                *error = "--duration: seconds > 0";
                return ParseStatus::Error;
            }
            cfg->durationSec = d;
        } else if (a == "--plain") {
            cfg->plain = true;
        } else if (a == "--snapshot") {
            if (!real(&d) || d <= 0) return ParseStatus::Error;
            cfg->snapshotSec = d;
        } else if (!a.empty() && a[0] == '-' && !parseLong(a, &n)) {
            *error = "unknown option '" + a + "'";
            return ParseStatus::Error;
        } else if (parseLong(a, &n)) {
            writeValues.push_back(n);
        } else if (!deviceGiven) {
            cfg->link.device = a;
            deviceGiven = true;
        } else {
            *error = "more than one device given";
            return ParseStatus::Error;
        }
    }

    if (stations.empty()) stations.push_back(cfg->engine.com.defStation);
    if (!address.empty() || type >= 0) {
        if (address.empty()) {
            *error = "-t needs -r ADDRESS";
            return ParseStatus::Error;
        }
        if (type < 0) type = 7;
        if (comStationsGiven || cfg->projectPath.empty()) {
            cfg->engine.com.multiStation = 1;
            cfg->engine.com.defStation = stations[0];
        }
        for (int st : stations) {
            VarConfig v;
            v.name = QString("%1:%2").arg(type).arg(QString::fromStdString(address));
            v.station = st;
            v.type = type;
            v.addrText = QString::fromStdString(address);
            v.count =
                int(writeValues.empty() ? count : std::max<long>(count, long(writeValues.size())));
            v.format = format;
            cfg->engine.vars.push_back(v);
        }
        if (!writeValues.empty()) {
            for (int st : stations) {
                ScheduledWrite w;
                w.req.name = QString("%1:%2").arg(type).arg(QString::fromStdString(address));
                w.req.station = st;
                w.req.type = type;
                w.req.addrText = QString::fromStdString(address);
                w.req.count = int(writeValues.size());
                w.req.values = encodeUnits(type, writeValues);
                cfg->writes.push_back(w);
            }
        }
    } else if (!writeValues.empty()) {
        *error = "write values need -t TYPE and -r ADDRESS";
        return ParseStatus::Error;
    }
    if (cfg->engine.vars.empty() && cfg->writes.empty()) {
        *error = "nothing to poll: give -r ADDRESS (with -t TYPE) or --project FILE";
        return ParseStatus::Error;
    }
    if (cfg->trace) cfg->engine.trace = stdout;
    return ParseStatus::Ok;
}

}  // namespace plchost
