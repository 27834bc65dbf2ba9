// The polling loop's exchange: ComCommunication, the controller's reply,
// DataCom. One benchmark per workload (see bench_support.h), and the
// hand-written master that does the local read exchange with nothing else.
//
//   exchange_bench                         time every workload (ns per turn)
//   exchange_bench --count WORKLOAD N      run N periods of WORKLOAD (or
//       "reference", or "empty" for the markers alone) with callgrind's
//       collection switched on only around the driver's turns; used by
//       bench/instructions.sh, which divides the count by N.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"
#include "callgrind_markers.h"

namespace {

using bench::PairDriver;
using bench::Workload;

void BM_Turns(benchmark::State& state, Workload w) {
    PairDriver pd(w);
    std::string why;
    if (!pd.prepare(8, &why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    int bad = 0;
    for (auto _ : state) {
        pd.hostAction();
        for (int t = 0; t < pd.turnsPerPeriod(); ++t) {
            const int status = pd.turn();
            bad += status != 1 && status != 100;
        }
    }
    if (bad != 0) state.SkipWithError("a reply was not taken as good");
    // Time per period is Google Benchmark's own figure; per turn here.
    state.counters["turn"] = benchmark::Counter(
        double(pd.turnsPerPeriod()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_Turns, local_read, Workload::LocalRead);
BENCHMARK_CAPTURE(BM_Turns, remote_read, Workload::RemoteRead);
BENCHMARK_CAPTURE(BM_Turns, register_write, Workload::RegisterWrite);
BENCHMARK_CAPTURE(BM_Turns, bit_write, Workload::BitWrite);
BENCHMARK_CAPTURE(BM_Turns, mix_1_write_4_reads, Workload::Mix);

void BM_ReferenceMaster(benchmark::State& state) {
    bench::ReferenceMaster m;
    int bad = 0;
    for (auto _ : state) {
        bad += !m.exchange(m.reply(), m.replyLen());
        benchmark::DoNotOptimize(m.request());
    }
    if (bad != 0) state.SkipWithError("reply refused");
}
BENCHMARK(BM_ReferenceMaster);

int countMode(const char* name, int periods) {
    if (periods <= 0) return 2;
    if (std::strcmp(name, "empty") == 0) {
        for (int i = 0; i < periods; ++i) {
            CALLGRIND_TOGGLE_COLLECT;
            CALLGRIND_TOGGLE_COLLECT;
        }
        std::printf("empty periods %d turns 0\n", periods);
        return 0;
    }
    if (std::strcmp(name, "reference") == 0) {
        bench::ReferenceMaster m;
        for (int i = 0; i < 200; ++i) m.exchange(m.reply(), m.replyLen());
        int bad = 0;
        for (int i = 0; i < periods; ++i) {
            CALLGRIND_TOGGLE_COLLECT;
            bad += !m.exchange(m.reply(), m.replyLen());
            CALLGRIND_TOGGLE_COLLECT;
        }
        std::printf("reference periods %d turns %d\n", periods, periods);
        return bad == 0 ? 0 : 1;
    }
    const bench::WorkloadInfo* w = bench::findWorkload(name);
    if (!w) {
        std::fprintf(stderr, "exchange_bench: no workload %s\n", name);
        return 2;
    }
    PairDriver pd(w->workload);
    std::string why;
    // Enough warm-up for every list and buffer to reach its steady size.
    if (!pd.prepare(300, &why)) {
        std::fprintf(stderr, "exchange_bench: %s: %s\n", name, why.c_str());
        return 1;
    }
    int bad = 0;
    for (int i = 0; i < periods; ++i) {
        pd.hostAction();
        CALLGRIND_TOGGLE_COLLECT;
        for (int t = 0; t < pd.turnsPerPeriod(); ++t) {
            const int status = pd.turn();
            bad += status != 1 && status != 100;
        }
        CALLGRIND_TOGGLE_COLLECT;
    }
    std::printf("%s periods %d turns %d\n", name, periods, periods * pd.turnsPerPeriod());
    return bad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--count") == 0) {
        if (argc != 4) {
            std::fprintf(stderr, "usage: %s --count WORKLOAD PERIODS\n", argv[0]);
            return 2;
        }
        return countMode(argv[2], std::atoi(argv[3]));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
