// The time the benchmarks' tables take from each case: the least processor
// time over its repetitions (the single run, or the "min" aggregate the cases
// register), per sample it filters, so that other work on the machine weighs
// as little as it can.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class LeastTimeReporter : public benchmark::ConsoleReporter {
  public:
    // samplesOf(run): the samples one iteration of the run filters.
    explicit LeastTimeReporter(std::function<double(const Run&)> samplesOf)
        : samples(std::move(samplesOf)) {}

    std::map<std::string, double> nsPerSample;  // by case name

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool least = run.run_type == Run::RT_Iteration ||
                               (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min");
            if (!least || run.error_occurred) continue;
            const double ns = run.GetAdjustedCPUTime() * 1e9 /
                              benchmark::GetTimeUnitMultiplier(run.time_unit) / samples(run);
            const auto [it, added] = nsPerSample.emplace(run.run_name.str(), ns);
            if (!added) it->second = std::min(it->second, ns);
        }
        ConsoleReporter::ReportRuns(runs);
    }

  private:
    std::function<double(const Run&)> samples;
};
