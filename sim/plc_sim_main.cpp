// plc-sim: the simulated controller on its own. It creates a pseudo-terminal
// pair and prints the path a master should open, or serves a real serial
// device, until it is interrupted.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simulator.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: plc-sim [options]\n"
                 "A simulated controller speaking Modbus RTU (served by libmodbus) and the\n"
                 "driver's remote framing. Without --device it creates a pseudo-terminal and\n"
                 "prints the path to open, then serves until interrupted (Ctrl-C).\n"
                 "\n"
                 "  --stations LIST      stations to serve, e.g. 1,2,5 (default 1)\n"
                 "  --device PATH        serve on a serial device instead of a pty\n"
                 "  -b BAUD              device baud rate (default 9600)\n"
                 "  -P none|even|odd     device parity (default even)\n"
                 "  -d 7|8               device data bits (default 8)\n"
                 "  -s 1|2               device stop bits (default 1)\n"
                 "  --fault-rate X       share of replies spoiled (0..1): dropped, bad CRC\n"
                 "                       or cut short, in equal parts (default 0)\n"
                 "  --seed N             seed of the fault generator (default 1)\n"
                 "  --reply-delay-ms N   pause before every reply (default 0)\n"
                 "  --no-live            keep memory still (no counter, ramp or walking bit)\n"
                 "  --set S/T:A=V        preset a unit: station S, register-type code T,\n"
                 "                       address number A (bit number for 20..23), value V;\n"
                 "                       repeatable, e.g. --set 1/7:3=0xA5C3\n"
                 "  -v, --verbose        log every frame received and sent\n"
                 "  -h, --help           this text\n"
                 "\n"
                 "Exit status: 0 after an interrupt, 2 on bad options, 4 when the line\n"
                 "cannot be opened.\n");
}

bool parseInt(const char* s, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 0);
    if (errno || end == s || *end) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    plcsim::Options opt;
    opt.stations.clear();
    std::string device;
    long baud = 9600, dataBits = 8, stopBits = 1;
    char parity = 'E';
    bool verbose = false;
    struct Preset {
        long station, type, addr, value;
    };
    std::vector<Preset> presets;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](long* out) {
            if (i + 1 >= argc || !parseInt(argv[i + 1], out)) {
                std::fprintf(stderr, "plc-sim: %s needs a number\n", a.c_str());
                std::exit(2);
            }
            ++i;
        };
        auto text = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "plc-sim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--stations") {
            std::string list = text();
            size_t pos = 0;
            while (pos <= list.size()) {
                const size_t comma = list.find(',', pos);
                const std::string item =
                    list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                long s;
                if (!parseInt(item.c_str(), &s) || s < 1 || s > 247) {
                    std::fprintf(stderr, "plc-sim: bad station '%s' (1..247)\n", item.c_str());
                    return 2;
                }
                opt.stations.push_back(int(s));
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
        } else if (a == "--device") {
            device = text();
        } else if (a == "-b") {
            value(&baud);
        } else if (a == "-P") {
            const std::string p = text();
            if (p == "none" || p == "N" || p == "n")
                parity = 'N';
            else if (p == "even" || p == "E" || p == "e")
                parity = 'E';
            else if (p == "odd" || p == "O" || p == "o")
                parity = 'O';
            else {
                std::fprintf(stderr, "plc-sim: bad parity '%s'\n", p.c_str());
                return 2;
            }
        } else if (a == "-d") {
            value(&dataBits);
        } else if (a == "-s") {
            value(&stopBits);
        } else if (a == "--fault-rate") {
            const std::string v = text();
            char* end = nullptr;
            opt.faultRate = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end || opt.faultRate < 0 || opt.faultRate > 1) {
                std::fprintf(stderr, "plc-sim: --fault-rate takes 0..1\n");
                return 2;
            }
        } else if (a == "--seed") {
            long s;
            value(&s);
            opt.seed = uint32_t(s);
        } else if (a == "--reply-delay-ms") {
            long ms;
            value(&ms);
            opt.replyDelayUs = int(ms * 1000);
        } else if (a == "--pace") {
            opt.pace = true;
        } else if (a == "--turnaround") {
            long ms;
            value(&ms);
            opt.turnaroundUs = int(ms * 1000);
        } else if (a == "--burst") {
            long ms;
            value(&ms);
            opt.burstGapMs = int(ms);
        } else if (a == "--echo") {
            opt.echo = true;
        } else if (a == "--no-live") {
            opt.live = false;
        } else if (a == "--set") {
            const std::string preset = text();
            Preset p{};
            if (std::sscanf(preset.c_str(), "%ld/%ld:%ld=%li", &p.station, &p.type, &p.addr,
                            &p.value) != 4) {
                std::fprintf(stderr, "plc-sim: bad --set '%s' (S/T:A=V)\n", preset.c_str());
                return 2;
            }
            presets.push_back(p);
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "plc-sim: unknown option '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (opt.stations.empty()) opt.stations.push_back(1);
    if ((dataBits != 7 && dataBits != 8) || (stopBits != 1 && stopBits != 2)) {
        std::fprintf(stderr, "plc-sim: data bits 7|8, stop bits 1|2\n");
        return 2;
    }
    if (verbose) opt.trace = stdout;
    opt.paceBaud = int(baud);

    plcsim::Simulator sim(opt);
    for (const Preset& p : presets) {
        if (!sim.setUnit(int(p.station), int(p.type), int(p.addr), uint16_t(p.value))) {
            std::fprintf(stderr, "plc-sim: --set %ld/%ld:%ld has no place in memory\n", p.station,
                         p.type, p.addr);
            return 2;
        }
    }
    std::string err;
    const bool opened = device.empty() ? sim.openPty(&err)
                                       : sim.openDevice(device, int(baud), parity, int(dataBits),
                                                        int(stopBits), &err);
    if (!opened || !sim.start(&err)) {
        std::fprintf(stderr, "plc-sim: %s\n", err.c_str());
        return 4;
    }
    for (const std::string& w : sim.warnings())
        std::fprintf(stderr, "plc-sim: %s: %s\n", device.c_str(), w.c_str());
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::string list;
    for (int s : opt.stations) list += (list.empty() ? "" : ",") + std::to_string(s);
    std::printf("plc-sim: serving stations %s on %s\n", list.c_str(), sim.devicePath().c_str());
    if (device.empty()) std::printf("%s\n", sim.devicePath().c_str());
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
    return 0;
}
