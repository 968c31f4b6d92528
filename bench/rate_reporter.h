// A console reporter that also remembers one rate counter per benchmark, so
// that a benchmark program can print how the library compares with its peer
// after the runs.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RateReporter : public benchmark::ConsoleReporter {
public:
    explicit RateReporter(std::string counter) : counter_(std::move(counter)) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            // With repetitions, the median stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            auto it = run.counters.find(counter_);
            if (it != run.counters.end()) rates_[run.run_name.str()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The remembered rate of a benchmark run name, or 0 when it did not run.
    double rate(const std::string &name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

private:
    std::string counter_;
    std::map<std::string, double> rates_;
};
