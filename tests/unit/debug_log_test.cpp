// The debug log handler.
#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRegExp>

#include "test_support.h"

namespace plctest {
namespace {

TEST(DebugLog, MessagesOfEveryTypeAreAppendedAsLinesStampedToTheMillisecond) {
    TempDir dir;
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(dir.isValid() && QDir::setCurrent(dir.path()));
    // clang-format off
    const std::pair<QtMsgType, const char*> rows[] = {{QtDebugMsg, "abc"}, {QtFatalMsg, "fatal: the handler still returns"},
                                                      {QtWarningMsg, ""}, {QtDebugMsg, "StringAddressToInt error 20 \"a b\" "}};
    // clang-format on
    // Start early in a second, where a zero-padded millisecond field would start with 0.
    QDateTime before = QDateTime::currentDateTime();
    while (before.time().msec() < 5 || before.time().msec() > 50)
        before = QDateTime::currentDateTime();
    for (const auto& r : rows) customMessageHandler(r.first, r.second);
    const QDateTime after = QDateTime::currentDateTime();
    QFile file(QLatin1String("debug.log"));
    const bool opened = file.open(QIODevice::ReadOnly);
    const QString all = QString::fromLocal8Bit(file.readAll());
    QDir::setCurrent(oldCwd);
    ASSERT_TRUE(opened && all.endsWith('\n'));

    // yyyy.MM.dd.hh:mm:ss.z: the milliseconds without leading zeros.
    QRegExp re(QLatin1String(
        "(\\d{4})\\.(\\d\\d)\\.(\\d\\d)\\.(\\d\\d):(\\d\\d):(\\d\\d)\\.(0|[1-9]\\d{0,2}):(.*)"));
    const QStringList lines = all.left(all.size() - 1).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), int(std::size(rows)));
    for (int i = 0; i < lines.size(); ++i) {
        const std::string line = lines[i].toStdString();
        ASSERT_TRUE(re.exactMatch(lines[i])) << line;
        auto n = [&](int k) { return re.cap(k).toInt(); };
        const QDateTime when(QDate(n(1), n(2), n(3)), QTime(n(4), n(5), n(6), n(7)));
        EXPECT_TRUE(before <= when && when <= after) << line;
        EXPECT_TRUE(i > 0 || when.time().msec() < 100);  // the case a padded field would fail
        EXPECT_EQ(re.cap(8).toStdString(), rows[i].second);
    }
}

}  // namespace
}  // namespace plctest
