// What both benchmark programs share: their clock and the reporter that
// keeps each benchmark's median for the table they print at the end.
#pragma once

#include <benchmark/benchmark.h>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace BenchTable {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;  // milliseconds
};

}  // namespace BenchTable
