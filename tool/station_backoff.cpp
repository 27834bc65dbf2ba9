#include "station_backoff.h"

#include <algorithm>

#include "status.h"

namespace plchost {

StationBackoff::StationBackoff(const BackoffSettings& settings, Switch sw)
    : settings_(settings), switch_(std::move(sw)) {}

StationStatus& StationBackoff::station(int station) {
    auto it =
        std::lower_bound(stations_.begin(), stations_.end(), station,
                         [](const StationStatus& s, int wanted) { return s.station < wanted; });
    if (it != stations_.end() && it->station == station) return *it;
    StationStatus s;
    s.station = station;
    return *stations_.insert(it, s);
}

StationBackoff::Change StationBackoff::noteResult(int station, int status, int64_t nowNs) {
    StationStatus& s = this->station(station);
    s.lastStatus = status;
    if (isGood(status)) {
        s.good++;
        s.consecutiveGiveUps = 0;
        if (s.mode == StationStatus::Mode::Probing) {
            s.mode = StationStatus::Mode::On;
            return Change::BackInService;
        }
        return Change::None;
    }
    if (!isGiveUp(status)) return Change::None;
    s.giveUps++;
    s.consecutiveGiveUps++;
    if (settings_.giveUps <= 0 || s.consecutiveGiveUps < settings_.giveUps ||
        s.mode == StationStatus::Mode::Off)
        return Change::None;
    switch_(station, false);
    s.mode = StationStatus::Mode::Off;
    s.offUntilNs = nowNs + int64_t(settings_.delayMs) * 1000000;
    s.timesOff++;
    return Change::SwitchedOff;
}

std::vector<int> StationBackoff::probeDue(int64_t nowNs) {
    std::vector<int> probed;
    for (StationStatus& s : stations_) {
        if (s.mode == StationStatus::Mode::Off && nowNs >= s.offUntilNs) {
            switch_(s.station, true);
            s.mode = StationStatus::Mode::Probing;
            probed.push_back(s.station);
        }
    }
    return probed;
}

void StationBackoff::setEnabled(int station, bool on) {
    switch_(station, on);
    StationStatus& s = this->station(station);
    s.mode = on ? StationStatus::Mode::On : StationStatus::Mode::Off;
    s.offUntilNs = on ? 0 : INT64_MAX;
    if (on) s.consecutiveGiveUps = 0;
}

int64_t StationBackoff::nextProbeNs() const {
    int64_t next = INT64_MAX;
    for (const StationStatus& s : stations_)
        if (s.mode == StationStatus::Mode::Off) next = std::min(next, s.offUntilNs);
    return next;
}

}  // namespace plchost
