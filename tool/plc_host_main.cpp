// plc-host: plays the panel runtime's part. Loads the driver library at run
// time, polls controllers through it over a serial line (or the built-in
// simulated controller on a pseudo-terminal) and shows what it reads.
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>
#include <set>

#include "display.h"
#include "driver_api.h"
#include "host_engine.h"
#include "project.h"
#include "serial_link.h"
#include "simulator.h"

#ifndef PLC_DRIVER_DEFAULT_PATH
#define PLC_DRIVER_DEFAULT_PATH "libplcdriver.so"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

enum Exit { kOk = 0, kCommFailure = 1, kUsage = 2, kDriver = 3, kLink = 4 };

}  // namespace

int main(int argc, char** argv) {
    using namespace plchost;
    QCoreApplication::setApplicationName("plc-host");

    HostConfig cfg;
    std::string err;
    switch (parseCommandLine(argc, argv, &cfg, &err)) {
        case ParseStatus::Help:
            std::fputs(usageText().c_str(), stdout);
            return kOk;
        case ParseStatus::Version:
            std::printf("plc-host %s\n", PLC_HOST_VERSION);
            return kOk;
        case ParseStatus::Error:
            std::fprintf(stderr, "plc-host: %s (see --help)\n", err.c_str());
            return kUsage;
        case ParseStatus::Ok:
            break;
    }
    if (cfg.driverPath.empty()) {
        // The library built next to this program; an installed plc-host
        // finds the installed library through the loader's search path.
        cfg.driverPath = PLC_DRIVER_DEFAULT_PATH;
        if (::access(cfg.driverPath.c_str(), R_OK) != 0) cfg.driverPath = "libplcdriver.so.1";
    }

    // The built-in simulated controller, when no device was given.
    std::unique_ptr<plcsim::Simulator> sim;
    std::string linkText;
    if (cfg.link.device.empty()) {
        plcsim::Options so;
        std::set<int> st(cfg.sim.stations.begin(), cfg.sim.stations.end());
        if (st.empty()) {
            for (const VarConfig& v : cfg.engine.vars)
                st.insert(cfg.engine.com.multiStation ? v.station : cfg.engine.com.defStation);
            for (const ScheduledWrite& w : cfg.writes)
                if (w.req.station != 0) st.insert(w.req.station);
            st.erase(0);
            if (st.empty()) st.insert(1);
        }
        so.stations.assign(st.begin(), st.end());
        so.live = cfg.sim.live;
        so.faultRate = cfg.sim.faultRate;
        so.seed = cfg.sim.seed;
        so.replyDelayUs = cfg.sim.replyDelayMs * 1000;
        sim = std::make_unique<plcsim::Simulator>(so);
        for (const auto& p : cfg.sim.presets)
            sim->setUnit(p.station, p.type, p.addr, uint16_t(p.value));
        if (!sim->openPty(&err) || !sim->start(&err)) {
            std::fprintf(stderr, "plc-host: built-in simulator: %s\n", err.c_str());
            return kLink;
        }
        cfg.link.device = sim->devicePath();
        std::string list;
        for (int s : so.stations) list += (list.empty() ? "" : ",") + std::to_string(s);
        linkText = cfg.link.device + " (built-in simulator, stations " + list;
        if (so.faultRate > 0)
            linkText += ", fault rate " + std::to_string(int(so.faultRate * 100)) + "%";
        linkText += ")";
    } else {
        linkText = cfg.link.device;
    }
    char fmtBuf[64];
    std::snprintf(fmtBuf, sizeof fmtBuf, " %d %d%c%d", cfg.link.baud, cfg.link.dataBits,
                  cfg.link.parity, cfg.link.stopBits);
    linkText += fmtBuf;

    DriverApi api;
    if (!api.load(cfg.driverPath, &err)) {
        std::fprintf(stderr, "plc-host: driver: %s\n", err.c_str());
        return kDriver;
    }
    SerialLink link;
    if (!link.open(cfg.link, &err)) {
        std::fprintf(stderr, "plc-host: %s\n", err.c_str());
        return kLink;
    }
    HostEngine engine(api, link, cfg.engine);
    if (!engine.setup(&err)) {
        std::fprintf(stderr, "plc-host: %s\n", err.c_str());
        return kUsage;
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const bool screen = !cfg.plain && !cfg.trace && ::isatty(STDOUT_FILENO);
    if (screen) std::fputs("\x1b[?25l", stdout);  // hide the cursor while refreshing

    ScreenInfo info;
    info.link = linkText;
    info.framing = cfg.engine.com.remoteMode ? "remote" : "local";
    info.durationSec = cfg.durationSec;

    const int64_t start = monotonicNs();
    // --once must end even when a station never answers: a minute at most
    // unless a duration was given.
    if (cfg.once && cfg.durationSec <= 0) cfg.durationSec = 60;
    std::vector<bool> submitted(cfg.writes.size(), false);
    size_t writesLeft = cfg.writes.size();
    std::vector<int> writeIds;
    int64_t nextDraw = screen ? start : start + int64_t(cfg.snapshotSec * 1e9);
    bool cycleDone = false;

    for (;;) {
        const int64_t now = monotonicNs();
        const double t = double(now - start) / 1e9;
        if (g_stop) break;
        if (cfg.durationSec > 0 && t >= cfg.durationSec) break;

        for (size_t i = 0; i < cfg.writes.size(); ++i) {
            if (submitted[i] || (!cfg.once && cfg.writes[i].atSec > t)) continue;
            submitted[i] = true;
            --writesLeft;
            const int id = engine.queueWrite(cfg.writes[i].req);
            if (id == 0)
                std::fprintf(stderr, "plc-host: write '%s': address '%s' not valid for type %d\n",
                             cfg.writes[i].req.name.toLocal8Bit().constData(),
                             cfg.writes[i].req.addrText.toLocal8Bit().constData(),
                             cfg.writes[i].req.type);
            else
                writeIds.push_back(id);
        }
        if (cfg.once) engine.setStopAtCycleEnd(writesLeft == 0 && engine.outstandingWrites() == 0);

        const StepResult r = engine.step();
        if (r == StepResult::CycleEnd) {
            cycleDone = true;
            break;
        }
        if (cfg.once && r == StepResult::Idle && writesLeft == 0 &&
            engine.outstandingWrites() == 0) {
            cycleDone = engine.readBlocks() == 0;
            break;
        }

        if (monotonicNs() >= nextDraw && !cfg.once) {
            info.runSec = double(monotonicNs() - start) / 1e9;
            const std::string text = renderScreen(engine.snapshot(), info);
            if (screen) {
                std::fputs("\x1b[H\x1b[J", stdout);
                std::fputs(text.c_str(), stdout);
                nextDraw = monotonicNs() + 250000000;
            } else if (!cfg.trace) {
                std::printf("---- snapshot at %.1f s ----\n%s\n", info.runSec, text.c_str());
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
    std::printf("---- final state at %.1f s ----\n%s", info.runSec,
                renderScreen(snap, info).c_str());
    if (sim) {
        const plcsim::Stats st = sim->stats();
        std::printf(
            " simulator: %llu requests, %llu replies, %llu refused, %llu for other stations; "
            "faults %llu dropped, %llu bad CRC, %llu short\n",
            (unsigned long long)st.frames, (unsigned long long)st.replies,
            (unsigned long long)st.rejected, (unsigned long long)st.otherStation,
            (unsigned long long)st.dropped, (unsigned long long)st.corrupted,
            (unsigned long long)st.truncated);
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
    if (cfg.once) {
        if (!cycleDone) code = kCommFailure;
        for (const VarStatus& v : snap.vars)
            if (!isGood(v.lastStatus)) code = kCommFailure;
    }
    if (writesLeft > 0 && cfg.once) code = kCommFailure;
    std::printf(" exit status %d\n", code);
    std::fflush(stdout);
    engine.stop();
    if (sim) sim->stop();
    return code;
}
