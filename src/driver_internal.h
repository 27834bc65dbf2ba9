// Driver internals shared between the subsystem sources (and the unit tests,
// which link the static build of the library). Nothing here is exported.
#ifndef PLC_DRIVER_INTERNAL_H
#define PLC_DRIVER_INTERNAL_H

#include <QtCore/QMutex>
#include <QtCore/QVector>
#include <atomic>
#include <cstdint>
#include <thread>
#include <unordered_map>

#include "plc_driver.h"
#include "register_types.h"

// ---------------------------------------------------------------------------
// Numbers the driver shares with the host or keeps in int32 members.

// Which list the request in flight was taken from (Communication_Protocol::
// lastList, an int32 like the rest of the driver object).
enum ServedList : int32_t {
    kServedReadList = 0,
    kServedWriteList = 1,
    kServedOnceReadList = 2,
    kServedNone = 100,  // no request served yet
};

// What CheckGetData makes of a reply.
enum ReplyCheck : int {
    kReplyInvalid = 0,
    kReplyWithData = 1,        // valid, carries data to store
    kReplyNothingToStore = 2,  // valid: a write's acknowledgement, or station 0 (not checked)
};

// Outcome of one reply, mapped to the host's status code by
// GetDriverReturnValue (the fine code k is the head frame's kind 0..11, else 0).
enum ReplyOutcome : int {
    kGoodReply = 0,           // status 1
    kLocalBadContent = 1,     // 11 + k
    kLocalNoReply = 2,        // 41 + k
    kLocalWrongLength = 3,    // 71 + k
    kRemoteGoodUnstored = 4,  // 100
    kRemoteBadContent = 5,    // 111 + k
    kRemoteNoReply = 6,       // 141 + k
    kRemoteWrongLength = 7,   // 171 + k
};

// Status codes in the record DataCom returns, besides the error codes.
constexpr int32_t kStatusRepeat = 0;  // bad reply, the frame goes out again
constexpr int32_t kStatusGood = 1;
constexpr int32_t kStatusRemoteGood = 100;

// RW_VAR::special of the read half of a bit-in-word write.
constexpr int32_t kBitPairReadHalf = -1;

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

    // The list entry whose request is in flight, as the scheduler served it.
    // Completion acts on a list's head only while that head is still this
    // entry: the host may empty the write list and queue another write while
    // a request is on the wire, and that one was never sent.
    RW_VAR inFlight;
    bool inFlightValid;
    // What the write half of the bit-in-word pair in pendingFrames carries,
    // recorded when the pair is built: station and register of the pair, the
    // bit (addr % 16 of the bit address; negative leaves the word as read) and
    // whether it is set or cleared.
    struct BitPatch {
        bool valid;
        int32_t station;
        int32_t reg;
        int32_t bit;
        bool set;
    } bitPatch;
    // The record of the last retired one-frame request (at most one), reused
    // with its frame buffer by the next request, so that a steady polling
    // loop allocates nothing for its frames.
    QList<Protocol> recycledFrame;
    // The thread holding listMutex. A host callback runs on that thread with
    // the lock held; list operations it makes take effect at once instead of
    // deadlocking on the lock (see ListLock).
    std::atomic<std::thread::id> listOwner;

    // True on the thread that holds listMutex: inside a host callback, or
    // inside the driver's own locked sections.
    bool ownsListLock() const {
        return listOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }
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

// Holds listMutex for a scope. On the thread that already holds it (a host
// callback calling back into a list operation) it takes nothing: the driver
// makes its callbacks only after it has finished with the lists, so the
// nested operation sees consistent lists and runs at once.
class ListLock {
public:
    ListLock();
    ~ListLock();
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    bool nested_;
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
// Largest register-image area in bytes (8 Mi registers of a word area), and
// the largest image in all stations and areas together, sized so that a
// panel with 256 MB of RAM keeps most of it for itself. Growth beyond either
// is refused with "**** ERROR checkTheStorage range".
constexpr int64_t kMaxAreaBytes = int64_t(16) << 20;
constexpr int64_t kMaxImageBytes = int64_t(32) << 20;
// Largest unit count one host access or one registered variable may have:
// the whole 16-bit address space of one area.
constexpr int32_t kMaxUnits = 65536;
// Capacity of the merging paths of the write and once-read lists.
constexpr int kListCapacity = 1024;

// ---------------------------------------------------------------------------
// Internal names that replaced misleading ones, for readers who know the
// old: sortForGrouping (Bubble_Sort), groupIntoBlocks, mergeTouching,
// mergeWithinGap (BitVarReCreat_3, _1, _2), appendInPieces (WhetherGroup),
// isStationOff (Ethernetcontains), storeReplyData (SaveToLocalDataErea),
// patchBitWrite (SpecialRegisterSave).

// ---------------------------------------------------------------------------
// Driver core.
void passRetValue(const RW_VAR& from, RW_VAR& to);
// Whether `station` is switched off (EnCommStation). Takes stationMutex.
bool isStationOff(int32_t station);
ReplyCheck CheckGetData(QByteArray* reply, int32_t len);
int DealDataOfLocalArea(QByteArray* reply, int32_t len);
int DealDataOfRemoteArea(QByteArray* reply, int32_t len);
int GetDriverReturnValue(ReplyOutcome outcome);
int SwitchErrorReturn(int base);
// A record with every integer 0, strings and bytes empty.
RW_VAR emptyRwVar();

// Callbacks owed to the host after a completion or a refusal. They are made
// once the driver has finished with its lists, still under listMutex, so a
// callback that calls back into a list operation finds the lists consistent.
struct HostReports {
    bool done = false;  // varDoneCallback(hostHandle, kind, id, result)
    int32_t kind = 0, id = 0, result = 0;
    bool fail = false;  // failCallback(empty list, failKind, 1)
    int32_t failKind = 0;
    void send(int32_t hostHandle) const;
};
// Drops every entry of `list` with the kind and id of `failed` (and, when
// byStation, its station): what a final failure does to the rest of a request.
void purgeRequest(QList<RW_VAR>& list, const RW_VAR& failed, bool byStation);

// Register types (the table is plc::kRegisterTypes) and address parsing.
int getPlcReg(int type);
int StringAddressToInt(int type, QString text);
int updateRwVar(RW_VAR* var);

// Frame building: appends a Protocol for `var` to pendingFrames with a
// `size`-byte frame, and sets the frame counters of COMINFO for a one-frame
// request. Returns the frame's bytes for the caller to fill in. Reuses the
// record of the last retired request when there is one.
uint8_t* queueFrame(const RW_VAR& var, int size, int32_t replyLen, int32_t dataPos,
                    int32_t dataLen);
// The bytes of a queued frame, for patching.
uint8_t* frameBytes(Protocol& p);
// Takes the head of pendingFrames off; the record of a one-frame request is
// kept for reuse.
void retireHeadFrame();

// Merges write records into the write list by their target (station, type,
// address, count): the first entry from position 1 on with the same target
// is overwritten in place by the whole record; otherwise the record is
// appended while the list holds fewer than kListCapacity entries. A list of
// fewer than two entries takes the record as it is. The head is never merged
// into: its frames may be in flight. The caller holds listMutex for the
// merger's whole life; a merger of many records indexes the targets so that
// each merge costs O(1) instead of a scan.
class WriteMerger {
public:
    explicit WriteMerger(QList<RW_VAR>& list) : list_(list) {}
    // Returns the number of entries in the list afterwards.
    int merge(const RW_VAR& r);
    // Whether merge(r) keeps the record: a full list without a waiting entry
    // for its target drops it.
    bool takes(const RW_VAR& r);

private:
    struct Target {
        int32_t station, regType, addr, count;
        bool operator==(const Target& o) const {
            return station == o.station && regType == o.regType && addr == o.addr &&
                   count == o.count;
        }
    };
    struct TargetHash {
        size_t operator()(const Target& t) const;
    };
    static Target targetOf(const RW_VAR& v) { return {v.station, v.regType, v.addr, v.count}; }
    int find(const Target& t);
    void noteAppended();

    QList<RW_VAR>& list_;
    int merges_ = 0;
    bool indexed_ = false;
    std::unordered_map<Target, int, TargetHash> firstAt_;  // target -> first position >= 1
};

// Read-list rebuild helpers (caller holds listMutex). The mergers and the
// grouping expect one group (one station, one area) sorted by address and
// append their blocks to readList.
//
// A variable the rebuild keeps: its range in folded units (bit-in-word codes
// on their word area) and its descriptor.
struct ReadCandidate {
    int32_t station;
    int32_t regType;
    int32_t addr;  // 0 or more
    int32_t count;
    const VARDESC* desc;
};
// Sorts by station, folded area code and address; equal keys keep their
// order (the host's).
void sortForGrouping(QVector<ReadCandidate>& vars);
// One group of the sorted variables.
using GroupIter = QVector<ReadCandidate>::const_iterator;
// Blocks of at most `limit` units (1: whole variables, no merging), each
// carrying the record of the variable that opened it.
void groupIntoBlocks(GroupIter first, GroupIter last, int limit);
// Merges touching and overlapping variables, with no length limit.
void mergeTouching(QList<RW_VAR>* group);
// As mergeTouching, also bridging gaps of up to `gap` units.
void mergeWithinGap(QList<RW_VAR>* group, int gap);
// Appends `var` to `out` whole, or cut into pieces of at most `limit` units.
void appendInPieces(int total, int limit, RW_VAR* var, QList<RW_VAR>* out);

// Register image.
struct ControlInformationM {
    int32_t station;
    int32_t regType;
    int32_t addr;
    int32_t count;
};
void checkTheStorage(ControlInformationM& info);
// checkTheStorage handing back the area. `fits` is false when the range was
// refused (beyond kMaxAreaBytes or kMaxImageBytes): the area then exists but
// was not grown, and the caller must not store into it. Caller holds
// storageMutex.
QByteArray& reserveRange(const ControlInformationM& info, bool& fits);
// Stores the data of a checked reply to the head of pendingFrames.
void storeReplyData(QByteArray* reply);
// Puts the answered register, with its one bit changed, into the queued
// write half of a bit-in-word pair.
void patchBitWrite(QByteArray* reply);
void WriteDataToLocal(RW_VAR* var);

#endif  // PLC_DRIVER_INTERNAL_H
