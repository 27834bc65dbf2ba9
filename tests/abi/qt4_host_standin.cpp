// A Qt 4 panel runtime in miniature, built the way such hosts are built: as
// GNU C++98 against Qt 4.8 QtCore, with the driver loaded by dlopen and every
// entry point found by its plain name. The host makes its QString, QByteArray
// and QList values with its own QtCore, hands them over, and reads what comes
// back through Qt 4's inline accessors and out-of-line operators. A driver
// built against another Qt matches every record size and offset and still
// fails here: the data behind the d-pointers is laid out differently.
//
// Prints one line per failed check and ends with "N checks, N failed"; the
// exit status is 0 only when nothing failed. An argument names another
// build of the library to load (a packaged one, say).
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <QtCore/QByteArray>
#include <QtCore/QFile>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QtGlobal>
#include <string>
#include <vector>

#include "plc_driver.h"

namespace {

// ---------------------------------------------------------------------------
// Checks.
int checks = 0;
int failures = 0;
const char* scenario = "";

void check(bool ok, const char* what, int line) {
    ++checks;
    if (ok) return;
    ++failures;
    printf("FAIL [%s] line %d: %s\n", scenario, line, what);
}
#define CHECK(cond) check((cond), #cond, __LINE__)

std::string hexText(const QByteArray& b) { return std::string(b.toHex().toUpper().constData()); }

void checkBytes(const QByteArray& got, const QByteArray& want, const char* what, int line) {
    check(got == want, what, line);
    if (got != want)
        printf("    got  %s\n    want %s\n", hexText(got).c_str(), hexText(want).c_str());
}
#define CHECK_BYTES(got, want) checkBytes((got), (want), #got " == " #want, __LINE__)

QString text(const char* latin1) { return QString::fromLatin1(latin1); }
QByteArray bytes(const char* hex) { return QByteArray::fromHex(QByteArray(hex)); }

// The frame the controller sees: the given bytes and their CRC-16/MODBUS,
// low byte first. Computed here, independently of the driver.
QByteArray frame(const char* hex) {
    QByteArray f = bytes(hex);
    unsigned crc = 0xFFFF;
    for (int i = 0; i < f.size(); ++i) {
        crc ^= static_cast<unsigned char>(f.at(i));
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    f.append(static_cast<char>(crc & 0xFF));
    f.append(static_cast<char>(crc >> 8));
    return f;
}

// ---------------------------------------------------------------------------
// The driver as the host sees it: names looked up in the loaded library, with
// the types the header declares them with.
#define ENTRY(name) __typeof__(::name)* name
struct Driver {
    void* handle;
    ENTRY(SetComInfo);
    ENTRY(RegistCallBackFuncIntf);
    ENTRY(ComCommunication);
    ENTRY(DataCom);
    ENTRY(AddListReadVar);
    ENTRY(AddListWriteVar);
    ENTRY(AddListOnceReadVar);
    ENTRY(ReCreatReadVarList);
    ENTRY(PLCAddressChangeIntef);
    ENTRY(GetRegisterData);
    ENTRY(SetRegisterData);
    ENTRY(customMessageHandler);
};

template <typename F>
bool lookUp(void* handle, const char* name, F& out) {
    void* address = dlsym(handle, name);
    if (!address) printf("FAIL: %s not found: %s\n", name, dlerror());
    memcpy(&out, &address, sizeof out);  // object to function pointer, as dlsym users do
    return address != 0;
}

bool load(Driver& d, const char* path) {
    d.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!d.handle) {
        printf("FAIL: cannot load %s: %s\n", path, dlerror());
        return false;
    }
#define LOOK_UP(name) lookUp(d.handle, #name, d.name)
    return LOOK_UP(SetComInfo) & LOOK_UP(RegistCallBackFuncIntf) & LOOK_UP(ComCommunication) &
           LOOK_UP(DataCom) & LOOK_UP(AddListReadVar) & LOOK_UP(AddListWriteVar) &
           LOOK_UP(AddListOnceReadVar) & LOOK_UP(ReCreatReadVarList) &
           LOOK_UP(PLCAddressChangeIntef) & LOOK_UP(GetRegisterData) & LOOK_UP(SetRegisterData) &
           LOOK_UP(customMessageHandler);
}

// ---------------------------------------------------------------------------
// Host state: its communication block, and what its callbacks were given.
COMINFO info;

struct DoneCall {
    int hostHandle, kind, id, result;
};
std::vector<DoneCall> doneCalls;

struct FailCall {
    int calls, kind, one, listSize;
} fail = {0, -1, -1, -1};
QList<RW_VAR> keptFailList;  // the host keeps the list it was handed, grown by one

// A record on station 1, made the way a host fills its own: brace-initialised.
RW_VAR record(int kind, int id, int direction, const char* name, const char* addrText, int regType,
              int addr, int count, const QByteArray& value) {
    // clang-format off
    const RW_VAR v = {kind, id, direction, 0, 0, 0, QString::fromUtf8(name), text(addrText),
                      regType, addr, 1, count, 0, 0, value};
    // clang-format on
    return v;
}

void onDone(int32_t hostHandle, int32_t kind, int32_t id, int32_t result) {
    const DoneCall call = {hostHandle, kind, id, result};
    doneCalls.push_back(call);
}

void onFail(QList<RW_VAR> vars, int32_t kind, int32_t one) {
    ++fail.calls;
    fail.kind = kind;
    fail.one = one;
    fail.listSize = vars.size();
    // The list is the host's own value now: it grows it and keeps a copy.
    vars.append(record(0, 0, 0, "kept", "1", 7, 1, 1, bytes("AA55")));
    keptFailList = vars;
}

bool doneWas(int kind, int id, int result) {
    const bool one = doneCalls.size() == 1 && doneCalls[0].hostHandle == 77 &&
                     doneCalls[0].kind == kind && doneCalls[0].id == id &&
                     doneCalls[0].result == result;
    doneCalls.clear();
    return one;
}

QByteArray readImage(Driver& d, int type, const char* addrText, int count) {
    QString at = text(addrText);
    QByteArray out;
    CHECK(d.GetRegisterData(0, type, at, 1, &out, count) == 1);
    return out;
}

// ---------------------------------------------------------------------------
// Scenarios. Each leaves nothing queued in the driver. Area 7's registers
// start at controller address 11736 (0x2DD8).

void writeVariableRoundTrip(Driver& d) {
    const char* name = "F\xC3\xBCllstand";  // a name beyond Latin-1 ASCII, in UTF-8
    RW_VAR w = record(3, 42, 1, name, "100", 7, 100, 1, bytes("1234"));
    const RW_VAR before = w;
    CHECK(d.AddListWriteVar(&w, 0) == 1);

    Protocol* p = d.ComCommunication();
    CHECK(p != 0);
    if (!p) return;
    CHECK_BYTES(p->frame, frame("01 06 2E 3C 12 34"));
    CHECK(p->frameLen == 8 && p->replyLen == 8 && p->dataLen == 0);
    CHECK(p->var.name == QString::fromUtf8(name) && p->var.name.size() == 9);
    CHECK(p->var.addrText == text("100") && p->var.kind == 3 && p->var.id == 42);
    CHECK_BYTES(p->var.value, bytes("1234"));

    QByteArray echo = p->frame;
    RW_VAR* r = d.DataCom(&echo, echo.size());
    CHECK(r->status == 1 && r->kind == 3 && r->id == 42 && r->direction == 1);
    CHECK(r->regType == 7 && r->addr == 100 && r->station == 1 && r->count == 1);
    CHECK(r->name == QString::fromUtf8(name) && r->addrText == text("100"));
    CHECK(r->value.isEmpty() && r->value.size() == 0);
    CHECK(doneWas(3, 42, 1));

    // A copy the host edits detaches from the driver's record.
    RW_VAR copy = *r;
    copy.name += QLatin1Char('!');
    copy.value.append("xy");
    CHECK(copy.name.size() == 10 && r->name.size() == 9 && r->value.isEmpty());
    // The host's own record is as it was.
    CHECK(w.name == before.name && w.addrText == before.addrText && w.value == before.value);
    CHECK(d.ComCommunication() == 0);
}

void onceReadFillsTheImage(Driver& d) {
    RW_VAR o = record(5, 6, 0, "level", "10", 7, 0, 2, QByteArray());
    CHECK(d.AddListOnceReadVar(&o, 0) == 1);
    CHECK(o.addr == 10 && o.station == 1 && o.name == text("level"));  // filled in by the driver

    Protocol* p = d.ComCommunication();
    CHECK(p != 0);
    if (!p) return;
    CHECK_BYTES(p->frame, frame("01 03 2D E2 00 02"));
    CHECK(p->replyLen == 9 && p->dataPos == 3 && p->dataLen == 4);
    QByteArray reply = frame("01 03 04 AB CD 12 34");
    CHECK(d.DataCom(&reply, reply.size())->status == 1);
    CHECK(doneWas(5, 6, 1));

    // The driver fills an output array that shares its data with another of
    // the host's arrays; that one keeps its bytes.
    const QByteArray keep = bytes("EEEEEE");
    QByteArray out = keep;
    QString at = text("10");
    CHECK(d.GetRegisterData(0, 7, at, 1, &out, 2) == 1);
    CHECK_BYTES(out, bytes("CDAB3412"));  // the image is low byte first
    CHECK_BYTES(keep, bytes("EEEEEE"));
    CHECK(d.ComCommunication() == 0);
}

void hostWriteIsQueuedAndMirrored(Driver& d) {
    QString name = text("op"), at = text("200");
    QByteArray values = bytes("78563412");  // registers 0x5678, 0x1234, low byte first
    const QByteArray sent = values;
    CHECK(d.SetRegisterData(name, 7, at, 1, values, 2, 8, 9) == 1);
    CHECK_BYTES(values, sent);
    CHECK(name == text("op") && at == text("200"));

    Protocol* p = d.ComCommunication();
    CHECK(p != 0);
    if (!p) return;
    CHECK_BYTES(p->frame, frame("01 10 2E A0 00 02 04 56 78 12 34"));
    CHECK(p->var.name == name && p->var.addrText == at && p->var.kind == 8 && p->var.id == 9);
    CHECK_BYTES(p->var.value, bytes("56781234"));
    QByteArray reply = frame("01 10 2E A0 00 02");
    RW_VAR* r = d.DataCom(&reply, reply.size());
    CHECK(r->status == 1 && r->name == name && r->value.isEmpty());
    CHECK(doneWas(8, 9, 1));
    CHECK_BYTES(readImage(d, 7, "200", 2), sent);
    CHECK(d.ComCommunication() == 0);
}

void imageRoundTripsAtEveryLength(Driver& d) {
    // With runMode 0 host writes go to the image only (and leave the driver's
    // failFlag set until the next good reply). Every length from 1 to 64
    // registers, read back into one output array the driver resizes.
    info.runMode = 0;
    QByteArray out = bytes("EE");
    int mismatches = 0;
    for (int n = 1; n <= 64; ++n) {
        QByteArray values;
        for (int i = 0; i < 2 * n; ++i) values.append(static_cast<char>((n * 37 + i * 11) & 0xFF));
        QString name = QString::fromUtf8("w\xC3\xA4rme ") + QString::number(n),
                at = QString::number(500 + 3 * n);
        d.SetRegisterData(name, 7, at, 1, values, n, 1, n);
        if (d.GetRegisterData(0, 7, at, 1, &out, n) != 1 || out != values) ++mismatches;
    }
    info.runMode = 2;
    CHECK(mismatches == 0);
    CHECK(out.size() == 128);
    CHECK(d.ComCommunication() == 0);  // nothing was queued
}

void givenUpRequestReportsThroughBothCallbacks(Driver& d) {
    RW_VAR o = record(11, 12, 0, "gone", "5", 7, 0, 1, QByteArray());
    CHECK(d.AddListOnceReadVar(&o, 0) == 1);
    Protocol* p = d.ComCommunication();
    CHECK(p != 0);
    if (!p) return;
    const QByteArray sent = p->frame;
    CHECK_BYTES(sent, frame("01 03 2D DD 00 01"));

    QByteArray nothing;
    CHECK(d.DataCom(&nothing, 0)->status == 0);  // repeated once (retryMax 1)
    p = d.ComCommunication();
    CHECK(p != 0 && p->frame == sent);
    RW_VAR* r = d.DataCom(&nothing, 0);
    CHECK(r->status == 41 + 11);  // no reply, kind 11
    CHECK(r->kind == 11 && r->id == 12 && r->name == text("gone") && r->value.isEmpty());
    CHECK(doneWas(11, 12, 2));
    CHECK(fail.calls == 1 && fail.kind == 11 && fail.one == 1 && fail.listSize == 0);
    CHECK(keptFailList.size() == 1 && keptFailList.first().name == text("kept"));
    CHECK(d.ComCommunication() == 0);
}

void readListsPollBlocksTheHostDescribed(Driver& d) {
    RW_VAR single = record(0, -1, 0, "single", "7", 7, 7, 1, QByteArray());
    CHECK(d.AddListReadVar(&single) == 1);
    Protocol* p = d.ComCommunication();
    CHECK(p != 0 && p->var.name == text("single"));
    if (p) {
        QByteArray reply = frame("01 03 02 00 07");
        CHECK(d.DataCom(&reply, reply.size())->status == 1);
    }

    // Three descriptors on station 1, all in area 7 once folded: one block of
    // registers 0 to 11, carrying the record of the variable that opened it.
    const VARDESC b = {0, 7, 1, 0, 0, text("10"), text("b"), 2};
    const VARDESC c = {0, 20, 1, 0, 0, text("3.4"), text("c"), 4};
    const VARDESC a = {0, 7, 1, 0, 0, text("0"), text("a"), 1};
    QList<VARDESC> descs;
    descs << b << c << a;
    CHECK(d.ReCreatReadVarList(&descs) == 1);  // the single read is discarded
    CHECK(descs.size() == 3 && descs.at(0).name == text("b") &&
          descs.at(1).addrText == text("3.4"));

    p = d.ComCommunication();
    CHECK(p != 0);
    if (!p) return;
    CHECK_BYTES(p->frame, frame("01 03 2D D8 00 0C"));
    CHECK(p->var.name == text("a") && p->var.addrText == text("0") && p->var.id == -1);
    // Register k holds k in both bytes, except register 3: 0x0050, bits 4 and 6.
    QByteArray data = bytes("010318");
    for (int k = 0; k < 12; ++k) {
        data.append(static_cast<char>(k == 3 ? 0x00 : k));
        data.append(static_cast<char>(k == 3 ? 0x50 : k));
    }
    QByteArray reply = frame(data.toHex().constData());
    RW_VAR* r = d.DataCom(&reply, reply.size());
    CHECK(r->status == 1 && r->name == text("a") && r->count == 12);
    CHECK(doneCalls.empty());  // cyclic reads are not reported
    CHECK_BYTES(readImage(d, 20, "3.4", 4), bytes("01000100"));
    CHECK_BYTES(readImage(d, 7, "10", 2), bytes("0A0A0B0B"));

    QList<VARDESC> none;
    CHECK(d.ReCreatReadVarList(&none) == 0);
    CHECK(d.ComCommunication() == 0);
}

QStringList* recorded = 0;
void recordMessage(QtMsgType, const char* msg) { recorded->append(QString::fromUtf8(msg)); }

void diagnosticsReachTheHostsHandler(Driver& d) {
    CHECK(d.PLCAddressChangeIntef(22, text("4.15")) == 79);

    QStringList messages;
    recorded = &messages;
    qInstallMsgHandler(recordMessage);
    QString bad = text("x");
    QByteArray out = bytes("EE");
    CHECK(d.GetRegisterData(0, 7, bad, 1, &out, 2) == 0);
    CHECK_BYTES(out, bytes("00000000"));
    // Each item followed by one blank, the text quoted: the message ends in a blank.
    CHECK(messages.size() == 1 && messages.value(0) == text("StringAddressToInt error 7 \"x\" "));

    // The driver's own handler, installed the Qt 4 way, logs the same text.
    char dir[] = "/tmp/plc-standin-XXXXXX";
    char old[4096];
    if (!mkdtemp(dir) || !getcwd(old, sizeof old) || chdir(dir) != 0) {
        CHECK(!"a working directory for debug.log");
        return;
    }
    qInstallMsgHandler(d.customMessageHandler);
    d.GetRegisterData(0, 7, bad, 1, &out, 1);
    qInstallMsgHandler(0);
    QFile log(QLatin1String("debug.log"));
    const QByteArray line = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    log.remove();
    CHECK(chdir(old) == 0 && rmdir(dir) == 0);
    CHECK(line.count('\n') == 1 && line.endsWith(":StringAddressToInt error 7 \"x\" \n"));
}

struct Scenario {
    const char* name;
    void (*run)(Driver&);
};
const Scenario scenarios[] = {
    {"WriteVariableRoundTrip", writeVariableRoundTrip},
    {"OnceReadFillsTheImage", onceReadFillsTheImage},
    {"HostWriteIsQueuedAndMirrored", hostWriteIsQueuedAndMirrored},
    {"ImageRoundTripsAtEveryLength", imageRoundTripsAtEveryLength},
    {"GivenUpRequestReportsThroughBothCallbacks", givenUpRequestReportsThroughBothCallbacks},
    {"ReadListsPollBlocksTheHostDescribed", readListsPollBlocksTheHostDescribed},
    {"DiagnosticsReachTheHostsHandler", diagnosticsReachTheHostsHandler},
};

}  // namespace

// Loads the library built with it, or the one named as the argument.
int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : PLC_DRIVER_LIBRARY;
    setvbuf(stdout, 0, _IOLBF, 0);  // every line out before a crash
    printf("host Qt %s, driver %s\n", qVersion(), path);
    Driver d;
    if (!load(d, path)) return 1;
    memset(&info, 0, sizeof info);
    info.blockSize = 32;
    info.defStation = 1;
    info.retryMax = 1;
    info.multiStation = 1;
    info.runMode = 2;
    info.hostHandle = 77;
    d.SetComInfo(&info);
    d.RegistCallBackFuncIntf(onDone, onFail);

    for (size_t i = 0; i < sizeof scenarios / sizeof scenarios[0]; ++i) {
        scenario = scenarios[i].name;
        const int before = failures;
        scenarios[i].run(d);
        printf("%s %s\n", failures == before ? "ok  " : "FAIL", scenario);
    }

    // Unloading frees everything the driver held; what the host kept is its own.
    scenario = "Unload";
    CHECK(dlclose(d.handle) == 0);
    CHECK(keptFailList.size() == 1 && keptFailList.first().value == bytes("AA55"));
    printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
