// Shared fixture and helpers for the driver's unit tests.
#ifndef PLC_TEST_SUPPORT_H
#define PLC_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <QtCore/QStringList>
#include <string>
#include <vector>

#include "driver_internal.h"
#include "qt_shim.h"

namespace plctest {

// Hex text ("01 03 00 0A") to bytes; toHex (qt_shim.h) is the way back.
QByteArray hex(const char* text);

struct DoneCall {
    int hostHandle, kind, id, result;
};
struct FailCall {
    int listSize, kind, one;
};
// Everything the callbacks and the Qt message handler saw during one test.
struct Recorder {
    std::vector<DoneCall> done;
    std::vector<FailCall> fails;
    QStringList messages;  // exact texts; any but debug messages get "[type N] " in front
};
Recorder& recorder();

// "station:type:addr:count" per record, blank-separated, with "=VALUEHEX" if `values`.
std::string listText(const QList<RW_VAR>& list, bool values = false);
// Every field in declaration order, blank-separated, the value in hex.
std::string recordText(const RW_VAR& v);

// Puts the driver, the image and the recorder back to their load-time state,
// hands the driver `info` and the recording callbacks, captures diagnostics.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    RW_VAR var(int regType, int addr, int count, int station = 1) const;
    std::string takeMessages();  // captured since the last call, joined by '|'

    COMINFO info{};
    Recorder& rec = recorder();
};

// Resets PLC_driver and DataStorage without going through the host API.
void resetDriver();

}  // namespace plctest

#endif
