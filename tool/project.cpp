#include "project.h"

#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <algorithm>
#include <cmath>

#include "cli_values.h"
#include "json_locator.h"
#include "setting_ranges.h"

namespace plchost {

namespace {

// What a key's value must be. Text: a string, or an integer taken by its
// decimal digits (address texts, values such as "0x1234").
enum class Kind { Integer, Number, Bool, String, Object, Array, Text };

const char* kindName(Kind k) {
    switch (k) {
        case Kind::Integer:
            return "an integer";
        case Kind::Number:
            return "a number";
        case Kind::Bool:
            return "true or false";
        case Kind::String:
            return "a string";
        case Kind::Object:
            return "an object";
        case Kind::Array:
            return "an array";
        case Kind::Text:
            return "a string or an integer";
    }
    return "?";
}

bool isInteger(const QJsonValue& v) {
    const double d = v.toDouble();
    return v.isDouble() && std::floor(d) == d && std::fabs(d) < 9e15;
}

bool hasKind(const QJsonValue& v, Kind k) {
    switch (k) {
        case Kind::Integer:
            return isInteger(v);
        case Kind::Number:
            return v.isDouble();
        case Kind::Bool:
            return v.isBool();
        case Kind::String:
            return v.isString();
        case Kind::Object:
            return v.isObject();
        case Kind::Array:
            return v.isArray();
        case Kind::Text:
            return v.isString() || isInteger(v);
    }
    return false;
}

std::string textOf(const QJsonValue& v) {
    return v.isString() ? v.toString().toStdString() : std::to_string(qint64(v.toDouble()));
}

int editDistance(const std::string& a, const std::string& b) {
    std::vector<int> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = int(j);
    for (size_t i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (size_t j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// One walk over a project text: positions for the messages, and the
// stations the file names (checked against multiStation at the end).
class Walk {
public:
    Walk(const QByteArray& text, const std::string& file, std::string* error)
        : locator_(text), file_(file), error_(error) {}

    const JsonLocator& locator() const { return locator_; }

    bool fail(const std::string& path, const std::string& what, bool atKey = false) {
        const TextPosition p = atKey ? locator_.keyAt(path) : locator_.valueAt(path);
        *error_ = file_ + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": " +
                  (path.empty() ? "" : path + ": ") + what;
        return false;
    }

    bool integer(const std::string& path, const QJsonValue& v, long long min, long long max,
                 long long* out) {
        std::string why;
        if (!plc::cli::parseInteger(textOf(v), min, max, out, &why)) return fail(path, why);
        return true;
    }
    template <class Int>
    bool integer(const std::string& path, const QJsonValue& v, long long min, long long max,
                 Int* out) {
        long long n = 0;
        if (!integer(path, v, min, max, &n)) return false;
        *out = Int(n);
        return true;
    }
    template <class Int>
    bool integer(const std::string& path, const QJsonValue& v, Range r, Int* out) {
        return integer(path, v, r.min, r.max, out);
    }
    bool real(const std::string& path, const QJsonValue& v, double min, double max, double* out) {
        const double d = v.toDouble();
        if (d < min || d > max) {
            char range[64];
            std::snprintf(range, sizeof range, "%g is out of range %g..%g", d, min, max);
            return fail(path, range);
        }
        *out = d;
        return true;
    }

    struct NamedStation {
        std::string path;
        int station;
    };
    std::vector<NamedStation> namedStations;

private:
    JsonLocator locator_;
    std::string file_;
    std::string* error_;
};

template <class T>
struct Field {
    const char* key;
    Kind kind;
    bool required;
    bool (*set)(Walk& w, const std::string& path, const QJsonValue& v, T& target);
};

template <class T, size_t N>
bool walkObject(Walk& w, const QJsonValue& value, const std::string& path,
                const Field<T> (&fields)[N], T& target) {
    const QJsonObject obj = value.toObject();
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const std::string key = it.key().toStdString();
        const std::string child = JsonLocator::member(path, key);
        const Field<T>* field = nullptr;
        for (const Field<T>& f : fields)
            if (key == f.key) field = &f;
        if (!field) {
            std::string what = "unknown key '" + key + "'";
            for (const Field<T>& f : fields)
                if (editDistance(key, f.key) <= 2)
                    what += std::string("; did you mean '") + f.key + "'?";
            return w.fail(child, what, /*atKey=*/true);
        }
        if (!hasKind(it.value(), field->kind))
            return w.fail(child, std::string("expected ") + kindName(field->kind));
        if (!field->set(w, child, it.value(), target)) return false;
    }
    for (const Field<T>& f : fields)
        if (f.required && !obj.contains(f.key))
            return w.fail(path, std::string("missing required key '") + f.key + "'");
    return true;
}

// Walks every element of an array as an object of `fields`, then hands it to
// done(item, path), which checks what depends on several keys and keeps it.
template <class Item, size_t N, class Done>
bool walkArray(Walk& w, const QJsonValue& value, const std::string& path,
               const Field<Item> (&fields)[N], Done done) {
    const QJsonArray items = value.toArray();
    for (int i = 0; i < items.size(); ++i) {
        const std::string itemPath = JsonLocator::element(path, i);
        if (!items[i].isObject()) return w.fail(itemPath, "expected an object");
        Item item;
        item.path = itemPath;
        if (!walkObject(w, items[i], itemPath, fields, item) || !done(item)) return false;
    }
    return true;
}

// Register values typed in the file for units of `type`, in `format`.
bool unitValues(Walk& w, const std::string& path, const QJsonValue& v, int type, Format format,
                std::vector<long>* out) {
    const QJsonArray values = v.toArray();
    if (values.isEmpty()) return w.fail(path, "at least one value");
    for (int k = 0; k < values.size(); ++k) {
        const std::string at = JsonLocator::element(path, k);
        if (!hasKind(values[k], Kind::Text)) return w.fail(at, "expected an integer");
        long value = 0;
        std::string why;
        if (!parseUnitValue(textOf(values[k]), type, format, &value, &why)) return w.fail(at, why);
        out->push_back(value);
    }
    return true;
}

// ---- link ------------------------------------------------------------------

const Field<HostConfig> kLinkFields[] = {
    {"device", Kind::String, false,
     [](Walk&, const std::string&, const QJsonValue& v, HostConfig& c) {
         c.link.device = v.toString().toStdString();
         return true;
     }},
    {"baud", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         std::string why;
         return plc::cli::parseBaud(textOf(v), &c.link.baud, &why) || w.fail(p, why);
     }},
    {"parity", Kind::String, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         std::string why;
         return plc::cli::parseParity(v.toString().toStdString(), &c.link.parity, &why) ||
                w.fail(p, why);
     }},
    {"dataBits", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kDataBits, &c.link.dataBits);
     }},
    {"stopBits", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kStopBits, &c.link.stopBits);
     }},
    {"timeoutMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kTimeoutMs, &c.link.timeoutMs);
     }},
    {"turnaroundMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kTurnaroundMs, &c.link.turnaroundMs);
     }},
    {"pollIntervalMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kPollIntervalMs, &c.engine.pollIntervalMs);
     }},
    {"byteTimeoutMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kByteTimeoutMs, &c.link.byteTimeoutMs);
     }},
    {"echo", Kind::Bool, false,
     [](Walk&, const std::string&, const QJsonValue& v, HostConfig& c) {
         c.link.echo = v.toBool();
         return true;
     }},
    {"rs485", Kind::String, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         using D = LinkSettings::Direction;
         const QString s = v.toString();
         if (s == "kernel")
             c.link.direction = D::KernelRs485;
         else if (s == "rts")
             c.link.direction = D::ManualRts;
         else if (s == "off")
             c.link.direction = D::None;
         else
             return w.fail(p, "'" + s.toStdString() + "': kernel, rts or off");
         return true;
     }},
    {"rtsDelayBeforeMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kRtsDelayMs, &c.link.rtsDelayBeforeMs);
     }},
    {"rtsDelayAfterMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.integer(p, v, limits::kRtsDelayMs, &c.link.rtsDelayAfterMs);
     }},
};

// ---- cominfo and backoff ---------------------------------------------------------

const Field<ComSettings> kComFields[] = {
    {"blockSize", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, limits::kBlockSize, &c.blockSize);
     }},
    {"defStation", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, limits::kStation, &c.defStation);
     }},
    {"retryMax", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, limits::kRetryMax, &c.retryMax);
     }},
    {"multiStation", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, 0, 1, &c.multiStation);
     }},
    {"remoteMode", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, 0, 1, &c.remoteMode);
     }},
    {"ownLinkNo", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, 0, 255, &c.ownLinkNo);
     }},
    {"runMode", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, limits::kRunMode, &c.runMode);
     }},
    {"hostHandle", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, ComSettings& c) {
         return w.integer(p, v, INT32_MIN, INT32_MAX, &c.hostHandle);
     }},
};

const Field<BackoffSettings> kBackoffFields[] = {
    {"giveUps", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, BackoffSettings& b) {
         return w.integer(p, v, limits::kBackoffGiveUps, &b.giveUps);
     }},
    {"delayMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, BackoffSettings& b) {
         return w.integer(p, v, limits::kBackoffDelayMs, &b.delayMs);
     }},
};

// ---- simulator ------------------------------------------------------------------

struct PresetItem {
    std::string path;
    int station = 1, type = 7, address = 0;
    QJsonValue values;
};

const Field<PresetItem> kPresetFields[] = {
    {"station", Kind::Integer, true,
     [](Walk& w, const std::string& p, const QJsonValue& v, PresetItem& i) {
         return w.integer(p, v, limits::kStation, &i.station);
     }},
    {"type", Kind::Integer, true,
     [](Walk& w, const std::string& p, const QJsonValue& v, PresetItem& i) {
         return w.integer(p, v, limits::kRegisterType, &i.type);
     }},
    {"address", Kind::Integer, true,
     [](Walk& w, const std::string& p, const QJsonValue& v, PresetItem& i) {
         return w.integer(p, v, limits::kSimUnit, &i.address);
     }},
    {"values", Kind::Array, true,
     [](Walk&, const std::string&, const QJsonValue& v, PresetItem& i) {
         i.values = v;
         return true;
     }},
};

const Field<SimSettings> kSimFields[] = {
    {"stations", Kind::Array, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         s.stations.clear();
         const QJsonArray a = v.toArray();
         for (int k = 0; k < a.size(); ++k) {
             const std::string at = JsonLocator::element(p, k);
             if (!isInteger(a[k])) return w.fail(at, "expected an integer");
             int station = 0;
             if (!w.integer(at, a[k], limits::kStation, &station)) return false;
             s.stations.push_back(station);
         }
         return true;
     }},
    {"live", Kind::Bool, false,
     [](Walk&, const std::string&, const QJsonValue& v, SimSettings& s) {
         s.live = v.toBool();
         return true;
     }},
    {"faultRate", Kind::Number, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         return w.real(p, v, 0, 1, &s.faultRate);
     }},
    {"seed", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         return w.integer(p, v, 0, UINT32_MAX, &s.seed);
     }},
    {"replyDelayMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         return w.integer(p, v, 0, 10000, &s.replyDelayMs);
     }},
    {"pace", Kind::Bool, false,
     [](Walk&, const std::string&, const QJsonValue& v, SimSettings& s) {
         s.pace = v.toBool();
         return true;
     }},
    {"turnaroundMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         return w.integer(p, v, limits::kSimTurnaroundMs, &s.turnaroundMs);
     }},
    {"burstMs", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         return w.integer(p, v, limits::kSimBurstMs, &s.burstMs);
     }},
    {"echo", Kind::Bool, false,
     [](Walk&, const std::string&, const QJsonValue& v, SimSettings& s) {
         s.echo = v.toBool();
         return true;
     }},
    {"init", Kind::Array, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, SimSettings& s) {
         return walkArray(w, v, p, kPresetFields, [&](PresetItem& item) {
             std::vector<long> values;
             if (!unitValues(w, JsonLocator::member(item.path, "values"), item.values, item.type,
                             Format::Dec, &values))
                 return false;
             for (size_t k = 0; k < values.size(); ++k)
                 s.presets.push_back({item.station, item.type, item.address + int(k), values[k]});
             return true;
         });
     }},
};

// ---- variables and writes ---------------------------------------------------------

struct VarItem {
    std::string path;
    VarConfig v;
    bool stationNamed = false;
};

const Field<VarItem> kVarFields[] = {
    {"name", Kind::String, false,
     [](Walk&, const std::string&, const QJsonValue& v, VarItem& i) {
         i.v.name = v.toString();
         return true;
     }},
    {"station", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, VarItem& i) {
         if (v.toInt() == 0)
             return w.fail(p, "station 0 is the broadcast address; a read needs a station 1..247");
         i.stationNamed = true;
         return w.integer(p, v, limits::kStation, &i.v.station);
     }},
    {"type", Kind::Integer, true,
     [](Walk& w, const std::string& p, const QJsonValue& v, VarItem& i) {
         return w.integer(p, v, limits::kRegisterType, &i.v.type);
     }},
    {"address", Kind::Text, true,
     [](Walk&, const std::string&, const QJsonValue& v, VarItem& i) {
         i.v.addrText = QString::fromStdString(textOf(v));
         return true;
     }},
    {"count", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, VarItem& i) {
         return w.integer(p, v, limits::kCount, &i.v.count);
     }},
    {"format", Kind::String, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, VarItem& i) {
         return parseFormat(v.toString().toStdString(), &i.v.format) ||
                w.fail(p, "'" + v.toString().toStdString() + "': dec, int, hex or bin");
     }},
};

struct WriteItem {
    std::string path;
    ScheduledWrite w;
    Format format = Format::Dec;
    QJsonValue values;
    bool stationNamed = false;
};

const Field<WriteItem> kWriteFields[] = {
    {"name", Kind::String, false,
     [](Walk&, const std::string&, const QJsonValue& v, WriteItem& i) {
         i.w.req.name = v.toString();
         return true;
     }},
    {"at", Kind::Number, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, WriteItem& i) {
         return w.real(p, v, 0, 1e7, &i.w.atSec);
     }},
    {"station", Kind::Integer, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, WriteItem& i) {
         i.stationNamed = true;
         return w.integer(p, v, limits::kWriteStation, &i.w.req.station);
     }},
    {"type", Kind::Integer, true,
     [](Walk& w, const std::string& p, const QJsonValue& v, WriteItem& i) {
         return w.integer(p, v, limits::kRegisterType, &i.w.req.type);
     }},
    {"address", Kind::Text, true,
     [](Walk&, const std::string&, const QJsonValue& v, WriteItem& i) {
         i.w.req.addrText = QString::fromStdString(textOf(v));
         return true;
     }},
    {"format", Kind::String, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, WriteItem& i) {
         return parseFormat(v.toString().toStdString(), &i.format) ||
                w.fail(p, "'" + v.toString().toStdString() + "': dec, int, hex or bin");
     }},
    {"values", Kind::Array, true,
     [](Walk&, const std::string&, const QJsonValue& v, WriteItem& i) {
         i.values = v;
         return true;
     }},
    {"verify", Kind::Bool, false,
     [](Walk&, const std::string&, const QJsonValue& v, WriteItem& i) {
         i.w.req.verify = v.toBool();
         return true;
     }},
};

// ---- the whole file ---------------------------------------------------------------

const Field<HostConfig> kRootFields[] = {
    {"link", Kind::Object, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return walkObject(w, v, p, kLinkFields, c);
     }},
    {"cominfo", Kind::Object, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return walkObject(w, v, p, kComFields, c.engine.com);
     }},
    {"backoff", Kind::Object, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return walkObject(w, v, p, kBackoffFields, c.engine.backoff);
     }},
    {"duration", Kind::Number, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return w.real(p, v, 0.001, 1e7, &c.durationSec);
     }},
    {"simulator", Kind::Object, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return walkObject(w, v, p, kSimFields, c.sim);
     }},
    {"variables", Kind::Array, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return walkArray(w, v, p, kVarFields, [&](VarItem& item) {
             if (item.v.name.isEmpty())
                 item.v.name = QString("var%1").arg(c.engine.vars.size() + 1);
             // -1 until the whole file is read: then defStation.
             if (!item.stationNamed)
                 item.v.station = -1;
             else
                 w.namedStations.push_back(
                     {JsonLocator::member(item.path, "station"), item.v.station});
             c.engine.vars.push_back(item.v);
             return true;
         });
     }},
    {"writes", Kind::Array, false,
     [](Walk& w, const std::string& p, const QJsonValue& v, HostConfig& c) {
         return walkArray(w, v, p, kWriteFields, [&](WriteItem& item) {
             std::vector<long> values;
             if (!unitValues(w, JsonLocator::member(item.path, "values"), item.values,
                             item.w.req.type, item.format, &values))
                 return false;
             WriteRequest& r = item.w.req;
             if (r.name.isEmpty()) r.name = QString("write%1").arg(c.writes.size() + 1);
             r.count = int(values.size());
             r.values = encodeUnits(r.type, values);
             if (!item.stationNamed)
                 r.station = -1;
             else
                 w.namedStations.push_back({JsonLocator::member(item.path, "station"), r.station});
             c.writes.push_back(item.w);
             return true;
         });
     }},
};

}  // namespace

bool parseProject(const QByteArray& text, const std::string& fileName, HostConfig* cfg,
                  std::string* error) {
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &pe);
    if (pe.error != QJsonParseError::NoError) {
        const TextPosition p = positionOf(text, pe.offset);
        *error = fileName + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) +
                 ": JSON syntax: " + pe.errorString().toStdString();
        return false;
    }
    Walk w(text, fileName, error);
    if (!doc.isObject()) return w.fail("", "the project must be a JSON object");
    if (!w.locator().duplicates().empty())
        return w.fail(w.locator().duplicates().front(), "given twice", /*atKey=*/true);

    const size_t firstVar = cfg->engine.vars.size(), firstWrite = cfg->writes.size();
    if (!walkObject(w, QJsonValue(doc.object()), "", kRootFields, *cfg)) return false;

    // Stations: what is not named goes to defStation; what is named must be
    // where the driver will send it.
    const ComSettings& com = cfg->engine.com;
    for (size_t i = firstVar; i < cfg->engine.vars.size(); ++i)
        if (cfg->engine.vars[i].station < 0) cfg->engine.vars[i].station = com.defStation;
    for (size_t i = firstWrite; i < cfg->writes.size(); ++i)
        if (cfg->writes[i].req.station < 0) cfg->writes[i].req.station = com.defStation;
    for (const Walk::NamedStation& n : w.namedStations) {
        const std::string why = stationModeError(n.station, com.multiStation, com.defStation);
        if (!why.empty()) return w.fail(n.path, why + " in \"cominfo\"");
    }
    cfg->projectPath = fileName;
    return true;
}

bool loadProject(const std::string& path, HostConfig* cfg, std::string* error) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) {
        *error = path + ": " + f.errorString().toStdString();
        return false;
    }
    return parseProject(f.readAll(), path, cfg, error);
}

}  // namespace plchost
