#include "memory.h"

#include "address_map.h"

namespace plcsim {

Memory::Memory(const std::vector<int>& stations, bool live) : live_(live) {
    for (int s : stations) {
        if (s < 1 || s > 247 || maps_.count(s)) continue;
        if (modbus_mapping_t* m =
                modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize))
            maps_[s].map = m;
    }
    updateLive(0);
}

Memory::~Memory() {
    for (auto& kv : maps_) modbus_mapping_free(kv.second.map);
}

bool Memory::serves(int station) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return maps_.count(station) != 0;
}

bool Memory::isOnline(int station) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = maps_.find(station);
    return it != maps_.end() && it->second.online;
}

void Memory::setOnline(int station, bool online) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = maps_.find(station);
    if (it != maps_.end()) it->second.online = online;
}

std::vector<int> Memory::onlineStations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> out;
    for (const auto& kv : maps_)
        if (kv.second.online) out.push_back(kv.first);
    return out;
}

// Where one unit lives in a station's tables: a bit cell (0/1), a whole
// register, or one bit of a register for the bit-in-word codes. Null
// pointers when the unit is outside the tables.
Memory::Cell Memory::cellLocked(int station, int type, int address) const {
    Cell c;
    Table table;
    auto it = maps_.find(station);
    if (it == maps_.end() || !tableOf(type, &table) || address < 0) return c;
    modbus_mapping_t* m = it->second.map;
    const bool bitInWord = isBitInWordType(type);
    const int a = bitInWord ? areaBase(foldedType(type)) + address / 16 : areaBase(type) + address;
    if (a >= kTableSize) return c;
    switch (table) {
        case Table::DiscreteInputs:
            c.bit = &m->tab_input_bits[a];
            break;
        case Table::Coils:
            c.bit = &m->tab_bits[a];
            break;
        case Table::HoldingRegisters:
            c.word = &m->tab_registers[a];
            break;
        case Table::InputRegisters:
            c.word = &m->tab_input_registers[a];
            break;
    }
    if (bitInWord) c.bitNo = address % 16;
    return c;
}

bool Memory::unit(int station, int type, int address, uint16_t* value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Cell c = cellLocked(station, type, address);
    if (c.bit) {
        *value = *c.bit;
    } else if (c.word) {
        *value = c.bitNo < 0 ? *c.word : (*c.word >> c.bitNo) & 1;
    }
    return c.bit || c.word;
}

bool Memory::setUnit(int station, int type, int address, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Cell c = cellLocked(station, type, address);
    if (c.bit) {
        *c.bit = value ? 1 : 0;
    } else if (c.word && c.bitNo < 0) {
        *c.word = value;
    } else if (c.word) {
        const uint16_t mask = uint16_t(1u << c.bitNo);
        *c.word = value ? uint16_t(*c.word | mask) : uint16_t(*c.word & ~mask);
    }
    return c.bit || c.word;
}

void Memory::updateLive(int64_t elapsedNs) {
    if (!live_) return;
    const int64_t tick = elapsedNs / 100000000;  // 100 ms
    std::lock_guard<std::mutex> lock(mutex_);
    if (tick == lastTick_) return;
    lastTick_ = tick;
    const int walking = int((tick / 5) % 8);
    for (auto& kv : maps_) {
        modbus_mapping_t* m = kv.second.map;
        m->tab_registers[areaBase(7) + 0] = uint16_t(tick);
        m->tab_registers[areaBase(7) + 1] = uint16_t((tick * 5) % 1000);
        m->tab_input_registers[areaBase(13)] = uint16_t(tick / 10);
        for (int b = 0; b < 8; ++b) m->tab_input_bits[areaBase(0) + b] = b == walking ? 1 : 0;
    }
}

}  // namespace plcsim
