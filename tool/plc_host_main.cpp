// plc-host: plays the panel runtime's part. Loads the driver library at run
// time, polls controllers through it over a serial line (or the built-in
// simulated controller on a pseudo-terminal) and shows what it reads.
#include <sys/ioctl.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include "display.h"
#include "driver_api.h"
#include "host_engine.h"
#include "options.h"
#include "planner.h"
#include "record_output.h"
#include "register_types.h"
#include "serial_link.h"
#include "simulator.h"
#include "text_table.h"
#include "type_list.h"

namespace {

using namespace plchost;

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

enum Exit { kOk = 0, kCommFailure = 1, kUsage = 2, kDriver = 3, kLink = 4 };

int terminalWidth() {
    winsize ws{};
    if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    const char* columns = std::getenv("COLUMNS");
    return columns ? std::atoi(columns) : 80;
}

plc::serial::CharFormat charFormat(const LinkSettings& l) {
    return {l.baud, l.parity, l.dataBits, l.stopBits};
}

bool loadDriver(DriverApi& api, const HostConfig& cfg) {
    std::string err;
    if (api.load(cfg.driverPath, &err)) return true;
    std::fprintf(stderr, "plc-host: driver: %s\n", err.c_str());
    return false;
}

// Every variable and write checked against the driver's own address parser
// before anything is opened or sent.
bool targetsUsable(const HostConfig& cfg, DriverApi& api) {
    const AddressParser parse = [&api](int type, const QString& text) {
        return api.PLCAddressChangeIntef(type, text);
    };
    for (const VarConfig& v : cfg.engine.vars) {
        const std::string why = variableError(v, cfg.engine.com, parse);
        if (why.empty()) continue;
        std::fprintf(stderr, "plc-host: variable '%s': %s\n", v.name.toLocal8Bit().constData(),
                     why.c_str());
        return false;
    }
    for (const ScheduledWrite& w : cfg.writes) {
        const std::string why = writeError(w.req, cfg.engine.com, parse);
        if (why.empty()) continue;
        std::fprintf(stderr, "plc-host: write '%s': %s\n", w.req.name.toLocal8Bit().constData(),
                     why.c_str());
        return false;
    }
    return true;
}

int printVersion(const HostConfig& cfg) {
    std::printf("plc-host %s\n", PLC_HOST_VERSION);
    DriverApi api;
    if (!loadDriver(api, cfg)) return kDriver;
    const std::string file = api.loadedFile();
    const std::string version = libraryVersion(file);
    std::printf("driver   %s (%s)\n", version.empty() ? "unknown version" : version.c_str(),
                file.c_str());
    return kOk;
}

int runPlan(const HostConfig& cfg) {
    if (cfg.engine.vars.empty()) {
        std::fprintf(stderr, "plc-host: --plan needs variables (-r, or a project)\n");
        return kUsage;
    }
    DriverApi api;
    if (!loadDriver(api, cfg)) return kDriver;
    if (!targetsUsable(cfg, api)) return kUsage;
    const bool wordAreas = std::any_of(cfg.engine.vars.begin(), cfg.engine.vars.end(),
                                       [](const VarConfig& v) { return !plc::isBitArea(v.type); });
    const plc::serial::CharFormat line = charFormat(cfg.link);
    Planner planner(api, cfg.engine, line);
    std::vector<CyclePlan> plans;
    const int limit = modbusBlockLimit(wordAreas);
    for (int size : candidateBlockSizes(cfg.engine.com.blockSize, limit)) {
        CyclePlan p;
        std::string err;
        if (!planner.plan(size, &p, &err)) {
            std::fprintf(stderr, "plc-host: --plan, block size %d: %s\n", size, err.c_str());
            return kDriver;
        }
        plans.push_back(p);
    }
    std::fputs(renderPlan(plans, cfg.engine.com.blockSize, line, cfg.engine.com.remoteMode != 0,
                          int(cfg.engine.vars.size()))
                   .c_str(),
               stdout);
    return kOk;
}

std::unique_ptr<plcsim::Simulator> startSimulator(HostConfig& cfg, std::string* linkText,
                                                  std::string* err) {
    plcsim::Options so;
    std::set<int> st(cfg.sim.stations.begin(), cfg.sim.stations.end());
    if (st.empty()) {
        for (const VarConfig& v : cfg.engine.vars) st.insert(v.station);
        for (const ScheduledWrite& w : cfg.writes) st.insert(w.req.station);
        st.erase(0);
        if (st.empty()) st.insert(1);
    }
    so.stations.assign(st.begin(), st.end());
    so.live = cfg.sim.live;
    so.faultRate = cfg.sim.faultRate;
    so.seed = cfg.sim.seed;
    so.replyDelayUs = cfg.sim.replyDelayMs * 1000;
    so.pace = cfg.sim.pace;
    so.paceBaud = cfg.link.baud;
    so.turnaroundUs = cfg.sim.turnaroundMs * 1000;
    so.burstGapMs = cfg.sim.burstMs;
    so.echo = cfg.sim.echo;
    auto sim = std::make_unique<plcsim::Simulator>(so);
    for (const auto& p : cfg.sim.presets) {
        if (!sim->setUnit(p.station, p.type, p.addr, uint16_t(p.value))) {
            *err = "simulator preset " + std::to_string(p.station) + "/" + std::to_string(p.type) +
                   ":" + std::to_string(p.addr) + " has no place in its memory";
            return nullptr;
        }
    }
    if (!sim->openPty(err) || !sim->start(err)) {
        *err = "built-in simulator: " + *err;
        return nullptr;
    }
    cfg.link.device = sim->devicePath();
    std::string list;
    for (int s : so.stations) list += (list.empty() ? "" : ",") + std::to_string(s);
    *linkText = cfg.link.device + " (built-in simulator, stations " + list;
    if (so.faultRate > 0)
        *linkText += ", fault rate " + std::to_string(int(so.faultRate * 100)) + "%";
    *linkText += ")";
    return sim;
}

int runPoll(HostConfig& cfg) {
    DriverApi api;
    if (!loadDriver(api, cfg)) return kDriver;
    if (!targetsUsable(cfg, api)) return kUsage;

    // Records on stdout take it over: the screen and the trace go to stderr.
    FILE* records = nullptr;
    if (cfg.format != OutputFormat::Table) {
        records = cfg.logPath.empty() ? stdout : std::fopen(cfg.logPath.c_str(), "w");
        if (!records) {
            std::fprintf(stderr, "plc-host: --log %s: cannot write it\n", cfg.logPath.c_str());
            return kUsage;
        }
    }
    FILE* const text = records == stdout ? stderr : stdout;
    if (cfg.trace) cfg.engine.trace = text;

    std::unique_ptr<plcsim::Simulator> sim;
    std::string linkText = cfg.link.device, err;
    if (cfg.link.device.empty()) {
        sim = startSimulator(cfg, &linkText, &err);
        if (!sim) {
            std::fprintf(stderr, "plc-host: %s\n", err.c_str());
            return kLink;
        }
    }
    char fmtBuf[64];
    std::snprintf(fmtBuf, sizeof fmtBuf, " %d %d%c%d", cfg.link.baud, cfg.link.dataBits,
                  cfg.link.parity, cfg.link.stopBits);
    linkText += fmtBuf;

    SerialLink link;
    if (!link.open(cfg.link, &err)) {
        std::fprintf(stderr, "plc-host: %s\n", err.c_str());
        return kLink;
    }
    for (const std::string& w : link.warnings())
        std::fprintf(stderr, "plc-host: warning: %s: %s\n", cfg.link.device.c_str(), w.c_str());
    HostEngine engine(api, link, cfg.engine);
    if (!engine.setup(&err)) {
        std::fprintf(stderr, "plc-host: %s\n", err.c_str());
        return kUsage;
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const bool screen = !cfg.plain && text == stdout && ::isatty(STDOUT_FILENO);
    if (screen) std::fputs("\x1b[?25l", stdout);  // hide the cursor while refreshing

    ScreenInfo info;
    info.link = linkText;
    info.framing = cfg.engine.com.remoteMode ? "remote" : "local";
    info.durationSec = cfg.durationSec;
    info.width = terminalWidth();
    info.showAll = cfg.showAll;

    RecordWriter recordWriter(cfg.format, records);
    const int64_t start = monotonicNs();
    // A counted run ends even when a station never answers: a minute per
    // cycle at most unless a duration was given. Its writes go out at once.
    const bool counted = cfg.cycles > 0;
    if (counted && cfg.durationSec <= 0) cfg.durationSec = 60.0 * cfg.cycles;
    std::vector<bool> submitted(cfg.writes.size(), false);
    size_t writesLeft = cfg.writes.size();
    int64_t nextDraw = screen ? start : start + int64_t(cfg.snapshotSec * 1e9);
    uint64_t recordedCycles = 0;
    bool cycleDone = false;
    auto writeRecords = [&] {
        if (!records || engine.completedCycles() <= recordedCycles) return;
        recordedCycles = engine.completedCycles();
        recordWriter.writeCycle(engine.snapshot(), recordedCycles, isoTimeNow());
    };

    for (;;) {
        const double t = double(monotonicNs() - start) / 1e9;
        if (g_stop) break;
        if (cfg.durationSec > 0 && t >= cfg.durationSec) break;

        for (size_t i = 0; i < cfg.writes.size(); ++i) {
            if (submitted[i] || (!counted && cfg.writes[i].atSec > t)) continue;
            submitted[i] = true;
            --writesLeft;
            engine.queueWrite(cfg.writes[i].req);
        }
        const bool writesSettled = writesLeft == 0 && engine.outstandingWrites() == 0;
        if (counted)
            engine.setStopAtCycleEnd(writesSettled &&
                                     engine.completedCycles() + 1 >= uint64_t(cfg.cycles));

        const StepResult r = engine.step();
        writeRecords();
        if (r == StepResult::CycleEnd) {
            cycleDone = true;
            break;
        }
        if (counted && r == StepResult::Idle && writesSettled && engine.readBlocks() == 0) {
            cycleDone = true;
            break;
        }

        if (monotonicNs() >= nextDraw && !counted) {
            info.runSec = double(monotonicNs() - start) / 1e9;
            if (screen) {
                std::fputs("\x1b[H\x1b[J", stdout);
                std::fputs(renderScreen(engine.snapshot(), info).c_str(), stdout);
                nextDraw = monotonicNs() + 250000000;
            } else if (!cfg.trace && text == stdout) {
                std::printf("---- snapshot at %.1f s ----\n%s\n", info.runSec,
                            renderScreen(engine.snapshot(), info).c_str());
                nextDraw = monotonicNs() + int64_t(cfg.snapshotSec * 1e9);
            } else {
                nextDraw = INT64_MAX;
            }
            std::fflush(stdout);
        }
    }

    info.runSec = double(monotonicNs() - start) / 1e9;
    const Snapshot snap = engine.snapshot();
    if (screen) std::fputs("\x1b[H\x1b[J\x1b[?25h", stdout);
    std::fprintf(text, "---- final state at %.1f s ----\n%s", info.runSec,
                 renderScreen(snap, info).c_str());
    if (sim) {
        const plcsim::Stats st = sim->stats();
        char line[256];
        std::snprintf(line, sizeof line,
                      "simulator: %llu requests, %llu replies, %llu refused, %llu for other "
                      "stations;  faults %llu dropped, %llu bad CRC, %llu short",
                      (unsigned long long)st.frames, (unsigned long long)st.replies,
                      (unsigned long long)st.rejected, (unsigned long long)st.otherStation,
                      (unsigned long long)st.dropped, (unsigned long long)st.corrupted,
                      (unsigned long long)st.truncated);
        std::fputs(wrapParagraph(line, std::max(80, info.width), 1, 12).c_str(), text);
    }

    int code = kOk;
    for (const WriteStatus& w : snap.writes) {
        const bool readbackBad = w.readback == WriteStatus::Readback::Mismatch ||
                                 w.readback == WriteStatus::Readback::Failed ||
                                 w.readback == WriteStatus::Readback::Pending;
        if (w.state == WriteState::Failed || w.state == WriteState::Rejected ||
            w.state == WriteState::Waiting || w.state == WriteState::Queued || readbackBad)
            code = kCommFailure;
    }
    if (counted) {
        if (!cycleDone || writesLeft > 0) code = kCommFailure;
        for (const VarStatus& v : snap.vars)
            if (!isGood(v.read.lastStatus)) code = kCommFailure;
    }
    std::fprintf(text, " exit status %d\n", code);
    std::fflush(text);
    if (records && records != stdout) std::fclose(records);
    engine.stop();
    if (sim) sim->stop();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("plc-host");

    HostConfig cfg;
    std::string err;
    if (!parseCommandLine(QCoreApplication::arguments(), &cfg, &err)) {
        std::fprintf(stderr, "plc-host: %s (see --help)\n", err.c_str());
        return kUsage;
    }
    switch (cfg.mode) {
        case RunMode::Help:
            std::fputs(helpText().c_str(), stdout);
            return kOk;
        case RunMode::ListTypes:
            std::fputs(renderRegisterTypes().c_str(), stdout);
            return kOk;
        case RunMode::Version:
            return printVersion(cfg);
        case RunMode::Plan:
            return runPlan(cfg);
        case RunMode::Poll:
            break;
    }
    return runPoll(cfg);
}
