// plc-sim's command line: one table of options that also produces --help,
// every value parsed strictly (the shared parsers of plc-host and plc-sim).
#ifndef PLCSIM_SIM_OPTIONS_H
#define PLCSIM_SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "serial_port.h"
#include "simulator.h"

namespace plcsim {

struct SimConfig {
    Options sim;                     // stations, faults, live values, line modes
    std::string device;              // empty: a pseudo-terminal
    plc::serial::CharFormat format;  // the device's; on a pty only the baud (pacing)
    struct Preset {
        int station, type, address;
        uint16_t value;
    };
    std::vector<Preset> presets;  // --set, applied before serving
    bool verbose = false;
};

enum class ParseResult { Ok, Help, Error };

// args without the program name. On Error, error says which option and why.
ParseResult parseSimOptions(const std::vector<std::string>& args, SimConfig* cfg,
                            std::string* error);
std::string simHelpText();

}  // namespace plcsim

#endif  // PLCSIM_SIM_OPTIONS_H
