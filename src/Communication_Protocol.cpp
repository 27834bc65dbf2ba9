// Driver core: the driver object, set-up entry points, station switching,
// the request scheduler (ComCommunication), reply handling (DataCom) and the
// debug log handler.
#include <QtCore/QDateTime>
#include <QtCore/QFile>
#include <QtCore/QTextStream>
#include <limits>

#include "driver_internal.h"
#include "wire.h"

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
      lastList(kServedNone),
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
    if (!to.value.isNull()) to.value.clear();
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

bool isStationOff(int32_t station) {
    Communication_Protocol& d = PLC_driver;
    DriverLock lock(d.stationMutex);
    return d.stationsOff.contains(station);
}

// ---------------------------------------------------------------------------
// Request scheduler.
namespace {

// Rotates entries of switched-off stations from the head to the tail, at
// most one full turn: if every station is off the list ends in its original
// order. Returns whether the head's station is on. One hold of stationMutex
// for the whole look.
bool rotateToStationOn(QList<RW_VAR>& list) {
    Communication_Protocol& d = PLC_driver;
    DriverLock lock(d.stationMutex);
    if (d.stationsOff.isEmpty()) return true;
    for (int budget = list.size(); budget != 0 && d.stationsOff.contains(list.at(0).station);
         --budget)
        list.move(0, list.size() - 1);
    return !d.stationsOff.contains(list.at(0).station);
}

// Skips switched-off stations, then records the head as the request in
// flight and hands that copy to the builder of the selected framing (the
// builders only read it). Returns whether a builder was called; the entry
// stays in the list until its reply is handled.
bool serveHead(QList<RW_VAR>& list, const COMINFO& ci, void (*local)(RW_VAR*),
               void (*remote)(RW_VAR*)) {
    Communication_Protocol& d = PLC_driver;
    if (!rotateToStationOn(list)) return false;
    d.inFlight = list.at(0);
    d.inFlightValid = true;
    (ci.remoteMode != 0 ? remote : local)(&d.inFlight);
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
        d.lastList = kServedWriteList;
        // WriteRegister drops an entry that cannot be written.
        sent = serveHead(d.writeList, *ci, WriteRegister, Remote_WriteVar);
        ++d.writeBurst;
    }

    bool readListTurn = !sent;
    if (!d.onceReadList.isEmpty() && d.onceBurst <= 4) {
        if (!sent) {
            d.lastList = kServedOnceReadList;
            sent = serveHead(d.onceReadList, *ci, ReadRegister, Remote_ReadVar);
            ++d.onceBurst;
        }
        readListTurn = !sent;
    }

    if (readListTurn) {
        if (!d.readList.isEmpty()) {
            d.lastList = kServedReadList;
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
    const int kind = d.pendingFrames.isEmpty() ? 0 : d.pendingFrames.at(0).var.kind;
    return (kind >= 0 && kind <= 11) ? base + kind + 1 : base + 1;
}

// Maps a reply's outcome to the status code the host sees.
int GetDriverReturnValue(ReplyOutcome outcome) {
    switch (outcome) {
        case kGoodReply:
            return kStatusGood;
        case kLocalBadContent:
            return SwitchErrorReturn(10);
        case kLocalNoReply:
            return SwitchErrorReturn(40);
        case kLocalWrongLength:
            return SwitchErrorReturn(70);
        case kRemoteGoodUnstored:
            return kStatusRemoteGood;
        case kRemoteBadContent:
            return SwitchErrorReturn(110);
        case kRemoteNoReply:
            return SwitchErrorReturn(140);
        case kRemoteWrongLength:
            return SwitchErrorReturn(170);
    }
    return 200;
}

// A reply must start with the station byte and end in the CRC-16 of the
// bytes before it, low byte first; the CRC's position comes from len and must
// lie inside the array, within the 16-bit length of the check. Replies to
// station 0 are not checked at all.
ReplyCheck CheckGetData(QByteArray* reply, int32_t len) {
    const Communication_Protocol& d = PLC_driver;
    if (d.pendingFrames.isEmpty()) return kReplyInvalid;
    const RW_VAR& head = d.pendingFrames.at(0).var;
    if (head.station == 0) return kReplyNothingToStore;
    if (!reply || reply->size() < 6 || static_cast<uint8_t>(reply->at(0)) != head.station)
        return kReplyInvalid;
    if (len < 2 || len > reply->size() || len - 2 > 0xFFFF) return kReplyInvalid;
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply->constData());
    if (!plc::wire::crcMatches(bytes, size_t(len - 2))) return kReplyInvalid;
    if (head.direction == 0) return kReplyWithData;
    if (head.direction == 1) return kReplyNothingToStore;
    return kReplyInvalid;
}

namespace {

// Stores a checked reply under storageMutex. (The read half of a bit-in-word
// write touches no image; it patches the queued write half, which only the
// polling thread sees.)
void saveReply(QByteArray* reply) {
    DriverLock lock(PLC_driver.storageMutex);
    storeReplyData(reply);
}

}  // namespace

int DealDataOfLocalArea(QByteArray* reply, int32_t len) {
    const Protocol& head = PLC_driver.pendingFrames.at(0);
    if (len == 0 && head.replyLen != 0) return GetDriverReturnValue(kLocalNoReply);
    if (len != 0 && len != head.replyLen && head.replyLen != -1)
        return GetDriverReturnValue(kLocalWrongLength);
    switch (CheckGetData(reply, len)) {
        case kReplyWithData:
            saveReply(reply);
            return GetDriverReturnValue(kGoodReply);
        case kReplyNothingToStore:
            return GetDriverReturnValue(kGoodReply);
        case kReplyInvalid:
            break;
    }
    return GetDriverReturnValue(kLocalBadContent);
}

int DealDataOfRemoteArea(QByteArray* reply, int32_t len) {
    const Protocol& head = PLC_driver.pendingFrames.at(0);
    if (len == 0 && head.replyLen != 0) return GetDriverReturnValue(kRemoteNoReply);
    if (len != 0 && len != head.replyLen && head.replyLen != -1)
        return GetDriverReturnValue(kRemoteWrongLength);
    if (CheckGetData(reply, len) == kReplyInvalid) return GetDriverReturnValue(kRemoteBadContent);
    if (head.var.special != kBitPairReadHalf) return GetDriverReturnValue(kRemoteGoodUnstored);
    saveReply(reply);
    return PLC_driver.comInfo->framesDone == 1 ? kStatusRemoteGood : kStatusGood;
}

namespace {

bool sameRequest(const RW_VAR& a, const RW_VAR& b) { return a.kind == b.kind && a.id == b.id; }

// Equal content; texts and bytes that are still shared (the usual case: the
// in-flight record is a copy of the head) are equal without a comparison.
template <typename Text>
bool sameText(const Text& a, const Text& b) {
    return a.isSharedWith(b) || a == b;
}

bool sameEntry(const RW_VAR& a, const RW_VAR& b) {
    return a.kind == b.kind && a.id == b.id && a.direction == b.direction &&
           a.framingMode == b.framingMode && a.linkNo == b.linkNo && a.status == b.status &&
           a.regType == b.regType && a.addr == b.addr && a.station == b.station &&
           a.count == b.count && a.special == b.special && a.extra == b.extra &&
           sameText(a.value, b.value) && sameText(a.name, b.name) &&
           sameText(a.addrText, b.addrText);
}

// Whether the head of `list` is still the entry the scheduler served for the
// request just answered.
bool headIsInFlight(const QList<RW_VAR>& list) {
    return !list.isEmpty() && sameEntry(list.at(0), PLC_driver.inFlight);
}

// Completes the head of the write or once-read list: reports it (unless a
// later entry for the same request will report instead), hands it back in
// retVar and removes it.
void completeQueued(QList<RW_VAR>& list, bool gaveUp, bool report, HostReports& out) {
    Communication_Protocol& d = PLC_driver;
    const RW_VAR& head = list.at(0);
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
    // One hold for the whole reply: the image is stored under storageMutex
    // inside it, in the driver's lock order.
    ListLock lock;
    d.retVar.status = kStatusGood;
    COMINFO* ci = d.comInfo;
    if (d.pendingFrames.isEmpty() || !ci) return &d.retVar;

    // What the host's length leaves of its array, read in place; copied only
    // when the length cuts the array short.
    QByteArray cut;
    QByteArray* bytes = &cut;
    if (reply && len > 0) {
        if (len < reply->size()) {
            cut = reply->left(len);
        } else {
            bytes = reply;
        }
    }

    const bool remote = d.pendingFrames.at(0).var.linkNo != ci->ownLinkNo;
    const int code = remote ? DealDataOfRemoteArea(bytes, len) : DealDataOfLocalArea(bytes, len);
    const bool good = code == kStatusGood || code == kStatusRemoteGood;

    if (good) {
        d.failFlag = false;
        retireHeadFrame();
        ci->framesDone += 1;
        if (ci->framesDone < ci->framesExpected) {
            d.retVar.status = code;
            return &d.retVar;
        }
    } else {
        // The count lives in the host's block: saturate rather than wrap, so
        // a count the host left at the top still ends in a give-up.
        if (ci->retryCount < std::numeric_limits<int32_t>::max()) ci->retryCount += 1;
        d.failFlag = true;
        d.okCount = 0;
        ci->finishFlag = 0;
        if (ci->retryCount <= ci->retryMax) {
            d.retVar.status = kStatusRepeat;  // the head frame stays pending and is sent again
            return &d.retVar;
        }
        ci->retryCount = 0;
        d.pendingFrames.clear();
    }

    if (good && ci->finishFlag == 0 && !remote) {
        // N + 1 good completions for N read blocks mark the cycle as answered.
        if (++d.okCount > d.readList.size()) {
            d.okCount = 0;
            ci->finishFlag = 1;
        }
    }
    // `good` rather than failFlag decides below: a host thread may set
    // failFlag (SetRegisterData) while this request completes.
    QList<RW_VAR>* served = d.lastList == kServedWriteList      ? &d.writeList
                            : d.lastList == kServedOnceReadList ? &d.onceReadList
                            : d.lastList == kServedReadList     ? &d.readList
                                                                : nullptr;
    HostReports reports;
    if (served && d.inFlightValid && !headIsInFlight(*served)) {
        // The host removed the request while it was on the wire (or emptied
        // the list): nothing to report or purge, nothing to move; the list's
        // new head goes out in its turn.
        passRetValue(d.inFlight, d.retVar);
    } else {
        if (served && !served->isEmpty()) {
            if (d.lastList == kServedReadList) {
                passRetValue(served->at(0), d.retVar);
                served->move(0, served->size() - 1);
            } else {
                // A remote once-read reports nothing.
                completeQueued(*served, !good, d.lastList == kServedWriteList || !remote, reports);
            }
        }
        if (!good) {
            reports.fail = true;
            reports.failKind = d.retVar.kind;
            if (d.lastList == kServedWriteList || d.lastList == kServedOnceReadList)
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
