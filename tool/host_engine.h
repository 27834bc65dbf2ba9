// The panel runtime's part of the polling loop, built on the driver's entry
// points: set-up, then ComCommunication -> send -> collect -> DataCom, with
// writes handed over through SetRegisterData. The bookkeeping around it has
// modules of its own: write_tracker (writes and read-backs), station_backoff,
// cycle_stats (counts, cycles, what each block last said), frame_decoder
// (the trace) and status (what a status code means).
#ifndef PLCHOST_HOST_ENGINE_H
#define PLCHOST_HOST_ENGINE_H

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cycle_stats.h"
#include "driver_api.h"
#include "serial_link.h"
#include "station_backoff.h"
#include "status.h"
#include "targets.h"
#include "units.h"
#include "write_tracker.h"

namespace plchost {

struct VarConfig {
    QString name;
    int station = 1;
    int type = 7;
    QString addrText;
    int count = 1;
    Format format = Format::Dec;
};

// The descriptors of `vars` for the driver's read-list rebuild.
QList<VARDESC> readDescriptors(const std::vector<VarConfig>& vars);

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

// Why a variable or write cannot go out as named, or empty: its target
// (targetError) and, with multiStation 0, its station (stationModeError).
std::string variableError(const VarConfig& v, const ComSettings& com, const AddressParser& parse);
std::string writeError(const WriteRequest& w, const ComSettings& com, const AddressParser& parse);

struct VarStatus {
    VarConfig cfg;
    QByteArray value;  // host byte order, from GetRegisterData
    bool addressOk = false;
    ReadState read;
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

    // Checks every variable (variableError), then SetComInfo,
    // FlashLocalRegister, RegistCallBackFuncIntf, the log handler and
    // ReCreatReadVarList. Nothing is set up when a variable is refused.
    bool setup(std::string* error);

    // One turn of the polling loop. Thread: the polling thread only.
    StepResult step();
    // Runs steps until pred() is true, stop() is called or timeoutMs passes.
    // Returns whether pred() became true.
    bool runUntil(const std::function<bool()>& pred, int timeoutMs);
    void stop();
    void setStopAtCycleEnd(bool on) { stopAtCycleEnd_ = on; }

    // Queues a write; returns its id (> 0). A write that cannot go out as
    // named (writeError) is recorded as Rejected with the reason. Any thread.
    int queueWrite(const WriteRequest& req);
    int outstandingWrites() const { return writes_.outstanding(); }
    WriteStatus writeStatus(int id) const { return writes_.status(id); }
    std::vector<WriteStatus> writes() const { return writes_.all(); }
    int failCallbacks() const { return writes_.failCallbacks(); }

    // Reads the register image for one variable (GetRegisterData).
    QByteArray readImage(int station, int type, const QString& addrText, int count,
                         bool* ok = nullptr) const;

    Snapshot snapshot() const;
    EngineStats stats() const;
    const std::vector<StationStatus>& stations() const { return backoff_.stations(); }
    uint64_t completedCycles() const { return cycles_.totals().cycles; }
    int readBlocks() const { return readBlocks_; }
    COMINFO& comInfo() { return ci_; }

    // Switch a station off or on by hand (EnCommStation).
    void setStationEnabled(int station, bool on) { backoff_.setEnabled(station, on); }

private:
    static void onVarDone(int32_t handle, int32_t kind, int32_t id, int32_t result);
    static void onFail(QList<RW_VAR> vars, int32_t kind, int32_t one);

    AddressParser parser() const;
    void submitWaitingWrites();
    void processReports();
    void queueReadback(int id);
    void probeStations(int64_t now);
    void traceLine(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void traceFrame(const char* dir, const QByteArray& bytes, const std::string& note);
    bool sleepInterruptible(int64_t untilNs);

    DriverApi& api_;
    SerialLink& link_;
    EngineConfig cfg_;
    COMINFO ci_;
    int64_t startNs_ = 0;

    // Polling-thread state.
    CycleStats cycles_;
    StationBackoff backoff_;
    bool stopAtCycleEnd_ = false;
    int readBlocks_ = 0;
    std::atomic<bool> stopping_{false};

    // Shared with host threads and the callbacks.
    WriteTracker writes_;
    std::mutex submitMutex_;  // one submitter at a time keeps writes in order
    std::mutex reportsMutex_;
    std::vector<WriteTracker::Report> reports_;  // from the callbacks, for processReports
};

}  // namespace plchost

#endif  // PLCHOST_HOST_ENGINE_H
