// The few test helpers whose Qt API differs between the two flavours the
// driver is built against (Qt 4.8 and Qt 5.15). Tests use these and the API
// both Qt versions share, so one set of tests serves both builds.
#ifndef PLC_TEST_QT_SHIM_H
#define PLC_TEST_QT_SHIM_H

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QtGlobal>
#include <string>

namespace plctest {

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Bytes as upper-case hex pairs separated by one blank ("01 03 0A").
QString toHex(const QByteArray& bytes);

// A fresh folder under the system's temporary folder, removed with the files
// directly inside it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool isValid() const { return !path_.isEmpty(); }
    QString path() const { return path_; }
    QString filePath(const char* name) const;

private:
    QString path_;
};

// Routes every Qt message (qDebug and the rest) to `sink`, with the text as
// it reached the message handler, until restoreMessageHandler().
using MessageSink = void (*)(QtMsgType type, const QString& text);
void installMessageSink(MessageSink sink);
void restoreMessageHandler();

}  // namespace plctest

#endif
