// A bench for the integration tests: the simulated controller on a real
// pseudo-terminal, a private copy of the driver library loaded the way a
// panel runtime loads it, and the host engine polling through the pty.
#ifndef PLC_INTEGRATION_RIG_H
#define PLC_INTEGRATION_RIG_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver_api.h"
#include "host_engine.h"
#include "serial_link.h"
#include "simulator.h"

namespace plctest {

using plchost::ComSettings;
using plchost::HostEngine;
using plchost::VarConfig;
using plchost::WriteRequest;
using plchost::WriteState;

struct RigOptions {
    std::vector<int> simStations{1};
    ComSettings com;
    std::vector<VarConfig> vars;
    // Generous: no test but the soak and the back-off one expects a timeout,
    // and a busy machine must not turn a slow reply into a give-up.
    int timeoutMs = 1000;
    int giveUpsBeforeOff = 0;  // station back-off off unless a test wants it
    int backoffDelayMs = 1000;
};

inline VarConfig var(int station, int type, const char* addr, int count, const char* name = "") {
    VarConfig v;
    v.name = name;
    v.station = station;
    v.type = type;
    v.addrText = addr;
    v.count = count;
    return v;
}

inline WriteRequest write(int station, int type, const char* addr, std::vector<long> units,
                          bool verify = false) {
    WriteRequest w;
    w.name = QString("%1:%2").arg(type).arg(addr);
    w.station = station;
    w.type = type;
    w.addrText = addr;
    w.count = int(units.size());
    w.values = plchost::encodeUnits(type, units);
    w.verify = verify;
    return w;
}

// Host byte order of units, as GetRegisterData returns them.
inline QByteArray hostBytes(int type, std::vector<long> units) {
    return plchost::encodeUnits(type, units);
}

class Rig {
public:
    explicit Rig(const RigOptions& o) : opts(o) {
        plcsim::Options so;
        so.stations = o.simStations;
        so.live = false;
        sim = std::make_unique<plcsim::Simulator>(so);
    }

    // Separate from the constructor so a test can preset the simulator's
    // memory before the first poll.
    void start() {
        std::string err;
        ASSERT_TRUE(sim->openPty(&err)) << err;
        ASSERT_TRUE(sim->start(&err)) << err;
        ASSERT_TRUE(api.load(PLC_DRIVER_LIBRARY, &err, /*privateCopy=*/true)) << err;
        plchost::LinkSettings ls;
        ls.device = sim->devicePath();
        ls.baud = 115200;
        ls.parity = 'N';
        ls.timeoutMs = opts.timeoutMs;
        ls.turnaroundMs = 5;
        ASSERT_TRUE(link.open(ls, &err)) << err;
        plchost::EngineConfig ec;
        ec.com = opts.com;
        ec.vars = opts.vars;
        ec.pollIntervalMs = 0;
        ec.installLogHandler = false;
        ec.backoff.giveUps = opts.giveUpsBeforeOff;
        ec.backoff.delayMs = opts.backoffDelayMs;
        engine = std::make_unique<HostEngine>(api, link, ec);
        ASSERT_TRUE(engine->setup(&err)) << err;
    }

    // Runs until n more read cycles have completed.
    bool cycles(int n, int timeoutMs = 10000) {
        const uint64_t target = engine->completedCycles() + uint64_t(n);
        return engine->runUntil([&] { return engine->completedCycles() >= target; }, timeoutMs);
    }

    // Runs until every write has reached a final state.
    bool settle(int timeoutMs = 10000) {
        return engine->runUntil([&] { return engine->outstandingWrites() == 0; }, timeoutMs);
    }

    QByteArray image(int station, int type, const char* addr, int count) {
        return engine->readImage(station, type, addr, count);
    }

    ~Rig() {
        engine.reset();
        link.close();
        if (sim) sim->stop();
        api.unload();
    }

    RigOptions opts;
    std::unique_ptr<plcsim::Simulator> sim;
    plchost::DriverApi api;
    plchost::SerialLink link;
    std::unique_ptr<HostEngine> engine;
};

inline ComSettings multiStation(int blockSize = 32, int retryMax = 2) {
    ComSettings c;
    c.blockSize = blockSize;
    c.retryMax = retryMax;
    c.multiStation = 1;
    c.defStation = 1;
    c.runMode = 2;
    c.hostHandle = 77;
    return c;
}

}  // namespace plctest

#endif  // PLC_INTEGRATION_RIG_H
