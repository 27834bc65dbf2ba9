// Sequence fuzzer. One input is one host session: settings handed over with
// SetComInfo, registrations, host reads and writes, station switching,
// read-list rebuilds and turns of the polling loop, each reply coming from
// the scripted controller, mostly right and otherwise garbled. A model of
// the driver's lists, kept from the host's side of the interface, predicts
// every frame, status and callback; after each step the session checks:
//
//   (a) no sanitizer report, and no driver call working longer than 100 ms;
//   (b) once the read half of a bit write is answered, the next frame sent
//       is its write half;
//   (c) that write half carries the register value of the read reply with
//       the one bit of the host's record set or cleared;
//   (d) every queued write and once-read is reported exactly as the rules of
//       the scheduler, the reply handling and the list registration say,
//       and after a final drain nothing the host queued is left unreported
//       (a stuck once-read head excepted);
//   (e) after a good reply to a read, GetRegisterData over its range returns
//       the reply's data in the image's byte order;
//   (f) memory stays within a bound set by what the session registered.
//
// The first broken invariant aborts with its letter and the details.
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/perf_event.h>
#include <malloc.h>
#include <sanitizer/allocator_interface.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "driver_reset.h"
#include "register_types.h"
#include "scripted_controller.h"

namespace {

using plctest::Answer;
using plctest::ScriptedController;
using plctest::sealCrc;

[[noreturn]] void broken(char invariant, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "\n*** invariant (%c) broken: ", invariant);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    std::abort();
}

#define REQUIRE(letter, cond, ...)                \
    do {                                          \
        if (!(cond)) broken(letter, __VA_ARGS__); \
    } while (0)

// (a): the work one driver call does, as the user-space instructions the
// calling thread retires: 10^8 of them is 100 ms at one instruction per
// nanosecond. Clocks measure the machine instead: on a busy, shared one a
// 20 ms call was seen at 126 ms of CPU time and 638 ms of wall time. Where
// the kernel refuses the counter, the thread's CPU time stands in. Growing
// the image is allowed 16 instructions per byte on top: a look-up may grow an
// area to its 16 MiB bound, and zeroing and copying that costs about 10^8
// instructions in a long-running AddressSanitizer process. A call that
// blocks for 10 s of wall time counts too. The sanitizer's own bookkeeping
// makes every allocation dearer as a process ages (a call of 7*10^6
// instructions in a fresh process retired 1.2*10^8 after 700000 inputs), so
// a process runs at most 100000 inputs: the smoke run and long runs chain
// processes on one corpus.
double seconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Bytes the program holds on the heap: AddressSanitizer's allocator keeps the
// count; a build without it (the faster build for long runs) asks glibc.
size_t allocatedBytes() {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLC_FUZZ_ASAN 1
#endif
#endif
#ifdef PLC_FUZZ_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

int instructionCounter() {
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_HARDWARE;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    return int(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
}

// Instructions retired so far, or the CPU time in nanoseconds without a counter.
int64_t work() {
    static const int fd = instructionCounter();
    int64_t count = 0;
    if (fd >= 0 && read(fd, &count, sizeof count) == sizeof count) return count;
    return int64_t(seconds(CLOCK_THREAD_CPUTIME_ID) * 1e9);
}

// Work done inside host callbacks: host operations, checked on their own, and
// the model's bookkeeping; not counted against the call that made the callback.
int64_t inCallbacks = 0;

int64_t imageBytes() {
    int64_t bytes = 0;
    for (const auto& station : DataStorage)
        for (const QByteArray& area : station) bytes += area.size();
    return bytes;
}

template <class F>
auto timed(const char* name, F call) {
    const double wall = seconds(CLOCK_MONOTONIC);
    const int64_t image = imageBytes(), before = work(), callbacksBefore = inCallbacks;
    auto result = call();
    const int64_t done = work() - before - (inCallbacks - callbacksBefore);
    const double wallTaken = seconds(CLOCK_MONOTONIC) - wall;
    const int64_t allowed = 100000000 + 16 * std::max<int64_t>(0, imageBytes() - image);
    REQUIRE('a', done <= allowed && wallTaken <= 10,
            "%s took %lld instructions (or ns of CPU time) of %lld allowed, %.0f ms wall", name,
            (long long)done, (long long)allowed, wallTaken * 1e3);
    return result;
}

uint8_t u8(const QByteArray& b, int i) { return uint8_t(b.at(i)); }

bool sameRecord(const RW_VAR& a, const RW_VAR& b) {
    return a.kind == b.kind && a.id == b.id && a.direction == b.direction &&
           a.framingMode == b.framingMode && a.linkNo == b.linkNo && a.status == b.status &&
           a.name == b.name && a.addrText == b.addrText && a.regType == b.regType &&
           a.addr == b.addr && a.station == b.station && a.count == b.count &&
           a.special == b.special && a.extra == b.extra && a.value == b.value;
}

std::string hexOf(const QByteArray& b) {
    return b.left(48).toHex().toStdString() + (b.size() > 48 ? "..." : "");
}

std::string describe(const Protocol& p) {
    return hexOf(p.frame) + " (reply " + std::to_string(p.replyLen) + ", data at " +
           std::to_string(p.dataPos) + " +" + std::to_string(p.dataLen) + ", station " +
           std::to_string(p.var.station) + " type " + std::to_string(p.var.regType) + " addr " +
           std::to_string(p.var.addr) + " count " + std::to_string(p.var.count) + ")";
}

// ---------------------------------------------------------------------------
// The frames each builder must queue, worked out from the register-type table.

int32_t saturate(int64_t v) {
    return int32_t(std::max<int64_t>(INT_MIN, std::min<int64_t>(INT_MAX, v)));
}

const plc::RegisterType* readable(int type) {
    const plc::RegisterType* t = plc::registerType(type);
    return t && t->kind != plc::AreaKind::BitInWord ? t : nullptr;
}

int32_t replyDataBytes(const plc::RegisterType& t, int32_t count) {
    return t.kind == plc::AreaKind::Bits ? saturate((int64_t(count) + 7) / 8)
                                         : saturate(int64_t(count) * 2);
}

QByteArray be16(int64_t w) { return QByteArray(1, char((w >> 8) & 0xFF)) + char(w & 0xFF); }

Protocol queued(const QByteArray& frame, int32_t replyLen, int32_t dataPos, int32_t dataLen,
                const RW_VAR& v) {
    return Protocol{frame, frame.size(), replyLen, dataPos, dataLen, v, 0, 0, 0};
}

Protocol localRead(const RW_VAR& v) {
    const plc::RegisterType& t = *readable(v.regType);
    const QByteArray f = QByteArray(1, char(v.station)) + char(t.readFunction) +
                         be16(int64_t(t.areaBase) + v.addr) + be16(v.count);
    const int32_t data = replyDataBytes(t, v.count);
    return queued(sealCrc(f), saturate(int64_t(data) + 5), 3, data, v);
}

// Function 5 for a coil, 6 for one register, 16 for several; `value` as stored.
Protocol localWrite(const RW_VAR& v) {
    const plc::RegisterType& t = *plc::registerType(v.regType);
    QByteArray f(1, char(v.station));
    const QByteArray at = be16(int64_t(t.areaBase) + v.addr);
    if (t.writeFunction == plc::kWriteSingleCoil) {
        const bool on = !v.value.isEmpty() && v.value.at(0) != 0;
        f += char(5) + at + be16(on ? 0xFF00 : 0);
    } else if (v.count == 1) {
        f += char(6) + at + v.value;
    } else {
        f += char(16) + at + be16(v.count) + char((int64_t(v.count) * 2) & 0xFF) + v.value;
    }
    return queued(sealCrc(f), v.station != 0 ? 8 : 0, 0, 0, v);
}

QByteArray remoteHeader(const RW_VAR& v) {
    QByteArray h(1, '\0');
    for (int32_t b : {v.kind, v.direction, v.linkNo, v.station}) h += char(b & 0xFF);
    h += be16(v.regType);
    h += be16(uint32_t(v.addr) >> 16) + be16(v.addr);
    h += be16(v.count);
    for (int32_t w : {v.special, v.extra}) h += be16(uint32_t(w) >> 16) + be16(w);
    return h;
}

QByteArray withSum(QByteArray f) {
    unsigned sum = 0;
    for (char c : f) sum += uint8_t(c);
    return f + char(sum & 0xFF);
}

Protocol remoteRead(const RW_VAR& v) {
    QByteArray f = remoteHeader(v);
    f[0] = 22;
    const int32_t data = replyDataBytes(*readable(v.regType), v.count);
    return queued(withSum(f), saturate(int64_t(data) + 5), 3, data, v);
}

Protocol remoteWrite(const RW_VAR& v) {
    QByteArray f = remoteHeader(v) + v.value;
    f[0] = char((f.size() + 1) & 0xFF);
    return queued(withSum(f), v.station != 0 ? 8 : 0, 0, 0, v);
}

// The read-modify-write pair of a bit inside a word register: a one-register
// read marked special -1, then a single-register write of the placeholder.
std::pair<Protocol, Protocol> bitPair(const RW_VAR& v) {
    RW_VAR half = v;
    half.regType = plc::registerType(v.regType)->folded;
    half.addr = v.addr / 16;
    half.count = 1;
    half.value = QByteArray(2, '\0');
    half.direction = 0;
    half.special = -1;
    const Protocol read = localRead(half);
    half.direction = 1;
    half.special = 0;
    return {read, localWrite(half)};
}

// The write half once the read reply `word` is known: bit addr % 16 of the
// host's bit address set or cleared, resealed. The remainder truncates toward
// zero; a negative one names no bit and the word goes out as read.
Protocol patched(Protocol write, const RW_VAR& host, uint16_t word) {
    const int bit = host.addr % 16;
    const uint16_t mask = bit >= 0 ? uint16_t(1u << bit) : 0;
    const bool on = !host.value.isEmpty() && host.value.at(0) != 0;
    const uint16_t w = on ? (word | mask) : (word & ~mask);
    write.frame = sealCrc(write.frame.left(4) + be16(w));
    return write;
}

void requireFrame(const Protocol* got, const Protocol& want, const char* what, char letter = 'd') {
    REQUIRE(letter, got, "%s: no frame, expected %s", what, hexOf(want.frame).c_str());
    const bool same = got->frame == want.frame && got->frameLen == want.frameLen &&
                      got->replyLen == want.replyLen && got->dataPos == want.dataPos &&
                      got->dataLen == want.dataLen && sameRecord(got->var, want.var);
    REQUIRE(letter, same, "%s: frame %s, expected %s", what, describe(*got).c_str(),
            describe(want).c_str());
}

// ---------------------------------------------------------------------------
// How a reply must be judged: status code, and whether its data is stored.
struct Verdict {
    int status;
    bool good;
    bool stored;  // local read data that goes into the image
    bool remote;
};

Verdict judge(const Protocol& p, const QByteArray* reply, int32_t len, const COMINFO& ci) {
    const RW_VAR& v = p.var;
    const bool remote = v.linkNo != ci.ownLinkNo;
    const int k = v.kind >= 0 && v.kind <= 11 ? v.kind + 1 : 1;
    const auto bad = [&](int base) {
        return Verdict{base + (remote ? 100 : 0) + k, false, false, remote};
    };
    if (len == 0 && p.replyLen != 0) return bad(40);
    if (len != 0 && len != p.replyLen && p.replyLen != -1) return bad(70);
    const QByteArray seen = reply && len > 0 ? reply->left(len) : QByteArray();
    // A station 0 frame takes any reply of its length. Otherwise the CRC over
    // the bytes before it, whose length the CRC takes in 16 bits.
    int check = 2;
    if (v.station != 0) {
        check = 0;
        if (seen.size() >= 6 && u8(seen, 0) == v.station && len <= seen.size() &&
            len - 2 <= 0xFFFF && sealCrc(seen.left(len - 2)) == seen.left(len))
            check = v.direction == 0 ? 1 : v.direction == 1 ? 2 : 0;
    }
    if (check == 0) return bad(10);
    if (!remote) return {1, true, check == 1 && v.special != -1, false};
    if (v.special != -1) return {100, true, false, true};
    return {ci.framesDone == 1 ? 100 : 1, true, false, true};
}

// ---------------------------------------------------------------------------
// The driver's lists as the host's calls shape them.
struct Report {
    bool fail;  // failCallback(kind); otherwise varDoneCallback(kind, id, result)
    int32_t kind, id, result;
    bool operator==(const Report& o) const {
        return std::tie(fail, kind, id, result) == std::tie(o.fail, o.kind, o.id, o.result);
    }
};

std::string describe(const std::vector<Report>& reports) {
    std::string text;
    for (const Report& r : reports)
        text += (r.fail ? " fail(" : " done(") + std::to_string(r.kind) + "," +
                std::to_string(r.id) + "," + std::to_string(r.result) + ")";
    return text;
}

struct InFlight {
    int list;  // 0 read list, 1 write list, 2 once-read list
    RW_VAR entry;
    QList<Protocol> frames;  // still to be answered, head first
    bool pair = false;
    bool readListRebuilt = false;
};

// The write list's merge key.
struct Target {
    int32_t station, regType, addr, count;
    bool operator==(const Target& o) const {
        return station == o.station && regType == o.regType && addr == o.addr && count == o.count;
    }
};
struct TargetHash {
    size_t operator()(const Target& t) const {
        return std::hash<uint64_t>()(uint64_t(uint32_t(t.station) * 31u + uint32_t(t.regType))
                                         << 32 ^
                                     (uint32_t(t.addr) * 131u + uint32_t(t.count)));
    }
};
using TargetIndex = std::unordered_map<Target, int, TargetHash>;
Target targetOf(const RW_VAR& v) { return {v.station, v.regType, v.addr, v.count}; }
bool sameTarget(const RW_VAR& a, const RW_VAR& b) { return targetOf(a) == targetOf(b); }

bool sameRequest(const RW_VAR& a, const RW_VAR& b) { return a.kind == b.kind && a.id == b.id; }

void purge(QList<RW_VAR>& list, const RW_VAR& failed, bool byStation) {
    for (int i = list.size() - 1; i >= 0; --i)
        if (sameRequest(list.at(i), failed) && (!byStation || list.at(i).station == failed.station))
            list.removeAt(i);
}

struct Model {
    QList<RW_VAR> writes, onces;
    std::set<int32_t> off;
    int writeBurst = 0, onceBurst = 0;
    int32_t retryCount = 0;
    bool busy = false;
    InFlight flight;
    // What the session registered, for (f): entries and read blocks, and the
    // value bytes they carry.
    int64_t entriesAdded = 0, valueBytes = 0;
    void added(const RW_VAR& r) {
        ++entriesAdded;
        valueBytes += r.value.size();
    }

    bool isOff(int32_t station) const { return off.count(station) != 0; }

    // Rotates switched-off stations to the end, at most one turn; whether the
    // head's station is on.
    bool skipOff(QList<RW_VAR>& list) const {
        for (int budget = list.size(); budget != 0 && isOff(list.first().station); --budget)
            list.append(list.takeFirst());
        return !isOff(list.first().station);
    }

    // Merges by target; `firstAt` indexes positions >= 1 when given.
    int merge(const RW_VAR& r, TargetIndex* firstAt = nullptr) {
        int at = -1;
        if (writes.size() >= 2) {
            if (firstAt) {
                const auto it = firstAt->find(targetOf(r));
                at = it == firstAt->end() ? -1 : it->second;
            } else {
                for (int i = 1; i < writes.size() && at < 0; ++i)
                    if (sameTarget(writes.at(i), r)) at = i;
            }
        }
        if (at >= 1) {
            writes[at] = r;
        } else if (writes.size() < kListCapacity) {
            writes.append(r);
            added(r);
            if (firstAt && writes.size() >= 2) firstAt->emplace(targetOf(r), writes.size() - 1);
        }
        return writes.size();
    }
};

// ---------------------------------------------------------------------------
// The session: the host's side of one fuzz input.
class Session;
Session* current = nullptr;

class Session {
public:
    Session(const uint8_t* data, size_t size);
    void run();

    // Callbacks and diagnostics land here.
    void heardDone(int32_t handle, int32_t kind, int32_t id, int32_t result);
    void heardFail(int listSize, int32_t kind, int32_t one);
    QStringList messages;

private:
    // Input decoding.
    int pick(int n) { return in_.ConsumeIntegralInRange(0, n - 1); }
    bool chance(int percent) { return pick(100) < percent; }
    int32_t odd();
    int32_t station();
    int32_t regType();
    int32_t addr();
    int32_t count();
    QString addrText(int32_t type, int32_t addr);
    QByteArray bytes(int most) {
        return QByteArray::fromStdString(in_.ConsumeBytesAsString(pick(most + 1)));
    }
    RW_VAR record(int direction);

    // Host operations, each checked against the model.
    void poll();
    Protocol* comCommunication();
    void dataCom(const QByteArray* reply, int32_t len);
    QByteArray answer(const Protocol& p, int32_t& len, bool& null);
    void setComInfo(bool drain);
    void setRegisterData();
    void addWrite();
    void addOnceRead();
    void addRead();
    void rebuild();
    void switchStation();
    void getRegisterData();
    void armCallback();
    void checkImage(const Protocol& p, const QByteArray& reply);
    void checkListSizes();
    void checkMemory(const char* after);
    void drain();

    int modelOnceRead(RW_VAR& v, int mode);
    int modelSetRegisterData(int32_t type, const QString& text, int32_t st,
                             const QByteArray& values, int32_t count, int32_t kind, int32_t id);
    void expectReports(const std::vector<Report>& want, const char* call, bool orNone = false);
    bool sawMessage(const char* prefix) const;

    FuzzedDataProvider in_;
    COMINFO blocks_[2];
    int block_ = 0;
    COMINFO& ci() { return blocks_[block_]; }
    Model m_;
    ScriptedController ctl_{1, 2};
    std::vector<Report> heard_;
    std::function<void()> armed_;  // a host operation to run inside the next callback
    int callbackOps_ = 0;
    RW_VAR* ret_ = nullptr;
    size_t baseline_;
};

void onDone(int32_t h, int32_t kind, int32_t id, int32_t result) {
    current->heardDone(h, kind, id, result);
}
void onFail(QList<RW_VAR> list, int32_t kind, int32_t one) {
    current->heardFail(list.size(), kind, one);
}
void onMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (current) current->messages << text;
}

Session::Session(const uint8_t* data, size_t size) : in_(data, size) {
    plctest::resetDriver();
    baseline_ = allocatedBytes();
    // blockSize 32, defStation 1, retryMax 2, runMode 2, hostHandle 77.
    ci() = COMINFO{0, 0, 0, 0, 32, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 77};
    ci().multiStation = chance(50);
    ci().remoteMode = chance(20);
    SetComInfo(&ci());
    RegistCallBackFuncIntf(onDone, onFail);
}

void Session::heardDone(int32_t handle, int32_t kind, int32_t id, int32_t result) {
    REQUIRE('d', handle == ci().hostHandle, "completion callback with handle %d, expected %d",
            handle, ci().hostHandle);
    heard_.push_back({false, kind, id, result});
    if (armed_) {
        auto op = std::move(armed_);
        armed_ = nullptr;
        ++callbackOps_;
        const int64_t start = work();
        op();
        inCallbacks += work() - start;
    }
}

void Session::heardFail(int listSize, int32_t kind, int32_t one) {
    REQUIRE('d', listSize == 0 && one == 1, "failure callback with %d records and %d", listSize,
            one);
    heard_.push_back({true, kind, 0, 0});
}

void Session::expectReports(const std::vector<Report>& want, const char* call, bool orNone) {
    REQUIRE('d', heard_ == want || (orNone && heard_.empty()),
            "%s reported [%s ] instead of [%s ]%s", call, describe(heard_).c_str(),
            describe(want).c_str(), orNone ? " or nothing" : "");
}

bool Session::sawMessage(const char* prefix) const {
    for (const QString& m : messages)
        if (m.startsWith(QLatin1String(prefix))) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Input decoding: mostly ordinary values, otherwise the hostile ones.
int32_t Session::odd() {
    static const int32_t values[] = {0,       -1,       1,       2,       16,    255,   256,
                                     257,     1023,     1024,    65535,   65536, 65537, -65536,
                                     8388607, 16777216, INT_MAX, INT_MIN, -16,   2000};
    return in_.PickValueInArray(values);
}

int32_t Session::station() {
    static const int32_t values[] = {1, 1, 1, 2, 2, 0, 3, 257, -1};
    return chance(90) ? in_.PickValueInArray(values) : odd();
}

int32_t Session::regType() { return chance(92) ? pick(26) : odd(); }

int32_t Session::addr() { return chance(85) ? pick(200) : odd(); }

// Counts of a whole 16-bit address space, and beyond, now and then: they
// cost tens of thousands of list merges each.
int32_t Session::count() {
    static const int32_t values[] = {0, -1, -16, 2000, INT_MAX, INT_MIN, 65537, -65536};
    const int way = pick(1000);
    return way < 700   ? 1 + pick(8)
           : way < 850 ? 9 + pick(300)
           : way < 995 ? in_.PickValueInArray(values)
                       : 65535 + pick(2);
}

QString Session::addrText(int32_t type, int32_t a) {
    if (chance(12)) {
        static const char* const texts[] = {
            "",    "x", "-1", "1.2.3", "0x10", "2147483648",  " 7", "+7",   "7 ",
            "1e3", "8", "18", "0.",    ".5",   "99999999999", "-0", "3.-1", "\xd9\xa3"};
        return QString::fromUtf8(in_.PickValueInArray(texts));
    }
    if (type == 0 || type == 1) return QString::number(a, 8);
    if (type >= 20 && type <= 23) return QString::number(a / 16) + '.' + QString::number(a % 16);
    return QString::number(a);
}

RW_VAR Session::record(int direction) {
    RW_VAR v{};
    v.kind = chance(90) ? pick(4) : odd();
    v.id = pick(4);
    v.direction = chance(90) ? direction : odd();
    v.framingMode = ci().remoteMode;
    v.linkNo = chance(90) ? ci().ownLinkNo : pick(3);
    v.status = chance(90) ? 0 : odd();
    v.regType = regType();
    v.addr = addr();
    v.addrText = addrText(v.regType, v.addr);
    v.station = station();
    v.count = count();
    v.special = chance(92) ? 0 : chance(50) ? -1 : odd();
    v.extra = chance(95) ? 0 : odd();
    v.value = bytes(8);
    return v;
}

// ---------------------------------------------------------------------------
// The polling loop.

Protocol* Session::comCommunication() {
    heard_.clear();
    messages.clear();
    if (m_.busy) {
        Protocol* p = timed("ComCommunication", [] { return ComCommunication(); });
        // The write half of a bit pair: (b) if another frame comes instead,
        // (c) if its bytes differ.
        const Protocol& want = m_.flight.frames.first();
        char letter = 'd';
        if (m_.flight.pair && m_.flight.frames.size() == 1)
            letter = p && p->frame.left(4) == want.frame.left(4) && p->var.special == 0 ? 'c' : 'b';
        requireFrame(p, want, "frame in flight", letter);
        expectReports({}, "ComCommunication");
        return p;
    }
    // Which list the scheduler takes, and what its builder makes of the head.
    std::vector<Report> want;
    bool sent = false, built = false;
    const char* diag = nullptr;
    InFlight f;
    if (!m_.writes.isEmpty() && m_.writeBurst <= 4) {
        if (m_.skipOff(m_.writes)) {
            sent = true;
            const RW_VAR head = m_.writes.first();
            const int type = head.regType;
            const plc::RegisterType* t = plc::registerType(type);
            f.list = 1;
            f.entry = head;
            built = true;
            if (ci().remoteMode != 0) {
                f.frames << remoteWrite(head);
            } else if (t && t->writeFunction != plc::kNoFunction &&
                       t->kind != plc::AreaKind::BitInWord) {
                f.frames << localWrite(head);
            } else if (t && t->kind == plc::AreaKind::BitInWord && type != 22 &&
                       head.station != 0) {
                const auto pair = bitPair(head);
                f.frames << pair.first << pair.second;
                f.pair = true;
            } else if (t && t->kind == plc::AreaKind::BitInWord) {
                // Refused: the request goes, every piece of it, reported once.
                built = false;
                diag = type == 22 ? "WriteRegister default" : "WriteRegister broadcast";
                m_.writes.removeFirst();
                purge(m_.writes, head, ci().multiStation != 0);
                want = {{false, head.kind, head.id, 2}, {true, head.kind, 0, 0}};
            } else {
                built = false;  // not writable: dropped without a report
                diag = "WriteRegister default";
                m_.writes.removeFirst();
            }
        }
        ++m_.writeBurst;
    }
    bool readTurn = !sent;
    if (!m_.onces.isEmpty() && m_.onceBurst <= 4) {
        if (!sent) {
            if (m_.skipOff(m_.onces)) {
                sent = true;
                const RW_VAR& head = m_.onces.first();
                if (readable(head.regType)) {  // otherwise the head stays where it is
                    built = true;
                    f.list = 2;
                    f.entry = head;
                    f.frames << (ci().remoteMode != 0 ? remoteRead(head) : localRead(head));
                }
            }
            ++m_.onceBurst;
        }
        readTurn = !sent;
    }
    if (readTurn) m_.writeBurst = m_.onceBurst = 0;

    Protocol* p = timed("ComCommunication", [] { return ComCommunication(); });
    if (built) {
        requireFrame(p, f.frames.first(), "new request");
        m_.flight = f;
        m_.busy = true;
    } else if (readTurn && p) {
        // The read list is not modelled entry by entry: its frame must be what
        // the builder makes of the record it carries, for a station that is on.
        const RW_VAR& v = p->var;
        REQUIRE('d', readable(v.regType) && !m_.isOff(v.station),
                "read-list frame for type %d station %d", v.regType, v.station);
        requireFrame(p, ci().remoteMode != 0 ? remoteRead(v) : localRead(v), "read-list frame");
        m_.flight = InFlight{0, v, {*p}};
        m_.busy = true;
    } else {
        REQUIRE('d', !p, "unexpected frame %s", hexOf(p->frame).c_str());
    }
    expectReports(want, "ComCommunication");
    REQUIRE('d', !diag || sawMessage(diag), "no \"%s\" diagnostic", diag);
    return p;
}

void Session::dataCom(const QByteArray* reply, int32_t len) {
    heard_.clear();
    messages.clear();
    const int opsBefore = callbackOps_;
    const RW_VAR before = ret_ ? *ret_ : RW_VAR{};
    std::vector<Report> want;
    bool orNone = false, completes = false;
    int status = 1;
    Verdict v{1, true, false, false};
    Protocol answered;
    if (m_.busy) {
        InFlight& f = m_.flight;
        answered = f.frames.first();
        v = judge(answered, reply, len, ci());
        status = v.status;
        if (v.good) {
            f.frames.removeFirst();
            if (f.pair && !f.frames.isEmpty() && reply) {
                const QByteArray r = reply->left(len);
                f.frames[0] = patched(f.frames[0], f.entry, uint16_t(u8(r, 3) << 8 | u8(r, 4)));
            }
            completes = f.frames.isEmpty();
        } else {
            if (m_.retryCount < INT_MAX) ++m_.retryCount;
            if (m_.retryCount <= ci().retryMax) {
                status = 0;
            } else {
                m_.retryCount = 0;
                completes = true;
            }
        }
        if (completes) {
            // Completion acts on the list's head only while it is the entry served.
            if (f.list == 0) {
                if (!v.good) want.push_back({true, f.entry.kind, 0, 0});
                orNone = f.readListRebuilt;  // the rebuilt list may no longer hold it
            } else {
                QList<RW_VAR>& list = f.list == 1 ? m_.writes : m_.onces;
                if (!list.isEmpty() && sameRecord(list.first(), f.entry)) {
                    bool later = false;
                    for (int i = 1; i < list.size() && !later; ++i)
                        later = sameRequest(list.at(i), f.entry);
                    if ((f.list == 1 || !v.remote) && (!v.good || !later))
                        want.push_back({false, f.entry.kind, f.entry.id, v.good ? 1 : 2});
                    list.removeFirst();
                    if (!v.good) {
                        want.push_back({true, f.entry.kind, 0, 0});
                        purge(list, f.entry, ci().multiStation != 0);
                    }
                }
            }
            m_.busy = false;
        }
    }

    RW_VAR* r = timed("DataCom", [&] { return DataCom(const_cast<QByteArray*>(reply), len); });
    REQUIRE('d', r && (!ret_ || r == ret_), "DataCom returned another record");
    REQUIRE('d', r->status == status, "DataCom status %d, expected %d (frame %s, reply %s, len %d)",
            r->status, status, hexOf(answered.frame).c_str(),
            reply ? hexOf(*reply).c_str() : "null", len);
    REQUIRE('d', r->value.isEmpty(), "DataCom record with value bytes");
    const RW_VAR& id = completes ? m_.flight.entry : before;
    if (completes || ret_)
        REQUIRE('d',
                r->kind == id.kind && r->id == id.id && r->station == id.station &&
                    r->regType == id.regType && r->addr == id.addr && r->count == id.count,
                "DataCom record names kind %d id %d station %d type %d addr %d count %d", r->kind,
                r->id, r->station, r->regType, r->addr, r->count);
    ret_ = r;
    expectReports(want, "DataCom", orNone);
    REQUIRE('d', ci().retryCount == m_.retryCount, "retry count %d, expected %d", ci().retryCount,
            m_.retryCount);
    if (v.good && v.stored && answered.dataLen > 0 && callbackOps_ == opsBefore &&
        !sawMessage("**** ERROR checkTheStorage range"))
        checkImage(answered, reply->left(len));
}

// (e): the image over the frame's range holds the reply's data, registers low
// byte first, bits one byte each.
void Session::checkImage(const Protocol& p, const QByteArray& reply) {
    const RW_VAR& v = p.var;
    if (v.addr < 0 || v.count < 1 || int64_t(v.addr) + v.count > 1 << 20) return;
    if (ci().multiStation == 0 && v.station != ci().defStation) return;  // read as defStation
    QString text = v.regType <= 1 ? QString::number(v.addr, 8) : QString::number(v.addr);
    QByteArray out;
    const int result = timed("GetRegisterData", [&] {
        return GetRegisterData(nullptr, v.regType, text, v.station, &out, v.count);
    });
    REQUIRE('e', result == 1, "GetRegisterData refused station %d type %d addr %d", v.station,
            v.regType, v.addr);
    const QByteArray data = reply.mid(p.dataPos, p.dataLen);
    if (plc::isBitArea(v.regType)) {
        for (int k = 0; k < std::min<int>(v.count, 8 * data.size()); ++k)
            REQUIRE('e', out.at(k) == ((u8(data, k / 8) >> (k % 8)) & 1),
                    "bit %d of type %d addr %d: image %d, reply data %s", k, v.regType, v.addr,
                    out.at(k), hexOf(data).c_str());
    } else {
        for (int j = 0; j < data.size() / 2; ++j)
            REQUIRE('e', out.at(2 * j) == data.at(2 * j + 1) && out.at(2 * j + 1) == data.at(2 * j),
                    "register %d of type %d addr %d: image %s, reply data %s", j, v.regType, v.addr,
                    hexOf(out.mid(2 * j, 2)).c_str(), hexOf(data.mid(2 * j, 2)).c_str());
    }
}

// The controller's reply to `p`: right, or garbled in one of the ways a line
// garbles it; `len` is the length argument the host passes, which may lie.
QByteArray Session::answer(const Protocol& p, int32_t& len, bool& null) {
    static const Answer faults[] = {Answer::BadCrc, Answer::WrongStation, Answer::Short,
                                    Answer::Exception, Answer::Silent};
    const QByteArray request = p.frame.left(p.frameLen);
    QByteArray r;
    const int way = pick(100);
    if (way < 60) {
        r = ctl_.answer(request);
        // Other data in a well-formed read reply, so the image sees values.
        if (way < 40 && r.size() > 5 && u8(r, 1) >= 1 && u8(r, 1) <= 4 &&
            u8(r, 2) == r.size() - 5) {
            const QByteArray data =
                QByteArray::fromStdString(in_.ConsumeBytesAsString(r.size() - 5));
            r = sealCrc(r.left(3) + data + QByteArray(r.size() - 5 - data.size(), '\x5A'));
        }
    } else if (way < 80) {
        ctl_.script({in_.PickValueInArray(faults)});
        r = ctl_.answer(request);
    } else if (way < 88) {
        r = bytes(300);  // line noise
    } else {
        // Noise that starts with the station and ends in a valid CRC.
        const int n =
            p.replyLen >= 3 && p.replyLen <= 300 && chance(70) ? p.replyLen : 3 + pick(40);
        r = sealCrc(QByteArray(1, char(p.var.station)) + bytes(n - 3).leftJustified(n - 3, '\0'));
    }
    len = r.size();
    null = false;
    if (chance(8)) {
        const int32_t lies[] = {len + 1, len - 1, len + 100, -1, INT_MIN, INT_MAX, 0, p.replyLen};
        len = in_.PickValueInArray(lies);
        null = chance(10);
    }
    return r;
}

void Session::poll() {
    Protocol* p = comCommunication();
    int32_t len = 0;
    bool null = false;
    const QByteArray reply = p ? answer(*p, len, null) : QByteArray();
    dataCom(null ? nullptr : &reply, len);
}

// ---------------------------------------------------------------------------
// Host operations.

void Session::setComInfo(bool drain) {
    COMINFO next = ci();  // the host's counters carry over; its settings change
    if (drain) {
        next.retryMax = std::max(0, std::min(next.retryMax, 2));
        next.retryCount = 0;
    } else {
        static const int32_t blocks[] = {1, 2, 4, 8, 32, 100, 0, -1, -100, INT_MAX, INT_MIN, 65536};
        static const int32_t retries[] = {0, 1, 2, 3, -1, INT_MAX, INT_MIN};
        static const int32_t runModes[] = {2, 2, 2, 0, 1, -1, 7};
        static const int32_t stations[] = {1, 2, 0, 3, 257};
        next.blockSize = in_.PickValueInArray(blocks);
        next.retryMax = in_.PickValueInArray(retries);
        next.runMode = in_.PickValueInArray(runModes);
        next.defStation = in_.PickValueInArray(stations);
        next.multiStation = chance(10) ? 7 : chance(50);
        next.remoteMode = chance(20) ? (chance(50) ? 1 : -3) : 0;
        next.ownLinkNo = chance(85) ? ci().ownLinkNo : pick(3);
        next.hostHandle = pick(1000);
        if (chance(10)) next.retryCount = chance(50) ? INT_MAX : -3;
    }
    block_ ^= 1;
    ci() = next;
    m_.retryCount = next.retryCount;
    timed("SetComInfo", [&] { return SetComInfo(&ci()), 0; });
}

int Session::modelSetRegisterData(int32_t type, const QString& text, int32_t st,
                                  const QByteArray& values, int32_t n, int32_t kind, int32_t id) {
    const int a = PLCAddressChangeIntef(type, text);
    if (a < 0 || n > kMaxUnits) return 0;
    RW_VAR r{};
    r.kind = kind;
    r.id = id;
    r.direction = 1;
    r.framingMode = ci().remoteMode;
    r.linkNo = ci().ownLinkNo;
    r.name = QStringLiteral("op");
    r.addrText = text;
    r.regType = type;
    r.station = ci().multiStation != 0 ? st : ci().defStation;
    TargetIndex firstAt;
    for (int i = 1; i < m_.writes.size(); ++i) firstAt.emplace(targetOf(m_.writes.at(i)), i);
    int result = 0;
    const auto queue = [&](int64_t at, int32_t units, const QByteArray& bytes) {
        if (at > INT_MAX) return;
        r.addr = int32_t(at);
        r.count = units;
        r.value = bytes;
        result = m_.merge(r, &firstAt);
    };
    const plc::RegisterType* t = plc::registerType(type);
    if (t && t->hostWritable && t->kind != plc::AreaKind::Words) {
        for (int k = 0; k < n; ++k)
            queue(int64_t(a) + k, 1, QByteArray(1, k < values.size() ? values.at(k) : '\0'));
    } else if (t && t->hostWritable && n > 0) {
        const int64_t block = ci().blockSize > 0 ? ci().blockSize : n;
        for (int64_t offset = 0; offset < n; offset += block) {
            const int units = int(std::min<int64_t>(block, n - offset));
            QByteArray b;
            for (int64_t i = offset; i < offset + units; ++i) {
                b += 2 * i + 1 < values.size() ? values.at(2 * i + 1) : '\0';
                b += 2 * i < values.size() ? values.at(2 * i) : '\0';
            }
            queue(int64_t(a) + offset, units, b);
        }
    }
    if (ci().runMode != 2) m_.writes.clear();  // the host removed them: image only
    return result;
}

void Session::setRegisterData() {
    const int32_t type = regType(), a = addr(), st = station(), kind = chance(90) ? pick(4) : odd();
    const int32_t id = pick(4);
    const int32_t n = count();
    QString name = QStringLiteral("op"), text = addrText(type, a);
    QByteArray values = bytes(2 * std::min(std::max(n, 0), 64) + 2);
    const int want = modelSetRegisterData(type, text, st, values, n, kind, id);
    const int got = timed("SetRegisterData", [&] {
        return SetRegisterData(name, type, text, st, values, n, kind, id);
    });
    REQUIRE('d', got == want,
            "SetRegisterData type %d text \"%s\" count %d returned %d, expected %d", type,
            text.toUtf8().constData(), n, got, want);
}

void Session::addWrite() {
    RW_VAR v = record(1);
    const RW_VAR copy = v;
    const int mode = chance(40) ? 1 : chance(90) ? 0 : odd();
    int want;
    if (mode == 1) {
        m_.writes.append(v);
        m_.added(v);
        want = m_.writes.size();
    } else {
        want = m_.merge(v);
    }
    const int got = timed("AddListWriteVar", [&] { return AddListWriteVar(&v, mode); });
    REQUIRE('d', got == want && sameRecord(v, copy),
            "AddListWriteVar mode %d returned %d, expected %d", mode, got, want);
}

// The registration of a once-read: parsed, given its station, folded onto
// word areas, split by the block size and de-duplicated against the list.
int Session::modelOnceRead(RW_VAR& v, int mode) {
    if (mode == 1) {
        m_.onces.append(v);
        m_.added(v);
        return m_.onces.size();
    }
    const int a = PLCAddressChangeIntef(v.regType, v.addrText);
    if (a < 0) return 0;
    v.addr = a;
    v.station = ci().multiStation != 0 ? v.station : ci().defStation;
    v.special = v.extra = 0;
    const plc::RegisterType* t = plc::registerType(v.regType);
    if (v.station == 0 || !t) return 0;
    if (t->kind == plc::AreaKind::BitInWord) {
        v.regType = t->folded;
        v.addr = a / 16;
        v.count = int32_t(std::max<int64_t>(
            INT_MIN, std::min<int64_t>(INT_MAX, (int64_t(a % 16) + v.count + 15) / 16)));
    }
    if (v.count > kMaxUnits) return 0;
    const int64_t total = v.count, block = ci().blockSize > 0 ? ci().blockSize : total;
    const int64_t start = v.addr;
    TargetIndex queued;  // the list's entries of this request, by target
    for (const RW_VAR& e : m_.onces)
        if (sameRequest(e, v)) queued.emplace(targetOf(e), 0);
    for (int64_t offset = 0; offset < total && m_.onces.size() < kListCapacity; offset += block) {
        if (start + offset > INT_MAX) break;
        v.addr = int32_t(start + offset);
        v.count = int32_t(std::min(block, total - offset));
        if (queued.emplace(targetOf(v), 0).second) {
            m_.onces.append(v);
            m_.added(v);
        }
    }
    return m_.onces.size();
}

void Session::addOnceRead() {
    RW_VAR v = record(0);
    if (chance(70)) v.linkNo = ci().ownLinkNo;
    RW_VAR copy = v;
    const int mode = chance(25) ? 1 : 0;
    const int want = modelOnceRead(copy, mode);
    const int got = timed("AddListOnceReadVar", [&] { return AddListOnceReadVar(&v, mode); });
    REQUIRE('d', got == want,
            "AddListOnceReadVar type %d text \"%s\" count %d returned %d, expected %d",
            copy.regType, v.addrText.toUtf8().constData(), v.count, got, want);
}

void Session::addRead() {
    RW_VAR v = record(0);
    if (chance(70)) v.linkNo = ci().ownLinkNo;
    m_.added(v);
    timed("AddListReadVar", [&] { return AddListReadVar(&v); });
}

void Session::rebuild() {
    QList<VARDESC> descs;
    for (int i = pick(12), huge = 0; i > 0; --i) {
        int32_t n = count();
        if (n > 300 && ++huge > 2) n = 1 + pick(300);  // a few hostile counts per rebuild
        const int32_t type = regType(), a = addr();
        descs << VARDESC{0, uint8_t(type),     uint8_t(station()), 0,
                         0, addrText(type, a), QString(),          n};
    }
    const int blocks = timed("ReCreatReadVarList",
                             [&] { return ReCreatReadVarList(chance(3) ? nullptr : &descs); });
    REQUIRE('d', blocks >= 0 && (ci().blockSize > 0 || blocks == 0), "rebuild gave %d blocks",
            blocks);
    m_.entriesAdded += blocks;
    if (m_.busy && m_.flight.list == 0) m_.flight.readListRebuilt = true;
}

void Session::switchStation() {
    static const int32_t stations[] = {1, 2, 0, 3, 257, -1, INT_MIN};
    const int32_t st = in_.PickValueInArray(stations), mode = chance(90) ? pick(2) : odd();
    if (st < 0)
        m_.off.clear();
    else if (mode == 0)
        m_.off.insert(st);
    else if (mode == 1)
        m_.off.erase(st);
    timed("EnCommStation",
          [&] { return (chance(50) ? EnCommStation : EnableEthernet)(st, mode), 0; });
}

void Session::getRegisterData() {
    const int32_t type = regType(), a = addr(), n = count();
    QString text = addrText(type, a);
    QByteArray out("stale");
    const bool null = chance(5);
    const int got = timed("GetRegisterData", [&] {
        return GetRegisterData(nullptr, type, text, station(), null ? nullptr : &out, n);
    });
    // Refused: nothing for too many units, zeros for an unusable address.
    const bool parsed = PLCAddressChangeIntef(type, text) >= 0, refused = null || n > kMaxUnits;
    const int units = refused ? 0 : std::max(n, 0);
    const int want = !refused && parsed;
    const int size = null ? 5 : !parsed || plc::isWordArea(type) ? 2 * units : units;
    REQUIRE('f', got == want && out.size() == size,
            "GetRegisterData type %d text \"%s\" count %d: %d with %d bytes, expected %d with %d",
            type, text.toUtf8().constData(), n, got, out.size(), want, size);
}

// A host operation to run from inside the next callback, on the polling
// thread with the lists locked: list operations and image access run at
// once, the polling entry points are refused. (A deadlock here ends the input
// by libFuzzer's time-out.)
void Session::armCallback() {
    const std::function<void()> ops[] = {
        [this] { addWrite(); },
        [this] { setRegisterData(); },
        [this] { addOnceRead(); },
        [this] { switchStation(); },
        [this] { addRead(); },
        [this] { rebuild(); },
        [this] { getRegisterData(); },
        [this] {
            REQUIRE('d', !ComCommunication() && messages.last() == "ComCommunication callback ",
                    "ComCommunication inside a callback was not refused");
        },
        [this] {
            const RW_VAR before = ret_ ? *ret_ : RW_VAR{};
            QByteArray empty;
            RW_VAR* r = DataCom(&empty, 0);
            REQUIRE('d',
                    r && (!ret_ || (r == ret_ && sameRecord(*r, before))) &&
                        messages.last() == "DataCom callback ",
                    "DataCom inside a callback was not refused");
        }};
    armed_ = ops[pick(int(std::size(ops)))];
}

// The driver's list sizes, asked through the host API: a null record
// registers nothing and returns the write list's size; a once-read of no
// units returns the once-read list's.
void Session::checkListSizes() {
    const int writes = timed("AddListWriteVar", [] { return AddListWriteVar(nullptr, 0); });
    REQUIRE('d', writes == m_.writes.size(), "write list holds %d, expected %d", writes,
            m_.writes.size());
    RW_VAR probe{};
    probe.regType = 7;
    probe.addrText = QStringLiteral("0");
    probe.station = 1;
    if (ci().multiStation == 0 && ci().defStation == 0) return;
    const int onces = timed("AddListOnceReadVar", [&] { return AddListOnceReadVar(&probe, 0); });
    REQUIRE('d', onces == m_.onces.size(), "once-read list holds %d, expected %d", onces,
            m_.onces.size());
}

// (f): growth since the input began, against what the session registered:
// the register image (32 MiB of areas, which their spare capacity may
// double), the controller, ~1 KiB per list entry and read block, and the
// value bytes of the entries.
void Session::checkMemory(const char* after) {
    const size_t now = allocatedBytes();
    const int64_t grown = int64_t(now) - int64_t(baseline_);
    const int64_t bound = (int64_t(80) << 20) + 1024 * m_.entriesAdded + 2 * m_.valueBytes;
    REQUIRE('f', grown <= bound, "%lld bytes more after %s, bound %lld", (long long)grown, after,
            (long long)bound);
}

// Every station on, the controller right, a small retry limit: the lists
// must drain, and every request still queued must be reported on the way.
void Session::drain() {
    armed_ = nullptr;
    m_.off.clear();
    timed("EnCommStation", [] { return EnCommStation(-1, 1), 0; });
    setComInfo(true);
    const int64_t turns =
        64 + 8 * int64_t(ci().retryMax + 2) * (m_.writes.size() + m_.onces.size() + 1);
    for (int64_t i = 0; i < turns; ++i) {
        const bool stuck = m_.onces.isEmpty() || !readable(m_.onces.first().regType);
        if (!m_.busy && m_.writes.isEmpty() && stuck) break;
        Protocol* p = comCommunication();
        QByteArray reply = p ? ctl_.answer(p->frame.left(p->frameLen)) : QByteArray();
        dataCom(&reply, reply.size());
    }
    REQUIRE('d', !m_.busy && m_.writes.isEmpty(),
            "%d writes still queued after the drain, %d once-reads", m_.writes.size(),
            m_.onces.size());
    checkListSizes();
}

void Session::run() {
    for (int step = 0; step < 96 && in_.remaining_bytes() > 0; ++step) {
        messages.clear();
        const int op = pick(100);
        if (op < 40) {
            poll();
        } else if (op < 44) {
            comCommunication();
        } else if (op < 48) {
            QByteArray noise = bytes(16);
            dataCom(&noise, noise.size());
        } else if (op < 56) {
            setRegisterData();
        } else if (op < 63) {
            addWrite();
        } else if (op < 69) {
            addOnceRead();
        } else if (op < 72) {
            addRead();
        } else if (op < 76) {
            rebuild();
        } else if (op < 80) {
            switchStation();
        } else if (op < 84) {
            setComInfo(false);
        } else if (op < 88) {
            getRegisterData();
        } else if (op < 93) {
            armCallback();
        } else {
            ctl_.setWord(1 + pick(2), 7, pick(200), uint16_t(in_.ConsumeIntegral<uint16_t>()));
        }
        checkListSizes();
        checkMemory("a step");
    }
    drain();
    checkMemory("the drain");
}

// The memory curve of a long run: every 2^k inputs and then every 100000,
// the allocator's figure between inputs and the process's resident size.
void logMemory(uint64_t inputs) {
    static FILE* log = [] {
        const char* path = std::getenv("PLC_FUZZ_MEMORY_LOG");
        return path ? std::fopen(path, "a") : nullptr;
    }();
    const bool due = (inputs & (inputs - 1)) == 0 || inputs % 100000 == 0;
    if (!log || !due) return;
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    std::fprintf(log, "%llu %zu %ld\n", (unsigned long long)inputs,
                 allocatedBytes(), resident * 4096);
    std::fflush(log);
}

}  // namespace

#ifdef PLC_FUZZ_ASAN
// A freed block waits in AddressSanitizer's quarantine (256 MiB by default)
// before it is reused; when the quarantine is full, the free that overflows
// it recycles a tenth of it at once, millions of instructions charged to
// whichever driver call freed last. 16 MiB keeps that well under the bound
// on a call's work and the resident size of a long run near the program's
// own, and still holds the blocks of many inputs.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (qInstallMessageHandler(onMessage), true);
    static uint64_t inputs = 0;
    (void)quiet;
    const size_t before = allocatedBytes();
    {
        Session session(data, size);
        current = &session;
        session.run();
        current = nullptr;
    }
    plctest::resetDriver();
    // (f) across inputs: what one session leaves behind once the driver is
    // reset (Qt's one-time caches aside).
    const int64_t left = int64_t(allocatedBytes()) - int64_t(before);
    REQUIRE('f', left < (int64_t(1) << 20), "%lld bytes left after the input", (long long)left);
    logMemory(++inputs);
    return 0;
}
