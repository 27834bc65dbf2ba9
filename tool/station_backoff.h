// Station back-off: a station that gives up `giveUps` times in a row is
// switched off in the driver (EnCommStation(station, 0)), so the others keep
// their pace; after `delayMs` it is switched on again and the next exchange
// with it is a probe. A good reply puts it back in service, a give-up
// switches it off again. Polling thread only.
#ifndef PLCHOST_STATION_BACKOFF_H
#define PLCHOST_STATION_BACKOFF_H

#include <cstdint>
#include <functional>
#include <vector>

namespace plchost {

struct BackoffSettings {
    int giveUps = 3;     // consecutive give-ups that switch a station off; 0 = never
    int delayMs = 5000;  // how long it stays off before a probe
};

struct StationStatus {
    int station = 0;
    enum class Mode { On, Off, Probing } mode = Mode::On;
    int consecutiveGiveUps = 0;
    int64_t offUntilNs = 0;  // INT64_MAX: switched off by hand, never probed
    uint64_t requests = 0, good = 0, giveUps = 0, timesOff = 0;
    int lastStatus = -1;
};

class StationBackoff {
public:
    // What a change of mode means for the trace.
    enum class Change { None, SwitchedOff, Probing, BackInService };
    // Switches a station on or off in the driver.
    using Switch = std::function<void(int station, bool on)>;

    StationBackoff(const BackoffSettings& settings, Switch sw);

    // Starts tracking a station (no effect when it is known already).
    StationStatus& station(int station);
    const std::vector<StationStatus>& stations() const { return stations_; }

    void noteRequest(int station) { this->station(station).requests++; }
    // The outcome of one exchange with the station (DataCom's status).
    Change noteResult(int station, int status, int64_t nowNs);
    // Switches stations whose off-time has passed back on; returns them.
    std::vector<int> probeDue(int64_t nowNs);
    // By hand: off means off until switched on again, without probes.
    void setEnabled(int station, bool on);
    // The earliest time a probe is due; INT64_MAX when none.
    int64_t nextProbeNs() const;

private:
    BackoffSettings settings_;
    Switch switch_;
    std::vector<StationStatus> stations_;  // ascending by station
};

}  // namespace plchost

#endif  // PLCHOST_STATION_BACKOFF_H
