#include "cli_values.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "serial_port.h"

namespace plc::cli {

namespace {

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

std::string rangeText(long long min, long long max) {
    return std::to_string(min) + ".." + std::to_string(max);
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Magnitude of an unsigned digit string in the given base; false when empty,
// when a character is no digit of the base, or beyond 2^63 - 1.
bool magnitude(std::string_view digits, int base, unsigned long long* out) {
    if (digits.empty()) return false;
    unsigned long long v = 0;
    constexpr unsigned long long kLimit = 9223372036854775807ULL;
    for (char c : digits) {
        const int d = digitValue(c);
        if (d >= base) return false;
        if (v > (kLimit - unsigned(d)) / unsigned(base)) return false;
        v = v * unsigned(base) + unsigned(d);
    }
    *out = v;
    return true;
}

}  // namespace

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    for (;;) {
        const size_t at = text.find(separator, pos);
        parts.push_back(text.substr(pos, at == std::string_view::npos ? at : at - pos));
        if (at == std::string_view::npos) return parts;
        pos = at + 1;
    }
}

bool parseInteger(std::string_view text, long long min, long long max, long long* out,
                  std::string* error) {
    std::string_view digits = text;
    bool negative = false;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    } else if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B')) {
        base = 2;
        digits.remove_prefix(2);
    } else if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    unsigned long long m = 0;
    if (!magnitude(digits, base, &m)) {
        // Distinguish "not a number" from "a number too large to hold".
        const bool allDigits =
            !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                           [base](char c) { return digitValue(c) < base; });
        if (error)
            *error = allDigits ? quoted(text) + " is out of range " + rangeText(min, max)
                               : quoted(text) + " is not an integer";
        return false;
    }
    const long long v = negative ? -static_cast<long long>(m) : static_cast<long long>(m);
    if (v < min || v > max) {
        if (error) *error = quoted(text) + " is out of range " + rangeText(min, max);
        return false;
    }
    *out = v;
    return true;
}

bool parseInt(std::string_view text, int min, int max, int* out, std::string* error) {
    long long v = 0;
    if (!parseInteger(text, min, max, &v, error)) return false;
    *out = static_cast<int>(v);
    return true;
}

bool parseReal(std::string_view text, double min, double max, double* out, std::string* error) {
    const std::string s(text);
    const bool plainChars =
        !s.empty() && s.find_first_not_of("0123456789+-.eE") == std::string::npos;
    char* end = nullptr;
    errno = 0;
    const double v = plainChars ? std::strtod(s.c_str(), &end) : 0.0;
    if (!plainChars || end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v)) {
        if (error) *error = quoted(text) + " is not a number";
        return false;
    }
    if (v < min || v > max) {
        if (error) {
            char range[64];
            std::snprintf(range, sizeof range, "%g..%g", min, max);
            *error = quoted(text) + " is out of range " + range;
        }
        return false;
    }
    *out = v;
    return true;
}

bool parseIntList(std::string_view text, int min, int max, std::vector<int>* out,
                  std::string* error) {
    std::vector<int> values;
    std::set<int> seen;
    for (std::string_view part : split(text, ',')) {
        int v = 0;
        if (!parseInt(part, min, max, &v, error)) return false;
        if (!seen.insert(v).second) {
            if (error) *error = quoted(part) + " is given twice";
            return false;
        }
        values.push_back(v);
    }
    *out = std::move(values);
    return true;
}

bool parseParity(std::string_view text, char* out, std::string* error) {
    struct Name {
        std::string_view name;
        char code;
    };
    static constexpr Name kNames[] = {{"none", 'N'}, {"even", 'E'}, {"odd", 'O'},
                                      {"N", 'N'},    {"E", 'E'},    {"O", 'O'},
                                      {"n", 'N'},    {"e", 'E'},    {"o", 'O'}};
    for (const Name& n : kNames) {
        if (n.name == text) {
            *out = n.code;
            return true;
        }
    }
    if (error) *error = quoted(text) + " is no parity: none, even or odd";
    return false;
}

bool parseBaud(std::string_view text, int* out, std::string* error) {
    int baud = 0;
    if (parseInt(text, 1, 100000000, &baud, error) && plc::serial::isSupportedBaud(baud)) {
        *out = baud;
        return true;
    }
    if (error) {
        std::string list;
        for (int b : plc::serial::supportedBauds())
            list += (list.empty() ? "" : ", ") + std::to_string(b);
        *error = "unsupported baud rate " + quoted(text) + " (" + list + ")";
    }
    return false;
}

}  // namespace plc::cli
