// The panel runtime's part of the polling loop, built on the driver's entry
// points: set-up, ComCommunication -> send -> collect -> DataCom, writes
// through SetRegisterData with their completion tracking, station back-off,
// and the statistics the host tool shows.
#ifndef PLCHOST_HOST_ENGINE_H
#define PLCHOST_HOST_ENGINE_H

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

#include "driver_api.h"
#include "serial_link.h"

namespace plchost {

// How a variable's units are shown.
enum class Format { Dec, Int, Hex, Bin };

struct VarConfig {
    QString name;
    int station = 1;
    int type = 7;
    QString addrText;
    int count = 1;
    Format format = Format::Dec;
};

// The host's communication-information settings (COMINFO words it owns).
struct ComSettings {
    int blockSize = 32;
    int defStation = 1;
    int retryMax = 2;
    int multiStation = 0;
    int remoteMode = 0;
    int ownLinkNo = 0;
    int runMode = 2;
    int hostHandle = 1;
};

struct BackoffSettings {
    int giveUps = 3;     // consecutive give-ups that switch a station off; 0 = never
    int delayMs = 5000;  // how long it stays off before a probe
};

struct EngineConfig {
    ComSettings com;
    BackoffSettings backoff;
    std::vector<VarConfig> vars;
    int pollIntervalMs = 1000;  // shortest time from one read cycle to the next
    bool installLogHandler = true;
    FILE* trace = nullptr;  // hex frames with time stamps
    // Largest number of write records the host lets wait in the driver; more
    // writes wait in the host's own queue (the driver's merging write list
    // holds at most 1024 and drops beyond that).
    int maxWritesInDriver = 512;
};

// Status codes of the record DataCom returns, classified.
bool isGood(int status);    // 1 or 100
bool isRetry(int status);   // 0: the frame will be repeated
bool isGiveUp(int status);  // anything else: the request was given up
const char* statusText(int status);

enum class WriteState {
    Waiting,     // in the host's queue, not yet handed to the driver
    Queued,      // handed to SetRegisterData, no outcome yet
    Confirmed,   // varDoneCallback result 1
    Failed,      // varDoneCallback result 2 (and failCallback)
    LocalOnly,   // runMode is not 2: written into the register image only
    Rejected,    // SetRegisterData refused it (address, area, full list)
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
    int64_t queuedNs = 0, doneNs = 0;
    // Read-back after confirmation.
    enum class Readback { None, Pending, Match, Mismatch, Failed } readback = Readback::None;
    QByteArray readValue;
};

struct StationStatus {
    int station = 0;
    enum class Mode { On, Off, Probing } mode = Mode::On;
    int consecutiveGiveUps = 0;
    int64_t offUntilNs = 0;
    uint64_t requests = 0, good = 0, giveUps = 0, timesOff = 0;
    int lastStatus = -1;
};

struct EngineStats {
    uint64_t requests = 0;                                // frames sent, repeats included
    uint64_t good = 0;                                    // status 1 or 100
    uint64_t goodRemote = 0;                              // of which 100 (remote reply, not stored)
    uint64_t retries = 0;                                 // status 0
    uint64_t giveUps = 0;                                 // any other status
    uint64_t noReply = 0, badReply = 0, wrongLength = 0;  // give-ups by kind
    uint64_t broadcasts = 0;
    uint64_t cycles = 0;  // complete read cycles
    double lastCycleMs = 0, avgCycleMs = 0;
    double elapsedSec = 0;
    double requestsPerSec = 0;
    int readBlocks = 0;  // entries ReCreatReadVarList built
};

struct VarStatus {
    VarConfig cfg;
    QByteArray value;  // host byte order, from GetRegisterData
    bool addressOk = false;
    int lastStatus = -1;  // status of the last exchange of a block covering it
    double ageSec = -1;   // since that exchange
};

struct Snapshot {
    std::vector<VarStatus> vars;
    std::vector<WriteStatus> writes;
    std::vector<StationStatus> stations;
    EngineStats stats;
};

enum class StepResult {
    Exchanged,  // one frame sent and its reply handed to DataCom
    Idle,       // the driver had nothing to send
    CycleEnd,   // a read cycle is complete and stopAtCycleEnd was set: nothing sent
    Stopped,    // stop() was called
};

class HostEngine {
public:
    HostEngine(DriverApi& api, SerialLink& link, const EngineConfig& cfg);
    ~HostEngine();
    HostEngine(const HostEngine&) = delete;
    HostEngine& operator=(const HostEngine&) = delete;

    // SetComInfo, FlashLocalRegister, RegistCallBackFuncIntf, the log handler,
    // address checks of every variable and ReCreatReadVarList.
    bool setup(std::string* error);

    // One turn of the polling loop. Thread: the polling thread only.
    StepResult step();
    // Runs steps until pred() is true, stop() is called or timeoutMs passes.
    // Returns whether pred() became true.
    bool runUntil(const std::function<bool()>& pred, int timeoutMs);
    void stop();
    void setStopAtCycleEnd(bool on) { stopAtCycleEnd_ = on; }

    // Queues a write; returns its id (> 0), or 0 when the address text does
    // not parse. Any thread.
    int queueWrite(const WriteRequest& req);
    // Writes that have not reached a final state.
    int outstandingWrites() const;
    WriteStatus writeStatus(int id) const;
    std::vector<WriteStatus> writes() const;

    // Reads the register image for one variable (GetRegisterData).
    QByteArray readImage(int station, int type, const QString& addrText, int count,
                         bool* ok = nullptr) const;

    Snapshot snapshot() const;
    EngineStats stats() const;
    const std::vector<StationStatus>& stations() const { return stationList_; }
    uint64_t completedCycles() const { return stats_.cycles; }
    int readBlocks() const { return readBlocks_; }
    int failCallbacks() const;
    COMINFO& comInfo() { return ci_; }

    // Switch a station off or on by hand (EnCommStation).
    void setStationEnabled(int station, bool on);

private:
    struct Event {
        enum Kind { Done, Fail } kind;
        int kindArg, id, result;
    };
    struct BlockKey {
        int station, type, addr, count;
        bool operator<(const BlockKey& o) const {
            return std::tie(station, type, addr, count) <
                   std::tie(o.station, o.type, o.addr, o.count);
        }
    };
    struct BlockState {
        int status = -1;
        int64_t atNs = 0;
    };

    static void onVarDone(int32_t handle, int32_t kind, int32_t id, int32_t result);
    static void onFail(QList<RW_VAR> vars, int32_t kind, int32_t one);

    void submitWaitingWrites();
    void processEvents();
    void probeStations(int64_t now);
    void noteStationResult(int station, int status, int64_t now);
    StationStatus& stationState(int station);
    void traceLine(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void traceFrame(const char* dir, const QByteArray& bytes, const std::string& note);
    std::string describeRequest(const QByteArray& frame, const RW_VAR& v) const;
    int piecesOf(const WriteRequest& r) const;
    bool sleepInterruptible(int64_t untilNs);

    DriverApi& api_;
    SerialLink& link_;
    EngineConfig cfg_;
    COMINFO ci_;
    int64_t startNs_ = 0;

    // Polling-thread state.
    EngineStats stats_;
    std::set<BlockKey> doneThisCycle_;
    std::map<BlockKey, BlockState> blocks_;
    int64_t cycleStartNs_ = 0;
    bool stopAtCycleEnd_ = false;
    std::vector<StationStatus> stationList_;
    int readBlocks_ = 0;
    int lastFailedWriteId_ = 0;
    int failCallbacks_ = 0;
    std::atomic<bool> stopping_{false};

    // Shared with host threads and the callbacks.
    mutable std::mutex writesMutex_;
    std::map<int, WriteStatus> writes_;
    std::deque<int> waiting_;
    int nextWriteId_ = 1;
    int piecesInDriver_ = 0;
    std::map<int, int> piecesOfWrite_;

    std::mutex eventsMutex_;
    std::vector<Event> events_;
};

// Host byte order <-> unit values.
QByteArray encodeUnits(int type, const std::vector<long>& values);
std::vector<long> decodeUnits(int type, const QByteArray& bytes, Format fmt);
bool isBitUnitType(int type);  // one unit is one bit: codes 0..6 and 20..23
int foldedCode(int type);

}  // namespace plchost

#endif  // PLCHOST_HOST_ENGINE_H
