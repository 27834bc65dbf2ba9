#include "units.h"

#include <cstdio>

#include "cli_values.h"
#include "register_types.h"

namespace plchost {

namespace {

struct FormatName {
    std::string_view name;
    Format format;
};
constexpr FormatName kFormatNames[] = {
    {"dec", Format::Dec}, {"uint", Format::Dec}, {"int", Format::Int},
    {"hex", Format::Hex}, {"bin", Format::Bin},
};

}  // namespace

bool parseFormat(std::string_view text, Format* out) {
    for (const FormatName& n : kFormatNames) {
        if (n.name == text) {
            *out = n.format;
            return true;
        }
    }
    return false;
}

const char* formatName(Format f) {
    for (const FormatName& n : kFormatNames)
        if (n.format == f) return n.name.data();
    return "dec";
}

bool isBitUnitType(int type) { return plc::isBitArea(type) || plc::isBitInWord(type); }

UnitRange unitRange(int type, Format f) {
    if (isBitUnitType(type)) return {0, 1};
    if (f == Format::Int) return {-32768, 32767};
    return {0, 65535};
}

bool parseUnitValue(std::string_view text, int type, Format f, long* out, std::string* error) {
    const UnitRange r = unitRange(type, f);
    long long v = 0;
    if (!plc::cli::parseInteger(text, r.min, r.max, &v, error)) {
        if (error && isBitUnitType(type) && error->find("out of range") != std::string::npos)
            *error += " (a bit is 0 or 1)";
        else if (error && r.min < 0 && error->find("out of range") != std::string::npos)
            *error += " (a signed register)";
        return false;
    }
    *out = long(v);
    return true;
}

QByteArray encodeUnits(int type, const std::vector<long>& values) {
    QByteArray out;
    for (long v : values) {
        if (isBitUnitType(type)) {
            out.append(char(v != 0 ? 1 : 0));
        } else {
            out.append(char(v & 0xFF));
            out.append(char((v >> 8) & 0xFF));
        }
    }
    return out;
}

std::vector<long> decodeUnits(int type, const QByteArray& bytes, Format fmt) {
    std::vector<long> out;
    if (isBitUnitType(type)) {
        for (char c : bytes) out.push_back(c != 0 ? 1 : 0);
        return out;
    }
    for (int i = 0; i + 1 < bytes.size(); i += 2) {
        const uint16_t w = uint16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8));
        out.push_back(fmt == Format::Int ? long(int16_t(w)) : long(w));
    }
    return out;
}

std::string formatUnit(int type, long value, Format f) {
    if (isBitUnitType(type)) return value ? "1" : "0";
    char buf[24];
    switch (f) {
        case Format::Hex:
            std::snprintf(buf, sizeof buf, "0x%04lX", value & 0xFFFF);
            return buf;
        case Format::Bin: {
            std::string b;
            for (int k = 15; k >= 0; --k) b += ((value >> k) & 1) ? '1' : '0';
            return b;
        }
        case Format::Dec:
        case Format::Int:
            break;
    }
    return std::to_string(value);
}

}  // namespace plchost
