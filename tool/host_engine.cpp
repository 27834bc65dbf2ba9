#include "host_engine.h"

#include <time.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <set>

#include "frame_decoder.h"
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

// The station against the station mode first, then the target itself.
std::string checkTarget(const Target& t, Access access, const ComSettings& com,
                        const AddressParser& parse) {
    std::string why = stationModeError(t.station, com.multiStation, com.defStation);
    if (why.empty()) why = targetError(t, access, com.remoteMode != 0, parse);
    return why;
}
}  // namespace

std::string variableError(const VarConfig& v, const ComSettings& com, const AddressParser& parse) {
    return checkTarget({v.station, v.type, v.addrText, v.count}, Access::Read, com, parse);
}
std::string writeError(const WriteRequest& w, const ComSettings& com, const AddressParser& parse) {
    return checkTarget({w.station, w.type, w.addrText, w.count}, Access::Write, com, parse);
}

HostEngine::HostEngine(DriverApi& api, SerialLink& link, const EngineConfig& cfg)
    : api_(api),
      link_(link),
      cfg_(cfg),
      backoff_(cfg.backoff, [this](int station, bool on) { api_.EnCommStation(station, on); }),
      writes_(cfg.maxWritesInDriver) {
    std::memset(&ci_, 0, sizeof ci_);
    ci_.blockSize = cfg_.com.blockSize;
    ci_.defStation = cfg_.com.defStation;
    ci_.multiStation = cfg_.com.multiStation;
    ci_.remoteMode = cfg_.com.remoteMode;
    ci_.runMode = cfg_.com.runMode;
    startNs_ = monotonicNs();
    cycles_.startCycle(startNs_);
}

HostEngine::~HostEngine() {
    HostEngine* self = this;
    g_engine.compare_exchange_strong(self, nullptr);
}

AddressParser HostEngine::parser() const {
    return [this](int type, const QString& text) { return api_.PLCAddressChangeIntef(type, text); };
}

bool HostEngine::setup(std::string* error) {
    if (!api_.loaded()) {
        if (error) *error = "driver not loaded";
        return false;
    }
    for (const VarConfig& v : cfg_.vars) {
        const std::string why = variableError(v, cfg_.com, parser());
        if (!why.empty()) {
            if (error) *error = "variable '" + v.name.toStdString() + "': " + why;
            return false;
        }
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

    QList<VARDESC> descs = readDescriptors(cfg_.vars);
    for (const VarConfig& v : cfg_.vars) backoff_.station(v.station);
    readBlocks_ = descs.isEmpty() ? 0 : api_.ReCreatReadVarList(&descs);
    cycles_.setReadBlocks(readBlocks_);
    cycles_.startCycle(monotonicNs());
    traceLine("setup: %d variables in %d read blocks, block size %d, %s framing",
              int(cfg_.vars.size()), readBlocks_, ci_.blockSize,
              ci_.remoteMode ? "remote" : "local");
    return true;
}

QList<VARDESC> readDescriptors(const std::vector<VarConfig>& vars) {
    QList<VARDESC> descs;
    for (const VarConfig& v : vars) {
        VARDESC d{};
        d.regType = uint8_t(v.type);
        d.station = uint8_t(v.station);
        d.addrText = v.addrText;
        d.name = v.name;
        d.count = v.count;
        descs.append(d);
    }
    return descs;
}

void HostEngine::onVarDone(int32_t handle, int32_t kind, int32_t id, int32_t result) {
    HostEngine* e = g_engine.load();
    if (!e || handle != e->ci_.hostHandle) return;
    if (kind != kWriteKind && kind != kReadbackKind) return;
    // Runs inside DataCom with the driver's list lock held: only record it.
    using R = WriteTracker::Report;
    std::lock_guard<std::mutex> lock(e->reportsMutex_);
    e->reports_.push_back(R{kind == kWriteKind ? R::WriteDone : R::ReadbackDone, id, result});
}

void HostEngine::onFail(QList<RW_VAR>, int32_t kind, int32_t) {
    HostEngine* e = g_engine.load();
    if (!e) return;
    std::lock_guard<std::mutex> lock(e->reportsMutex_);
    e->reports_.push_back({WriteTracker::Report::Fail, 0, 0, kind == kWriteKind});
}

void HostEngine::probeStations(int64_t now) {
    for (int station : backoff_.probeDue(now))
        traceLine("station %d: switched on again to probe it", station);
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
    std::fprintf(cfg_.trace, "[%11.6f] %s %-40s%s%s\n", double(monotonicNs() - startNs_) / 1e9, dir,
                 hexBytes(bytes).c_str(), note.empty() ? "" : "  ; ", note.c_str());
    std::fflush(cfg_.trace);
}

int HostEngine::queueWrite(const WriteRequest& req) {
    const std::string why = writeError(req, cfg_.com, parser());
    if (!why.empty()) return writes_.addRejected(req, why);
    WriteRequest r = req;
    if (r.station == 0) r.verify = false;  // a broadcast cannot be read back
    const int id = writes_.add(r, writePieces(r, ci_.blockSize));
    submitWaitingWrites();
    return id;
}

void HostEngine::submitWaitingWrites() {
    std::lock_guard<std::mutex> submitLock(submitMutex_);
    int id;
    WriteRequest req;
    while (writes_.takeNext(monotonicNs(), &id, &req)) {
        // The outcome may be reported (on the polling thread) before this
        // call returns; the record is already Queued for it.
        const int rc = api_.SetRegisterData(req.name, req.type, req.addrText, req.station,
                                            req.values, req.count, kWriteKind, id);
        writes_.submitted(id, rc, ci_.runMode != 2, monotonicNs());
    }
}

void HostEngine::queueReadback(int id) {
    const WriteRequest req = writes_.request(id);
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
    if (api_.AddListOnceReadVar(&r, 0) == 0) writes_.readbackNotQueued(id);
}

void HostEngine::processReports() {
    std::vector<WriteTracker::Report> reports;
    {
        std::lock_guard<std::mutex> lock(reportsMutex_);
        reports.swap(reports_);
    }
    if (reports.empty()) return;
    const WriteTracker::Followups next = writes_.apply(reports, monotonicNs());
    for (int id : next.readbacksToQueue) queueReadback(id);
    for (int id : next.readbacksDone) {
        const WriteRequest req = writes_.request(id);
        writes_.readbackCompared(id, readImage(req.station, req.type, req.addrText, req.count));
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
        processReports();
        sleepInterruptible(std::min(now + 10000000, backoff_.nextProbeNs()));
        return StepResult::Idle;
    }
    // The record stays valid only until DataCom; keep what is needed.
    const RW_VAR v = p->var;
    const QByteArray frame = p->frame.left(std::max(0, p->frameLen));
    const int replyLen = p->replyLen;
    const bool readListFrame = v.kind == 0 && v.id == -1 && v.direction == 0 && v.special == 0;
    const BlockKey key{v.station, v.regType, v.addr, v.count};

    if (readListFrame && cycles_.completesCycle(key)) {
        const double ms = cycles_.endCycle(now);
        traceLine("read cycle %llu complete in %.1f ms",
                  (unsigned long long)cycles_.totals().cycles, ms);
        if (stopAtCycleEnd_) return StepResult::CycleEnd;
        if (cfg_.pollIntervalMs > 0 &&
            !sleepInterruptible(cycles_.cycleStartNs() + int64_t(cfg_.pollIntervalMs) * 1000000))
            return StepResult::Stopped;
        now = monotonicNs();
        cycles_.startCycle(now);
    }

    cycles_.noteRequest(replyLen == 0);
    if (v.station != 0) backoff_.noteRequest(v.station);
    traceFrame("TX", frame, describeRequest(frame, v, ci_.remoteMode != 0));
    const Exchange ex = link_.exchange(frame.constData(), frame.size(), replyLen);
    QByteArray reply = ex.reply;
    RW_VAR* r = api_.DataCom(&reply, reply.size());
    const int status = r ? r->status : 1;
    const int exception = replyLen != 0 ? exceptionCode(ex.reply) : 0;
    now = monotonicNs();

    if (cfg_.trace) {
        std::string note;
        char buf[160];
        if (replyLen == 0) {
            note = "broadcast, no reply expected";
        } else if (ex.timedOut) {
            std::snprintf(buf, sizeof buf, "no reply within %d ms", link_.settings().timeoutMs);
            note = buf;
        } else {
            std::snprintf(buf, sizeof buf, "%d of %d bytes in %.1f ms%s", ex.reply.size(), replyLen,
                          double(ex.doneNs - ex.sentNs) / 1e6,
                          ex.gapEnded ? ", ended by a gap" : "");
            note = buf;
        }
        if (ex.lateBytes) note += "; " + std::to_string(ex.lateBytes) + " late bytes discarded";
        if (ex.echoMismatch) note += "; echo mismatch";
        if (exception) note += "; " + exceptionText(exception);
        note += "; status " + std::to_string(status) + " " + statusText(status);
        traceFrame("RX", ex.reply, note);
    }

    cycles_.noteResult(status, exception);
    if (v.station != 0) {
        switch (backoff_.noteResult(v.station, status, now)) {
            case StationBackoff::Change::SwitchedOff:
                traceLine("station %d: %d give-ups in a row, switched off for %d ms", v.station,
                          cfg_.backoff.giveUps, cfg_.backoff.delayMs);
                break;
            case StationBackoff::Change::BackInService:
                traceLine("station %d: answered the probe, back in service", v.station);
                break;
            case StationBackoff::Change::None:
            case StationBackoff::Change::Probing:
                break;
        }
    }
    if ((v.kind == kWriteKind || v.kind == kReadbackKind) && v.id > 0)
        writes_.noteException(v.id, exception);
    if (v.direction == 0 && v.special == 0 && !isRetry(status))
        cycles_.noteRead(key, status, exception, now, readListFrame);
    processReports();
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

QByteArray HostEngine::readImage(int station, int type, const QString& addrText, int count,
                                 bool* ok) const {
    QString a = addrText;
    QByteArray out;
    const int rc = api_.GetRegisterData(nullptr, type, a, station, &out, count);
    if (ok) *ok = rc == 1;
    return out;
}

EngineStats HostEngine::stats() const {
    EngineStats s = cycles_.totals();
    s.elapsedSec = double(monotonicNs() - startNs_) / 1e9;
    s.requestsPerSec = s.elapsedSec > 0 ? double(s.requests) / s.elapsedSec : 0;
    return s;
}

Snapshot HostEngine::snapshot() const {
    Snapshot snap;
    const int64_t now = monotonicNs();
    // Stale by time too, for a line where no cycle completes: three cycle
    // periods (the poll interval or the measured cycle), at least a second.
    const double periodMs = std::max<double>(cfg_.pollIntervalMs, cycles_.totals().avgCycleMs);
    const int64_t staleAfterNs = std::max<int64_t>(1000000000, int64_t(3 * periodMs * 1e6));
    for (const VarConfig& v : cfg_.vars) {
        VarStatus vs;
        vs.cfg = v;
        vs.value = readImage(v.station, v.type, v.addrText, v.count, &vs.addressOk);
        const int unit = api_.PLCAddressChangeIntef(v.type, v.addrText);
        vs.read = cycles_.readState(v.station, v.type, unit, v.count, now, staleAfterNs);
        snap.vars.push_back(vs);
    }
    snap.writes = writes();
    snap.stations = backoff_.stations();
    snap.stats = stats();
    return snap;
}

}  // namespace plchost
