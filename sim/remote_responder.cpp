#include "remote_responder.h"

#include <algorithm>

#include "address_map.h"
#include "frames.h"

namespace plcsim {

namespace {

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

std::vector<uint8_t> readData(Memory& memory, int station, int type, int32_t addr, int count) {
    std::vector<uint8_t> data;
    if (isBitType(type)) {
        data.assign(size_t((count + 7) / 8), 0);
        for (int k = 0; k < count; ++k) {
            uint16_t v = 0;
            memory.unit(station, type, addr + k, &v);
            if (v) data[size_t(k / 8)] |= uint8_t(1u << (k % 8));
        }
    } else {
        for (int k = 0; k < count; ++k) {
            uint16_t v = 0;
            memory.unit(station, type, addr + k, &v);
            data.push_back(uint8_t(v >> 8));
            data.push_back(uint8_t(v & 0xFF));
        }
    }
    return data;
}

void writeData(Memory& memory, int station, int type, int32_t addr, int count,
               const std::vector<uint8_t>& value) {
    if (isWordType(type)) {
        const int n = std::min<int>(count, int(value.size() / 2));
        for (int k = 0; k < n; ++k)
            memory.setUnit(station, type, addr + k,
                           uint16_t((value[size_t(2 * k)] << 8) | value[size_t(2 * k + 1)]));
    } else if (isBitType(type)) {  // one byte per bit, its bit 0 counts
        const int n = std::min<int>(count, int(value.size()));
        for (int k = 0; k < n; ++k) memory.setUnit(station, type, addr + k, value[size_t(k)] & 1);
    } else {  // bit inside a word: one byte per bit, nonzero sets
        const int n = std::min<int>(count, int(value.size()));
        for (int k = 0; k < n; ++k) memory.setUnit(station, type, addr + k, value[size_t(k)] != 0);
    }
}

}  // namespace

RemoteOutcome respondRemote(const std::vector<uint8_t>& f, Memory& memory) {
    // Header: length, kind, direction, link, station, type (2), address (4),
    // count (2), special (4), extra (4); then the value bytes and the sum.
    RemoteOutcome out;
    const int direction = f[2];
    const int station = f[4];
    const int type = int16_t((f[5] << 8) | f[6]);
    const int32_t addr = int32_t(be32(&f[7]));
    const int count = (f[11] << 8) | f[12];

    if (station != 0 && !memory.isOnline(station)) {
        out.otherStation = true;
        out.refused = "station not served, no reply";
    } else if (direction == 0) {
        if (station == 0) {
            out.refused = "read from station 0, no reply";
        } else if (!(isBitType(type) || isWordType(type)) || addr < 0 ||
                   int64_t(areaBase(type)) + addr + count > kTableSize) {
            out.refused = "remote read outside the controller's memory";
        } else {
            const std::vector<uint8_t> data = readData(memory, station, type, addr, count);
            out.reply = {uint8_t(station), uint8_t(type), uint8_t(data.size())};
            out.reply.insert(out.reply.end(), data.begin(), data.end());
            appendCrc(out.reply);
        }
    } else if (direction == 1) {
        if (!isWritableType(type) || addr < 0) {
            out.refused = "remote write to an area the controller does not accept";
        } else {
            const std::vector<uint8_t> value(f.begin() + 21, f.end() - 1);
            out.wroteTo = station == 0 ? memory.onlineStations() : std::vector<int>{station};
            for (int s : out.wroteTo) writeData(memory, s, type, addr, count, value);
            out.broadcast = station == 0;
            if (station != 0) {
                out.reply = {uint8_t(station), uint8_t(type),       uint8_t(addr >> 8),
                             uint8_t(addr),    uint8_t(count >> 8), uint8_t(count)};
                appendCrc(out.reply);
            }
        }
    } else {
        out.refused = "unknown direction";
    }
    return out;
}

}  // namespace plcsim
