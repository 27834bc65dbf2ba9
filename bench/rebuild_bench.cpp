// Read-list rebuild at panel-project scale, and the address sort it relies on
// against the literal adjacent-exchange sort it replaces.
//
//   rebuild_bench --benchmark_filter=Rebuild     the 100,000-descriptor rebuild
//   rebuild_bench --benchmark_filter=Sort        stable merge sort vs exchange sort
#include <benchmark/benchmark.h>

#include <QtCore/QCoreApplication>
#include <cstdlib>
#include <random>

#include "bench_support.h"
#include "driver_internal.h"

namespace {

// The exchange sort as first written: for each i, bubble the smallest addr
// of the tail down to position i; equal addresses never swap.
void exchangeSort(QList<RW_VAR>* list) {
    const int n = list->size();
    for (int i = 0; i + 1 < n; ++i) {
        for (int j = n - 1; j > i; --j) {
            if ((*list)[j].addr < (*list)[j - 1].addr) list->swapItemsAt(j, j - 1);
        }
    }
}

QList<RW_VAR> randomVariables(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> addr(0, 60000);
    QList<RW_VAR> list;
    list.reserve(n);
    for (int i = 0; i < n; ++i) {
        RW_VAR v = emptyRwVar();
        v.addr = addr(rng);
        v.count = 1;
        v.id = i;  // tells equal addresses apart when comparing the results
        list.append(v);
    }
    return list;
}

bool sameOrder(const QVector<ReadCandidate>& a, const QList<RW_VAR>& b) {
    if (int(a.size()) != b.size()) return false;
    for (int i = 0; i < b.size(); ++i) {
        if (a[i].addr != b[i].addr || a[i].count != b[i].id) return false;
    }
    return true;
}

// The rebuild's sort on one group.
void BM_SortStable(benchmark::State& state) {
    const QList<RW_VAR> input = randomVariables(static_cast<int>(state.range(0)), 7);
    QList<RW_VAR> reference = input;
    exchangeSort(&reference);
    for (auto _ : state) {
        state.PauseTiming();
        QVector<ReadCandidate> vars;
        // count carries each variable's number, which the sort never reads
        for (const RW_VAR& v : input) vars.append({1, 7, v.addr, v.id, nullptr});
        state.ResumeTiming();
        sortForGrouping(vars);
        benchmark::DoNotOptimize(vars.data());
        state.PauseTiming();
        if (!sameOrder(vars, reference))
            state.SkipWithError("order differs from the exchange sort");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SortStable)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

void BM_SortExchange(benchmark::State& state) {
    const QList<RW_VAR> input = randomVariables(static_cast<int>(state.range(0)), 7);
    for (auto _ : state) {
        state.PauseTiming();
        QList<RW_VAR> list = input;
        list.detach();
        state.ResumeTiming();
        exchangeSort(&list);
        benchmark::DoNotOptimize(list.size());
    }
}
BENCHMARK(BM_SortExchange)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

// 100,000 word variables on one station and area, in random order, the
// worst case for the sort: every descriptor lands in the same group.
void BM_Rebuild(benchmark::State& state) {
    static COMINFO info{};
    info.blockSize = 32;
    info.defStation = 1;
    SetComInfo(&info);
    QList<VARDESC> descs = bench::scatteredTags(int(state.range(0)));
    int blocks = 0;
    for (auto _ : state) blocks = ReCreatReadVarList(&descs);
    state.counters["blocks"] = blocks;
    state.counters["descriptors"] = static_cast<double>(descs.size());
}
BENCHMARK(BM_Rebuild)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
