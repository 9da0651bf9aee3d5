// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Plots for the benchmark's report as standalone SVG 1.1 text: line plots and
// histograms, with a white background, sans-serif text and nothing outside
// the file (no scripts, fonts or links), so that GitHub shows them from
// Markdown with ![...](file.svg).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct PlotSeries {
    std::string name;                              // in the legend; "series N" if empty
    std::vector<std::pair<double, double>> points; // x, y; joined in order of x
};

struct LinePlot {
    std::string title, xLabel, yLabel;
    bool logX = false; // log10 axes: points with a value <= 0 on such an axis are left out
    bool logY = false;
    std::vector<PlotSeries> series; // each a line with circle markers in its own colour, and a legend entry
};

// Points with a coordinate that is not finite are left out. A linear y axis
// always takes in zero, so that the heights of the points compare. Without a
// point to draw, the plot says "no data".
std::string renderLinePlot(const LinePlot& plot);

struct Histogram {
    std::string title, xLabel, yLabel;                   // yLabel: what is counted, e.g. "periods"
    double binWidth = 0;                                 // in x units; <= 0 or not finite: the writer picks one
    std::vector<double> values;                          // raw samples; those that are not finite are left out
    std::vector<std::pair<std::string, double>> markers; // labelled vertical dashed lines, e.g. {"0", 0.0}
};

// The bars are binCounts(values, binWidth); the x axis takes in the markers.
std::string renderHistogram(const Histogram& hist);

struct Bins {
    double start = 0; // left edge of counts[0]; bin i is [start + i * width, start + (i + 1) * width)
    double width = 1;
    std::vector<std::size_t> counts; // empty if no value is finite
};

// The finite values counted in bins whose edges are whole multiples of the
// width, so that bins line up across runs and a marker at 0 is on an edge (a
// value on an edge may fall either side by rounding). Where binWidth would
// take more than maxBins bins, the width is widened to the smallest 1, 2 or 5
// × 10^k that fits; where it is not positive and finite, one is picked for
// about 20 bins.
Bins binCounts(const std::vector<double>& values, double binWidth, std::size_t maxBins = 400);

struct AxisTicks {
    double lo = 0; // the axis' range: the data's, widened to whole ticks (on a log axis, to whole decades)
    double hi = 1;
    std::vector<double> values; // ascending, inside [lo, hi]
    std::vector<std::string> labels;
};

// Ticks for an axis over data from lo to hi, at most `most` (3 or more): 1, 2 or
// 5 × 10^k apart on a linear axis; on a log axis (lo and hi > 0) every decade,
// or every few when there are many, with 2 and 5 between when there are few.
// Equal or unusable ends give a range around them rather than a zero span.
AxisTicks axisTicks(double lo, double hi, bool log, int most);

} // namespace bench
