// The median of a benchmark's measurements, the figure the benchmarks print.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The middle value (the mean of the two middle ones for an even count); 0 for
// no values.
inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}
