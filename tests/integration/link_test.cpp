// The host's serial exchange against the far end of a real pseudo-terminal,
// played by the test: replies in pieces, replies cut off by silence, late
// replies, the inter-frame silence and broadcasts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "serial_link.h"

namespace {

using plchost::LinkSettings;
using plchost::monotonicNs;
using plchost::SerialLink;

class FarEnd {
public:
    FarEnd() {
        termios raw{};
        cfmakeraw(&raw);
        char name[256] = {0};
        EXPECT_EQ(::openpty(&master_, &slave_, name, &raw, nullptr), 0);
        path_ = name;
    }
    ~FarEnd() {
        ::close(master_);
        ::close(slave_);
    }
    const std::string& path() const { return path_; }

    // Reads what the host sent (waits up to 2 s for the first byte).
    QByteArray receive(int bytes) {
        QByteArray got;
        while (got.size() < bytes) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            char buf[256];
            const ssize_t n = ::read(master_, buf, size_t(bytes - got.size()));
            if (n <= 0) break;
            got.append(buf, int(n));
        }
        lastRxNs = monotonicNs();
        return got;
    }
    void send(const QByteArray& b) {
        EXPECT_EQ(::write(master_, b.constData(), size_t(b.size())), b.size());
        lastTxNs = monotonicNs();
    }

    int64_t lastRxNs = 0, lastTxNs = 0;

private:
    int master_ = -1, slave_ = -1;
    std::string path_;
};

LinkSettings slowLine(const std::string& device) {
    LinkSettings s;
    s.device = device;
    s.baud = 1200;  // 8N1: 8.33 ms a character; gap 12.5 ms, silence 29.2 ms
    s.parity = 'N';
    s.timeoutMs = 300;
    s.turnaroundMs = 40;
    return s;
}

const QByteArray kRequest = QByteArray::fromHex("0103000000010A84");
const QByteArray kReply = QByteArray::fromHex("010302123480B6");

TEST(SerialExchange, AReplyArrivingInPiecesWithinTheCharacterGapIsCollectedWhole) {
    FarEnd far;
    SerialLink link;
    std::string err;
    ASSERT_TRUE(link.open(slowLine(far.path()), &err)) << err;
    std::thread t([&] {
        far.receive(kRequest.size());
        far.send(kReply.left(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        far.send(kReply.mid(3));
    });
    const plchost::Exchange ex =
        link.exchange(kRequest.constData(), kRequest.size(), kReply.size());
    t.join();
    EXPECT_EQ(ex.reply, kReply);
    EXPECT_FALSE(ex.gapEnded);
    EXPECT_FALSE(ex.timedOut);
}

TEST(SerialExchange, SilenceLongerThanTheCharacterGapEndsAShortReplyBeforeTheTimeout) {
    FarEnd far;
    SerialLink link;
    std::string err;
    ASSERT_TRUE(link.open(slowLine(far.path()), &err)) << err;
    std::thread t([&] {
        far.receive(kRequest.size());
        far.send(kReply.left(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        far.send(kReply.mid(3));
    });
    const plchost::Exchange ex =
        link.exchange(kRequest.constData(), kRequest.size(), kReply.size());
    t.join();
    EXPECT_EQ(ex.reply, kReply.left(3));
    EXPECT_TRUE(ex.gapEnded);
    EXPECT_LT(ex.doneNs - ex.sentNs, int64_t(150) * 1000000) << "ended by the gap, not the timeout";
}

TEST(SerialExchange, ALateReplyToAnEarlierRequestIsNeverTakenForTheNextOnesReply) {
    FarEnd far;
    SerialLink link;
    std::string err;
    LinkSettings s = slowLine(far.path());
    s.baud = 115200;
    s.timeoutMs = 50;
    ASSERT_TRUE(link.open(s, &err)) << err;

    std::thread t1([&] { far.receive(kRequest.size()); });
    const plchost::Exchange first =
        link.exchange(kRequest.constData(), kRequest.size(), kReply.size());
    t1.join();
    EXPECT_TRUE(first.timedOut);
    EXPECT_TRUE(first.reply.isEmpty());

    // The controller answers the first request after the host gave up on it.
    far.send(QByteArray::fromHex("01030299998DB6"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const QByteArray second = QByteArray::fromHex("0103000100015BCA");
    std::thread t2([&] {
        EXPECT_EQ(far.receive(second.size()), second);
        far.send(kReply);
    });
    const plchost::Exchange ex = link.exchange(second.constData(), second.size(), kReply.size());
    t2.join();
    EXPECT_EQ(ex.reply, kReply);
}

TEST(SerialExchange, TheNextRequestWaitsOutTheInterFrameSilenceAfterTheLastReplyByte) {
    FarEnd far;
    SerialLink link;
    std::string err;
    ASSERT_TRUE(link.open(slowLine(far.path()), &err)) << err;
    int64_t gapNs = 0;
    std::thread t([&] {
        far.receive(kRequest.size());
        far.send(kReply);
        const int64_t replyEnd = far.lastTxNs;
        far.receive(kRequest.size());
        gapNs = far.lastRxNs - replyEnd;
        far.send(kReply);
    });
    link.exchange(kRequest.constData(), kRequest.size(), kReply.size());
    link.exchange(kRequest.constData(), kRequest.size(), kReply.size());
    t.join();
    // 3.5 characters of 10 bits at 1200 baud.
    EXPECT_GE(gapNs, int64_t(29.1e6)) << gapNs / 1000 << " us";
}

TEST(SerialExchange, ABroadcastReadsNothingWaitsTheTurnaroundAndLeavesNoStrayBytes) {
    FarEnd far;
    SerialLink link;
    std::string err;
    ASSERT_TRUE(link.open(slowLine(far.path()), &err)) << err;
    const QByteArray broadcast = QByteArray::fromHex("0006000500015818");
    std::thread t([&] {
        far.receive(broadcast.size());
        far.send(QByteArray::fromHex("55AA"));  // noise after a broadcast
        far.receive(kRequest.size());
        far.send(kReply);
    });
    const plchost::Exchange b = link.exchange(broadcast.constData(), broadcast.size(), 0);
    EXPECT_TRUE(b.reply.isEmpty());
    EXPECT_GE(b.doneNs - b.sentNs, int64_t(40) * 1000000);
    const plchost::Exchange ex =
        link.exchange(kRequest.constData(), kRequest.size(), kReply.size());
    t.join();
    EXPECT_EQ(ex.reply, kReply);
}

TEST(SerialExchange, AnyLengthReplyIsCollectedUntilTheLineFallsSilent) {
    FarEnd far;
    SerialLink link;
    std::string err;
    ASSERT_TRUE(link.open(slowLine(far.path()), &err)) << err;
    const QByteArray longReply = QByteArray::fromHex("01030C000100020003000400050006ABCD");
    std::thread t([&] {
        far.receive(kRequest.size());
        far.send(longReply);
    });
    const plchost::Exchange ex = link.exchange(kRequest.constData(), kRequest.size(), -1);
    t.join();
    EXPECT_EQ(ex.reply, longReply);
}

TEST(SerialExchange, OpeningRefusesMissingDevicesNonTerminalsAndUnsupportedFormats) {
    FarEnd far;
    struct Row {
        const char* what;
        LinkSettings s;
    };
    std::vector<Row> rows;
    LinkSettings missing = slowLine("/dev/does-not-exist");
    LinkSettings notTty = slowLine("/dev/null");
    LinkSettings baud = slowLine(far.path());
    baud.baud = 12345;
    LinkSettings bits = slowLine(far.path());
    bits.dataBits = 5;
    LinkSettings parity = slowLine(far.path());
    parity.parity = 'X';
    rows = {{"missing device", missing},
            {"not a terminal", notTty},
            {"baud", baud},
            {"data bits", bits},
            {"parity", parity}};
    for (const Row& r : rows) {
        SerialLink link;
        std::string err;
        EXPECT_FALSE(link.open(r.s, &err)) << r.what;
        EXPECT_FALSE(err.empty()) << r.what;
        EXPECT_FALSE(link.isOpen()) << r.what;
    }
}

}  // namespace
