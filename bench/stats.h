// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Summaries of repeated measurements.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace bench {

struct Summary {
    double median = NAN;
    double min = NAN;
    double max = NAN;
    double mean = NAN;
    std::size_t count = 0;
};

inline Summary summarize(std::vector<double> v)
{
    Summary s;
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return !std::isfinite(x); }), v.end());
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.count = v.size();
    s.min = v.front();
    s.max = v.back();
    const std::size_t mid = v.size() / 2;
    s.median = v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / static_cast<double>(v.size());
    return s;
}

// The p-th quantile (0..1) of v, by the nearest rank.
inline double quantile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

} // namespace bench
