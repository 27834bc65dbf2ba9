// Controller communication driver: the records and entry points a panel
// runtime builds against.
//
// The records below are shared with the host byte for byte. On 32-bit ARM
// Linux every integer is a 32-bit little-endian word and every QString /
// QByteArray is one pointer, the single d-pointer of Qt 4 and of Qt 5. What
// that pointer leads to differs between the two (string, list and map data
// are laid out differently), so the library and its host must use the same
// Qt: the library's Qt 4 build serves a Qt 4 host, its Qt 5 build a Qt 5
// host. The layout is checked at compile time at the end of this header; do
// not reorder or insert fields.
//
// The header compiles as C++98 too, as a Qt 4 host may be built; the layout
// check needs C++11.
//
// Byte order conventions used throughout:
//   - multi-byte fields of both framings and the register bytes inside
//     RW_VAR::value are high byte first;
//   - the register image and the host's register buffers are low byte first;
//   - the Modbus CRC goes on the wire low byte first.
#ifndef PLC_DRIVER_H
#define PLC_DRIVER_H

#include <stddef.h>
#include <stdint.h>

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QMap>
#include <QtCore/QString>
#include <QtCore/QtGlobal>

#if defined(PLC_DRIVER_BUILDING)
#define PLC_DRIVER_EXPORT __attribute__((visibility("default")))
#else
#define PLC_DRIVER_EXPORT
#endif

// One variable, or one piece of one, to read or write.
struct RW_VAR {
    int32_t kind;         // host key; 0..11 selects the fine status code
    int32_t id;           // second host key
    int32_t direction;    // 0 read, 1 write
    int32_t framingMode;  // copy of COMINFO::remoteMode, not interpreted
    int32_t linkNo;       // != COMINFO::ownLinkNo: reply handled as remote
    int32_t status;       // status code in the record DataCom returns
    QString name;         // host text, never parsed
    QString addrText;     // address as text, parsed with regType
    int32_t regType;      // register-type code 0..25
    int32_t addr;         // bit or word number inside the area
    int32_t station;      // controller station; 0 = broadcast
    int32_t count;        // bits for bit areas, words for word areas
    int32_t special;      // -1: read half of a bit-in-word write
    int32_t extra;        // carried through, sent in remote frames
    QByteArray value;     // write value, wire order (high byte first)
};

// One queued request frame with what its reply must look like.
struct Protocol {
    QByteArray frame;
    int32_t frameLen;  // bytes of frame to send
    int32_t replyLen;  // exact reply length; -1 any, 0 none expected
    int32_t dataPos;   // first data byte in the reply (3 reads, 0 writes)
    int32_t dataLen;   // data bytes in the reply (0 for writes)
    RW_VAR var;        // full copy of the variable the frame was built for
    int32_t reserved1;
    int32_t reserved2;
    int32_t reserved3;
};

// The host's communication-information block. Word n lies at byte 4n; the
// driver leaves the reserved words alone.
struct COMINFO {
    int32_t reserved0;
    int32_t reserved1;
    int32_t reserved2;
    int32_t reserved3;
    int32_t blockSize;  // word 4: largest unit count per request
    int32_t reserved5;
    int32_t defStation;      // word 6
    int32_t retryMax;        // word 7
    int32_t retryCount;      // word 8
    int32_t multiStation;    // word 9
    int32_t cleared10;       // word 10: zeroed by SetComInfo
    int32_t framesExpected;  // word 11
    int32_t framesDone;      // word 12
    int32_t cleared13;       // word 13: zeroed by SetComInfo
    int32_t remoteMode;      // word 14: nonzero selects the remote framing
    int32_t ownLinkNo;       // word 15
    int32_t runMode;         // word 16: 2 sends host writes to the controller
    int32_t finishFlag;      // word 17
    int32_t hostHandle;      // word 18: first argument of varDoneCallback
};

// Element of the driver's (always empty) extension list.
struct EXTENDVAR {
    int32_t field0;
    int32_t field1;
    int32_t field2;
    QByteArray data;
};

// The host's description of one variable to poll (read-list rebuild).
struct VARDESC {
    uint8_t reserved0;
    uint8_t regType;  // offset 1
    uint8_t station;  // offset 2, used when COMINFO::multiStation != 0
    uint8_t reserved3;
    int32_t reserved4;
    QString addrText;  // offset 8
    QString name;      // offset 12
    int32_t count;     // offset 16
};

typedef void (*VarDoneCallback)(int32_t hostHandle, int32_t kind, int32_t id, int32_t result);
typedef void (*FailCallback)(QList<RW_VAR> vars, int32_t kind, int32_t one);

class Communication_Protocol;

// ---------------------------------------------------------------------------
// Entry points the host looks up by their plain names.
extern "C" {
PLC_DRIVER_EXPORT void SetComInfo(COMINFO* info);
PLC_DRIVER_EXPORT void FlashLocalRegister(int32_t lb, int32_t lw, int32_t rwi);
PLC_DRIVER_EXPORT void RegistCallBackFuncIntf(VarDoneCallback varDone, FailCallback fail);
PLC_DRIVER_EXPORT int32_t QueryFinishFlag();
PLC_DRIVER_EXPORT void EnCommStation(int32_t station, int32_t mode);
PLC_DRIVER_EXPORT void EnableEthernet(int32_t station, int32_t mode);

PLC_DRIVER_EXPORT Protocol* ComCommunication();
PLC_DRIVER_EXPORT RW_VAR* DataCom(QByteArray* reply, int32_t len);

PLC_DRIVER_EXPORT int32_t AddListReadVar(RW_VAR* var);
PLC_DRIVER_EXPORT int32_t AddListWriteVar(RW_VAR* var, int32_t mode);
PLC_DRIVER_EXPORT int32_t AddListOnceReadVar(RW_VAR* var, int32_t mode);
PLC_DRIVER_EXPORT int32_t ReCreatReadVarList(QList<VARDESC>* descs);
PLC_DRIVER_EXPORT int32_t PLCAddressChangeIntef(int32_t type, QString text);

PLC_DRIVER_EXPORT int32_t GetRegisterData(void* unused, int32_t type, QString& addrText,
                                          int32_t station, QByteArray* out, int32_t count);
PLC_DRIVER_EXPORT int32_t SetRegisterData(QString& name, int32_t type, QString& addrText,
                                          int32_t station, QByteArray& values, int32_t count,
                                          int32_t kind, int32_t id);

// Qt 4 style message handler: appends time-stamped lines to "debug.log" in
// the working directory. Exported, never installed by the driver itself.
PLC_DRIVER_EXPORT void customMessageHandler(QtMsgType type, const char* msg);

// Host pointers stored by FlashLocalRegister; the driver never reads them.
PLC_DRIVER_EXPORT extern int32_t LB;
PLC_DRIVER_EXPORT extern int32_t LW;
PLC_DRIVER_EXPORT extern int32_t RWI;
}

// The driver object and the register image (station -> area code -> bytes).
PLC_DRIVER_EXPORT extern Communication_Protocol PLC_driver;
PLC_DRIVER_EXPORT extern QMap<int, QMap<int, QByteArray> > DataStorage;

// ---------------------------------------------------------------------------
// Helpers exported under their typed (C++) names.
PLC_DRIVER_EXPORT unsigned short CalSUM(unsigned char* buf, unsigned short len);
PLC_DRIVER_EXPORT unsigned short CalCRC(unsigned char* buf, unsigned short len);
PLC_DRIVER_EXPORT int CalLRC(unsigned char* buf, unsigned short len);
PLC_DRIVER_EXPORT unsigned short CalXOR(unsigned char* buf, unsigned short len);
PLC_DRIVER_EXPORT int DigitalToASCII(int digit);
PLC_DRIVER_EXPORT int ASCIIToDigital(int ch);
PLC_DRIVER_EXPORT int getOffsetAddress(int type);

PLC_DRIVER_EXPORT void ReadRegister(RW_VAR* var);
PLC_DRIVER_EXPORT void ReadAnalog(RW_VAR* var);
PLC_DRIVER_EXPORT void WriteRegister(RW_VAR* var);
PLC_DRIVER_EXPORT void WriteAnalog(RW_VAR* var);
PLC_DRIVER_EXPORT void Remote_ReadVar(RW_VAR* var);
PLC_DRIVER_EXPORT void Remote_WriteVar(RW_VAR* var);

// ---------------------------------------------------------------------------
// Layout guard. The host shares these records on 32-bit little-endian ARM.
#if __cplusplus >= 201103L
static_assert(sizeof(int32_t) == 4, "32-bit integers");
static_assert(sizeof(QString) == sizeof(void*) && sizeof(QByteArray) == sizeof(void*),
              "QString and QByteArray must be one pointer wide, as in Qt 4 and Qt 5 "
              "(Qt 6's are three and break the host's layout)");
static_assert(offsetof(RW_VAR, kind) == 0 && offsetof(RW_VAR, id) == 4 &&
                  offsetof(RW_VAR, direction) == 8 && offsetof(RW_VAR, framingMode) == 12 &&
                  offsetof(RW_VAR, linkNo) == 16 && offsetof(RW_VAR, status) == 20 &&
                  offsetof(RW_VAR, name) == 24,
              "RW_VAR head");
static_assert(
    offsetof(COMINFO, blockSize) == 4 * 4 && offsetof(COMINFO, defStation) == 6 * 4 &&
        offsetof(COMINFO, retryMax) == 7 * 4 && offsetof(COMINFO, retryCount) == 8 * 4 &&
        offsetof(COMINFO, multiStation) == 9 * 4 && offsetof(COMINFO, cleared10) == 10 * 4 &&
        offsetof(COMINFO, framesExpected) == 11 * 4 && offsetof(COMINFO, framesDone) == 12 * 4 &&
        offsetof(COMINFO, cleared13) == 13 * 4 && offsetof(COMINFO, remoteMode) == 14 * 4 &&
        offsetof(COMINFO, ownLinkNo) == 15 * 4 && offsetof(COMINFO, runMode) == 16 * 4 &&
        offsetof(COMINFO, finishFlag) == 17 * 4 && offsetof(COMINFO, hostHandle) == 18 * 4,
    "COMINFO words");
static_assert(offsetof(VARDESC, regType) == 1 && offsetof(VARDESC, station) == 2 &&
                  offsetof(VARDESC, addrText) == 8,
              "VARDESC head");
static_assert(offsetof(Protocol, frame) == 0 && offsetof(Protocol, frameLen) == sizeof(void*),
              "Protocol head");

#if UINTPTR_MAX == 0xFFFFFFFFu
// 32-bit target: the exact layout the host was built with.
static_assert(offsetof(RW_VAR, addrText) == 28 && offsetof(RW_VAR, regType) == 32 &&
                  offsetof(RW_VAR, addr) == 36 && offsetof(RW_VAR, station) == 40 &&
                  offsetof(RW_VAR, count) == 44 && offsetof(RW_VAR, special) == 48 &&
                  offsetof(RW_VAR, extra) == 52 && offsetof(RW_VAR, value) == 56,
              "RW_VAR offsets");
static_assert(sizeof(RW_VAR) == 60, "RW_VAR is 60 bytes");
static_assert(offsetof(Protocol, frameLen) == 4 && offsetof(Protocol, replyLen) == 8 &&
                  offsetof(Protocol, dataPos) == 12 && offsetof(Protocol, dataLen) == 16 &&
                  offsetof(Protocol, var) == 20 && offsetof(Protocol, reserved1) == 80 &&
                  offsetof(Protocol, reserved2) == 84 && offsetof(Protocol, reserved3) == 88,
              "Protocol offsets");
static_assert(sizeof(Protocol) == 92, "Protocol is 92 bytes");
static_assert(offsetof(VARDESC, name) == 12 && offsetof(VARDESC, count) == 16, "VARDESC offsets");
static_assert(sizeof(EXTENDVAR) == 16 && offsetof(EXTENDVAR, data) == 12, "EXTENDVAR is 16 bytes");
#else
// 64-bit build (development machines): same field order, pointer-wide strings.
static_assert(offsetof(RW_VAR, name) < offsetof(RW_VAR, addrText) &&
                  offsetof(RW_VAR, addrText) < offsetof(RW_VAR, regType) &&
                  offsetof(RW_VAR, regType) < offsetof(RW_VAR, addr) &&
                  offsetof(RW_VAR, addr) < offsetof(RW_VAR, station) &&
                  offsetof(RW_VAR, station) < offsetof(RW_VAR, count) &&
                  offsetof(RW_VAR, count) < offsetof(RW_VAR, special) &&
                  offsetof(RW_VAR, special) < offsetof(RW_VAR, extra) &&
                  offsetof(RW_VAR, extra) < offsetof(RW_VAR, value),
              "RW_VAR field order");
static_assert(offsetof(Protocol, var) < offsetof(Protocol, reserved1), "Protocol field order");
static_assert(offsetof(VARDESC, addrText) < offsetof(VARDESC, name) &&
                  offsetof(VARDESC, name) < offsetof(VARDESC, count),
              "VARDESC field order");
#endif
#endif  // __cplusplus >= 201103L

#endif  // PLC_DRIVER_H
