// The middle of a benchmark's repeated measurements: one slow run does not move it.
#pragma once

#include <algorithm>
#include <vector>

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
