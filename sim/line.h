// The simulated controller's end of the serial line: a pseudo-terminal pair
// or a real serial device, reading requests, echoing them on a two-wire line,
// and sending replies at the pace, and in the bursts, a real line and a USB
// adapter would.
#ifndef PLCSIM_LINE_H
#define PLCSIM_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "clock.h"
#include "serial_port.h"

namespace plcsim {

struct LineTiming {
    // Replies leave at the line's pace: each byte one character time after
    // the one before, the first one 3.5 characters (the frame gap) plus
    // turnaroundUs after the request's last byte. A pty has no baud rate:
    // there the character time comes from paceBaud, 11 bits per character
    // (start, 8 data, parity or a second stop bit, stop), and the request
    // itself is taken to have arrived at that pace too. A real device paces
    // its bytes itself, at its own baud rate.
    bool pace = false;
    int paceBaud = 19200;
    int turnaroundUs = 0;
    // > 0: each reply in two bursts, the second this long after the first,
    // the way a USB adapter's latency timer hands bytes over.
    int burstGapMs = 0;
    // Every byte received is sent straight back, as a two-wire line echoes
    // the master's transmission to its own receiver.
    bool echo = false;
    // Pause before every reply, paced or not, as a slow controller makes.
    int replyDelayUs = 0;
};

// When the reply's bytes arrive as seen from the line: each chunk of count
// bytes from `from` is written at atNs.
struct Chunk {
    int64_t atNs;
    size_t from, count;
};
// A request of requestLen bytes whose first byte was read at firstByteNs and
// its last at lastByteNs, answered with replyLen bytes; nowNs is when the
// answer is ready. charNs: the line's character time. virtualLine: a pty,
// where nothing paces the bytes but this schedule.
std::vector<Chunk> replySchedule(const LineTiming& t, int64_t charNs, bool virtualLine,
                                 size_t requestLen, int64_t firstByteNs, int64_t lastByteNs,
                                 size_t replyLen, int64_t nowNs);

// Character time on a paced pty: 11 bits at paceBaud, in nanoseconds.
int64_t pacedCharNs(int paceBaud);

class Line {
public:
    Line();
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // A pseudo-terminal pair; the controller sits on the master side and a
    // master (the host) opens path(), the slave side.
    bool openPty(std::string* error);
    bool openDevice(const std::string& path, const plc::serial::CharFormat& format,
                    std::vector<std::string>* warnings, std::string* error);
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    void setTiming(const LineTiming& t) { timing_ = t; }
    const LineTiming& timing() const { return timing_; }

    // Silence that ends an incomplete frame, in nanoseconds.
    int64_t frameGapNs() const { return frameGapNs_; }

    enum class Wait { Data, Quiet, Stop };
    // Waits up to timeoutMs for bytes, or for stop().
    Wait wait(int timeoutMs);
    // Appends what has arrived to buf (echoing it when asked); the count.
    size_t read(std::vector<uint8_t>& buf);
    // Sends a reply to a request (see replySchedule). Returns early when
    // stopped; a reply nobody reads for a second is dropped.
    void sendReply(const std::vector<uint8_t>& reply, size_t requestLen, int64_t firstByteNs,
                   int64_t lastByteNs);
    // Any thread: ends waits and paced replies until rearm().
    void stop();
    void rearm();

private:
    bool sleepUntil(int64_t ns);
    bool writeAll(const uint8_t* data, size_t len);

    int fd_ = -1;
    int keepSlave_ = -1;  // pty slave kept open so the master never sees a hang-up
    int wake_[2] = {-1, -1};
    bool virtual_ = true;
    int64_t charNs_ = 0;  // a device's character time
    int64_t frameGapNs_ = 3000000;
    std::string path_;
    LineTiming timing_;
};

using plc::monotonicNs;

}  // namespace plcsim

#endif  // PLCSIM_LINE_H
