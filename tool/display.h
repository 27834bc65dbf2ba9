// Text rendering of the host's state: the variable table, stations, writes
// and the statistics line.
#ifndef PLCHOST_DISPLAY_H
#define PLCHOST_DISPLAY_H

#include <string>

#include "host_engine.h"

namespace plchost {

struct ScreenInfo {
    std::string link;     // device and character format
    std::string framing;  // "local" or "remote"
    double runSec = 0;
    double durationSec = -1;
};

std::string formatValue(const VarStatus& v);
std::string renderScreen(const Snapshot& snap, const ScreenInfo& info);

}  // namespace plchost

#endif  // PLCHOST_DISPLAY_H
