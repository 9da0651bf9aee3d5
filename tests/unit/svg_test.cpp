// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The benchmark's SVG writer: what a reader of the plots relies on.
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "svg.h"

namespace {

using bench::binCounts;
using bench::Histogram;
using bench::LinePlot;
using bench::renderHistogram;
using bench::renderLinePlot;

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

void expectWholeSvg(const std::string& svg)
{
    EXPECT_NE(svg.find("xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    EXPECT_EQ(svg.find("<script"), std::string::npos);
    EXPECT_EQ(count(svg, "<svg"), 1u);
    EXPECT_NE(svg.rfind("</svg>"), std::string::npos);
}

TEST(Svg, BinsCountEveryFiniteValueOnEdgesThatAreMultiplesOfTheWidth)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {
        -0.26, -0.01, 0.0, 0.04, 0.05, 0.49, 3.2, nan, std::numeric_limits<double>::infinity()};
    const bench::Bins b = binCounts(values, 0.05);
    EXPECT_EQ(std::accumulate(b.counts.begin(), b.counts.end(), std::size_t{0}), 7u);
    EXPECT_NEAR(std::remainder(b.start, b.width), 0.0, 1e-12);
    // A width that would need thousands of bins is widened.
    const bench::Bins wide = binCounts({0.0, 1000.0}, 0.001, 400);
    EXPECT_LE(wide.counts.size(), 400u);
    EXPECT_EQ(std::accumulate(wide.counts.begin(), wide.counts.end(), std::size_t{0}), 2u);
    EXPECT_TRUE(binCounts({nan}, 1.0).counts.empty());
}

TEST(Svg, LabelsAreEscapedAndDegenerateInputStaysAWholePicture)
{
    LinePlot p{"a < b & \"c\"", "x", "y", false, false, {{"s<1>", {{1, 2}, {2, 3}}}}};
    const std::string svg = renderLinePlot(p);
    expectWholeSvg(svg);
    EXPECT_NE(svg.find("a &lt; b &amp; &quot;c&quot;"), std::string::npos);
    EXPECT_NE(svg.find("s&lt;1&gt;"), std::string::npos);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const LinePlot& q : {LinePlot{"empty", "x", "y", false, false, {}},
                              LinePlot{"not a number", "x", "y", true, true, {{"s", {{nan, nan}, {0, -1}}}}},
                              LinePlot{"one", "x", "y", true, true, {{"s", {{5, 5}}}}},
                              LinePlot{"flat", "x", "y", false, false, {{"s", {{1, 7}, {2, 7}, {3, 7}}}}}})
        expectWholeSvg(renderLinePlot(q));
    expectWholeSvg(renderHistogram(Histogram{"none", "x", "n", 0.1, {}, {{"0", 0.0}}}));
    expectWholeSvg(renderHistogram(Histogram{"same", "x", "n", 0.1, {2, 2, 2}, {}}));
}

TEST(Svg, LogAxesLeaveOutValuesTheyCannotShow)
{
    const LinePlot p{"log", "x", "y", true, true, {{"s", {{1, 10}, {10, 100}, {0, 5}, {100, -3}, {1000, 1e4}}}}};
    const std::string svg = renderLinePlot(p);
    expectWholeSvg(svg);
    EXPECT_EQ(count(svg, "class=\"point\""), 3u);
}

TEST(Svg, HistogramDrawsOneBarPerFilledBin)
{
    const Histogram h{"h", "ms", "periods", 1.0, {0.5, 0.6, 2.5, 7.5, 7.9}, {{"interval", 0.0}}};
    const std::string svg = renderHistogram(h);
    expectWholeSvg(svg);
    EXPECT_EQ(count(svg, "class=\"bar\""), 3u);
    EXPECT_EQ(count(svg, "class=\"marker\""), 1u);
}

} // namespace
