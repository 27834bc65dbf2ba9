#include "test_support.h"

#include <QtCore/QtGlobal>

namespace plctest {

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text)); }

QString toHex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

Recorder& recorder() {
    static Recorder r;
    return r;
}

namespace {
void recordDone(int32_t h, int32_t k, int32_t i, int32_t r) {
    recorder().done.push_back({h, k, i, r});
}
void recordFail(QList<RW_VAR> vars, int32_t kind, int32_t one) {
    recorder().fails.push_back({static_cast<int>(vars.size()), kind, one});
}
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& msg) {
    recorder().messages << msg;
}
QtMessageHandler previousHandler = nullptr;
}  // namespace

void resetDriver() {
    Communication_Protocol& d = PLC_driver;
    d.comInfo = nullptr;
    d.readList.clear();
    d.writeList.clear();
    d.onceReadList.clear();
    d.pendingFrames.clear();
    d.varDoneCallback = nullptr;
    d.failCallback = nullptr;
    d.stationsOff.clear();
    d.retVar = emptyRwVar();
    d.lastList = 100;
    d.writeBurst = 0;
    d.onceBurst = 0;
    d.okCount = 0;
    d.failFlag = false;
    DataStorage.clear();
}

void DriverTest::SetUp() {
    resetDriver();
    rec.done.clear();
    rec.fails.clear();
    rec.messages.clear();
    info.blockSize = 32;
    info.defStation = 1;
    info.retryMax = 2;
    info.runMode = 2;
    info.hostHandle = 77;
    SetComInfo(&info);
    RegistCallBackFuncIntf(recordDone, recordFail);
    previousHandler = qInstallMessageHandler(captureMessage);
}

void DriverTest::TearDown() {
    qInstallMessageHandler(previousHandler);
    resetDriver();
}

RW_VAR DriverTest::var(int regType, int addr, int count, int station) const {
    RW_VAR v = emptyRwVar();
    v.regType = regType;
    v.addr = addr;
    v.count = count;
    v.station = station;
    v.addrText = QString::number(addr);
    return v;
}

}  // namespace plctest
