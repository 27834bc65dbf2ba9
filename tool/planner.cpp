#include "planner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "frame_decoder.h"
#include "text_table.h"

namespace plchost {

namespace {

void ignoreDone(int32_t, int32_t, int32_t, int32_t) {}
void ignoreFail(QList<RW_VAR>, int32_t, int32_t) {}

std::string ms(double us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", us / 1000);
    return buf;
}

}  // namespace

double wireTimeUs(int requestBytes, int replyBytes, const plc::serial::CharFormat& f) {
    const double charUs = plc::serial::charTimeUs(f);
    return (requestBytes + replyBytes) * charUs + 2 * 3.5 * charUs;
}

int modbusBlockLimit(bool wordAreas) { return wordAreas ? 125 : 250; }

std::vector<int> candidateBlockSizes(int configured, int limit) {
    std::set<int> sizes{configured, limit};
    for (int b = 1; b < limit; b *= 2) sizes.insert(b);
    return {sizes.begin(), sizes.end()};
}

QByteArray goodReplyFor(const QByteArray& frame, int station, int replyLen) {
    if (replyLen < 5) return QByteArray();
    QByteArray reply(replyLen, '\0');
    reply[0] = char(station);
    reply[1] = frame.size() > 1 ? frame[1] : '\0';
    reply[2] = char(replyLen - 5);
    const uint16_t crc =
        crc16(reinterpret_cast<const uint8_t*>(reply.constData()), size_t(replyLen - 2));
    reply[replyLen - 2] = char(crc & 0xFF);
    reply[replyLen - 1] = char(crc >> 8);
    return reply;
}

Planner::Planner(DriverApi& api, const EngineConfig& cfg, const plc::serial::CharFormat& line)
    : api_(api), cfg_(cfg), line_(line) {
    std::memset(&ci_, 0, sizeof ci_);
}

bool Planner::plan(int blockSize, CyclePlan* out, std::string* error) {
    std::memset(&ci_, 0, sizeof ci_);
    ci_.blockSize = blockSize;
    ci_.defStation = cfg_.com.defStation;
    ci_.retryMax = cfg_.com.retryMax;
    ci_.multiStation = cfg_.com.multiStation;
    ci_.remoteMode = cfg_.com.remoteMode;
    ci_.ownLinkNo = cfg_.com.ownLinkNo;
    ci_.runMode = 2;
    ci_.hostHandle = cfg_.com.hostHandle;
    api_.SetComInfo(&ci_);
    api_.RegistCallBackFuncIntf(&ignoreDone, &ignoreFail);
    api_.EnableEthernet(-1, 1);

    QList<VARDESC> descs = readDescriptors(cfg_.vars);
    const int entries = descs.isEmpty() ? 0 : api_.ReCreatReadVarList(&descs);
    *out = CyclePlan();
    out->blockSize = blockSize;
    // Every read-list entry once: a request is complete when its last
    // frame has been answered (framesDone reaches framesExpected).
    int completed = 0;
    for (int turns = 0; completed < entries; ++turns) {
        Protocol* p = api_.ComCommunication();
        if (!p || turns > 8 * entries + 64) {
            *error = "the driver stopped after " + std::to_string(completed) + " of " +
                     std::to_string(entries) + " read blocks";
            return false;
        }
        PlannedRequest r;
        r.station = p->var.station;
        r.type = p->var.regType;
        r.addr = p->var.addr;
        r.count = p->var.count;
        r.frame = p->frame.left(std::max(0, p->frameLen));
        r.replyBytes = std::max(0, p->replyLen);
        QByteArray reply = goodReplyFor(r.frame, r.station, p->replyLen);
        api_.DataCom(&reply, reply.size());
        if (ci_.framesDone >= ci_.framesExpected) ++completed;
        out->requestBytes += r.frame.size();
        out->replyBytes += r.replyBytes;
        out->wireMs += wireTimeUs(r.frame.size(), r.replyBytes, line_) / 1000;
        out->requests.push_back(r);
    }
    return true;
}

std::string renderPlan(const std::vector<CyclePlan>& plans, int configured,
                       const plc::serial::CharFormat& line, bool remote, int variables) {
    const int bits = plc::serial::bitsPerChar(line);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "plc-host --plan: %d variables, %s framing, %d %d%c%d, %d bits a character",
                  variables, remote ? "remote" : "local", line.baud, line.dataBits, line.parity,
                  line.stopBits, bits);
    std::string s = wrapParagraph(buf, 80, 0, 4) + "\n";

    const auto mine = std::find_if(plans.begin(), plans.end(),
                                   [&](const CyclePlan& p) { return p.blockSize == configured; });
    if (mine != plans.end()) {
        std::snprintf(buf, sizeof buf, " Block size %d (configured): %zu read requests per cycle\n",
                      configured, mine->requests.size());
        s += buf;
        std::vector<std::vector<std::string>> rows;
        int n = 0;
        for (const PlannedRequest& r : mine->requests) {
            const std::string wire =
                remote || r.frame.size() < 4
                    ? std::string("-")
                    : std::to_string((uint8_t(r.frame[2]) << 8) | uint8_t(r.frame[3]));
            rows.push_back({std::to_string(++n), std::to_string(r.station), std::to_string(r.type),
                            std::to_string(r.addr), std::to_string(r.count), wire,
                            std::to_string(r.frame.size()), std::to_string(r.replyBytes),
                            ms(wireTimeUs(r.frame.size(), r.replyBytes, line))});
        }
        s += renderTable({{"#", true},
                          {"St", true},
                          {"Type", true},
                          {"Unit", true},
                          {"Count", true},
                          {"Modbus", true},
                          {"Request", true},
                          {"Reply", true},
                          {"Wire ms", true}},
                         rows, 80);
    }

    std::vector<std::vector<std::string>> rows;
    const CyclePlan* fastest = nullptr;
    for (const CyclePlan& p : plans) {
        // Ties go to the configured size, then to the larger block.
        if (!fastest || p.wireMs < fastest->wireMs - 1e-9 ||
            (p.wireMs <= fastest->wireMs + 1e-9 && fastest->blockSize != configured))
            fastest = &p;
        rows.push_back({std::to_string(p.blockSize) + (p.blockSize == configured ? "*" : ""),
                        std::to_string(p.requests.size()), std::to_string(p.requestBytes),
                        std::to_string(p.replyBytes), ms(p.wireMs * 1000)});
    }
    s += "\n Block sizes compared (* configured):\n";
    s += renderTable({{"Block size", true},
                      {"Requests", true},
                      {"Bytes out", true},
                      {"Bytes in", true},
                      {"Wire ms/cycle", true}},
                     rows, 80);
    if (fastest && mine != plans.end()) {
        if (fastest->blockSize == configured) {
            std::snprintf(buf, sizeof buf,
                          "Fastest: the configured block size %d, %.2f ms of wire time per cycle.",
                          configured, fastest->wireMs);
        } else {
            std::snprintf(buf, sizeof buf,
                          "Fastest: block size %d, %.2f ms of wire time per cycle; the configured "
                          "%d takes %.2f ms (%.0f%% more).",
                          fastest->blockSize, fastest->wireMs, configured, mine->wireMs,
                          100.0 * (mine->wireMs / fastest->wireMs - 1));
        }
        s += "\n" + wrapParagraph(buf, 80, 1, 1);
    }
    std::snprintf(buf, sizeof buf,
                  "Wire time per request = (request bytes + reply bytes) x %d bits / %d baud + "
                  "2 x 3.5 characters of silence. The response time of the controller and the "
                  "poll interval come on top.",
                  bits, line.baud);
    s += "\n" + wrapParagraph(buf, 80, 1, 1);
    return s;
}

}  // namespace plchost
