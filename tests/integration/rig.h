// The bench: the simulated controller on a real pseudo-terminal, a private copy of
// the driver library loaded as a panel runtime loads it, and the host engine.
#ifndef PLC_INTEGRATION_RIG_H
#define PLC_INTEGRATION_RIG_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver_api.h"
#include "host_engine.h"
#include "serial_link.h"
#include "simulator.h"

namespace plctest {

using plchost::WriteState;

inline plchost::VarConfig var(int station, int type, const QString& addr, int count) {
    return {QString(), station, type, addr, count};
}

// Units in host byte order, as GetRegisterData returns them.
inline QByteArray units(int type, const std::vector<long>& u) {
    return plchost::encodeUnits(type, u);
}

inline plchost::WriteRequest write(int station, int type, const QString& addr,
                                   const std::vector<long>& values, bool verify = false) {
    return {addr, station, type, addr, int(values.size()), units(type, values), verify};
}

// What the engine traces, collected in memory.
class Trace {
public:
    Trace() : file(::open_memstream(&buf_, &len_)) {}
    ~Trace() {
        std::fclose(file);
        std::free(buf_);
    }
    std::string text() {
        std::fflush(file);
        return std::string(buf_, len_);
    }

private:
    char* buf_ = nullptr;
    size_t len_ = 0;

public:
    FILE* const file;
};

class Rig {
public:
    explicit Rig(const std::vector<int>& stations = {1}) {
        sim = std::make_unique<plcsim::Simulator>(plcsim::Options{stations, /*live=*/false});
        cfg.com.multiStation = 1;
        cfg.com.hostHandle = 77;
        cfg.pollIntervalMs = 0;
        cfg.installLogHandler = false;
        cfg.backoff.giveUps = 0;  // station back-off off unless a test wants it
    }

    // Separate from the constructor so a test can preset the controller's
    // memory and the settings first. The time-out is generous: a busy machine
    // must not turn a slow reply into a give-up.
    void start(int timeoutMs = 1000) {
        ASSERT_NO_FATAL_FAILURE(start({"", 115200, 'N', 8, 1, timeoutMs, 5}, nullptr));
    }
    // Starts with link settings of the test's own (the device is filled in)
    // and, unless null, a simulator made from `options` in place of the rig's.
    void start(plchost::LinkSettings settings, const plcsim::Options* options) {
        if (options) sim = std::make_unique<plcsim::Simulator>(*options);
        std::string err;
        ASSERT_TRUE(sim->openPty(&err) && sim->start(&err)) << err;
        ASSERT_TRUE(api.load(PLC_DRIVER_LIBRARY, &err, /*privateCopy=*/true)) << err;
        settings.device = sim->devicePath();
        ASSERT_TRUE(link.open(settings, &err)) << err;
        engine = std::make_unique<plchost::HostEngine>(api, link, cfg);
        ASSERT_TRUE(engine->setup(&err)) << err;
    }

    // Runs until n more read cycles have completed.
    bool cycles(int n, int timeoutMs = 10000) {
        const uint64_t target = engine->completedCycles() + uint64_t(n);
        return engine->runUntil([&] { return engine->completedCycles() >= target; }, timeoutMs);
    }

    bool settle(int timeoutMs = 10000) {
        return engine->runUntil([&] { return engine->outstandingWrites() == 0; }, timeoutMs);
    }

    QByteArray image(int station, int type, const QString& addr, int count) {
        return engine->readImage(station, type, addr, count);
    }
    // One unit of controller memory (a bit or a register); -1 where there is none.
    long mem(int station, int type, int addr) const {
        uint16_t v = 0;
        return sim->unit(station, type, addr, &v) ? long(v) : -1;
    }
    WriteState state(int id) const { return engine->writeStatus(id).state; }

    // Destroyed in reverse: the engine before the link and the library.
    std::unique_ptr<plcsim::Simulator> sim;
    plchost::EngineConfig cfg;
    plchost::DriverApi api;
    plchost::SerialLink link;
    std::unique_ptr<plchost::HostEngine> engine;
};

}  // namespace plctest

#endif  // PLC_INTEGRATION_RIG_H
