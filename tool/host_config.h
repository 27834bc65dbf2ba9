// Everything a plc-host run is told: by the project file, then by the
// command-line options, which override it.
#ifndef PLCHOST_HOST_CONFIG_H
#define PLCHOST_HOST_CONFIG_H

#include <cstdint>
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
    bool pace = false;     // send reply bytes at the link's baud rate
    int turnaroundMs = 0;  // pause between request and reply when pacing
    int burstMs = 0;       // > 0: every reply in two bursts this far apart
    bool echo = false;     // echo every request byte first, as a two-wire line does
    struct Preset {
        int station, type, addr;
        long value;
    };
    std::vector<Preset> presets;  // unit values set before polling starts
};

// What plc-host does with the configuration.
enum class RunMode { Poll, ListTypes, Plan, Version, Help };
// How the per-cycle records are written: the live table, or one record per
// variable per completed cycle.
enum class OutputFormat { Table, Csv, Jsonl };

struct HostConfig {
    RunMode mode = RunMode::Poll;
    LinkSettings link;
    EngineConfig engine;
    SimSettings sim;
    std::vector<ScheduledWrite> writes;
    std::string driverPath = "libplcdriver.so.1";  // found through the program's RUNPATH
    std::string projectPath;
    double durationSec = -1;  // < 0: until interrupted
    int cycles = 0;           // > 0: stop after this many completed read cycles
    bool trace = false;
    bool plain = false;        // never use the refreshing screen
    bool showAll = false;      // every unit of every variable, however many
    double snapshotSec = 2.5;  // period of plain snapshots
    OutputFormat format = OutputFormat::Table;
    std::string logPath;  // records go to this file; the screen stays on stdout
};

}  // namespace plchost

#endif  // PLCHOST_HOST_CONFIG_H
