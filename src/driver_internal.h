// Driver internals shared between the subsystem sources (and the unit tests,
// which link the static build of the library). Nothing here is exported.
#ifndef PLC_DRIVER_INTERNAL_H
#define PLC_DRIVER_INTERNAL_H

#include <QtCore/QMutex>
#include <atomic>
#include <cstdint>

#include "plc_driver.h"

// ---------------------------------------------------------------------------
// The one driver object.
class Communication_Protocol {
public:
    Communication_Protocol();
    ~Communication_Protocol();
    Communication_Protocol(const Communication_Protocol&) = delete;
    Communication_Protocol& operator=(const Communication_Protocol&) = delete;

    COMINFO* comInfo;
    QList<RW_VAR> readList;
    QList<RW_VAR> writeList;
    QList<RW_VAR> onceReadList;
    QList<RW_VAR> spareList;
    QList<Protocol> pendingFrames;
    QList<EXTENDVAR> extendList;
    VarDoneCallback varDoneCallback;
    FailCallback failCallback;
    QMutex listMutex;
    QMutex storageMutex;
    QMutex stationMutex;
    QMap<int32_t, int32_t> stationsOff;
    RW_VAR retVar;
    int32_t lastList;
    int32_t writeBurst;
    int32_t onceBurst;
    int32_t okCount;
    // Written by the polling thread (DataCom) and by host threads
    // (SetRegisterData) without a common lock, hence atomic.
    std::atomic<bool> failFlag;
};

// Locks one of the driver's mutexes for a scope. Under ThreadSanitizer the
// lock is also announced to the race detector: QMutex's contended path lives
// in the uninstrumented Qt library, so without the annotations the detector
// misses the ordering it provides.
class DriverLock {
public:
    explicit DriverLock(QMutex& m);
    ~DriverLock();
    DriverLock(const DriverLock&) = delete;
    DriverLock& operator=(const DriverLock&) = delete;

private:
    QMutex& m_;
};

// ---------------------------------------------------------------------------
// Diagnostics. Items are written the way the host's Qt 4 debug stream wrote
// them: each followed by one blank, texts in double quotes, so the message
// that reaches the handler ends in a blank. Qt 5's QDebug trims that blank,
// so the line is assembled here and handed over in one piece.
class Diag {
public:
    explicit Diag(const char* literal);
    ~Diag();
    Diag(const Diag&) = delete;
    Diag& operator=(const Diag&) = delete;
    Diag& operator<<(long long n);
    Diag& operator<<(const QString& text);

private:
    QByteArray line_;
};

// ---------------------------------------------------------------------------
// Bounds that keep bad host input from exhausting memory or time. Each is far
// above what a controller on a 16-bit Modbus address space can use.
//
// Largest register-image area in bytes (8 Mi registers of a word area).
constexpr int64_t kMaxAreaBytes = int64_t(16) << 20;
// Largest unit count one host access or one registered variable may have:
// the whole 16-bit address space of one area.
constexpr int32_t kMaxUnits = 65536;
// Capacity of the merging paths of the write and once-read lists.
constexpr int kListCapacity = 1024;

// ---------------------------------------------------------------------------
// Driver core.
void passRetValue(const RW_VAR& from, RW_VAR& to);
bool Ethernetcontains(int32_t station);
int CheckGetData(QByteArray* reply, int32_t len);
int DealDataOfLocalArea(QByteArray* reply, int32_t len);
int DealDataOfRemoteArea(QByteArray* reply, int32_t len);
int GetDriverReturnValue(int number);
int SwitchErrorReturn(int base);
// A record with every integer 0, strings and bytes empty.
RW_VAR emptyRwVar();

// Register types and address parsing.
int getPlcReg(int type);
int StringAddressToInt(int type, QString text);
int updateRwVar(RW_VAR* var);
inline bool isBitArea(int type) { return type >= 0 && type <= 6; }
inline bool isBitInWord(int type) { return type >= 20 && type <= 23; }
inline bool isWordArea(int type) { return (type >= 7 && type <= 19) || type == 24 || type == 25; }

// Read-list rebuild helpers (caller holds listMutex).
void Bubble_Sort(QList<RW_VAR>* list);
void BitVarReCreat_1(QList<RW_VAR>* group);
void BitVarReCreat_2(QList<RW_VAR>* group, int gap);
void BitVarReCreat_3(QList<RW_VAR>* group, int limit);
void WhetherGroup(int total, int limit, RW_VAR* var, QList<RW_VAR>* out);

// Register image.
struct ControlInformationM {
    int32_t station;
    int32_t regType;
    int32_t addr;
    int32_t count;
};
void checkTheStorage(ControlInformationM& info);
void SaveToLocalDataErea(QByteArray* reply);
void SpecialRegisterSave(QByteArray* reply);
void WriteDataToLocal(RW_VAR* var);

#endif  // PLC_DRIVER_INTERNAL_H
