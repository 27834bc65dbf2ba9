#include "serial_port.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plc::serial {

namespace {

struct BaudRate {
    int baud;
    speed_t speed;
};
constexpr BaudRate kBauds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

speed_t speedOf(int baud) {
    for (const BaudRate& b : kBauds)
        if (b.baud == baud) return b.speed;
    return B0;
}

}  // namespace

const std::vector<int>& supportedBauds() {
    static const std::vector<int> bauds = [] {
        std::vector<int> v;
        for (const BaudRate& b : kBauds) v.push_back(b.baud);
        return v;
    }();
    return bauds;
}

bool isSupportedBaud(int baud) { return speedOf(baud) != B0; }

int bitsPerChar(const CharFormat& f) {
    return 1 + f.dataBits + (f.parity == 'N' ? 0 : 1) + f.stopBits;
}

double charTimeUs(const CharFormat& f) { return bitsPerChar(f) * 1e6 / f.baud; }

bool configureRaw(int fd, const CharFormat& f, std::vector<std::string>* warnings,
                  std::string* error) {
    const speed_t speed = speedOf(f.baud);
    if (speed == B0) {
        if (error) *error = "unsupported baud rate " + std::to_string(f.baud);
        return false;
    }
    if ((f.dataBits != 7 && f.dataBits != 8) || (f.stopBits != 1 && f.stopBits != 2) ||
        (f.parity != 'N' && f.parity != 'E' && f.parity != 'O')) {
        if (error) *error = "unsupported character format";
        return false;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        if (error) *error = "not a serial device";
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= f.dataBits == 7 ? CS7 : CS8;
    if (f.parity != 'N') t.c_cflag |= PARENB;
    if (f.parity == 'O') t.c_cflag |= PARODD;
    if (f.stopBits == 2) t.c_cflag |= CSTOPB;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (f.parity != 'N') t.c_iflag |= INPCK;
    // read() returns whatever is there, at once; the callers poll().
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        // A device that cannot keep the parity flag (a pseudo-terminal) may
        // refuse the whole call with EINVAL, depending on what it held
        // before: the C library reads the flags back and reports a parity
        // that did not stick. Without parity the rest goes through; the
        // difference becomes a warning below.
        termios noParity = t;
        noParity.c_cflag &= ~(PARENB | PARODD);
        noParity.c_iflag &= ~INPCK;
        if (errno != EINVAL || f.parity == 'N' || tcsetattr(fd, TCSANOW, &noParity) != 0) {
            if (error) *error = std::strerror(errno);
            return false;
        }
    }
    // tcsetattr succeeds when any one change took; read back what stuck.
    termios got;
    if (warnings && tcgetattr(fd, &got) == 0) {
        const tcflag_t keep = CSIZE | PARENB | PARODD | CSTOPB;
        if ((got.c_cflag & keep) != (t.c_cflag & keep))
            warnings->push_back(
                "the device did not keep the character format (parity, data "
                "or stop bits); a pseudo-terminal ignores them");
        if (cfgetospeed(&got) != speed)
            warnings->push_back("the device did not keep the baud rate");
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

bool enableKernelRs485(int fd, int delayBeforeMs, int delayAfterMs, bool hearOwnSending,
                       std::string* error) {
    serial_rs485 rs{};
    if (ioctl(fd, TIOCGRS485, &rs) != 0) {
        if (error)
            *error = std::string("the device refuses RS-485 mode (TIOCGRS485: ") +
                     std::strerror(errno) + ")";
        return false;
    }
    rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs.flags &= ~unsigned(SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX);
    if (hearOwnSending) rs.flags |= SER_RS485_RX_DURING_TX;
    rs.delay_rts_before_send = unsigned(std::max(0, delayBeforeMs));
    rs.delay_rts_after_send = unsigned(std::max(0, delayAfterMs));
    if (ioctl(fd, TIOCSRS485, &rs) != 0) {
        if (error)
            *error = std::string("the device refuses RS-485 mode (TIOCSRS485: ") +
                     std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool setRts(int fd, bool on, std::string* error) {
    const int rts = TIOCM_RTS;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &rts) != 0) {
        if (error)
            *error = std::string("the device refuses RTS control (") +
                     (on ? "TIOCMBIS: " : "TIOCMBIC: ") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

}  // namespace plc::serial
