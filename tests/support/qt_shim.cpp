#include "qt_shim.h"

#include <QtCore/QDir>
#include <QtCore/QStringList>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace plctest {

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    std::vector<char> buf(std::vsnprintf(nullptr, 0, fmt, args) + 1);
    va_end(args);
    std::vsnprintf(buf.data(), buf.size(), fmt, again);
    va_end(again);
    return std::string(buf.data());
}

QString toHex(const QByteArray& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    QString out;
    for (int i = 0; i < bytes.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (i > 0) out += QLatin1Char(' ');
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 15]);
    }
    return out;
}

TempDir::TempDir() {
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/plcdriver-test-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = QString::fromLocal8Bit(pattern);
}

TempDir::~TempDir() {
    if (!isValid()) return;
    QDir dir(path_);
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& f : files) dir.remove(f);
    dir.rmdir(path_);
}

QString TempDir::filePath(const char* name) const {
    return path_ + QLatin1Char('/') + QString::fromLocal8Bit(name);
}

namespace {
MessageSink sink = nullptr;
}

#if QT_VERSION >= QT_VERSION_CHECK(5, 0, 0)
namespace {
QtMessageHandler previous = nullptr;
void forward(QtMsgType type, const QMessageLogContext&, const QString& text) { sink(type, text); }
}  // namespace
void installMessageSink(MessageSink s) {
    sink = s;
    previous = qInstallMessageHandler(forward);
}
void restoreMessageHandler() { qInstallMessageHandler(previous); }
#else
// Qt 4 hands the handler the bytes given to qDebug("%s", ...) unchanged.
namespace {
QtMsgHandler previous = nullptr;
void forward(QtMsgType type, const char* text) { sink(type, QString::fromUtf8(text)); }
}  // namespace
void installMessageSink(MessageSink s) {
    sink = s;
    previous = qInstallMsgHandler(forward);
}
void restoreMessageHandler() { qInstallMsgHandler(previous); }
#endif

}  // namespace plctest
