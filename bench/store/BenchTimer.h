#pragma once
// Wall-clock timing of benchmark steps, and the line each figure is printed as.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

/// Milliseconds taken by one run of `step`.
template <class Step>
double TimeMs(Step step)
{
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// One figure: the subject, the baseline measured in the same run, their ratio and the budget.
inline void PrintFigure(const char* what, double subjectMs, double baselineMs, double budgetMs)
{
    std::printf("%-44s %9.2f ms  baseline %8.2f ms  x%6.1f  budget %5.0f ms  %s\n", what, subjectMs, baselineMs,
                subjectMs / baselineMs, budgetMs, subjectMs <= budgetMs ? "ok" : "OVER");
}

inline void PrintResident(const char* what, unsigned long long bytes)
{
    std::printf("%-44s %9.1f MiB\n", what, static_cast<double>(bytes) / (1024.0 * 1024.0));
}
