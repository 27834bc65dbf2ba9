// Safe addressing: whether a read or write named for a station, register
// type, address text and count reaches exactly that place, before anything
// is sent. Nothing is ever wrapped: a target the driver would cut to 16 bits
// or send to another station is refused with a message saying why.
#ifndef PLCHOST_TARGETS_H
#define PLCHOST_TARGETS_H

#include <QtCore/QString>
#include <functional>
#include <string>

namespace plchost {

// The driver's own address parser, PLCAddressChangeIntef: the unit number
// of an address text for a register type, negative when unusable.
using AddressParser = std::function<int(int type, const QString& text)>;

struct Target {
    int station = 1;
    int type = 7;
    QString addrText;
    int count = 1;
};

enum class Access { Read, Write };

// Strict grammar of an address text before the driver sees it: octal digits
// for codes 0 and 1, decimal digits for the other areas, "word.bit" with a
// bit of 0..15 for codes 20..23. (The driver's parser is more lenient: it
// takes "D100.3" as bit 3 and "5.20" as word 6 bit 4.) Empty when fine.
std::string addressSyntaxError(int type, const QString& text);

// Everything about one target: station (1..247 for a read, 0..247 for a
// write, 0 being the broadcast), register type 0..25, writable area for a
// write, the address text by the grammar above and by the driver's parser,
// a count of at least 1, and the Modbus address range. In the local
// framing the request carries area base + unit number in 16 bits, so the
// last unit must stay at or below 65535 after the base; the remote framing
// has no area base and the unit number itself must stay within 16 bits.
// Empty when fine, else the reason.
std::string targetError(const Target& t, Access access, bool remoteFraming,
                        const AddressParser& parse);

// With multiStation 0 the driver sends every request to defStation, so a
// target named for another station would land on the wrong controller.
// Empty when the station is the one the driver will use.
std::string stationModeError(int station, int multiStation, int defStation);

}  // namespace plchost

#endif  // PLCHOST_TARGETS_H
