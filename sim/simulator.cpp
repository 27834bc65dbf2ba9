#include "simulator.h"

#include <cstring>

#include "frames.h"
#include "remote_responder.h"

namespace plcsim {

Simulator::Simulator(const Options& options)
    : options_(options),
      memory_(options.stations, options.live),
      faults_(options.faultRate, options.seed) {
    startNs_ = monotonicNs();
    line_.setTiming({options.pace, options.paceBaud, options.turnaroundUs, options.burstGapMs,
                     options.echo, options.replyDelayUs});
}

Simulator::~Simulator() { stop(); }

bool Simulator::openPty(std::string* error) { return line_.openPty(error); }

bool Simulator::openDevice(const std::string& path, int baud, char parity, int dataBits,
                           int stopBits, std::string* error) {
    warnings_.clear();
    return line_.openDevice(path, {baud, parity, dataBits, stopBits}, &warnings_, error);
}

bool Simulator::start(std::string* error) {
    if (!line_.isOpen()) {
        if (error) *error = "no line opened";
        return false;
    }
    if (thread_.joinable()) return true;
    if (!modbus_.open(error)) return false;
    stopping_ = false;
    line_.rearm();
    thread_ = std::thread([this] { serve(); });
    return true;
}

void Simulator::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    line_.stop();
    thread_.join();
}

bool Simulator::unit(int station, int type, int address, uint16_t* value) const {
    return memory_.unit(station, type, address, value);
}

bool Simulator::setUnit(int station, int type, int address, uint16_t value) {
    return memory_.setUnit(station, type, address, value);
}

Stats Simulator::stats() const {
    std::lock_guard<std::mutex> lock(statsMutex_);
    return stats_;
}

void Simulator::resetStats() {
    std::lock_guard<std::mutex> lock(statsMutex_);
    stats_ = Stats();
}

void Simulator::traceBytes(const char* tag, const std::vector<uint8_t>& bytes, const char* note) {
    if (!options_.trace) return;
    const double t = double(monotonicNs() - startNs_) / 1e9;
    std::string hex;
    char b[4];
    for (uint8_t c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        hex += b;
    }
    std::fprintf(options_.trace, "[%9.3f] sim %s %s%s%s\n", t, tag, hex.c_str(),
                 note && *note ? " ; " : "", note ? note : "");
    std::fflush(options_.trace);
}

void Simulator::serve() {
    std::vector<uint8_t> buf;
    Arrival at{0, 0};
    while (!stopping_) {
        const Line::Wait w = line_.wait(buf.empty() ? 20 : 1);
        if (w == Line::Wait::Stop) break;
        if (w == Line::Wait::Data) {
            const bool fresh = buf.empty();
            if (line_.read(buf) > 0) {
                at.lastByteNs = monotonicNs();
                if (fresh) at.firstByteNs = at.lastByteNs;
            }
        }
        memory_.updateLive(monotonicNs() - startNs_);
        while (!buf.empty()) {
            const FoundFrame f = findFrame(buf);
            if (f.kind != FrameKind::None) {
                const std::vector<uint8_t> frame(buf.begin(), buf.begin() + long(f.length));
                buf.erase(buf.begin(), buf.begin() + long(f.length));
                if (f.kind == FrameKind::Modbus)
                    handleModbus(frame, at);
                else
                    handleRemote(frame, at);
                continue;
            }
            if (monotonicNs() - at.lastByteNs >= line_.frameGapNs()) {
                handleNoise(buf);
                buf.clear();
            }
            break;
        }
    }
}

void Simulator::handleNoise(const std::vector<uint8_t>& bytes) {
    // Bytes that never formed a checked frame. If they could be a Modbus
    // request, libmodbus gets the last word on them; nothing is answered.
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        stats_.rejected++;
    }
    if (bytes.size() >= 4)
        traceBytes("RX", bytes,
                   modbus_.acceptsAsRequest(bytes) ? "noise accepted by libmodbus, not answered"
                                                   : "refused (bad frame)");
    else
        traceBytes("RX", bytes, "noise");
}

void Simulator::handleModbus(const std::vector<uint8_t>& frame, const Arrival& at) {
    const int station = frame[0];
    const bool served = station == 0 || memory_.isOnline(station);
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        stats_.frames++;
        stats_.modbusRequests++;
        stats_.requestsPerStation[station]++;
        if (!served) stats_.otherStation++;
    }
    if (!served) {
        traceBytes("RX", frame, "station not served, no reply");
        return;
    }
    ModbusBridge::Outcome out = modbus_.handle(frame, memory_);
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        if (out.kind == ModbusBridge::Outcome::Refused) stats_.rejected++;
        if (out.kind == ModbusBridge::Outcome::Broadcast) stats_.broadcasts++;
        if (out.wrote)
            for (int s : out.stations) stats_.writesPerStation[s]++;
    }
    switch (out.kind) {
        case ModbusBridge::Outcome::Refused:
            traceBytes("RX", frame, out.why.c_str());
            break;
        case ModbusBridge::Outcome::Broadcast:
            traceBytes("RX", frame, "broadcast, applied to every station");
            break;
        case ModbusBridge::Outcome::Answered:
            traceBytes("RX", frame, "");
            if (!out.reply.empty()) sendReply(std::move(out.reply), frame.size(), at);
            break;
    }
}

void Simulator::handleRemote(const std::vector<uint8_t>& frame, const Arrival& at) {
    RemoteOutcome out = respondRemote(frame, memory_);
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        stats_.frames++;
        stats_.remoteRequests++;
        stats_.requestsPerStation[frame[4]]++;
        if (out.otherStation) stats_.otherStation++;
        if (out.refused && !out.otherStation) stats_.rejected++;
        if (out.broadcast) stats_.broadcasts++;
        for (int s : out.wroteTo) stats_.writesPerStation[s]++;
    }
    traceBytes("RX", frame,
               out.refused ? out.refused : (out.broadcast ? "remote broadcast" : "remote"));
    if (!out.reply.empty()) sendReply(std::move(out.reply), frame.size(), at);
}

void Simulator::sendReply(std::vector<uint8_t> reply, size_t requestLen, const Arrival& at) {
    const Fault fault = faults_.spoil(reply);
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        stats_.dropped += fault == Fault::Dropped;
        stats_.corrupted += fault == Fault::BadChecksum;
        stats_.truncated += fault == Fault::CutShort;
        stats_.replies += fault != Fault::Dropped;
    }
    if (fault == Fault::Dropped) {
        traceBytes("TX", reply, "fault: reply dropped");
        return;
    }
    traceBytes("TX", reply,
               fault == Fault::BadChecksum ? "fault: bad CRC"
               : fault == Fault::CutShort  ? "fault: cut short"
                                           : "");
    line_.sendReply(reply, requestLen, at.firstByteNs, at.lastByteNs);
}

}  // namespace plcsim
