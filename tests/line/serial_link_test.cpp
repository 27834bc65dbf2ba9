// The host's link layer against a scripted far end on a socket pair: replies
// in bursts with chosen gaps, exception replies, echoes, and bytes that come
// too late for the exchange they belonged to.
#include "serial_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtCore/QStringList>
#include <random>
#include <thread>

#include "crc16.h"

namespace {

using plchost::Exchange;
using plchost::LinkSettings;

constexpr int64_t kMs = 1000000;

QByteArray hex(const char* h) { return QByteArray::fromHex(h); }

QByteArray withCrc(QByteArray f) {
    const uint16_t crc =
        plc::crc16Modbus(reinterpret_cast<const uint8_t*>(f.constData()), size_t(f.size()));
    f.append(char(crc & 0xFF));
    f.append(char(crc >> 8));
    return f;
}

// Station 1, read holding registers 11836..11837; its reply and the
// exception reply "illegal data address".
const QByteArray kRequest = hex("01032E3C00020D2F");
const QByteArray kReply = withCrc(hex("0103041234ABCD"));
const QByteArray kException = withCrc(hex("018302"));

// One piece of the far end's answer, sent afterMs after the previous piece
// (the first: after the request has arrived).
struct Burst {
    int afterMs;
    QByteArray bytes;
};
// The far end's part of one exchange: it reads the request, then sends.
struct Turn {
    int requestLen;
    std::vector<Burst> bursts;
};

// `bytes` cut into bursts by a script of "N@MS" words: N bytes (the rest for
// '*'), sent MS milliseconds after the previous burst.
std::vector<Burst> bursts(const QByteArray& bytes, const char* script) {
    std::vector<Burst> out;
    int from = 0;
    for (const QString& word : QString(script).split(' ', Qt::SkipEmptyParts)) {
        const QString n = word.section('@', 0, 0);
        const int take = n == "*" ? bytes.size() - from : n.toInt();
        out.push_back({word.section('@', 1).toInt(), bytes.mid(from, take)});
        from += take;
    }
    return out;
}

// The far end on its own thread, playing a script of turns.
class FarEnd {
public:
    explicit FarEnd(LinkSettings s) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fd_ = sv[1];
        link.attach(sv[0], s);
    }
    ~FarEnd() {
        join();
        ::close(fd_);
    }
    void play(std::vector<Turn> script) {
        thread_ = std::thread([this, script] {
            for (const Turn& t : script) {
                requests.push_back(receive(t.requestLen));
                for (const Burst& b : t.bursts) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(b.afterMs));
                    EXPECT_EQ(::write(fd_, b.bytes.constData(), size_t(b.bytes.size())),
                              b.bytes.size());
                }
            }
        });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    Exchange exchange(const QByteArray& req, int replyLen) {
        return link.exchange(req.constData(), req.size(), replyLen);
    }

    plchost::SerialLink link;
    std::vector<QByteArray> requests;  // as the far end received them; read after join()

private:
    QByteArray receive(int len) {
        QByteArray got;
        char buf[256];
        pollfd p{fd_, POLLIN, 0};
        while (got.size() < len && ::poll(&p, 1, 3000) > 0) {
            const ssize_t n = ::read(fd_, buf, size_t(std::min<int>(len - got.size(), 256)));
            if (n <= 0) break;
            got.append(buf, int(n));
        }
        return got;
    }
    int fd_ = -1;
    std::thread thread_;
};

LinkSettings settings(int timeoutMs, int byteTimeoutMs, bool echo = false) {
    return {"", 115200, 'N', 8, 1, timeoutMs, /*turnaroundMs=*/2, byteTimeoutMs, echo};
}

enum class Ends { Complete, Exception, Gap, TimedOut };

Ends howItEnded(const Exchange& ex) {
    if (ex.timedOut) return Ends::TimedOut;
    if (ex.gapEnded) return Ends::Gap;
    if (ex.exception) return Ends::Exception;
    return Ends::Complete;
}

// Byte timeout 60 ms, response timeout 300 ms: gaps of up to 16 ms (a USB
// adapter's latency timer) are inside a reply, 150 ms ends it.
TEST(ReplyEnd, EachRuleEndsTheReplyAtItsOwnByteAndTime) {
    struct Row {
        const char* name;
        int replyLen;
        QByteArray sent;
        const char* script;  // how `sent` is cut into bursts (see bursts())
        int taken;           // bytes of `sent` that make the reply; -1: all
        Ends ends;
        int minMs;  // time from the request sent to the exchange's end
    };
    const QByteArray lookalike = hex("018302000011223344"), alien = withCrc(hex("028302"));
    // clang-format off
    const Row rows[] = {
        {"WholeReply", 9, kReply, "*@0", -1, Ends::Complete, 0},
        {"TwoBursts2msApart", 9, kReply, "4@0 *@2", -1, Ends::Complete, 2},
        {"TwoBursts8msApart", 9, kReply, "3@0 *@8", -1, Ends::Complete, 8},
        {"TwoBursts16msApart", 9, kReply, "6@0 *@16", -1, Ends::Complete, 16},
        {"ThreeBursts", 9, kReply, "1@1 4@12 *@12", -1, Ends::Complete, 25},
        {"AGapOverTheByteTimeoutEndsIt", 9, kReply, "4@0 *@150", 4, Ends::Gap, 60},
        {"ExceptionReplyEndsAtFiveBytes", 9, kException, "*@0", -1, Ends::Exception, 0},
        {"ExceptionReplyInTwoBursts", 9, kException, "2@0 *@8", -1, Ends::Exception, 8},
        {"ExceptionLookalikeWithABadCrcWaitsForTheRest", 9, lookalike, "5@0 *@5", -1, Ends::Complete, 5},
        {"ExceptionFromAnotherStationIsNoEnd", 9, alien, "*@0", -1, Ends::Gap, 60},
        {"NoReplyTimesOut", 9, {}, "", -1, Ends::TimedOut, 300},
        {"ReplyStartingLateIsStillTaken", 9, kReply, "*@100", -1, Ends::Complete, 100},
        {"UnknownLengthEndsOnTheByteTimeout", -1, kReply, "5@0 *@10", -1, Ends::Complete, 70},
        {"BroadcastReadsNothing", 0, {}, "", -1, Ends::Complete, 2},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FarEnd far(settings(300, 60));
        far.play({{kRequest.size(), bursts(r.sent, r.script)}});
        const Exchange ex = far.exchange(kRequest, r.replyLen);
        far.join();
        EXPECT_EQ(far.requests.at(0).toHex(), kRequest.toHex());
        EXPECT_EQ(ex.reply.toHex(), r.sent.left(r.taken < 0 ? r.sent.size() : r.taken).toHex());
        EXPECT_EQ(int(howItEnded(ex)), int(r.ends));
        EXPECT_EQ(ex.lateBytes, 0);
        const int64_t took = ex.doneNs - ex.sentNs;
        // The far end starts its clock on reading the request, a little
        // before the host takes the time it was sent.
        EXPECT_GE(took, (r.minMs - 3) * kMs);
        // Nothing waits for the response time-out it need not wait for;
        // 100 ms is slack for a busy machine.
        EXPECT_LE(took, (r.minMs + 100) * kMs);
    }
}

TEST(ReplyEnd, ExceptionRepliesAreRecognisedOnlyWithTheirChecksumAndRequest) {
    struct Row {
        const char* name;
        QByteArray request, reply;
        bool exception;
    };
    const QByteArray remoteRead = hex("1600000001000700000064000200000000000000000084");
    const Row rows[] = {
        {"IllegalDataAddress", kRequest, kException, true},
        {"ToAWriteMultiple", hex("01102E3C00020400010002F54E"), withCrc(hex("019003")), true},
        {"BadChecksum", kRequest, hex("0183020000"), false},
        {"AnotherStation", kRequest, withCrc(hex("028302")), false},
        {"AnotherFunction", kRequest, withCrc(hex("018402")), false},
        {"HighBitMissing", kRequest, withCrc(hex("010302")), false},
        {"SixBytes", kRequest, withCrc(hex("01830200")), false},
        {"RemoteRequestHasNone", remoteRead, withCrc(hex("168002")), false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(plchost::isExceptionReply(r.request, r.reply), r.exception) << r.name;
}

TEST(Echo, TheEchoIsCheckedAndDiscardedBeforeTheReply) {
    QByteArray corrupted = kRequest;
    corrupted[4] = char(corrupted[4] ^ 0x10);
    struct Row {
        const char* name;
        QByteArray sent;
        const char* script;  // how `sent` is cut into bursts (see bursts())
        QByteArray reply, discarded;
        bool mismatch, timedOut;
    };
    // clang-format off
    const Row rows[] = {
        {"EchoThenReply", kRequest + kReply, "8@0 *@3", kReply, {}, false, false},
        {"EchoAndReplyInBursts", kRequest + kReply, "3@0 7@8 *@8", kReply, {}, false, false},
        {"EchoAndExceptionTogether", kRequest + kException, "*@0", kException, {}, false, false},
        {"CorruptedEchoCountsAsBad", corrupted + kReply, "8@0 *@3", {}, kReply, true, false},
        {"ShortEchoCountsAsBad", kRequest.left(5), "*@0", {}, {}, true, true},
        {"NoEchoAtAll", {}, "", {}, {}, true, true},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FarEnd far(settings(200, 60, /*echo=*/true));
        far.play({{kRequest.size(), bursts(r.sent, r.script)}});
        const Exchange ex = far.exchange(kRequest, kReply.size());
        far.join();
        EXPECT_EQ(ex.reply.toHex(), r.reply.toHex());
        EXPECT_EQ(ex.discarded.toHex(), r.discarded.toHex());
        EXPECT_EQ(ex.echoMismatch, r.mismatch);
        EXPECT_EQ(ex.timedOut, r.timedOut);
        // A missing echo is one response time-out, not two.
        EXPECT_LT(ex.doneNs - ex.sentNs, 360 * kMs);
    }
}

// Bytes that arrive after their exchange has ended are thrown away before
// the next request goes out, however they arrive.
TEST(LateBytes, NeverBecomeTheHeadOfTheNextReply) {
    const QByteArray second = withCrc(hex("0103045555AAAA"));
    const QByteArray junk = hex("FE01FF");
    struct Row {
        const char* name;
        int timeoutMs;
        std::vector<Burst> first;
        QByteArray firstReply;
        int lateBytes;
    };
    // clang-format off
    const Row rows[] = {
        {"TailOfACutReply", 300, bursts(kReply, "4@0 *@90"), kReply.left(4), 5},
        {"ReplyAfterTheTimeOut", 60, bursts(kReply, "*@90"), {}, 9},
        {"BytesBeyondReplyLen", 300, bursts(kReply + junk, "*@0"), kReply, 3},
        {"BytesAfterAnException", 300, bursts(kException + junk, "*@0"), kException, 3},
        {"StrayBytesAfterAFullReply", 300, bursts(kReply + junk, "9@0 *@2"), kReply, 3},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FarEnd far(settings(r.timeoutMs, 60));
        far.play({{kRequest.size(), r.first}, {kRequest.size(), {{1, second}}}});
        const Exchange first = far.exchange(kRequest, kReply.size());
        // Stray bytes after a whole reply are caught if they come before
        // the next request, however soon that is.
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const Exchange next = far.exchange(kRequest, second.size());
        far.join();
        EXPECT_EQ(first.reply.toHex(), r.firstReply.toHex());
        EXPECT_EQ(next.reply.toHex(), second.toHex());
        EXPECT_EQ(next.lateBytes, r.lateBytes);
        EXPECT_EQ(far.requests.size(), 2u);
    }
}

// Many exchanges with generated replies split at random places: gaps inside
// the byte timeout never split a reply, a gap beyond it only ever yields a
// prefix of this exchange's reply, and every byte the far end sent is
// either in a reply or counted as discarded.
TEST(LateBytes, GeneratedBurstScriptsOnlyEverYieldThisExchangesReplyOrAPrefixOfIt) {
    constexpr int kExchanges = 40, kByteTimeoutMs = 40;
    std::mt19937 rng(8);
    struct Planned {
        QByteArray reply;
        bool cut;
    };
    std::vector<Planned> plan;
    std::vector<Turn> script;
    int sent = 0;
    for (int i = 0; i < kExchanges; ++i) {
        QByteArray data;
        const int words = 1 + int(rng() % 12);
        for (int k = 0; k < 2 * words; ++k) data.append(char(rng()));
        const QByteArray reply = withCrc(hex("0103") + QByteArray(1, char(2 * words)) + data);
        // A cut reply comes in two bursts 60 ms apart, beyond the byte
        // timeout; any other in up to four, at most 8 ms apart.
        const bool cut = rng() % 5 == 0;
        std::vector<Burst> bursts;
        if (cut) {
            const int k = 1 + int(rng() % (reply.size() - 1));
            bursts = {{0, reply.left(k)}, {60, reply.mid(k)}};
        } else {
            for (int from = 0, piece = 0; from < reply.size(); ++piece) {
                const int take = piece == 3 ? reply.size() - from : 1 + int(rng() % reply.size());
                bursts.push_back({piece == 0 ? 0 : int(rng() % 9), reply.mid(from, take)});
                from += take;
            }
        }
        // Now and then bytes beyond the reply's length, in its last burst.
        if (rng() % 6 == 0) bursts.back().bytes += hex("00FF");
        for (const Burst& b : bursts) sent += b.bytes.size();
        plan.push_back({reply, cut});
        script.push_back({kRequest.size(), bursts});
    }
    FarEnd far(settings(150, kByteTimeoutMs));
    far.play(script);
    int received = 0, cuts = 0;
    for (int i = 0; i < kExchanges; ++i) {
        const Exchange ex = far.exchange(kRequest, plan[size_t(i)].reply.size());
        const QByteArray& want = plan[size_t(i)].reply;
        received += ex.reply.size() + ex.lateBytes;
        if (plan[size_t(i)].cut) {
            ++cuts;
            EXPECT_TRUE(ex.gapEnded) << i;
            EXPECT_TRUE(want.startsWith(ex.reply) && ex.reply.size() < want.size()) << i;
        } else {
            EXPECT_EQ(ex.reply.toHex(), want.toHex()) << i;
        }
    }
    far.join();
    // What was still on its way after the last exchange comes out with the next.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Exchange last = far.exchange(kRequest, -1);
    EXPECT_EQ(received + last.lateBytes, sent);
    EXPECT_GT(cuts, 3);
}

TEST(Open, DirectionControlAndSettingsADeviceRefusesAreErrorsOrWarnings) {
    int master = -1, slave = -1;
    char name[256] = {0};
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(::openpty(&master, &slave, name, &raw, nullptr), 0);
    struct Row {
        const char* name;
        LinkSettings::Direction direction;
        int byteTimeoutMs, baud;
        const char* error;  // nullptr: opens
    };
    const Row rows[] = {
        {"Plain", LinkSettings::Direction::None, 50, 19200, nullptr},
        {"ReopenedWithParity", LinkSettings::Direction::None, 50, 19200, nullptr},
        {"KernelRs485", LinkSettings::Direction::KernelRs485, 50, 19200, "refuses RS-485 mode"},
        {"ManualRts", LinkSettings::Direction::ManualRts, 50, 19200, "refuses RTS control"},
        {"ZeroByteTimeout", LinkSettings::Direction::None, 0, 19200, "at least 1 ms"},
        {"OddBaud", LinkSettings::Direction::None, 50, 12345, "unsupported baud rate 12345"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LinkSettings s;
        s.device = name;
        s.direction = r.direction;
        s.byteTimeoutMs = r.byteTimeoutMs;
        s.baud = r.baud;
        plchost::SerialLink link;
        std::string err;
        const bool opened = link.open(s, &err);
        EXPECT_EQ(opened, r.error == nullptr) << err;
        EXPECT_EQ(link.isOpen(), opened);
        if (r.error) {
            EXPECT_NE(err.find(r.error), std::string::npos) << err;
        } else {
            // A pty keeps no parity flag: a warning, never a failure.
            EXPECT_FALSE(link.warnings().empty());
        }
    }
    ::close(master);
    ::close(slave);
}

}  // namespace
