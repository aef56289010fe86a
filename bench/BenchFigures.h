// Figures the benchmarks share: quantiles of their runs and a child's CPU time.
#pragma once

#include <algorithm>
#include <sys/resource.h>
#include <vector>

namespace bench
{

// The q-quantile (0 = min, 0.5 = median, 1 = max) of `values`, interpolated between the
// two nearest; `values` must not be empty.
inline double quantile(std::vector<double> values, double q)
{
    std::sort(values.begin(), values.end());
    const double at = q * double(values.size() - 1);
    const size_t below = size_t(at);
    const double part = at - double(below);
    return below + 1 < values.size() ? values[below] * (1 - part) + values[below + 1] * part
                                     : values[below];
}

// User plus system time, in seconds.
inline double cpuSeconds(const rusage &usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace bench
