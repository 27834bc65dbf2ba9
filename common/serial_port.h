// Serial-line settings shared by plc-host and plc-sim: the supported baud
// rates, the character format, the line's timing, and raw termios set-up.
#ifndef PLC_COMMON_SERIAL_PORT_H
#define PLC_COMMON_SERIAL_PORT_H

#include <string>
#include <vector>

namespace plc::serial {

struct CharFormat {
    int baud = 19200;
    char parity = 'E';  // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;
};

// Baud rates the tools accept, ascending.
const std::vector<int>& supportedBauds();
bool isSupportedBaud(int baud);

// Bits one character takes on the line: start, data, parity, stop.
int bitsPerChar(const CharFormat& f);
// Time of one character on the line, in microseconds.
double charTimeUs(const CharFormat& f);

// Puts an open terminal into raw mode with the given format: no echo, no
// flow control, reads return at once (VMIN 0, VTIME 0). Fails with `error`
// when the format is not supported or the device is not a terminal. A setting
// the device accepts but does not keep (a pseudo-terminal drops the parity
// flag) is no failure: it is listed in `warnings`.
bool configureRaw(int fd, const CharFormat& f, std::vector<std::string>* warnings,
                  std::string* error);

// Direction control of a two-wire RS-485 line.
//
// The kernel's RS-485 mode (TIOCSRS485): the UART driver raises RTS for each
// transmission, delayBeforeMs ahead of the first bit, and drops it
// delayAfterMs after the last, so the transceiver drives the bus only while
// sending. hearOwnSending keeps the receiver on meanwhile, for a host that
// reads its echo back. Fails with `error` when the device refuses the mode (a
// pseudo-terminal, most USB adapters without their own RS-485 support).
bool enableKernelRs485(int fd, int delayBeforeMs, int delayAfterMs, bool hearOwnSending,
                       std::string* error);

// RTS by hand (TIOCMBIS / TIOCMBIC), for adapters whose driver lacks the
// kernel mode. Fails with `error` when the device has no modem-control lines.
bool setRts(int fd, bool on, std::string* error);

}  // namespace plc::serial

#endif  // PLC_COMMON_SERIAL_PORT_H
