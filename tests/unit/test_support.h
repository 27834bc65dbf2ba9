// Shared fixture for the driver's unit tests: a fresh driver state per test,
// a host COMINFO block, recorded callbacks and captured diagnostics.
#ifndef PLC_TEST_SUPPORT_H
#define PLC_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <vector>

#include "driver_internal.h"

namespace plctest {

// Hex text ("01 03 00 0A") to bytes and back.
QByteArray hex(const char* text);
QString toHex(const QByteArray& bytes);

struct DoneCall {
    int hostHandle, kind, id, result;
};
struct FailCall {
    int listSize, kind, one;
};

// Everything the callbacks and the message handler saw during one test.
struct Recorder {
    std::vector<DoneCall> done;
    std::vector<FailCall> fails;
    QStringList messages;  // exact texts that reached the Qt message handler
};
Recorder& recorder();

// Puts the driver, the register image and the recorder back to their
// load-time state, hands the driver `info` and registers the recording
// callbacks. Diagnostics are captured for the duration of the fixture.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    RW_VAR var(int regType, int addr, int count, int station = 1) const;

    COMINFO info{};
    Recorder& rec = recorder();
};

// Resets PLC_driver and DataStorage without going through the host API.
void resetDriver();

}  // namespace plctest

#endif
