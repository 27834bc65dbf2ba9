// plc-host's configuration: a JSON project file and/or command-line options
// in the style of the common Modbus polling tools.
#ifndef PLCHOST_PROJECT_H
#define PLCHOST_PROJECT_H

#include <string>
#include <vector>

#include "host_engine.h"
#include "serial_link.h"

namespace plchost {

struct ScheduledWrite {
    double atSec = 0;  // seconds after polling starts
    WriteRequest req;
};

struct SimSettings {
    std::vector<int> stations;  // empty: the stations the variables and writes use
    bool live = true;
    double faultRate = 0;
    uint32_t seed = 1;
    int replyDelayMs = 0;
    struct Preset {
        int station, type, addr;
        long value;
    };
    std::vector<Preset> presets;  // unit values set before polling starts
};

struct HostConfig {
    LinkSettings link;
    EngineConfig engine;
    SimSettings sim;
    std::vector<ScheduledWrite> writes;
    std::string driverPath;
    std::string projectPath;
    double durationSec = -1;  // < 0: until interrupted
    bool once = false;
    bool trace = false;
    bool plain = false;        // never use the refreshing screen
    double snapshotSec = 2.5;  // period of plain snapshots
};

enum class ParseStatus { Ok, Help, Version, Error };

// Defaults first, then the project file (-f/--project) if given, then the
// other options in order.
ParseStatus parseCommandLine(int argc, char** argv, HostConfig* cfg, std::string* error);
bool loadProject(const std::string& path, HostConfig* cfg, std::string* error);
std::string usageText();

}  // namespace plchost

#endif  // PLCHOST_PROJECT_H
