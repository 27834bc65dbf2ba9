// Feeds arbitrary wire bytes to the reply path. The first bytes of the input
// choose the request in flight (register type, station, count, read or
// write, local or remote framing, retry limit); the rest is cut into replies
// handed to DataCom one after another, with length arguments that may
// disagree with the bytes. Whatever arrives, the driver must not crash, read
// out of bounds or leave the pending frames inconsistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver_internal.h"

namespace {

void noDone(int32_t, int32_t, int32_t, int32_t) {}
void noFail(QList<RW_VAR>, int32_t, int32_t) {}
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void reset(COMINFO& info) {
    Communication_Protocol& d = PLC_driver;
    d.readList.clear();
    d.writeList.clear();
    d.onceReadList.clear();
    d.pendingFrames.clear();
    d.stationsOff.clear();
    d.lastList = 100;
    d.writeBurst = d.onceBurst = d.okCount = 0;
    d.failFlag = false;
    d.inFlight = emptyRwVar();
    d.inFlightValid = false;
    d.bitPatch = {};
    if (DataStorage.size() > 64) DataStorage.clear();
    info = COMINFO{};
    SetComInfo(&info);
    RegistCallBackFuncIntf(noDone, noFail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = (qInstallMessageHandler(quiet), true);
    (void)once;
    static COMINFO info;
    if (size < 6) return 0;
    reset(info);
    info.retryMax = data[0] % 3;
    info.blockSize = 1 + data[1] % 64;
    info.remoteMode = data[2] & 1;
    info.ownLinkNo = 0;

    RW_VAR v = emptyRwVar();
    v.regType = data[3] % 27;
    v.station = data[4] % 4;
    v.count = 1 + data[5] % 40;
    v.addr = data[2] >> 1;
    v.direction = (data[1] & 0x80) ? 1 : 0;
    v.linkNo = (data[0] & 0x80) ? 1 : 0;
    v.value =
        QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size < 8 ? size : 8));
    if (v.direction == 1) {
        AddListWriteVar(&v, 1);
    } else {
        AddListReadVar(&v);
    }

    size_t pos = 6;
    for (int round = 0; round < 16 && pos <= size; ++round) {
        if (!ComCommunication()) break;
        const size_t want = pos < size ? data[pos++] % 48 : 0;
        const size_t take = want < size - pos ? want : size - pos;
        QByteArray reply(reinterpret_cast<const char*>(data + pos), static_cast<int>(take));
        pos += take;
        const int32_t lenArg =
            (round % 5 == 4) ? static_cast<int32_t>(take) + 3 : static_cast<int32_t>(take);
        DataCom(&reply, lenArg);
        if (PLC_driver.pendingFrames.size() > 2) abort();
    }
    return 0;
}
