// The simulated controller's memory: one libmodbus register map per station
// (the four Modbus tables over the whole 16-bit address space), whether each
// station is online, and the live values that change on their own.
#ifndef PLCSIM_MEMORY_H
#define PLCSIM_MEMORY_H

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace plcsim {

class Memory {
public:
    // Stations outside 1..247 and repeats are left out.
    Memory(const std::vector<int>& stations, bool live);
    ~Memory();
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;

    bool serves(int station) const;
    // Served and switched on: an offline station keeps its memory but answers
    // nothing, like a controller that was switched off.
    bool isOnline(int station) const;
    void setOnline(int station, bool online);
    std::vector<int> onlineStations() const;

    // One unit the way the driver names it: register-type code and address
    // number (a bit number across the area for codes 20..23); a bit (0/1) or
    // a 16-bit register. False where the station or the unit has no place.
    bool unit(int station, int type, int address, uint16_t* value) const;
    bool setUnit(int station, int type, int address, uint16_t value);

    // Runs f(modbus_mapping_t*) on a station's map with the memory locked;
    // false when the station is not served.
    template <class F>
    bool withMap(int station, F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = maps_.find(station);
        if (it == maps_.end()) return false;
        f(it->second.map);
        return true;
    }

    // Live values, on every station: area 7 register 0 counts up every 100 ms,
    // register 1 ramps 0..995 in steps of 5, area 13 register 0 counts
    // seconds, and one bit walks through area 0 bits 0..7 every 500 ms.
    void setLive(bool live) { live_ = live; }
    // Brings the live values up to elapsedNs since the start.
    void updateLive(int64_t elapsedNs);

private:
    struct Station {
        modbus_mapping_t* map = nullptr;
        bool online = true;
    };
    struct Cell {
        uint8_t* bit = nullptr;
        uint16_t* word = nullptr;
        int bitNo = -1;  // bit inside *word for bit-in-word codes, else -1
    };
    Cell cellLocked(int station, int type, int address) const;

    mutable std::mutex mutex_;
    std::map<int, Station> maps_;
    std::atomic<bool> live_;
    int64_t lastTick_ = -1;
};

}  // namespace plcsim

#endif  // PLCSIM_MEMORY_H
