#pragma once
// How every benchmark reports a figure: one line for people, then one line for
// scripts/bench.sh, which gathers them into a table:
//   @figure<TAB>name<TAB>median<TAB>min<TAB>max<TAB>runs<TAB>unit<TAB>target
#include <stdio.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

[[maybe_unused]] void Report(const char* what, std::vector<double> values, const char* unit = "ms",
                             const char* target = "")
{
    if (values.empty()) {
        printf("%-44s (no figure)\n", what);
        printf("@figure\t%s\t\t\t\t0\t%s\t%s\n", what, unit, target);
        fflush(stdout);
        return;
    }
    std::sort(values.begin(), values.end());
    const double median = values[values.size() / 2];
    printf("%-44s median %9.2f %s   min %9.2f %s   max %9.2f %s   (%zu runs)%s%s\n", what, median, unit,
           values.front(), unit, values.back(), unit, values.size(), *target != '\0' ? "   target " : "", target);
    printf("@figure\t%s\t%.3f\t%.3f\t%.3f\t%zu\t%s\t%s\n", what, median, values.front(), values.back(), values.size(),
           unit, target);
    fflush(stdout);
}

// A figure measured once over a whole run (a rate, a count).
[[maybe_unused]] void ReportOnce(const char* what, double value, const char* unit, const char* target)
{
    printf("@figure\t%s\t%.3f\t%.3f\t%.3f\t1\t%s\t%s\n", what, value, value, value, unit, target);
    fflush(stdout);
}

// The value below which the fraction p (0 to 1) of the values lie; 0 for none.
[[maybe_unused]] double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(std::ceil(p * values.size())) - 1);
    return values[index];
}

}  // namespace
