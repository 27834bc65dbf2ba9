// The live screen: the variable table, stations, writes and statistics,
// laid out for a terminal width of at least 80 columns.
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
    int width = 80;        // terminal columns; below 80 counts as 80
    bool showAll = false;  // every unit, not just the first kShownUnits
};

// Units a variable shows unless every unit is asked for.
constexpr int kShownUnits = 16;

// "–" stands for a unit no good reply has covered since the start.
extern const char* const kNoData;

// A variable's units as shown: "97 485", "– – 1 0", "(+4 more)" after the
// first kShownUnits unless showAll.
std::string formatValue(const VarStatus& v, bool showAll);
// A write's outcome: "confirmed (done 1 after 8 ms), read back 4660 OK".
std::string writeOutcome(const WriteStatus& w);
std::string renderScreen(const Snapshot& snap, const ScreenInfo& info);

}  // namespace plchost

#endif  // PLCHOST_DISPLAY_H
