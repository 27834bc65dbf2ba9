#include "driver_reset.h"

#include "driver_internal.h"

namespace plctest {

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

}  // namespace plctest
