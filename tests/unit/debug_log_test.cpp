// The debug log handler and the way diagnostics reach a message handler.
#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <utility>
#include <vector>

#include "test_support.h"

namespace plctest {
namespace {

// One parsed line of the log.
struct LogLine {
    QDateTime when;
    QString millis;  // the millisecond field as written
    QString text;
};

bool parseLine(const QString& line, LogLine* out) {
    // Milliseconds without leading zeros: "0", or 1 to 3 digits not starting with 0.
    static const QRegularExpression re(QStringLiteral(
        "^(\\d{4})\\.(\\d{2})\\.(\\d{2})\\.(\\d{2}):(\\d{2}):(\\d{2})\\.(0|[1-9]\\d{0,2}):(.*)$"));
    const QRegularExpressionMatch m = re.match(line);
    if (!m.hasMatch()) return false;
    auto n = [&](int i) { return m.captured(i).toInt(); };
    out->when = QDateTime(QDate(n(1), n(2), n(3)), QTime(n(4), n(5), n(6), n(7)));
    out->millis = m.captured(7);
    out->text = m.captured(8);
    return out->when.isValid();
}

class DebugLogTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_TRUE(dir_.isValid());
        oldCwd_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    }
    void TearDown() override {
        QDir::setCurrent(oldCwd_);
        DriverTest::TearDown();
    }
    QByteArray logBytes() const {
        QFile f(dir_.filePath(QStringLiteral("debug.log")));
        if (!f.open(QIODevice::ReadOnly)) return QByteArray();
        return f.readAll();
    }
    // Every line must end in a line feed; returns them without it.
    std::vector<LogLine> logLines() const {
        const QByteArray bytes = logBytes();
        EXPECT_TRUE(bytes.isEmpty() || bytes.endsWith('\n'));
        std::vector<LogLine> lines;
        QList<QByteArray> raw = bytes.split('\n');
        raw.removeLast();
        for (const QByteArray& r : raw) {
            LogLine l;
            EXPECT_TRUE(parseLine(QString::fromLocal8Bit(r), &l)) << r.constData();
            lines.push_back(l);
        }
        return lines;
    }
    // Calls the handler and checks that the stamp lies between the moments
    // before and after the call.
    void logAndCheckStamp(QtMsgType type, const char* msg) {
        const QDateTime before = QDateTime::currentDateTime();
        customMessageHandler(type, msg);
        const QDateTime after = QDateTime::currentDateTime();
        const std::vector<LogLine> lines = logLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_GE(lines.back().when, before);
        EXPECT_LE(lines.back().when, after);
        EXPECT_EQ(lines.back().text, QString::fromLatin1(msg));
    }

    QTemporaryDir dir_;
    QString oldCwd_;
};

TEST_F(DebugLogTest, EachMessageIsAppendedAsOneTimeStampedLine) {
    logAndCheckStamp(QtDebugMsg, "abc");
    logAndCheckStamp(QtDebugMsg, "second line");
    logAndCheckStamp(QtDebugMsg, "");
    const std::vector<LogLine> lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, QStringLiteral("abc"));
    EXPECT_EQ(lines[1].text, QStringLiteral("second line"));
    EXPECT_EQ(lines[2].text, QString());
    EXPECT_LE(lines[0].when, lines[2].when);
}

TEST_F(DebugLogTest, EveryMessageTypeIsWrittenAndTheHandlerReturns) {
    const std::pair<QtMsgType, const char*> rows[] = {
        {QtDebugMsg, "debug"},
        {QtInfoMsg, "info"},
        {QtWarningMsg, "warning"},
        {QtCriticalMsg, "critical"},
        {QtFatalMsg, "fatal: still returns"},
    };
    for (const auto& r : rows) logAndCheckStamp(r.first, r.second);
    EXPECT_EQ(logLines().size(), 5u);
}

TEST_F(DebugLogTest, MillisecondsBelowOneHundredAreWrittenWithoutLeadingZeros) {
    // Wait for a moment early in a second, where a zero-padded field would
    // start with 0.
    QDateTime before;
    for (int i = 0; i < 2000000; ++i) {
        before = QDateTime::currentDateTime();
        const int ms = before.time().msec();
        if (ms >= 5 && ms <= 50) break;
    }
    ASSERT_LE(before.time().msec(), 50);
    customMessageHandler(QtDebugMsg, "early");
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_EQ(before.toSecsSinceEpoch(), after.toSecsSinceEpoch());
    ASSERT_LT(after.time().msec(), 100);
    const std::vector<LogLine> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].millis, QString::number(lines[0].when.time().msec()));
    EXPECT_LE(lines[0].millis.size(), 2);
    EXPECT_GE(lines[0].when, before);
    EXPECT_LE(lines[0].when, after);
}

// Qt 5 no longer installs Qt 4 handlers directly; a host wraps it.
void qt4StyleAdapter(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    customMessageHandler(type, msg.toLocal8Bit().constData());
}

TEST_F(DebugLogTest, AQt5HostInstallsTheHandlerThroughAnAdapterAndGetsExactLines) {
    const QtMessageHandler previous = qInstallMessageHandler(qt4StyleAdapter);
    getPlcReg(40);
    StringAddressToInt(7, QStringLiteral("x1"));
    qDebug("host line");
    qInstallMessageHandler(previous);

    const QByteArray bytes = logBytes();
    const QList<QByteArray> raw = bytes.split('\n');
    ASSERT_EQ(raw.size(), 4);  // three lines and the empty rest after the last
    EXPECT_TRUE(raw[0].endsWith(":getPlcReg default 40 ")) << raw[0].constData();
    EXPECT_TRUE(raw[1].endsWith(":StringAddressToInt error 7 \"x1\" ")) << raw[1].constData();
    EXPECT_TRUE(raw[2].endsWith(":host line")) << raw[2].constData();
    EXPECT_TRUE(raw[3].isEmpty());
    EXPECT_EQ(logLines().size(), 3u);
    // Nothing reached the capturing handler while the adapter was installed.
    EXPECT_TRUE(rec.messages.isEmpty());
}

std::vector<std::pair<QtMsgType, QString>>* seen = nullptr;
void recordTyped(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (seen) seen->push_back({type, msg});
}

TEST_F(DebugLogTest, DriverDiagnosticsArriveAsDebugMessagesWithTheirTrailingBlank) {
    std::vector<std::pair<QtMsgType, QString>> got;
    seen = &got;
    const QtMessageHandler previous = qInstallMessageHandler(recordTyped);
    getPlcReg(-7);
    RW_VAR v = emptyRwVar();
    v.regType = 31;
    v.addr = 2;
    v.count = 3;
    updateRwVar(&v);
    ControlInformationM info{1, 99, 0, 1};
    checkTheStorage(info);
    StringAddressToInt(20, QStringLiteral("a b"));
    qInstallMessageHandler(previous);
    seen = nullptr;

    const QStringList want{QStringLiteral("getPlcReg default -7 "),
                           QStringLiteral("updateRwVar 31 2 3 "),
                           QStringLiteral("**** ERROR checkTheStorage default "),
                           QStringLiteral("StringAddressToInt error 20 \"a b\" ")};
    ASSERT_EQ(got.size(), size_t(want.size()));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].first, QtDebugMsg) << i;
        EXPECT_EQ(got[i].second, want[int(i)]);
    }
}

}  // namespace
}  // namespace plctest
