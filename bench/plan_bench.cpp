// What the read-list rebuild buys on the line: requests and wire time per
// polling cycle for a clustered and a scattered tag set at several block
// sizes, against one request per tag. The time measured is the rebuild's;
// the figures that matter are the counters.
//
// Wire time: every character is 11 bits (8E1: start, 8 data, parity, stop)
// at 19200 baud, and every frame is followed by the 3.5-character silence
// that ends a Modbus RTU frame. A request is 8 bytes; a reply of n registers
// 5 + 2n. Turnaround in the controller is left out: it depends on the
// controller, and it would favour fewer requests even more.
#include <benchmark/benchmark.h>

#include <random>

#include "bench_support.h"

namespace {

constexpr double kBaud = 19200;
constexpr double kBitsPerChar = 11;
constexpr double kGapChars = 3.5;
constexpr int kTags = 400;

double exchangeMs(int64_t registers) {
    const double chars = 8 + kGapChars + 5 + 2.0 * registers + kGapChars;
    return chars * kBitsPerChar / kBaud * 1e3;
}

// 400 one- and two-register tags of area 7. Clustered: 20 runs of 20 tags
// on neighbouring registers, the runs 500 registers apart. Scattered: spread
// at random over 20,000 registers.
QList<VARDESC> tagSet(bool clustered) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> anywhere(0, 20000);
    QList<VARDESC> descs;
    for (int i = 0; i < kTags; ++i) {
        VARDESC d{};
        d.regType = 7;
        d.station = 1;
        d.count = 1 + i % 2;
        const int addr = clustered ? (i / 20) * 500 + (i % 20) * 2 : anywhere(rng);
        d.addrText = QString::number(addr);
        d.name = QStringLiteral("T%1").arg(i);
        descs.append(d);
    }
    return descs;
}

void BM_ReadPlan(benchmark::State& state) {
    const bool clustered = state.range(0) != 0;
    COMINFO info = bench::defaultInfo();
    info.blockSize = static_cast<int32_t>(state.range(1));
    bench::resetDriver(info);
    QList<VARDESC> tags = tagSet(clustered);
    int blocks = 0;
    for (auto _ : state) blocks = ReCreatReadVarList(&tags);

    double planMs = 0;
    for (const RW_VAR& b : PLC_driver.readList) planMs += exchangeMs(b.count);
    double perTagMs = 0;
    for (const VARDESC& d : tags) perTagMs += exchangeMs(d.count);
    state.counters["requests"] = blocks;
    state.counters["wire_ms"] = planMs;
    state.counters["per_tag_requests"] = tags.size();
    state.counters["per_tag_wire_ms"] = perTagMs;
    state.counters["speedup"] = perTagMs / planMs;
    state.SetLabel(clustered ? "clustered" : "scattered");
}
BENCHMARK(BM_ReadPlan)
    ->ArgNames({"clustered", "blockSize"})
    ->ArgsProduct({{1, 0}, {1, 8, 16, 32, 64, 125}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
