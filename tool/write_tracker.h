// The host's record of every write it hands the driver: waiting in the
// host's own queue while the driver holds enough, queued in the driver,
// confirmed or given up through the driver's callbacks, superseded when a
// later write to the same target replaced it in the driver's merging write
// list, and read back once confirmed. Any thread.
#ifndef PLCHOST_WRITE_TRACKER_H
#define PLCHOST_WRITE_TRACKER_H

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "units.h"

namespace plchost {

enum class WriteState {
    Waiting,     // in the host's queue, not yet handed to the driver
    Queued,      // handed to SetRegisterData, no outcome yet
    Confirmed,   // varDoneCallback result 1
    Failed,      // varDoneCallback result 2 (and failCallback)
    LocalOnly,   // runMode is not 2: written into the register image only
    Rejected,    // refused: by SetRegisterData (address, read-only area) or by the host
    Superseded,  // replaced in the driver's queue by a later write to the same target
};
const char* writeStateText(WriteState s);

struct WriteRequest {
    QString name;
    int station = 1;
    int type = 7;
    QString addrText;
    int count = 1;
    QByteArray values;   // host byte order: words low byte first, bits one byte each
    bool verify = true;  // read the target back once confirmed
};

struct WriteStatus {
    int id = 0;
    WriteRequest req;
    WriteState state = WriteState::Waiting;
    int queueResult = 0;        // SetRegisterData's result
    bool failCallback = false;  // a failCallback followed its result 2
    int exception = 0;          // Modbus exception code of its last reply, 0 = none
    std::string note;           // why the host refused it
    int64_t queuedNs = 0, doneNs = 0;
    enum class Readback { None, Pending, Match, Mismatch, Failed } readback = Readback::None;
    QByteArray readValue;
};

// Write records SetRegisterData makes of one write: one per bit, or the
// registers in pieces of blockSize (one piece when blockSize is 0 or less).
int writePieces(const WriteRequest& r, int blockSize);

// Whether units read back equal the units written (bits compare as 0/1;
// registers missing from `written` count as 0).
bool readbackMatches(const WriteRequest& r, const QByteArray& got);

class WriteTracker {
public:
    // At most maxPiecesInDriver write records wait inside the driver (whose
    // merging write list holds at most 1024 and drops beyond that); a single
    // larger write is still let through when the driver holds none.
    explicit WriteTracker(int maxPiecesInDriver);

    int add(const WriteRequest& req, int pieces);  // Waiting; returns the id (> 0)
    int addRejected(const WriteRequest& req, const std::string& why);  // final at once
    // Takes the oldest waiting write when the driver has room for it and
    // marks it Queued; false when none may go.
    bool takeNext(int64_t nowNs, int* id, WriteRequest* req);
    // SetRegisterData's result for a write from takeNext. 0: Rejected;
    // otherwise LocalOnly when the run mode keeps writes in the image.
    void submitted(int id, int result, bool localOnly, int64_t nowNs);

    // What the driver's callbacks reported during one DataCom: a write's or a
    // read-back's completion (result 1 done, 2 given up), or a failCallback
    // (which follows the result 2 it belongs to).
    struct Report {
        enum Kind { WriteDone, ReadbackDone, Fail } kind;
        int id = 0;
        int result = 0;
        bool forWrite = false;  // Fail: the given-up request was a write
    };
    struct Followups {
        std::vector<int> readbacksToQueue;  // confirmed writes to read back
        std::vector<int> readbacksDone;     // read-backs answered: compare the image
    };
    // Applies a batch under one lock, so no reader ever sees a write given up
    // before its failCallback is noted, or confirmed before the write it
    // superseded is marked.
    Followups apply(const std::vector<Report>& reports, int64_t nowNs);
    // Read-back: could not be queued / the units its once-read brought.
    void readbackNotQueued(int id);
    void readbackCompared(int id, const QByteArray& got);
    void noteException(int id, int code);

    int outstanding() const;  // waiting, queued or reading back
    WriteStatus status(int id) const;
    WriteRequest request(int id) const;
    std::vector<WriteStatus> all() const;
    int failCallbacks() const;

private:
    void releaseLocked(int id);
    bool writeDoneLocked(int id, int result, int64_t nowNs);

    const int maxPieces_;
    mutable std::mutex mutex_;
    std::map<int, WriteStatus> writes_;
    std::deque<int> waiting_;
    std::map<int, int> piecesOf_;        // pieces of each waiting/queued write
    std::map<int, int> piecesInDriver_;  // of writes handed to the driver
    int inDriver_ = 0;
    int nextId_ = 1;
    int lastFailedId_ = 0;
    int failCallbacks_ = 0;
};

}  // namespace plchost

#endif  // PLCHOST_WRITE_TRACKER_H
