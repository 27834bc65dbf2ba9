#include "bench_support.h"

#include <cstring>
#include <random>

namespace bench {

uint16_t bitwiseCrc(const uint8_t* buf, size_t len) {
    unsigned crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= buf[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>(crc);
}

namespace {

void noDone(int32_t, int32_t, int32_t, int32_t) {}
void noFail(QList<RW_VAR>, int32_t, int32_t) {}
#if QT_VERSION >= 0x050000
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
void silenceQt() { qInstallMessageHandler(quiet); }
#else
void quiet(QtMsgType, const char*) {}
void silenceQt() { qInstallMsgHandler(quiet); }
#endif

void appendCrc(QByteArray& bytes) {
    const uint16_t crc =
        bitwiseCrc(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    bytes.append(char(crc & 0xFF));
    bytes.append(char(crc >> 8));
}

// Register data of every reply: 0x1214 in each register, high byte first.
void appendRegisterData(QByteArray& bytes, int n) {
    for (int i = 0; i < n; ++i) bytes.append(char(i % 2 ? 0x14 : 0x12));
}

}  // namespace

void resetDriver(COMINFO& info) {
    Communication_Protocol& d = PLC_driver;
    silenceQt();
    d.readList.clear();
    d.writeList.clear();
    d.onceReadList.clear();
    d.pendingFrames.clear();
    d.stationsOff.clear();
    d.lastList = 100;
    d.writeBurst = d.onceBurst = d.okCount = 0;
    d.failFlag = false;
    DataStorage.clear();
    SetComInfo(&info);
    RegistCallBackFuncIntf(noDone, noFail);
}

COMINFO defaultInfo() {
    COMINFO info{};
    info.blockSize = 35;
    info.defStation = 1;
    info.retryMax = 2;
    info.runMode = 2;
    info.hostHandle = 77;
    return info;
}

QByteArray controllerReply(const Protocol& p) {
    if (p.replyLen <= 0) return QByteArray();
    const QByteArray& f = p.frame;
    QByteArray r;
    r.append(char(p.var.station & 0xFF));
    const bool remote = PLC_driver.comInfo && PLC_driver.comInfo->remoteMode != 0;
    if (remote) {
        // Station, two header bytes, data, CRC: the length the frame expects.
        r.append(char(0));
        r.append(char(p.dataLen & 0xFF));
        appendRegisterData(r, p.replyLen - 5);
    } else {
        const int fn = uint8_t(f.at(1));
        const int count = uint8_t(f.at(4)) << 8 | uint8_t(f.at(5));
        if (fn == 1 || fn == 2) {
            const int n = (count + 7) / 8;
            r.append(char(fn));
            r.append(char(n));
            for (int i = 0; i < n; ++i) r.append(char(0xA5));
        } else if (fn == 3 || fn == 4) {
            r.append(char(fn));
            r.append(char(2 * count));
            appendRegisterData(r, 2 * count);
        } else {
            r = f.left(6);  // writes are acknowledged with their first six bytes
        }
    }
    appendCrc(r);
    return r;
}

QList<VARDESC> contiguousTags(int vars, int words) {
    QList<VARDESC> descs;
    for (int i = 0; i < vars; ++i) {
        VARDESC d{};
        d.regType = 7;
        d.station = 1;
        d.addrText = QString::number(i * words);
        d.name = QString::fromLatin1("Tag%1").arg(i);
        d.count = words;
        descs.append(d);
    }
    return descs;
}

QList<VARDESC> scatteredTags(int vars) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> addr(0, 60000);
    QList<VARDESC> descs;
    for (int i = 0; i < vars; ++i) {
        VARDESC d{};
        d.regType = 7;
        d.station = 1;
        d.addrText = QString::number(addr(rng));
        d.count = 1 + i % 4;
        descs.append(d);
    }
    return descs;
}

const std::vector<WorkloadInfo>& workloads() {
    static const std::vector<WorkloadInfo> all = {
        {Workload::LocalRead, "local_read", 1},
        {Workload::RemoteRead, "remote_read", 1},
        {Workload::RegisterWrite, "register_write", 1},
        {Workload::BitWrite, "bit_write", 2},
        {Workload::Mix, "mix", 5},
    };
    return all;
}

const WorkloadInfo* findWorkload(const std::string& name) {
    for (const WorkloadInfo& w : workloads())
        if (name == w.name) return &w;
    return nullptr;
}

PairDriver::PairDriver(Workload w) : info_(nullptr), com_(defaultInfo()), write_{} {
    for (const WorkloadInfo& i : workloads())
        if (i.workload == w) info_ = &i;
    write_.kind = 3;
    write_.id = 9;
    write_.direction = 1;
    write_.name = QString::fromLatin1("setpoint");
    write_.station = 1;
    write_.count = 1;
    if (w == Workload::BitWrite) {
        write_.regType = 20;
        write_.addrText = QString::fromLatin1("3.4");
        write_.addr = 3 * 16 + 4;
        write_.value = QByteArray(1, char(1));
    } else {
        write_.regType = 7;
        write_.addrText = QString::fromLatin1("100");
        write_.addr = 100;
        write_.value = QByteArray::fromHex("1234");
    }
}

bool PairDriver::prepare(int warmupPeriods, std::string* why) {
    com_ = defaultInfo();
    const Workload w = info_->workload;
    com_.remoteMode = w == Workload::RemoteRead ? 1 : 0;
    resetDriver(com_);
    for (QByteArray& r : replies_) r = QByteArray();
    live_ = true;
    if (w == Workload::LocalRead || w == Workload::RemoteRead || w == Workload::Mix) {
        QList<VARDESC> tags = contiguousTags(500, 7);
        if (ReCreatReadVarList(&tags) != 100) {
            *why = "the read list did not come out as 100 blocks";
            return false;
        }
    }
    for (int period = 0; period < warmupPeriods; ++period) {
        hostAction();
        for (int t = 0; t < turnsPerPeriod(); ++t) {
            const int status = turn();
            if (!live_) {
                *why = "frames of one kind got different replies";
                return false;
            }
            if (status != 1 && status != 100) {
                *why = "turn answered with status " + std::to_string(status);
                return false;
            }
        }
    }
    live_ = false;
    return true;
}

void PairDriver::hostAction() {
    const Workload w = info_->workload;
    if (w == Workload::RegisterWrite || w == Workload::BitWrite || w == Workload::Mix)
        AddListWriteVar(&write_, 0);
}

const QByteArray& PairDriver::replyFor(const Protocol& p) const {
    // Local frames by function code, remote ones by direction.
    const int key = com_.remoteMode != 0 ? 256 + uint8_t(p.frame.at(2)) : uint8_t(p.frame.at(1));
    return replies_[key];
}

int PairDriver::turn() {
    Protocol* p = ComCommunication();
    if (!p) p = ComCommunication();  // an idle call has reset the burst counters
    if (!p) return -1;
    QByteArray* reply = const_cast<QByteArray*>(&replyFor(*p));
    if (live_) {
        const QByteArray r = controllerReply(*p);
        if (reply->isNull()) {
            *reply = r;
        } else if (*reply != r) {
            live_ = false;  // prepare() reports it
            return -1;
        }
    }
    return DataCom(reply, reply->size())->status;
}

// ---------------------------------------------------------------------------
namespace {

struct CrcTable {
    uint16_t t[256];
    CrcTable() {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned c = i;
            for (int b = 0; b < 8; ++b) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
            t[i] = uint16_t(c);
        }
    }
};
const CrcTable kTable;

uint16_t tableCrc(const uint8_t* p, int len) {
    unsigned crc = 0xFFFF;
    for (int i = 0; i < len; ++i) crc = (crc >> 8) ^ kTable.t[(crc ^ p[i]) & 0xFF];
    return uint16_t(crc);
}

constexpr int kBlocks = 100;
constexpr int kWords = 35;

}  // namespace

ReferenceMaster::ReferenceMaster() : image_(2 * kBlocks * kWords) {
    reply_ = {1, 3, 2 * kWords};
    for (int i = 0; i < 2 * kWords; ++i) reply_.push_back(i % 2 ? 0x14 : 0x12);
    const uint16_t crc = tableCrc(reply_.data(), int(reply_.size()));
    reply_.push_back(uint8_t(crc));
    reply_.push_back(uint8_t(crc >> 8));
}

bool ReferenceMaster::exchange(const uint8_t* reply, int len) {
    const unsigned address = 11736 + block_ * kWords;
    request_[0] = 1;
    request_[1] = 3;
    request_[2] = uint8_t(address >> 8);
    request_[3] = uint8_t(address);
    request_[4] = 0;
    request_[5] = kWords;
    const uint16_t rq = tableCrc(request_, 6);
    request_[6] = uint8_t(rq);
    request_[7] = uint8_t(rq >> 8);

    if (len != 5 + 2 * kWords || reply[0] != 1) return false;
    const uint16_t crc = tableCrc(reply, len - 2);
    if (reply[len - 2] != uint8_t(crc) || reply[len - 1] != uint8_t(crc >> 8)) return false;
    uint8_t* out = image_.data() + 2 * kWords * block_;
    for (int j = 0; j < kWords; ++j) {
        out[2 * j] = reply[3 + 2 * j + 1];
        out[2 * j + 1] = reply[3 + 2 * j];
    }
    block_ = (block_ + 1) % kBlocks;
    return true;
}

}  // namespace bench
