// plc-sim: the simulated controller on its own. It creates a pseudo-terminal
// pair and prints the path a master should open, or serves a real serial
// device, until it is interrupted.
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <csignal>
#include <cstdio>

#include "sim_options.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

enum Exit { kOk = 0, kUsage = 2, kLine = 4 };

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // for --help's usage line
    std::vector<std::string> args(argv + 1, argv + argc);
    plcsim::SimConfig cfg;
    std::string err;
    switch (plcsim::parseSimOptions(args, &cfg, &err)) {
        case plcsim::ParseResult::Help:
            std::fputs(plcsim::simHelpText().c_str(), stdout);
            return kOk;
        case plcsim::ParseResult::Error:
            std::fprintf(stderr, "plc-sim: %s (see --help)\n", err.c_str());
            return kUsage;
        case plcsim::ParseResult::Ok:
            break;
    }
    if (cfg.verbose) cfg.sim.trace = stdout;

    plcsim::Simulator sim(cfg.sim);
    for (const plcsim::SimConfig::Preset& p : cfg.presets) {
        if (!sim.setUnit(p.station, p.type, p.address, p.value)) {
            std::fprintf(stderr, "plc-sim: --set %d/%d:%d has no place in memory\n", p.station,
                         p.type, p.address);
            return kUsage;
        }
    }
    const plc::serial::CharFormat& f = cfg.format;
    const bool opened = cfg.device.empty() ? sim.openPty(&err)
                                           : sim.openDevice(cfg.device, f.baud, f.parity,
                                                            f.dataBits, f.stopBits, &err);
    if (!opened || !sim.start(&err)) {
        std::fprintf(stderr, "plc-sim: %s\n", err.c_str());
        return kLine;
    }
    for (const std::string& w : sim.warnings())
        std::fprintf(stderr, "plc-sim: %s: %s\n", cfg.device.c_str(), w.c_str());
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::string list;
    for (int s : cfg.sim.stations) list += (list.empty() ? "" : ",") + std::to_string(s);
    std::string modes;
    if (cfg.sim.pace) modes += " paced at " + std::to_string(f.baud) + " baud";
    if (cfg.sim.burstGapMs > 0)
        modes += ", replies in bursts " + std::to_string(cfg.sim.burstGapMs) + " ms apart";
    if (cfg.sim.echo) modes += ", echoing requests";
    std::printf("plc-sim: serving stations %s on %s%s\n", list.c_str(), sim.devicePath().c_str(),
                modes.c_str());
    if (cfg.device.empty()) std::printf("%s\n", sim.devicePath().c_str());
    std::fflush(stdout);

    while (!g_stop) ::usleep(100000);
    sim.stop();
    const plcsim::Stats st = sim.stats();
    std::printf(
        "plc-sim: %llu requests (%llu Modbus, %llu remote, %llu broadcast), %llu replies, "
        "%llu refused, %llu for other stations; faults: %llu dropped, %llu bad CRC, %llu short\n",
        (unsigned long long)st.frames, (unsigned long long)st.modbusRequests,
        (unsigned long long)st.remoteRequests, (unsigned long long)st.broadcasts,
        (unsigned long long)st.replies, (unsigned long long)st.rejected,
        (unsigned long long)st.otherStation, (unsigned long long)st.dropped,
        (unsigned long long)st.corrupted, (unsigned long long)st.truncated);
    return kOk;
}
