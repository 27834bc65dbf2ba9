#include "host_engine.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "register_types.h"

namespace plchost {

namespace {

// The callbacks are plain function pointers, so they reach the engine
// through this pointer; one engine drives the driver at a time.
std::atomic<HostEngine*> g_engine{nullptr};

// kind values the host gives its own requests. Read-list blocks carry 0 (and
// id -1); writes and their read-backs carry the write's id.
constexpr int kWriteKind = 1;
constexpr int kReadbackKind = 2;

void sleepNs(int64_t ns) {
    if (ns <= 0) return;
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

bool sameTarget(const WriteRequest& a, const WriteRequest& b) {
    return a.station == b.station && a.type == b.type && a.addrText == b.addrText &&
           a.count == b.count;
}

}  // namespace

bool isGood(int status) { return status == 1 || status == 100; }
bool isRetry(int status) { return status == 0; }
bool isGiveUp(int status) { return !isGood(status) && !isRetry(status); }

const char* statusText(int status) {
    if (status < 0) return "-";
    if (status == 1) return "ok";
    if (status == 100) return "ok (remote)";
    if (status == 0) return "retrying";
    const bool remote = status > 100;
    const int s = remote ? status - 100 : status;
    if (s >= 11 && s <= 22) return remote ? "bad remote reply" : "bad reply";
    if (s >= 41 && s <= 52) return remote ? "no remote reply" : "no reply";
    if (s >= 71 && s <= 82) return remote ? "remote length" : "wrong length";
    return "failed";
}

const char* writeStateText(WriteState s) {
    switch (s) {
        case WriteState::Waiting:
            return "waiting";
        case WriteState::Queued:
            return "queued";
        case WriteState::Confirmed:
            return "confirmed";
        case WriteState::Failed:
            return "given up";
        case WriteState::LocalOnly:
            return "image only";
        case WriteState::Rejected:
            return "rejected";
        case WriteState::Superseded:
            return "superseded";
    }
    return "?";
}

bool isBitUnitType(int type) {
    const plc::RegisterType* t = plc::registerType(type);
    return t && t->kind != plc::AreaKind::Words;
}

int foldedCode(int type) { return plc::areaCode(type); }

QByteArray encodeUnits(int type, const std::vector<long>& values) {
    QByteArray out;
    for (long v : values) {
        if (isBitUnitType(type)) {
            out.append(char(v != 0 ? 1 : 0));
        } else {
            out.append(char(v & 0xFF));
            out.append(char((v >> 8) & 0xFF));
        }
    }
    return out;
}

std::vector<long> decodeUnits(int type, const QByteArray& bytes, Format fmt) {
    std::vector<long> out;
    if (isBitUnitType(type)) {
        for (char c : bytes) out.push_back(uint8_t(c));
        return out;
    }
    for (int i = 0; i + 1 < bytes.size(); i += 2) {
        const uint16_t w = uint16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8));
        out.push_back(fmt == Format::Int ? long(int16_t(w)) : long(w));
    }
    return out;
}

HostEngine::HostEngine(DriverApi& api, SerialLink& link, const EngineConfig& cfg)
    : api_(api), link_(link), cfg_(cfg) {
    std::memset(&ci_, 0, sizeof ci_);
    startNs_ = cycleStartNs_ = monotonicNs();
    cfg_.maxWritesInDriver = std::max(1, std::min(cfg_.maxWritesInDriver, 1000));
}

HostEngine::~HostEngine() {
    HostEngine* self = this;
    g_engine.compare_exchange_strong(self, nullptr);
}

bool HostEngine::setup(std::string* error) {
    if (!api_.loaded()) {
        if (error) *error = "driver not loaded";
        return false;
    }
    if (cfg_.installLogHandler) api_.installMessageHandler();

    ci_.blockSize = cfg_.com.blockSize;
    ci_.defStation = cfg_.com.defStation;
    ci_.retryMax = cfg_.com.retryMax;
    ci_.multiStation = cfg_.com.multiStation;
    ci_.remoteMode = cfg_.com.remoteMode;
    ci_.ownLinkNo = cfg_.com.ownLinkNo;
    ci_.runMode = cfg_.com.runMode;
    ci_.hostHandle = cfg_.com.hostHandle;
    api_.SetComInfo(&ci_);
    api_.FlashLocalRegister(0, 0, 0);
    g_engine = this;
    api_.RegistCallBackFuncIntf(&HostEngine::onVarDone, &HostEngine::onFail);
    api_.EnableEthernet(-1, 1);  // every station on
    (void)api_.QueryFinishFlag();

    QList<VARDESC> descs;
    std::set<int> stations;
    for (VarConfig& v : cfg_.vars) {
        if (!ci_.multiStation) v.station = ci_.defStation;
        if (api_.PLCAddressChangeIntef(v.type, v.addrText) < 0) {
            if (error)
                *error = "variable '" + v.name.toStdString() + "': address '" +
                         v.addrText.toStdString() + "' is not valid for type " +
                         std::to_string(v.type);
            return false;
        }
        if (v.count < 1) {
            if (error) *error = "variable '" + v.name.toStdString() + "': count must be >= 1";
            return false;
        }
        VARDESC d{};
        d.regType = uint8_t(v.type);
        d.station = uint8_t(v.station);
        d.addrText = v.addrText;
        d.name = v.name;
        d.count = v.count;
        descs.append(d);
        stations.insert(v.station);
    }
    readBlocks_ = descs.isEmpty() ? 0 : api_.ReCreatReadVarList(&descs);
    stats_.readBlocks = readBlocks_;
    for (int s : stations) stationState(s);
    cycleStartNs_ = monotonicNs();
    traceLine("setup: %d variables in %d read blocks, block size %d, %s framing",
              int(cfg_.vars.size()), readBlocks_, ci_.blockSize,
              ci_.remoteMode ? "remote" : "local");
    return true;
}

void HostEngine::onVarDone(int32_t handle, int32_t kind, int32_t id, int32_t result) {
    HostEngine* e = g_engine.load();
    if (!e || handle != e->ci_.hostHandle) return;
    // Runs inside DataCom with the driver's list lock held: only record it.
    std::lock_guard<std::mutex> lock(e->eventsMutex_);
    e->events_.push_back(Event{Event::Done, kind, id, result});
}

void HostEngine::onFail(QList<RW_VAR>, int32_t kind, int32_t) {
    HostEngine* e = g_engine.load();
    if (!e) return;
    std::lock_guard<std::mutex> lock(e->eventsMutex_);
    e->events_.push_back(Event{Event::Fail, kind, 0, 0});
}

StationStatus& HostEngine::stationState(int station) {
    for (StationStatus& s : stationList_)
        if (s.station == station) return s;
    StationStatus s;
    s.station = station;
    stationList_.push_back(s);
    std::sort(stationList_.begin(), stationList_.end(),
              [](const StationStatus& a, const StationStatus& b) { return a.station < b.station; });
    for (StationStatus& x : stationList_)
        if (x.station == station) return x;
    return stationList_.front();  // not reached
}

void HostEngine::setStationEnabled(int station, bool on) {
    api_.EnCommStation(station, on ? 1 : 0);
    StationStatus& s = stationState(station);
    s.mode = on ? StationStatus::Mode::On : StationStatus::Mode::Off;
    s.offUntilNs = on ? 0 : INT64_MAX;  // switched off by hand: no probing
    if (on) s.consecutiveGiveUps = 0;
}

void HostEngine::probeStations(int64_t now) {
    for (StationStatus& s : stationList_) {
        if (s.mode == StationStatus::Mode::Off && now >= s.offUntilNs) {
            api_.EnCommStation(s.station, 1);
            s.mode = StationStatus::Mode::Probing;
            traceLine("station %d: switched on again to probe it", s.station);
        }
    }
}

void HostEngine::noteStationResult(int station, int status, int64_t now) {
    StationStatus& s = stationState(station);
    s.lastStatus = status;
    if (isGood(status)) {
        s.good++;
        s.consecutiveGiveUps = 0;
        if (s.mode == StationStatus::Mode::Probing) {
            s.mode = StationStatus::Mode::On;
            traceLine("station %d: answered the probe, back in service", station);
        }
    } else if (isGiveUp(status)) {
        s.giveUps++;
        s.consecutiveGiveUps++;
        if (cfg_.backoff.giveUps > 0 && s.consecutiveGiveUps >= cfg_.backoff.giveUps &&
            s.mode != StationStatus::Mode::Off) {
            api_.EnCommStation(station, 0);
            s.mode = StationStatus::Mode::Off;
            s.offUntilNs = now + int64_t(cfg_.backoff.delayMs) * 1000000;
            s.timesOff++;
            traceLine("station %d: %d give-ups in a row, switched off for %d ms", station,
                      s.consecutiveGiveUps, cfg_.backoff.delayMs);
        }
    }
}

void HostEngine::traceLine(const char* fmt, ...) {
    if (!cfg_.trace) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::fprintf(cfg_.trace, "[%11.6f] -- %s\n", double(monotonicNs() - startNs_) / 1e9, buf);
    std::fflush(cfg_.trace);
}

void HostEngine::traceFrame(const char* dir, const QByteArray& bytes, const std::string& note) {
    if (!cfg_.trace) return;
    std::string hex;
    char b[4];
    for (char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", uint8_t(c));
        hex += b;
    }
    if (!hex.empty()) hex.pop_back();
    std::fprintf(cfg_.trace, "[%11.6f] %s %-40s%s%s\n", double(monotonicNs() - startNs_) / 1e9, dir,
                 hex.c_str(), note.empty() ? "" : "  ; ", note.c_str());
    std::fflush(cfg_.trace);
}

std::string HostEngine::describeRequest(const QByteArray& f, const RW_VAR& v) const {
    char buf[200];
    const char* role = v.special == -1 ? " [read half of a bit write]" : "";
    if (ci_.remoteMode) {
        std::snprintf(buf, sizeof buf, "remote %s station %d type %d addr %d count %d%s",
                      v.direction == 1 ? "write" : "read", v.station, v.regType, v.addr, v.count,
                      role);
        return buf;
    }
    if (f.size() < 6) return "";
    const int fn = uint8_t(f[1]);
    const int address = (uint8_t(f[2]) << 8) | uint8_t(f[3]);
    const int word = (uint8_t(f[4]) << 8) | uint8_t(f[5]);
    const char* what = "?";
    switch (fn) {
        case 1:
            what = "read coils";
            break;
        case 2:
            what = "read inputs";
            break;
        case 3:
            what = "read holding";
            break;
        case 4:
            what = "read input regs";
            break;
        case 5:
            what = "write coil";
            break;
        case 6:
            what = "write register";
            break;
        case 16:
            what = "write registers";
            break;
    }
    if (fn == 5 || fn == 6) {
        std::snprintf(buf, sizeof buf, "st %d %s %d = 0x%04X (type %d addr %d)%s", v.station, what,
                      address, word, v.regType, v.addr, fn == 6 && v.regType >= 20 ? "" : role);
    } else {
        std::snprintf(buf, sizeof buf, "st %d %s %d x%d (type %d addr %d)%s", v.station, what,
                      address, word, v.regType, v.addr, role);
    }
    return buf;
}

int HostEngine::piecesOf(const WriteRequest& r) const {
    if (r.count <= 0) return 0;
    if (isBitUnitType(r.type)) return r.count;
    const int b = ci_.blockSize;
    return b > 0 ? (r.count + b - 1) / b : 1;
}

int HostEngine::queueWrite(const WriteRequest& reqIn) {
    WriteRequest req = reqIn;
    if (!ci_.multiStation) req.station = ci_.defStation;
    if (api_.PLCAddressChangeIntef(req.type, req.addrText) < 0) return 0;
    if (req.station == 0) req.verify = false;  // a broadcast cannot be read back
    int id;
    {
        std::lock_guard<std::mutex> lock(writesMutex_);
        id = nextWriteId_++;
        WriteStatus w;
        w.id = id;
        w.req = req;
        w.queuedNs = monotonicNs();
        writes_[id] = w;
        waiting_.push_back(id);
    }
    submitWaitingWrites();
    return id;
}

void HostEngine::submitWaitingWrites() {
    // One submitter at a time keeps writes in the order they were queued.
    static std::mutex submitMutex;
    std::lock_guard<std::mutex> submitLock(submitMutex);
    for (;;) {
        int id;
        WriteRequest req;
        {
            std::lock_guard<std::mutex> lock(writesMutex_);
            if (waiting_.empty()) return;
            id = waiting_.front();
            WriteStatus& w = writes_[id];
            const int pieces = piecesOf(w.req);
            if (piecesInDriver_ > 0 && piecesInDriver_ + pieces > cfg_.maxWritesInDriver) return;
            waiting_.pop_front();
            piecesInDriver_ += pieces;
            piecesOfWrite_[id] = pieces;
            w.state = WriteState::Queued;
            w.queuedNs = monotonicNs();
            req = w.req;
        }
        // The outcome may be reported (on the polling thread) before this
        // call returns; the record is already Queued for it.
        QString name = req.name;
        QString addr = req.addrText;
        QByteArray values = req.values;
        const int rc = api_.SetRegisterData(name, req.type, addr, req.station, values, req.count,
                                            kWriteKind, id);
        std::lock_guard<std::mutex> lock(writesMutex_);
        WriteStatus& w = writes_[id];
        w.queueResult = rc;
        if (w.state != WriteState::Queued) continue;
        if (rc == 0 || ci_.runMode != 2) {
            w.state = rc == 0 ? WriteState::Rejected : WriteState::LocalOnly;
            w.doneNs = monotonicNs();
            piecesInDriver_ -= piecesOfWrite_[id];
            piecesOfWrite_.erase(id);
        }
    }
}

void HostEngine::processEvents() {
    std::vector<Event> ev;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        ev.swap(events_);
    }
    if (ev.empty()) return;
    std::vector<int> readbacks, readbacksDone;
    {
        std::lock_guard<std::mutex> lock(writesMutex_);
        auto release = [this](int id) {
            auto it = piecesOfWrite_.find(id);
            if (it != piecesOfWrite_.end()) {
                piecesInDriver_ -= it->second;
                piecesOfWrite_.erase(it);
            }
        };
        for (const Event& e : ev) {
            if (e.kind == Event::Fail) {
                failCallbacks_++;
                if (e.kindArg == kWriteKind && lastFailedWriteId_) {
                    writes_[lastFailedWriteId_].failCallback = true;
                    lastFailedWriteId_ = 0;
                }
                continue;
            }
            auto it = writes_.find(e.id);
            if (it == writes_.end()) continue;
            WriteStatus& w = it->second;
            if (e.kindArg == kWriteKind) {
                if (w.state != WriteState::Queued) continue;
                w.state = e.result == 1 ? WriteState::Confirmed : WriteState::Failed;
                w.doneNs = monotonicNs();
                release(w.id);
                if (w.state == WriteState::Failed) lastFailedWriteId_ = w.id;
                if (w.state == WriteState::Confirmed && w.req.verify) {
                    w.readback = WriteStatus::Readback::Pending;
                    readbacks.push_back(w.id);
                }
                // An older write to the same target still waiting in the
                // driver was replaced in place by this one and never reports.
                for (auto& kv : writes_) {
                    WriteStatus& o = kv.second;
                    if (o.id < w.id && o.state == WriteState::Queued && sameTarget(o.req, w.req)) {
                        o.state = WriteState::Superseded;
                        o.doneNs = w.doneNs;
                        release(o.id);
                    }
                }
            } else if (e.kindArg == kReadbackKind) {
                if (w.readback != WriteStatus::Readback::Pending) continue;
                if (e.result == 1)
                    readbacksDone.push_back(w.id);
                else
                    w.readback = WriteStatus::Readback::Failed;
            }
        }
    }
    for (int id : readbacks) {
        WriteRequest req;
        {
            std::lock_guard<std::mutex> lock(writesMutex_);
            req = writes_[id].req;
        }
        RW_VAR r{};
        r.kind = kReadbackKind;
        r.id = id;
        r.direction = 0;
        r.framingMode = ci_.remoteMode;
        r.linkNo = ci_.ownLinkNo;
        r.name = req.name;
        r.addrText = req.addrText;
        r.regType = req.type;
        r.station = req.station;
        r.count = req.count;
        if (api_.AddListOnceReadVar(&r, 0) == 0) {
            std::lock_guard<std::mutex> lock(writesMutex_);
            writes_[id].readback = WriteStatus::Readback::Failed;
        }
    }
    for (int id : readbacksDone) {
        WriteRequest req;
        {
            std::lock_guard<std::mutex> lock(writesMutex_);
            req = writes_[id].req;
        }
        bool ok = false;
        const QByteArray got = readImage(req.station, req.type, req.addrText, req.count, &ok);
        bool match = ok;
        if (isBitUnitType(req.type)) {
            for (int k = 0; match && k < req.count; ++k) {
                const bool want = k < req.values.size() && req.values.at(k) != 0;
                match = k < got.size() && (got.at(k) != 0) == want;
            }
        } else {
            QByteArray want = req.values.left(2 * req.count);
            while (want.size() < 2 * req.count) want.append('\0');
            match = match && got == want;
        }
        std::lock_guard<std::mutex> lock(writesMutex_);
        writes_[id].readValue = got;
        writes_[id].readback =
            match ? WriteStatus::Readback::Match : WriteStatus::Readback::Mismatch;
    }
}

bool HostEngine::sleepInterruptible(int64_t untilNs) {
    for (;;) {
        if (stopping_) return false;
        const int64_t left = untilNs - monotonicNs();
        if (left <= 0) return true;
        sleepNs(std::min<int64_t>(left, 20000000));
    }
}

void HostEngine::stop() { stopping_ = true; }

StepResult HostEngine::step() {
    if (stopping_) return StepResult::Stopped;
    int64_t now = monotonicNs();
    submitWaitingWrites();
    probeStations(now);

    Protocol* p = api_.ComCommunication();
    if (!p) {
        processEvents();
        int64_t wake = now + 10000000;
        for (const StationStatus& s : stationList_)
            if (s.mode == StationStatus::Mode::Off) wake = std::min(wake, s.offUntilNs);
        sleepInterruptible(wake);
        return StepResult::Idle;
    }
    // The record stays valid only until DataCom; keep what is needed.
    const RW_VAR v = p->var;
    const QByteArray frame = p->frame.left(std::max(0, p->frameLen));
    const int replyLen = p->replyLen;
    const bool readListFrame = v.kind == 0 && v.id == -1 && v.direction == 0 && v.special == 0;
    const BlockKey key{v.station, v.regType, v.addr, v.count};

    if (readListFrame && doneThisCycle_.count(key)) {
        // The read list has come round to a block already answered in this
        // cycle: the cycle is complete.
        const double ms = double(now - cycleStartNs_) / 1e6;
        stats_.cycles++;
        stats_.lastCycleMs = ms;
        stats_.avgCycleMs = stats_.avgCycleMs == 0 ? ms : 0.8 * stats_.avgCycleMs + 0.2 * ms;
        doneThisCycle_.clear();
        traceLine("read cycle %llu complete in %.1f ms", (unsigned long long)stats_.cycles, ms);
        if (stopAtCycleEnd_) return StepResult::CycleEnd;
        if (cfg_.pollIntervalMs > 0 &&
            !sleepInterruptible(cycleStartNs_ + int64_t(cfg_.pollIntervalMs) * 1000000))
            return StepResult::Stopped;
        cycleStartNs_ = now = monotonicNs();
    }

    stats_.requests++;
    if (v.station != 0) stationState(v.station).requests++;
    if (replyLen == 0) stats_.broadcasts++;
    traceFrame("TX", frame, describeRequest(frame, v));
    const Exchange ex = link_.exchange(frame.constData(), frame.size(), replyLen);
    QByteArray reply = ex.reply;
    RW_VAR* r = api_.DataCom(&reply, reply.size());
    const int status = r ? r->status : 1;
    now = monotonicNs();

    if (cfg_.trace) {
        char note[160];
        const double ms = double(ex.doneNs - ex.sentNs) / 1e6;
        if (replyLen == 0)
            std::snprintf(note, sizeof note, "broadcast, no reply expected; status %d %s", status,
                          statusText(status));
        else if (ex.timedOut)
            std::snprintf(note, sizeof note, "no reply within %d ms; status %d %s",
                          link_.settings().timeoutMs, status, statusText(status));
        else
            std::snprintf(note, sizeof note, "%d of %d bytes in %.1f ms%s; status %d %s",
                          reply.size(), replyLen, ms, ex.gapEnded ? ", ended by a gap" : "", status,
                          statusText(status));
        traceFrame("RX", reply, note);
    }

    if (isGood(status)) {
        stats_.good++;
        if (status == 100) stats_.goodRemote++;
    } else if (isRetry(status)) {
        stats_.retries++;
    } else {
        stats_.giveUps++;
        const int s = status > 100 ? status - 100 : status;
        if (s >= 11 && s <= 22) stats_.badReply++;
        if (s >= 41 && s <= 52) stats_.noReply++;
        if (s >= 71 && s <= 82) stats_.wrongLength++;
    }
    if (v.station != 0) noteStationResult(v.station, status, now);
    if (v.direction == 0 && v.special == 0 && !isRetry(status)) {
        blocks_[key] = BlockState{status, now};
        if (readListFrame) doneThisCycle_.insert(key);
    }
    processEvents();
    return StepResult::Exchanged;
}

bool HostEngine::runUntil(const std::function<bool()>& pred, int timeoutMs) {
    const int64_t deadline = monotonicNs() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        if (pred()) return true;
        if (monotonicNs() > deadline) return false;
        const StepResult r = step();
        if (r == StepResult::Stopped) return pred();
    }
}

int HostEngine::outstandingWrites() const {
    std::lock_guard<std::mutex> lock(writesMutex_);
    int n = 0;
    for (const auto& kv : writes_) {
        const WriteStatus& w = kv.second;
        if (w.state == WriteState::Waiting || w.state == WriteState::Queued ||
            w.readback == WriteStatus::Readback::Pending)
            ++n;
    }
    return n;
}

WriteStatus HostEngine::writeStatus(int id) const {
    std::lock_guard<std::mutex> lock(writesMutex_);
    auto it = writes_.find(id);
    return it == writes_.end() ? WriteStatus() : it->second;
}

std::vector<WriteStatus> HostEngine::writes() const {
    std::lock_guard<std::mutex> lock(writesMutex_);
    std::vector<WriteStatus> out;
    out.reserve(writes_.size());
    for (const auto& kv : writes_) out.push_back(kv.second);
    return out;
}

int HostEngine::failCallbacks() const {
    std::lock_guard<std::mutex> lock(writesMutex_);
    return failCallbacks_;
}

QByteArray HostEngine::readImage(int station, int type, const QString& addrText, int count,
                                 bool* ok) const {
    QString a = addrText;
    QByteArray out;
    const int rc = api_.GetRegisterData(nullptr, type, a, station, &out, count);
    if (ok) *ok = rc == 1;
    return out;
}

EngineStats HostEngine::stats() const {
    EngineStats s = stats_;
    s.elapsedSec = double(monotonicNs() - startNs_) / 1e9;
    s.requestsPerSec = s.elapsedSec > 0 ? double(s.requests) / s.elapsedSec : 0;
    return s;
}

Snapshot HostEngine::snapshot() const {
    Snapshot snap;
    const int64_t now = monotonicNs();
    for (const VarConfig& v : cfg_.vars) {
        VarStatus vs;
        vs.cfg = v;
        vs.value = readImage(v.station, v.type, v.addrText, v.count, &vs.addressOk);
        // The block(s) that read this variable: same station and folded
        // area, overlapping address range.
        const int a = api_.PLCAddressChangeIntef(v.type, v.addrText);
        int t = v.type, lo = a, n = v.count;
        if (plc::isBitInWord(v.type)) {
            t = foldedCode(v.type);
            lo = a / 16;
            n = (a % 16 + v.count + 15) / 16;
        }
        int64_t newest = 0;
        for (const auto& kv : blocks_) {
            const BlockKey& k = kv.first;
            if (k.station != v.station || k.type != t) continue;
            if (k.addr + k.count <= lo || lo + n <= k.addr) continue;
            if (kv.second.atNs >= newest) {
                newest = kv.second.atNs;
                vs.lastStatus = kv.second.status;
                vs.ageSec = double(now - newest) / 1e9;
            }
        }
        snap.vars.push_back(vs);
    }
    snap.writes = writes();
    snap.stations = stationList_;
    snap.stats = stats();
    return snap;
}

}  // namespace plchost
