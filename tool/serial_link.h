// The host's side of the serial line: opening and configuring the port, and
// one request/reply exchange with its reply-end rules.
//
// termios is used directly rather than a Qt serial-port class: it needs no
// extra Qt module on the panel (only QtCore is there), and the exchange needs
// exact control of what Qt would hide: VMIN/VTIME, discarding leftovers
// before each request, waiting for the transmitter to drain, RTS around a
// send, and gaps measured on the monotonic clock.
#ifndef PLCHOST_SERIAL_LINK_H
#define PLCHOST_SERIAL_LINK_H

#include <QtCore/QByteArray>
#include <cstdint>
#include <string>
#include <vector>

#include "clock.h"

namespace plchost {

struct LinkSettings {
    std::string device;
    int baud = 19200;
    char parity = 'E';  // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;
    int timeoutMs = 1000;    // response timeout: request sent -> first reply byte
    int turnaroundMs = 100;  // pause after a broadcast, which nobody answers
    // Largest gap tolerated inside a reply. USB adapters hand a reply over in
    // bursts their latency timer apart (1..16 ms); a longer gap ends the reply.
    int byteTimeoutMs = 50;
    // Two-wire adapters that hear their own transmission: read the request's
    // echo back, check it and discard it before the reply.
    bool echo = false;
    enum class Direction {
        None,         // the adapter switches direction itself
        KernelRs485,  // the UART driver's RS-485 mode raises RTS while sending
        ManualRts,    // RTS raised and dropped here, around each send
    } direction = Direction::None;
    int rtsDelayBeforeMs = 0;  // RTS raised this long before the first bit
    int rtsDelayAfterMs = 0;   // and held this long after the last
};

struct Exchange {
    QByteArray reply;  // the reply bytes as received; empty after an echo mismatch
    QByteArray echo;   // with echo on: what came back in place of the request
    // Bytes read and thrown away during this exchange: the reply that
    // followed a mismatched echo.
    QByteArray discarded;
    bool timedOut = false;      // no reply byte within the response timeout
    bool gapEnded = false;      // a gap over byteTimeoutMs ended it before replyLen
    bool exception = false;     // ended as an exception reply (checked CRC)
    bool echoMismatch = false;  // the echo differed from the request or was missing
    bool sendFailed = false;    // the device refused the request bytes
    int lateBytes = 0;          // bytes of earlier exchanges discarded before sending
    int64_t sentNs = 0;         // monotonic time the request finished sending
    int64_t doneNs = 0;         // monotonic time the exchange ended
};

class SerialLink {
public:
    SerialLink() = default;
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens and configures the device, with the direction control asked for.
    // A device that refuses RS-485 mode or RTS control is an error; settings
    // it accepts but does not keep are warnings().
    bool open(const LinkSettings& settings, std::string* error);
    // Runs the exchange over an already open descriptor (a socket, one end of
    // a pipe pair) without any terminal set-up. The link owns fd from here on.
    void attach(int fd, const LinkSettings& settings);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const LinkSettings& settings() const { return settings_; }
    // Settings the device accepted but did not keep (see plc::serial::configureRaw).
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Sends len bytes of frame and collects the reply. Before sending, bytes
    // left over from earlier exchanges are discarded and the line must have
    // been quiet for the inter-frame silence; after an exchange that may have
    // left bytes in flight (timed out, cut short by a gap, mismatched echo),
    // quiet for byteTimeoutMs since it ended. With echo on, exactly len bytes
    // are read back and compared first. Then the reply ends when
    //   replyLen > 0: that many bytes arrived, or a complete exception reply
    //                 (station, function | 0x80, code, CRC; the CRC checked)
    //                 to a Modbus request arrived, or no byte came within the
    //                 response timeout, or a gap exceeded byteTimeoutMs;
    //   replyLen 0:   at once: a broadcast, nothing is read; the turnaround
    //                 delay passes first;
    //   replyLen < 0: a gap exceeded byteTimeoutMs (or nothing came).
    // Never more than replyLen bytes are taken.
    Exchange exchange(const char* frame, int len, int replyLen);

    // Line timing derived from the settings, in microseconds.
    double charTimeUs() const;
    double interFrameUs() const;  // 3.5 characters; 1750 above 19200 baud

private:
    enum class End { Complete, Exception, TimedOut, Gap };
    bool send(const char* frame, int len);
    End collect(QByteArray* out, int want, int64_t firstByteDeadlineNs, const QByteArray& request);
    void settle(Exchange* ex);
    int discardPending();
    void sleepUntil(int64_t ns);

    int fd_ = -1;
    LinkSettings settings_;
    std::vector<std::string> warnings_;
    int64_t lastLineNs_ = 0;  // end of the last byte sent or received
    bool unsettled_ = false;  // the last exchange may have left bytes in flight
};

// Whether reply is a complete Modbus exception reply to request: the
// request's station, its function with the high bit set, an exception code,
// and a CRC that checks. Requests that are no Modbus RTU frame (their own CRC
// does not check: the remote framing) have no exception replies.
bool isExceptionReply(const QByteArray& request, const QByteArray& reply);

using plc::monotonicNs;

}  // namespace plchost

#endif  // PLCHOST_SERIAL_LINK_H
