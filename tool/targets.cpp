#include "targets.h"

#include <QtCore/QStringList>
#include <algorithm>

#include "register_types.h"

namespace plchost {

namespace {

bool allDigits(const QString& s, QChar highest) {
    return !s.isEmpty() &&
           std::all_of(s.begin(), s.end(), [highest](QChar c) { return c >= '0' && c <= highest; });
}

std::string quoted(const QString& s) { return "'" + s.toStdString() + "'"; }

}  // namespace

std::string addressSyntaxError(int type, const QString& text) {
    const plc::RegisterType* rt = plc::registerType(type);
    if (!rt) return "register type " + std::to_string(type) + " is not a code 0..25";
    switch (rt->textBase) {
        case plc::kOctal:
            if (!allDigits(text, '7'))
                return "address " + quoted(text) + " of type " + std::to_string(type) +
                       ": octal digits 0..7 expected";
            return {};
        case plc::kDecimal:
            if (!allDigits(text, '9'))
                return "address " + quoted(text) + " of type " + std::to_string(type) +
                       ": decimal digits expected";
            return {};
        case plc::kWordDotBit: {
            const QStringList parts = text.split('.');
            if (parts.size() != 2 || !allDigits(parts[0], '9') || !allDigits(parts[1], '9'))
                return "address " + quoted(text) + " of type " + std::to_string(type) +
                       ": word.bit expected, e.g. 3.4";
            if (parts[1].size() > 2 || parts[1].toInt() > 15)
                return "address " + quoted(text) + ": bit " + parts[1].toStdString() +
                       " of a 16-bit word (0..15)";
            return {};
        }
    }
    return {};
}

std::string targetError(const Target& t, Access access, bool remoteFraming,
                        const AddressParser& parse) {
    const plc::RegisterType* rt = plc::registerType(t.type);
    if (!rt) return "register type " + std::to_string(t.type) + " is not a code 0..25";
    const int lowestStation = access == Access::Read ? 1 : 0;
    if (t.station < lowestStation || t.station > 247)
        return access == Access::Read && t.station == 0
                   ? std::string(
                         "station 0 is the broadcast address; a read needs a station 1..247")
                   : "station " + std::to_string(t.station) + " is outside " +
                         std::to_string(lowestStation) + "..247";
    if (access == Access::Write && !rt->hostWritable)
        return "type " + std::to_string(t.type) + " is a read-only area";
    if (t.count < 1) return "count " + std::to_string(t.count) + ": at least 1 unit";
    std::string syntax = addressSyntaxError(t.type, t.addrText);
    if (!syntax.empty()) return syntax;
    const int unit = parse(t.type, t.addrText);
    if (unit < 0)
        return "address " + quoted(t.addrText) + " of type " + std::to_string(t.type) +
               " is refused by the driver's address parser";
    // The last unit in the area's own units (a word for bit-in-word codes).
    const bool bitsInWords = rt->kind == plc::AreaKind::BitInWord;
    const int64_t last =
        bitsInWords ? (int64_t(unit) + t.count - 1) / 16 : int64_t(unit) + t.count - 1;
    const int64_t base = remoteFraming ? 0 : plc::registerType(rt->folded)->areaBase;
    if (base + last > 65535) {
        std::string where = "type " + std::to_string(t.type) + " address " +
                            t.addrText.toStdString() + " count " + std::to_string(t.count) + ": ";
        if (remoteFraming) return where + "unit " + std::to_string(last) + " is beyond 65535";
        return where + "Modbus address " + std::to_string(base + last) +
               " is beyond 65535 (area base " + std::to_string(base) + " + unit " +
               std::to_string(last) + "); the highest unit of this area is " +
               std::to_string(65535 - base) + (bitsInWords ? " (a word number)" : "");
    }
    return {};
}

std::string stationModeError(int station, int multiStation, int defStation) {
    if (multiStation != 0 || station == defStation) return {};
    return "station " + std::to_string(station) + " is named while multiStation is 0: the driver " +
           "would send it to station " + std::to_string(defStation) +
           " (defStation); set multiStation to 1";
}

}  // namespace plchost
