#include "test_support.h"

namespace plctest {

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text)); }

Recorder& recorder() {
    static Recorder r;
    return r;
}

std::string listText(const QList<RW_VAR>& list, bool values) {
    std::string out;
    for (const RW_VAR& v : list) {
        if (!out.empty()) out += ' ';
        out += format("%d:%d:%d:%d", v.station, v.regType, v.addr, v.count);
        if (values) out += '=' + std::string(v.value.toHex().toUpper().constData());
    }
    return out;
}

std::string recordText(const RW_VAR& v) {
    return format("%d %d %d %d %d %d ", v.kind, v.id, v.direction, v.framingMode, v.linkNo,
                  v.status) +
           (v.name + ' ' + v.addrText).toStdString() +
           format(" %d %d %d %d %d %d ", v.regType, v.addr, v.station, v.count, v.special,
                  v.extra) +
           std::string(v.value.toHex().toUpper().constData());
}

void resetDriver() {
    Communication_Protocol& d = PLC_driver;
    d.comInfo = nullptr;
    d.readList = d.writeList = d.onceReadList = QList<RW_VAR>();
    d.pendingFrames.clear();
    RegistCallBackFuncIntf(nullptr, nullptr);
    d.stationsOff.clear();
    d.retVar = emptyRwVar();
    d.lastList = 100;
    d.writeBurst = d.onceBurst = d.okCount = 0;
    d.failFlag = false;
    d.inFlight = emptyRwVar();
    d.inFlightValid = false;
    d.bitPatch = {};
    DataStorage.clear();
}

void DriverTest::SetUp() {
    resetDriver();
    rec = Recorder();
    // blockSize 32, defStation 1, retryMax 2, runMode 2, hostHandle 77.
    info = COMINFO{0, 0, 0, 0, 32, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 77};
    SetComInfo(&info);
    // clang-format off
    RegistCallBackFuncIntf([](int32_t h, int32_t k, int32_t i, int32_t r) { recorder().done.push_back({h, k, i, r}); },
                           [](QList<RW_VAR> v, int32_t k, int32_t one) { recorder().fails.push_back({v.size(), k, one}); });
    installMessageSink([](QtMsgType t, const QString& m) {
        recorder().messages << (t == QtDebugMsg ? m : QString::fromLatin1("[type %1] ").arg(t) + m); });
    // clang-format on
}

void DriverTest::TearDown() {
    restoreMessageHandler();
    resetDriver();
}

RW_VAR DriverTest::var(int regType, int addr, int count, int station) const {
    return {0, 0, 0, 0, 0, 0, {}, QString::number(addr), regType, addr, station, count, 0, 0, {}};
}

std::string DriverTest::takeMessages() {
    const std::string all = rec.messages.join(QLatin1String("|")).toStdString();
    rec.messages.clear();
    return all;
}

}  // namespace plctest
