#include "write_tracker.h"

#include <algorithm>

namespace plchost {

namespace {

bool sameTarget(const WriteRequest& a, const WriteRequest& b) {
    return a.station == b.station && a.type == b.type && a.addrText == b.addrText &&
           a.count == b.count;
}

}  // namespace

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

int writePieces(const WriteRequest& r, int blockSize) {
    if (r.count <= 0) return 0;
    if (isBitUnitType(r.type)) return r.count;
    return blockSize > 0 ? (r.count + blockSize - 1) / blockSize : 1;
}

bool readbackMatches(const WriteRequest& r, const QByteArray& got) {
    if (isBitUnitType(r.type)) {
        for (int k = 0; k < r.count; ++k) {
            const bool want = k < r.values.size() && r.values.at(k) != 0;
            if (k >= got.size() || (got.at(k) != 0) != want) return false;
        }
        return true;
    }
    QByteArray want = r.values.left(2 * r.count);
    want.append(QByteArray(2 * r.count - want.size(), '\0'));
    return got == want;
}

WriteTracker::WriteTracker(int maxPiecesInDriver)
    : maxPieces_(std::max(1, std::min(maxPiecesInDriver, 1000))) {}

int WriteTracker::add(const WriteRequest& req, int pieces) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int id = nextId_++;
    WriteStatus& w = writes_[id];
    w.id = id;
    w.req = req;
    piecesOf_[id] = pieces;
    waiting_.push_back(id);
    return id;
}

int WriteTracker::addRejected(const WriteRequest& req, const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int id = nextId_++;
    WriteStatus& w = writes_[id];
    w.id = id;
    w.req = req;
    w.state = WriteState::Rejected;
    w.note = why;
    return id;
}

bool WriteTracker::takeNext(int64_t nowNs, int* id, WriteRequest* req) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) return false;
    const int next = waiting_.front();
    const int pieces = piecesOf_[next];
    if (inDriver_ > 0 && inDriver_ + pieces > maxPieces_) return false;
    waiting_.pop_front();
    inDriver_ += pieces;
    piecesInDriver_[next] = pieces;
    WriteStatus& w = writes_[next];
    w.state = WriteState::Queued;
    w.queuedNs = nowNs;
    *id = next;
    *req = w.req;
    return true;
}

void WriteTracker::releaseLocked(int id) {
    auto it = piecesInDriver_.find(id);
    if (it == piecesInDriver_.end()) return;
    inDriver_ -= it->second;
    piecesInDriver_.erase(it);
}

void WriteTracker::submitted(int id, int result, bool localOnly, int64_t nowNs) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteStatus& w = writes_[id];
    w.queueResult = result;
    // The outcome may have been reported (on the polling thread) already.
    if (w.state != WriteState::Queued) return;
    if (result != 0 && !localOnly) return;
    w.state = result == 0 ? WriteState::Rejected : WriteState::LocalOnly;
    if (result == 0) w.note = "SetRegisterData returned 0";
    w.doneNs = nowNs;
    releaseLocked(id);
}

WriteTracker::Followups WriteTracker::apply(const std::vector<Report>& reports, int64_t nowNs) {
    Followups next;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Report& r : reports) {
        switch (r.kind) {
            case Report::WriteDone:
                if (writeDoneLocked(r.id, r.result, nowNs)) next.readbacksToQueue.push_back(r.id);
                break;
            case Report::ReadbackDone: {
                auto it = writes_.find(r.id);
                if (it == writes_.end() || it->second.readback != WriteStatus::Readback::Pending)
                    break;
                if (r.result == 1)
                    next.readbacksDone.push_back(r.id);
                else
                    it->second.readback = WriteStatus::Readback::Failed;
                break;
            }
            case Report::Fail:
                failCallbacks_++;
                // The driver calls failCallback right after the result-2 completion.
                if (r.forWrite && lastFailedId_) {
                    writes_[lastFailedId_].failCallback = true;
                    lastFailedId_ = 0;
                }
                break;
        }
    }
    return next;
}

bool WriteTracker::writeDoneLocked(int id, int result, int64_t nowNs) {
    auto it = writes_.find(id);
    if (it == writes_.end() || it->second.state != WriteState::Queued) return false;
    WriteStatus& w = it->second;
    w.state = result == 1 ? WriteState::Confirmed : WriteState::Failed;
    w.doneNs = nowNs;
    releaseLocked(id);
    if (w.state == WriteState::Failed) lastFailedId_ = id;
    // An older write to the same target still waiting in the driver was
    // replaced in place by this one and never reports.
    for (auto& kv : writes_) {
        WriteStatus& o = kv.second;
        if (o.id < id && o.state == WriteState::Queued && sameTarget(o.req, w.req)) {
            o.state = WriteState::Superseded;
            o.doneNs = nowNs;
            releaseLocked(o.id);
        }
    }
    if (w.state != WriteState::Confirmed || !w.req.verify) return false;
    w.readback = WriteStatus::Readback::Pending;
    return true;
}

void WriteTracker::readbackNotQueued(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = writes_.find(id);
    if (it != writes_.end()) it->second.readback = WriteStatus::Readback::Failed;
}

void WriteTracker::readbackCompared(int id, const QByteArray& got) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = writes_.find(id);
    if (it == writes_.end() || it->second.readback != WriteStatus::Readback::Pending) return;
    WriteStatus& w = it->second;
    w.readValue = got;
    w.readback = readbackMatches(w.req, got) ? WriteStatus::Readback::Match
                                             : WriteStatus::Readback::Mismatch;
}

void WriteTracker::noteException(int id, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = writes_.find(id);
    if (it != writes_.end()) it->second.exception = code;
}

int WriteTracker::outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return int(std::count_if(writes_.begin(), writes_.end(), [](const auto& kv) {
        const WriteStatus& w = kv.second;
        return w.state == WriteState::Waiting || w.state == WriteState::Queued ||
               w.readback == WriteStatus::Readback::Pending;
    }));
}

WriteStatus WriteTracker::status(int id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = writes_.find(id);
    return it == writes_.end() ? WriteStatus() : it->second;
}

WriteRequest WriteTracker::request(int id) const { return status(id).req; }

std::vector<WriteStatus> WriteTracker::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<WriteStatus> out;
    out.reserve(writes_.size());
    for (const auto& kv : writes_) out.push_back(kv.second);
    return out;
}

int WriteTracker::failCallbacks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failCallbacks_;
}

}  // namespace plchost
