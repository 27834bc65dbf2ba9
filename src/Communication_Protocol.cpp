// Driver core: the driver object, set-up entry points, station switching,
// the request scheduler (ComCommunication), reply handling (DataCom) and the
// debug log handler.
#include <QtCore/QDateTime>
#include <QtCore/QFile>
#include <QtCore/QTextStream>
#include <limits>

#include "driver_internal.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

// ---------------------------------------------------------------------------
// Global objects. Both live in this one translation unit so that their
// construction order is fixed: the driver object first, then the register
// image. At unload they are destroyed in reverse: the image first.
Communication_Protocol PLC_driver;
QMap<int, QMap<int, QByteArray> > DataStorage;

extern "C" {
int32_t LB = 0;
int32_t LW = 0;
int32_t RWI = 0;
}

RW_VAR emptyRwVar() {
    RW_VAR v{};  // value-initialised: every integer 0, strings and bytes empty
    return v;
}

Communication_Protocol::Communication_Protocol()
    : comInfo(nullptr),
      varDoneCallback(nullptr),
      failCallback(nullptr),
      retVar(emptyRwVar()),
      lastList(100),
      writeBurst(0),
      onceBurst(0),
      okCount(0),
      failFlag(false),
      inFlight(emptyRwVar()),
      inFlightValid(false),
      bitPatch{false, 0, 0, 0, false},
      listOwner(std::thread::id()) {}

// Members are released in reverse declaration order by the compiler; the
// lists free every record they still hold. The host is never called here.
Communication_Protocol::~Communication_Protocol() = default;

// ---------------------------------------------------------------------------
namespace {

// QMutex's contended path lives in the uninstrumented Qt library; under
// ThreadSanitizer the lock is announced to the race detector by hand.
void lockMutex(QMutex& m) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(&m, 0);
    m.lock();
    __tsan_mutex_post_lock(&m, 0, 0);
#else
    m.lock();
#endif
}

void unlockMutex(QMutex& m) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_unlock(&m, 0);
    m.unlock();
    __tsan_mutex_post_unlock(&m, 0);
#else
    m.unlock();
#endif
}

}  // namespace

DriverLock::DriverLock(QMutex& m) : m_(m) { lockMutex(m_); }

DriverLock::~DriverLock() { unlockMutex(m_); }

ListLock::ListLock() : nested_(PLC_driver.ownsListLock()) {
    if (nested_) return;
    lockMutex(PLC_driver.listMutex);
    PLC_driver.listOwner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

ListLock::~ListLock() {
    if (nested_) return;
    PLC_driver.listOwner.store(std::thread::id(), std::memory_order_relaxed);
    unlockMutex(PLC_driver.listMutex);
}

// ---------------------------------------------------------------------------
Diag::Diag(const char* literal) : line_(literal) { line_ += ' '; }

Diag& Diag::operator<<(long long n) {
    line_ += QByteArray::number(n);
    line_ += ' ';
    return *this;
}

Diag& Diag::operator<<(const QString& text) {
    line_ += '"';
    line_ += text.toUtf8();
    line_ += "\" ";
    return *this;
}

// Handed over through the printf-style qDebug, which in Qt 4 and Qt 5 alike
// delivers the text to the installed handler exactly as given (Qt 5's stream
// form would trim the blank).
Diag::~Diag() { qDebug("%s", line_.constData()); }

// ---------------------------------------------------------------------------
// Set-up entry points.
void passRetValue(const RW_VAR& from, RW_VAR& to) {
    to.kind = from.kind;
    to.id = from.id;
    to.direction = from.direction;
    to.framingMode = from.framingMode;
    to.linkNo = from.linkNo;
    to.status = from.status;
    to.name = from.name;
    to.addrText = from.addrText;
    to.regType = from.regType;
    to.addr = from.addr;
    to.station = from.station;
    to.count = from.count;
    to.special = from.special;
    to.extra = from.extra;
    to.value.clear();
}

void SetComInfo(COMINFO* info) {
    if (info) info->cleared13 = 0;
    PLC_driver.comInfo = info;
    if (info) info->cleared10 = 0;
}

void FlashLocalRegister(int32_t lb, int32_t lw, int32_t rwi) {
    LB = lb;
    LW = lw;
    RWI = rwi;
}

void RegistCallBackFuncIntf(VarDoneCallback varDone, FailCallback fail) {
    PLC_driver.varDoneCallback = varDone;
    PLC_driver.failCallback = fail;
}

int32_t QueryFinishFlag() { return 1; }

// Switches a station off (mode 0) or on (mode 1); a negative station switches
// every station on again. Other modes change nothing.
void EnCommStation(int32_t station, int32_t mode) {
    Communication_Protocol& d = PLC_driver;
    DriverLock lock(d.stationMutex);
    if (station < 0) {
        d.stationsOff.clear();
    } else if (mode == 0) {
        d.stationsOff.insert(station, 0);
    } else if (mode == 1) {
        d.stationsOff.remove(station);
    }
}

void EnableEthernet(int32_t station, int32_t mode) { EnCommStation(station, mode); }

bool Ethernetcontains(int32_t station) {
    Communication_Protocol& d = PLC_driver;
    DriverLock lock(d.stationMutex);
    return d.stationsOff.contains(station);
}

// ---------------------------------------------------------------------------
// Request scheduler.
namespace {

// Rotates switched-off stations from the head to the tail, at most one full
// turn: if every station is off the list ends in its original order.
void skipSwitchedOff(QList<RW_VAR>& list) {
    int budget = list.size();
    while (budget != 0 && Ethernetcontains(list.first().station)) {
        --budget;
        list.append(list.takeFirst());
    }
}

// Skips switched-off stations, then hands a copy of the head to the builder
// of the selected framing and remembers it as the request in flight. Returns
// whether a builder was called; the entry stays in the list until its reply
// is handled.
bool serveHead(QList<RW_VAR>& list, const COMINFO& ci, void (*local)(RW_VAR*),
               void (*remote)(RW_VAR*)) {
    Communication_Protocol& d = PLC_driver;
    skipSwitchedOff(list);
    if (Ethernetcontains(list.first().station)) return false;
    d.inFlight = list.first();
    d.inFlightValid = true;
    RW_VAR copy = d.inFlight;
    (ci.remoteMode != 0 ? remote : local)(&copy);
    return true;
}

}  // namespace

// Returns the frame to send next, or null when there is nothing to send.
// Priority: writes, then once-reads, then the cyclic read list; the write and
// once-read lists each get at most five turns in a row before the read list
// (or an idle call) resets their burst counters.
Protocol* ComCommunication() {
    Communication_Protocol& d = PLC_driver;
    if (d.ownsListLock()) {
        // Called from inside a host callback: the polling loop is already in
        // the middle of a turn.
        Diag("ComCommunication callback");
        return nullptr;
    }
    // Frames of the request in flight: resend the head (a repeat, or the next
    // frame of a multi-frame request). Only the polling thread touches
    // pendingFrames, so no lock is needed here.
    if (!d.pendingFrames.isEmpty()) return &d.pendingFrames.first();
    COMINFO* ci = d.comInfo;
    if (!ci) return nullptr;  // SetComInfo has not been called: nothing to poll

    ListLock lock;
    bool sent = false;

    if (!d.writeList.isEmpty() && d.writeBurst <= 4) {
        d.lastList = 1;
        // WriteRegister drops an entry that cannot be written.
        sent = serveHead(d.writeList, *ci, WriteRegister, Remote_WriteVar);
        ++d.writeBurst;
    }

    bool readListTurn = !sent;
    if (!d.onceReadList.isEmpty() && d.onceBurst <= 4) {
        if (!sent) {
            d.lastList = 2;
            sent = serveHead(d.onceReadList, *ci, ReadRegister, Remote_ReadVar);
            ++d.onceBurst;
        }
        readListTurn = !sent;
    }

    if (readListTurn) {
        if (!d.readList.isEmpty()) {
            d.lastList = 0;
            const bool built = serveHead(d.readList, *ci, ReadRegister, Remote_ReadVar);
            d.writeBurst = 0;
            d.onceBurst = 0;
            if (!built) ci->finishFlag = 1;  // every station of the read list is off
        } else {
            d.writeBurst = 0;
            d.onceBurst = 0;
            ci->finishFlag = 1;
        }
    }

    return d.pendingFrames.isEmpty() ? nullptr : &d.pendingFrames.first();
}

// ---------------------------------------------------------------------------
// Reply handling.

int SwitchErrorReturn(int base) {
    const Communication_Protocol& d = PLC_driver;
    const int kind = d.pendingFrames.isEmpty() ? 0 : d.pendingFrames.first().var.kind;
    return (kind >= 0 && kind <= 11) ? base + kind + 1 : base + 1;
}

// Maps an internal result number to the status code the host sees.
int GetDriverReturnValue(int number) {
    switch (number) {
        case 0:
            return 1;  // good reply
        case 1:
            return SwitchErrorReturn(10);  // local: bad content
        case 2:
            return SwitchErrorReturn(40);  // local: no reply
        case 3:
            return SwitchErrorReturn(70);  // local: wrong length
        case 4:
            return 100;  // good remote reply
        case 5:
            return SwitchErrorReturn(110);  // remote: bad content
        case 6:
            return SwitchErrorReturn(140);  // remote: no reply
        case 7:
            return SwitchErrorReturn(170);  // remote: wrong length
        default:
            return 200;
    }
}

// 0 invalid, 1 valid with data to store, 2 valid with nothing to store.
// A reply must start with the station byte and end in the CRC-16 of the bytes
// before it, low byte first. Replies to station 0 are not checked at all.
int CheckGetData(QByteArray* reply, int32_t len) {
    const Communication_Protocol& d = PLC_driver;
    if (d.pendingFrames.isEmpty()) return 0;
    const RW_VAR& head = d.pendingFrames.first().var;
    if (head.station == 0) return 2;
    if (!reply || reply->size() < 6 || static_cast<uint8_t>(reply->at(0)) != head.station) {
        return 0;
    }
    // The CRC position comes from len; it must lie inside the array.
    if (len < 2 || len > reply->size()) return 0;
    const int covered = len - 2;
    const unsigned short crc = CalCRC(reinterpret_cast<unsigned char*>(reply->data()),
                                      static_cast<unsigned short>(qMin(covered, 0xFFFF)));
    if (covered > 0xFFFF || static_cast<uint8_t>(reply->at(len - 2)) != (crc & 0xFF) ||
        static_cast<uint8_t>(reply->at(len - 1)) != (crc >> 8)) {
        return 0;
    }
    if (head.direction == 0) return 1;
    if (head.direction == 1) return 2;
    return 0;
}

namespace {

// Stores a checked reply under storageMutex. (The read half of a bit-in-word
// write touches no image; it patches the queued write half, which only the
// polling thread sees.)
void saveReply(QByteArray* reply) {
    DriverLock lock(PLC_driver.storageMutex);
    SaveToLocalDataErea(reply);
}

}  // namespace

int DealDataOfLocalArea(QByteArray* reply, int32_t len) {
    const Protocol& head = PLC_driver.pendingFrames.first();
    if (len == 0 && head.replyLen != 0) return GetDriverReturnValue(2);
    if (len != 0 && len != head.replyLen && head.replyLen != -1) return GetDriverReturnValue(3);
    switch (CheckGetData(reply, len)) {
        case 1:
            saveReply(reply);
            return GetDriverReturnValue(0);
        case 2:
            return GetDriverReturnValue(0);
        default:
            return GetDriverReturnValue(1);
    }
}

int DealDataOfRemoteArea(QByteArray* reply, int32_t len) {
    const Protocol& head = PLC_driver.pendingFrames.first();
    if (len == 0 && head.replyLen != 0) return GetDriverReturnValue(6);
    if (len != 0 && len != head.replyLen && head.replyLen != -1) return GetDriverReturnValue(7);
    if (CheckGetData(reply, len) == 0) return GetDriverReturnValue(5);
    if (head.var.special != -1) return GetDriverReturnValue(4);
    saveReply(reply);
    return PLC_driver.comInfo->framesDone == 1 ? 100 : 1;
}

namespace {

bool sameRequest(const RW_VAR& a, const RW_VAR& b) { return a.kind == b.kind && a.id == b.id; }

bool sameEntry(const RW_VAR& a, const RW_VAR& b) {
    return a.kind == b.kind && a.id == b.id && a.direction == b.direction &&
           a.framingMode == b.framingMode && a.linkNo == b.linkNo && a.status == b.status &&
           a.regType == b.regType && a.addr == b.addr && a.station == b.station &&
           a.count == b.count && a.special == b.special && a.extra == b.extra &&
           a.value == b.value && a.name == b.name && a.addrText == b.addrText;
}

// Whether the head of `list` is still the entry the scheduler served for the
// request just answered.
bool headIsInFlight(const QList<RW_VAR>& list) {
    return !list.isEmpty() && sameEntry(list.first(), PLC_driver.inFlight);
}

// Completes the head of the write or once-read list: reports it (unless a
// later entry for the same request will report instead), hands it back in
// retVar and removes it.
void completeQueued(QList<RW_VAR>& list, bool gaveUp, bool report, HostReports& out) {
    Communication_Protocol& d = PLC_driver;
    const RW_VAR& head = list.first();
    if (report) {
        bool later = false;
        for (int i = 1; i < list.size() && !gaveUp && !later; ++i)
            later = sameRequest(list.at(i), head);
        if (gaveUp || !later) {
            out.done = true;
            out.kind = head.kind;
            out.id = head.id;
            out.result = gaveUp ? 2 : 1;
        }
    }
    passRetValue(head, d.retVar);
    list.removeFirst();
}

}  // namespace

// After a give-up, drops every queued entry of the same request (and, with
// several stations, of the same station).
void purgeRequest(QList<RW_VAR>& list, const RW_VAR& failed, bool byStation) {
    for (int i = list.size() - 1; i >= 0; --i) {
        const RW_VAR& e = list.at(i);
        if (sameRequest(e, failed) && (!byStation || e.station == failed.station)) list.removeAt(i);
    }
}

void HostReports::send(int32_t hostHandle) const {
    const Communication_Protocol& d = PLC_driver;
    if (done && d.varDoneCallback) d.varDoneCallback(hostHandle, kind, id, result);
    if (fail && d.failCallback) d.failCallback(QList<RW_VAR>(), failKind, 1);
}

// Consumes the reply to the frame in flight. `reply` holds what the wire
// brought and `len` its length. The length checks use `len` as given; no
// byte beyond `len`, nor beyond the array, is ever read, so a length that
// disagrees with the array ends as a wrong length or a bad reply.
RW_VAR* DataCom(QByteArray* reply, int32_t len) {
    Communication_Protocol& d = PLC_driver;
    if (d.ownsListLock()) {
        // Called from inside a host callback: the reply being handled is
        // still this turn's. Refused, the record unchanged.
        Diag("DataCom callback");
        return &d.retVar;
    }
    {
        ListLock lock;
        d.retVar.status = 1;
    }
    COMINFO* ci = d.comInfo;
    if (d.pendingFrames.isEmpty() || !ci) return &d.retVar;

    QByteArray bytes;
    if (reply && len > 0) bytes = reply->left(len);

    const bool remote = d.pendingFrames.first().var.linkNo != ci->ownLinkNo;
    const int code = remote ? DealDataOfRemoteArea(&bytes, len) : DealDataOfLocalArea(&bytes, len);
    const bool good = code == 1 || code == 100;

    if (good) {
        d.failFlag = false;
        d.pendingFrames.removeFirst();
        ci->framesDone += 1;
        if (ci->framesDone < ci->framesExpected) {
            ListLock lock;
            d.retVar.status = code;
            return &d.retVar;
        }
    } else {
        // The count lives in the host's block: saturate rather than wrap, so
        // a count the host left at the top still ends in a give-up.
        if (ci->retryCount < std::numeric_limits<int32_t>::max()) ci->retryCount += 1;
        d.failFlag = true;
        {
            ListLock lock;  // okCount and finishFlag are shared with the rebuild
            d.okCount = 0;
            ci->finishFlag = 0;
            if (ci->retryCount <= ci->retryMax) {
                d.retVar.status = 0;  // the head frame stays pending and is sent again
                return &d.retVar;
            }
        }
        ci->retryCount = 0;
        d.pendingFrames.clear();
    }

    ListLock lock;
    if (good && ci->finishFlag == 0 && !remote) {
        // N + 1 good completions for N read blocks mark the cycle as answered.
        if (++d.okCount > d.readList.size()) {
            d.okCount = 0;
            ci->finishFlag = 1;
        }
    }
    // `good` rather than failFlag decides below: a host thread may set
    // failFlag (SetRegisterData) while this request completes.
    QList<RW_VAR>* served = d.lastList == 1   ? &d.writeList
                            : d.lastList == 2 ? &d.onceReadList
                            : d.lastList == 0 ? &d.readList
                                              : nullptr;
    HostReports reports;
    if (served && d.inFlightValid && !headIsInFlight(*served)) {
        // The host removed the request while it was on the wire (or emptied
        // the list): nothing to report or purge, nothing to move; the list's
        // new head goes out in its turn.
        passRetValue(d.inFlight, d.retVar);
    } else {
        if (served && !served->isEmpty()) {
            if (d.lastList == 0) {
                passRetValue(served->first(), d.retVar);
                served->move(0, served->size() - 1);
            } else {
                // A remote once-read reports nothing.
                completeQueued(*served, !good, d.lastList == 1 || !remote, reports);
            }
        }
        if (!good) {
            reports.fail = true;
            reports.failKind = d.retVar.kind;
            if (d.lastList == 1 || d.lastList == 2)
                purgeRequest(*served, d.retVar, ci->multiStation != 0);
        }
    }
    d.inFlightValid = false;
    d.retVar.status = code;
    reports.send(ci->hostHandle);
    return &d.retVar;
}

// ---------------------------------------------------------------------------
// Debug log handler: appends "yyyy.MM.dd.hh:mm:ss.z:message" lines to
// "debug.log" in the working directory, z being the milliseconds without
// leading zeros. The first message after load starts a fresh file.
void customMessageHandler(QtMsgType, const char* msg) {
    static std::atomic<bool> check(true);
    QFile file(QLatin1String("debug.log"));
    if (check.exchange(false)) {
        file.open(QIODevice::WriteOnly);
    } else {
        file.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    const QDateTime now = QDateTime::currentDateTime();
    QTextStream out(&file);
    out << now.toString(QLatin1String("yyyy.MM.dd.hh:mm:ss.")) << now.time().msec() << ':'
        << QString::fromLocal8Bit(msg ? msg : "") << '\n';
    out.flush();
    file.close();
}
