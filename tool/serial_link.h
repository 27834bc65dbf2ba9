// The host's side of the serial line: opening and configuring the port, and
// one request/reply exchange with Modbus RTU timing.
//
// termios is used directly rather than a Qt serial-port class: it needs no
// extra Qt module on the panel (only QtCore is there), and the exchange needs
// exact control of what Qt would hide: VMIN/VTIME, the input flush before
// each request, waiting for the transmitter to drain, and sub-millisecond
// inter-character gaps measured on the monotonic clock.
#ifndef PLCHOST_SERIAL_LINK_H
#define PLCHOST_SERIAL_LINK_H

#include <QtCore/QByteArray>
#include <cstdint>
#include <string>
#include <vector>

namespace plchost {

struct LinkSettings {
    std::string device;
    int baud = 19200;
    char parity = 'E';  // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;
    int timeoutMs = 1000;    // response timeout: request sent -> first byte
    int turnaroundMs = 100;  // pause after a broadcast, which nobody answers
    int byteTimeoutMs = 50;  // largest gap tolerated inside a reply
    bool echo = false;       // check and discard the echo of each request
    enum class Direction { None, KernelRs485, ManualRts } direction = Direction::None;
    // RS-485: RTS raised this long before the first bit and held this long after the last.
    int rtsDelayBeforeMs = 0;
    int rtsDelayAfterMs = 0;
};

struct Exchange {
    QByteArray reply;           // exactly the bytes received
    bool timedOut = false;      // no byte at all within the response timeout
    bool gapEnded = false;      // ended by an inter-character gap before replyLen
    bool exception = false;     // ended as an exception reply (checked CRC)
    bool echoMismatch = false;  // the echo differed from the request or was missing
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

    bool open(const LinkSettings& settings, std::string* error);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const LinkSettings& settings() const { return settings_; }
    // Settings the device accepted but did not keep (see plc::serial::configureRaw).
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Sends len bytes of frame and collects the reply:
    //   replyLen > 0: until that many bytes arrived, an inter-character gap
    //                 ends the reply early, or the response timeout passes;
    //   replyLen 0:   broadcast, nothing is read; waits the turnaround delay;
    //   replyLen < 0: until an inter-character gap or the timeout.
    // Before sending, the input is flushed (a late reply from an earlier
    // request must not be taken for this one's) and the line has been quiet
    // for the inter-frame silence.
    Exchange exchange(const char* frame, int len, int replyLen);

    // Line timing derived from the settings, in microseconds.
    double charTimeUs() const;
    double interFrameUs() const;  // 3.5 characters; 1750 above 19200 baud
    double interCharUs() const;   // 1.5 characters; 750 above 19200 baud

private:
    void waitUntil(int64_t ns);

    int fd_ = -1;
    LinkSettings settings_;
    std::vector<std::string> warnings_;
    int64_t lastActivityNs_ = 0;  // end of the last byte sent or received
};

int64_t monotonicNs();

}  // namespace plchost

#endif  // PLCHOST_SERIAL_LINK_H
