// A console reporter that also keeps each benchmark's time per iteration, so
// that a program can print a verdict on its goal after the run.
#ifndef PLC_BENCH_RUN_TIMES_H
#define PLC_BENCH_RUN_TIMES_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class RunTimes : public benchmark::ConsoleReporter {
public:
    RunTimes() : ConsoleReporter(OO_Tabular) {}  // plain text: read in CTest logs
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            // CPU time: on a machine shared with other work the wall clock
            // also counts the time this thread was not running.
            ns_[r.benchmark_name()] =
                r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
            order_.push_back(r.benchmark_name());
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // CPU nanoseconds per iteration; -1 when the benchmark did not run.
    double ns(const std::string& name) const {
        const auto it = ns_.find(name);
        return it == ns_.end() ? -1 : it->second;
    }
    const std::vector<std::string>& names() const { return order_; }

private:
    std::map<std::string, double> ns_;
    std::vector<std::string> order_;
};

}  // namespace bench

#endif
