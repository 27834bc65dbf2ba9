// The host's serial exchange against a far end played by the test on a real pty: a
// reply in pieces, one cut off by silence, and a late one flushed before the next.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <thread>

#include "serial_link.h"

namespace {

// 1200 baud 8N1: 8.33 ms a character, so a 12.5 ms gap ends a reply.
struct FarEnd {
    int master = -1, slave = -1;
    plchost::SerialLink link;

    explicit FarEnd(int timeoutMs = 300) {
        termios raw{};
        cfmakeraw(&raw);
        char name[256] = {0};
        EXPECT_EQ(::openpty(&master, &slave, name, &raw, nullptr), 0);
        std::string err;
        EXPECT_TRUE(link.open({name, 1200, 'N', 8, 1, timeoutMs}, &err)) << err;
    }
    ~FarEnd() {
        link.close();
        ::close(master);
        ::close(slave);
    }
    // What the host sent; waits up to 2 s for each byte.
    QByteArray receive(int bytes) {
        QByteArray got;
        char buf[256];
        pollfd p{master, POLLIN, 0};
        while (got.size() < bytes && ::poll(&p, 1, 2000) > 0) {
            const ssize_t n = ::read(master, buf, size_t(bytes - got.size()));
            if (n <= 0) break;
            got.append(buf, int(n));
        }
        return got;
    }
    void send(const QByteArray& b) {
        EXPECT_EQ(::write(master, b.constData(), size_t(b.size())), b.size());
    }
    plchost::Exchange exchange(const QByteArray& req, int replyLen) {
        return link.exchange(req.constData(), req.size(), replyLen);
    }
};

const QByteArray kRequest = QByteArray::fromHex("0103000000010A84");
const QByteArray kReply = QByteArray::fromHex("010302123480B6");

TEST(SerialExchange, APauseShorterThanTheCharacterGapJoinsPiecesAndALongerOneEndsTheReply) {
    struct Row {
        int pauseMs;
        QByteArray expected;
        bool gapEnded;
    };
    for (const Row& r : {Row{2, kReply, false}, Row{150, kReply.left(3), true}}) {
        SCOPED_TRACE(r.pauseMs);
        FarEnd far;
        std::thread t([&] {
            EXPECT_EQ(far.receive(kRequest.size()), kRequest);
            far.send(kReply.left(3));
            std::this_thread::sleep_for(std::chrono::milliseconds(r.pauseMs));
            far.send(kReply.mid(3));
        });
        const plchost::Exchange ex = far.exchange(kRequest, kReply.size());
        t.join();
        EXPECT_EQ(ex.reply.toHex(), r.expected.toHex());
        EXPECT_EQ(ex.gapEnded, r.gapEnded);
        EXPECT_FALSE(ex.timedOut);
        EXPECT_LT(ex.doneNs - ex.sentNs, 150 * 1000000LL) << "ended by the time-out";
    }
}

TEST(SerialExchange, ATimeOutGivesNoBytesAndTheLateReplyIsFlushedBeforeTheNextRequest) {
    FarEnd far(/*timeoutMs=*/50);
    std::thread t1([&] { far.receive(kRequest.size()); });
    const plchost::Exchange first = far.exchange(kRequest, kReply.size());
    t1.join();
    EXPECT_TRUE(first.timedOut && first.reply.isEmpty()) << first.reply.toHex().constData();
    EXPECT_GE(first.doneNs - first.sentNs, 50 * 1000000LL);

    far.send(QByteArray::fromHex("01030299998DB6"));  // the answer to the first request
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const QByteArray second = QByteArray::fromHex("0103000100015BCA");
    std::thread t2([&] {
        EXPECT_EQ(far.receive(second.size()), second);
        far.send(kReply);
    });
    const plchost::Exchange ex = far.exchange(second, kReply.size());
    t2.join();
    EXPECT_EQ(ex.reply.toHex(), kReply.toHex());
}

}  // namespace
