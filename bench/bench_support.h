// Workloads for the driver's benchmarks: the host's side of the polling loop
// and a controller that answers every request correctly. Uses only what the
// driver exports plus the driver object's lists, so the same sources measure
// any revision of the driver.
#ifndef PLC_BENCH_SUPPORT_H
#define PLC_BENCH_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "driver_internal.h"

namespace bench {

// CRC-16/MODBUS, bit by bit: the reference every faster form must match.
uint16_t bitwiseCrc(const uint8_t* buf, size_t len);

// Empties the driver's lists, pending frames and image and hands it `info`.
// Diagnostics are silenced.
void resetDriver(COMINFO& info);

// The settings every workload starts from: blockSize 35, station 1, two
// repeats, writes sent to the controller.
COMINFO defaultInfo();

// The reply a well-behaved controller sends to `p`: reads carry a fixed data
// pattern (register reads answer 0x1214 for every register), writes are
// acknowledged, remote frames get a reply of the expected length.
QByteArray controllerReply(const Protocol& p);

// A panel project: `vars` word variables of area 7 on station 1, `words`
// registers each, one after the other, named "Tag<n>", so that a block of
// blockSize registers holds blockSize / words of them.
QList<VARDESC> contiguousTags(int vars, int words);

// `vars` word variables of area 7 on station 1 at random addresses 0..60000
// (a fixed seed), 1 to 4 registers each: every one lands in one group, the
// rebuild's worst case for sorting.
QList<VARDESC> scatteredTags(int vars);

// The exchanges the pair benchmarks time. One turn is a ComCommunication and
// the DataCom of its reply; a period is what the host does between its own
// actions (queueing a write), and is repeated for as long as measured.
enum class Workload {
    LocalRead,      // 500 variables in 100 blocks of 35 registers; 75-byte replies
    RemoteRead,     // the same in the remote framing
    RegisterWrite,  // queue one single-register write, then its turn
    BitWrite,       // queue one bit-in-word write, then its two turns
    Mix,            // queue one register write, then five turns: the write, four reads
};
struct WorkloadInfo {
    Workload workload;
    const char* name;
    int turnsPerPeriod;
};
const std::vector<WorkloadInfo>& workloads();
const WorkloadInfo* findWorkload(const std::string& name);

// Replays a workload against the driver. Replies come from a table built
// while the workload is first run with the live controller, so a turn costs
// the driver's work and a table look-up. Every frame of a workload must get
// the same reply as every other frame of its kind; prepare() checks that.
class PairDriver {
public:
    explicit PairDriver(Workload w);
    // Sets the driver up and runs `warmupPeriods` periods with the live
    // controller. False (with a reason) if a reply was not good or the
    // replies were not uniform.
    bool prepare(int warmupPeriods, std::string* why);
    // The host's action at the start of a period (queueing writes).
    void hostAction();
    // One turn: the next frame and its reply. Returns the status DataCom
    // reported, or -1 when there was nothing to send.
    int turn();
    int turnsPerPeriod() const { return info_->turnsPerPeriod; }

private:
    const QByteArray& replyFor(const Protocol& p) const;
    const WorkloadInfo* info_;
    COMINFO com_;
    RW_VAR write_;
    QByteArray replies_[512];
    bool live_ = true;
};

// A minimal hand-written Modbus master doing the local read exchange: build
// the 8-byte request with a table CRC, check the 75-byte reply (length,
// station, CRC) and swap its 35 registers into a plain image. The floor the
// driver's pair is compared with.
class ReferenceMaster {
public:
    ReferenceMaster();
    // Builds the next request and consumes `reply`; false if it was refused.
    bool exchange(const uint8_t* reply, int len);
    const uint8_t* request() const { return request_; }
    const uint8_t* reply() const { return reply_.data(); }
    int replyLen() const { return static_cast<int>(reply_.size()); }

private:
    uint8_t request_[8];
    std::vector<uint8_t> reply_;
    std::vector<uint8_t> image_;
    int block_ = 0;
};

}  // namespace bench

#endif
