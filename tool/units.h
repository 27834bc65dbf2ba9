// A variable's units as the host exchanges them with the driver, and as they
// are typed and shown.
//
// Host byte order (GetRegisterData / SetRegisterData): a register is two
// bytes, low byte first; a bit (areas 0..6 and bits inside words, 20..23) is
// one byte holding 0 or 1.
#ifndef PLCHOST_UNITS_H
#define PLCHOST_UNITS_H

#include <QtCore/QByteArray>
#include <string>
#include <string_view>
#include <vector>

namespace plchost {

// How a register is typed and shown: unsigned decimal, signed decimal,
// hexadecimal or binary. Bits are 0/1 whatever the format.
enum class Format { Dec, Int, Hex, Bin };

bool parseFormat(std::string_view text, Format* out);  // dec|uint|int|hex|bin
const char* formatName(Format f);

// One unit is one bit: codes 0..6 and 20..23.
bool isBitUnitType(int type);

// The values a unit of the type takes in the format: 0..1 for bits,
// -32768..32767 for registers shown signed, 0..65535 otherwise.
struct UnitRange {
    long min, max;
};
UnitRange unitRange(int type, Format f);

// Parses one value typed for a unit ("777", "0x1234", "-5" with Format::Int),
// refusing anything outside unitRange; the message names the range.
bool parseUnitValue(std::string_view text, int type, Format f, long* out, std::string* error);

// Values already inside unitRange -> host byte order (negative registers as
// their two's complement).
QByteArray encodeUnits(int type, const std::vector<long>& values);
// Host byte order -> unit values: bits 0/1, registers 0..65535, or
// -32768..32767 with Format::Int. A trailing odd byte is ignored.
std::vector<long> decodeUnits(int type, const QByteArray& bytes, Format fmt);

// One unit as shown: "1", "4660", "-2", "0x1234", "0001001000110100".
std::string formatUnit(int type, long value, Format f);

}  // namespace plchost

#endif  // PLCHOST_UNITS_H
