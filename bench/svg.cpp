// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "svg.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace bench {

namespace {

// Numbers are written with std::to_chars, which knows no locale: a decimal
// comma would break the SVG's coordinates. Every number is checked to be
// finite before it gets there, so no "nan" or "inf" reaches the file.

// im × 10^e, as one multiplication or division by an exact power of ten, so
// that a tick such as 3 × 10^-1 is the double nearest to 0.3 and prints so
// (3 × 0.1 would not). Beyond 10^308 the power is taken in two steps.
double scaled(double im, int e)
{
    if (e >= 0)
        return im * std::pow(10.0, e);
    if (e < -308)
        return im / 1e308 / std::pow(10.0, -e - 308);
    return im / std::pow(10.0, -e);
}

struct Step {
    double m = 1; // 1, 2 or 5
    int e = 0;
    double value() const { return scaled(m, e); }
};

// The smallest 1, 2 or 5 × 10^e that is at least x, give or take rounding
// (callers check that the step does what they need). Kept between 10^-300,
// so that dividing by it stays finite, and 10^308, the largest that is.
Step niceStep(double x)
{
    x = std::isfinite(x) ? std::clamp(x, 1e-300, 1e308) : 1e308;
    const int e = static_cast<int>(std::floor(std::log10(x)));
    for (const double m : {1.0, 2.0, 5.0})
        if (scaled(m, e) >= x * (1 - 1e-6))
            return {m, e};
    return {1, std::min(e + 1, 308)};
}

// The 1, 2 or 5 × 10^e after s, or s itself at 10^308.
Step nextStep(Step s)
{
    if (s.e >= 308)
        return s;
    return s.m == 1 ? Step{2, s.e} : s.m == 2 ? Step{5, s.e} : Step{1, s.e + 1};
}

// A number with `precision` significant digits at most, and no trailing zeros.
std::string formatNumber(double v, int precision)
{
    if (!std::isfinite(v))
        return "0";
    if (v == 0)
        v = 0; // no "-0"
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision);
    return std::string(buf, r.ptr);
}

AxisTicks linearTicks(double lo, double hi, int most, double minStep)
{
    most = std::max(most, 3); // two ticks cannot always span the data with whole steps: -0.5..1
    // A span that is zero, or too small beside the values for distinct
    // ticks, is widened around its middle.
    if (!(hi - lo > std::max(std::fabs(lo), std::fabs(hi)) * 1e-9) || !(hi - lo > 1e-200)) {
        const double mid = lo / 2 + hi / 2;
        const double pad = std::fabs(mid) > 1e-200 ? std::fabs(mid) / 10 : 1;
        lo = std::max(mid - pad, -DBL_MAX);
        hi = std::min(mid + pad, DBL_MAX);
    }
    // The first step to try fits the span into most - 1 intervals, but the
    // ends widened to whole steps may need one or two more, and then the next
    // step does. Divided first, so that a span wider than DBL_MAX cannot
    // overflow. The tolerance, as large as the quotient's rounding, keeps an
    // end that is a tick (0.3 / 0.1 = 2.9999999999999996) from growing one.
    Step step = niceStep(std::max(hi / (most - 1) - lo / (most - 1), minStep));
    double first = 0;
    double last = 0;
    for (int round = 0; round < 8; ++round) {
        const double q = lo / step.value();
        const double r = hi / step.value();
        first = std::floor(q + 1e-9 + std::fabs(q) * 1e-12);
        last = std::ceil(r - 1e-9 - std::fabs(r) * 1e-12);
        if (last - first <= most - 1)
            break;
        step = nextStep(step);
    }
    AxisTicks t;
    const double axisLo = scaled(first * step.m, step.e);
    const double axisHi = scaled(last * step.m, step.e);
    t.lo = std::isfinite(axisLo) ? axisLo : lo;
    t.hi = std::isfinite(axisHi) ? axisHi : hi;
    // Tick values carry as many digits as the step needs beside the largest:
    // 1000000.1 must not print as 1e+06. 15 digits always print back as the
    // decimal the tick was made from.
    const double magnitude = std::max(std::fabs(t.lo), std::fabs(t.hi));
    const int digits = static_cast<int>(std::floor(std::log10(magnitude))) - step.e + 1;
    const int precision = std::clamp(digits, 6, 15);
    // first and last are within about most × 1e9 of zero (the span is at
    // least 1e-9 of the values), so counting up by one is exact.
    for (int k = 0; k <= 1000 && first + k <= last; ++k) {
        const double v = scaled((first + k) * step.m, step.e);
        if (!std::isfinite(v) || v < t.lo || v > t.hi || (!t.values.empty() && v <= t.values.back()))
            continue;
        t.values.push_back(v == 0 ? 0 : v);
        t.labels.push_back(formatNumber(v, precision));
    }
    return t;
}

AxisTicks logTicks(double lo, double hi, int most)
{
    most = std::max(most, 3);
    if (!(lo > 0) || !std::isfinite(lo))
        lo = 1;
    if (!(hi > 0) || !std::isfinite(hi))
        hi = lo;
    int a = static_cast<int>(std::floor(std::log10(lo) + 1e-9));
    int b = static_cast<int>(std::ceil(std::log10(hi) - 1e-9));
    if (b <= a) {
        --a;
        ++b;
    }
    // 10^-324 and 10^309 are out of the doubles' range: there the axis ends
    // at the smallest or largest double, without a tick.
    a = std::max(a, -324);
    b = std::min(b, 309);
    AxisTicks t;
    t.lo = a > -324 ? scaled(1, a) : std::numeric_limits<double>::denorm_min();
    t.hi = b < 309 ? scaled(1, b) : DBL_MAX;
    const int decades = b - a;
    const auto add = [&t](double v) {
        if (v < t.lo || v > t.hi) // also 0 and inf
            return;
        t.values.push_back(v);
        t.labels.push_back(formatNumber(v, 6));
    };
    if (3 * decades + 1 <= most) {
        for (int d = a; d < b; ++d)
            for (const double m : {1.0, 2.0, 5.0})
                add(scaled(m, d));
        add(scaled(1, b));
        return t;
    }
    // Every stride-th decade, on multiples of the stride so that 1 is one
    // of them when the axis spans it; past 5, a stride of 10, 20, 50, 100.
    int stride = (decades + most - 2) / (most - 1);
    if (stride > 5)
        stride = static_cast<int>(niceStep(stride).value());
    for (int d = a; d <= b; ++d)
        if (d % stride == 0)
            add(scaled(1, d));
    return t;
}

// The length of the UTF-8 sequence at s[i] that stands for an XML
// character, or 0 if the bytes there are not one.
std::size_t utf8Length(std::string_view s, std::size_t i)
{
    const auto at = [&](std::size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    const unsigned c = at(0);
    std::size_t len = 0;
    unsigned lo = 0x80; // the second byte's range, narrowed against overlong forms, surrogates and > U+10FFFF
    unsigned hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        lo = c == 0xe0 ? 0xa0 : lo;
        hi = c == 0xed ? 0x9f : hi;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        lo = c == 0xf0 ? 0x90 : lo;
        hi = c == 0xf4 ? 0x8f : hi;
    } else {
        return 0;
    }
    if (at(1) < lo || at(1) > hi)
        return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((at(k) & 0xc0) != 0x80)
            return 0;
    if (c == 0xef && at(1) == 0xbf && at(2) >= 0xbe) // U+FFFE and U+FFFF are not XML characters
        return 0;
    return len;
}

// Text for XML character data and attribute values: the markup characters
// as entities, control characters as spaces (XML 1.0 allows only tab, line
// feed and carriage return, and SVG shows those as spaces anyway), and bytes
// that are not UTF-8 as U+FFFD, so that the file stays well-formed whatever
// a label holds.
std::string escaped(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t len = utf8Length(s, i);
            if (len == 0) {
                out += "\xef\xbf\xbd";
                ++i;
            } else {
                out.append(s, i, len);
                i += len;
            }
            continue;
        }
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c < 0x20 ? ' ' : static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

// About how wide a text is in a sans-serif font: 0.6 em a character, which
// errs wide for most, and is only used to keep texts apart.
double textWidth(std::string_view s, double size)
{
    std::size_t chars = 0;
    for (const char c : s)
        chars += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return static_cast<double>(chars) * size * 0.6;
}

// The pieces of the SVG text: string pieces as they are (callers escape
// what came from outside), numbers as coordinates with two decimals at most.
void add(std::string& out, std::string_view s)
{
    out += s;
}

void add(std::string& out, double v)
{
    // A last guard: the arithmetic above keeps coordinates finite and on the
    // picture, and the clamp keeps the text short if it ever did not.
    v = std::isfinite(v) ? std::clamp(std::round(v * 100) / 100, -1e6, 1e6) : 0;
    if (v == 0)
        v = 0;
    char buf[32];
    char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2).ptr;
    while (end[-1] == '0')
        --end;
    if (end[-1] == '.')
        --end;
    out.append(buf, end);
}

template <typename... Parts>
void put(std::string& out, const Parts&... parts)
{
    (add(out, parts), ...);
}

constexpr double fontSize = 12;
constexpr double titleSize = 15;
constexpr double plotWidth = 560;
constexpr double plotHeight = 320;
constexpr double tickLength = 5;
constexpr double legendRow = 18;

// Distinct for the common kinds of colour blindness, and dark enough on white.
constexpr const char* palette[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9", "#000000"};

struct Area {
    double left = 0;
    double top = 0;
    double width = plotWidth;
    double height = plotHeight;
    double right() const { return left + width; }
    double bottom() const { return top + height; }
};

// From data values to pixels along one axis: lo to `from`, hi to `to`.
struct Scale {
    double lo = 0;
    double hi = 1;
    bool log = false;
    double from = 0;
    double to = 1;

    double operator()(double v) const
    {
        double t = 0;
        if (log) {
            t = (std::log10(v) - std::log10(lo)) / (std::log10(hi) - std::log10(lo));
        } else {
            // Divided by the larger end first, so that hi - lo cannot overflow.
            const double m = std::max(std::fabs(lo), std::fabs(hi));
            t = (v / m - lo / m) / (hi / m - lo / m);
        }
        return from + t * (to - from);
    }
};

// The ticks with as many labels as fit side by side along an axis `length`
// pixels long.
AxisTicks fittedTicks(double lo, double hi, bool log, double length)
{
    AxisTicks t;
    for (int most = 10; most >= 3; --most) {
        t = axisTicks(lo, hi, log, most);
        const Scale s{t.lo, t.hi, log, 0, length};
        bool fits = true;
        for (std::size_t i = 1; i < t.values.size() && fits; ++i) {
            const double need = (textWidth(t.labels[i - 1], fontSize) + textWidth(t.labels[i], fontSize)) / 2 + 8;
            fits = std::fabs(s(t.values[i]) - s(t.values[i - 1])) >= need;
        }
        if (fits)
            break;
    }
    return t;
}

double widestLabel(const AxisTicks& t)
{
    double w = 0;
    for (const std::string& l : t.labels)
        w = std::max(w, textWidth(l, fontSize));
    return w;
}

void begin(std::string& out, double width, double height, const std::string& title)
{
    width = std::ceil(width);
    height = std::ceil(height);
    put(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"", width, "\" height=\"", height,
        "\" viewBox=\"0 0 ", width, " ", height, "\" font-family=\"sans-serif\" font-size=\"", fontSize, "\">\n");
    if (!title.empty())
        put(out, "<title>", escaped(title), "</title>\n");
    put(out, "<rect width=\"", width, "\" height=\"", height, "\" fill=\"#ffffff\"/>\n");
}

// The title over the plot (moved in if it would stick out of the picture),
// the x label under the tick labels and the y label turned up the left edge.
void labels(std::string& out, const Area& a, double width, const std::string& title, const std::string& xLabel,
            const std::string& yLabel)
{
    if (!title.empty()) {
        const double half = textWidth(title, titleSize) / 2;
        const double x = std::max(half + 8, std::min(a.left + a.width / 2, width - half - 8));
        put(out, "<text x=\"", x, "\" y=\"", 24.0, "\" text-anchor=\"middle\" font-size=\"", titleSize,
            "\" font-weight=\"bold\" fill=\"#222222\">", escaped(title), "</text>\n");
    }
    if (!xLabel.empty())
        put(out, "<text x=\"", a.left + a.width / 2, "\" y=\"", a.bottom() + tickLength + 36,
            "\" text-anchor=\"middle\" fill=\"#222222\">", escaped(xLabel), "</text>\n");
    if (!yLabel.empty()) {
        const double x = 18;
        const double y = a.top + a.height / 2;
        put(out, "<text x=\"", x, "\" y=\"", y, "\" transform=\"rotate(-90 ", x, " ", y,
            ")\" text-anchor=\"middle\" fill=\"#222222\">", escaped(yLabel), "</text>\n");
    }
}

// Light lines across the plot at the ticks, under the data.
void grid(std::string& out, const Area& a, const Scale& x, const AxisTicks& xt, const Scale& y, const AxisTicks& yt)
{
    out += "<g stroke=\"#e6e6e6\" stroke-width=\"1\">\n";
    for (const double v : xt.values)
        put(out, "<line x1=\"", x(v), "\" y1=\"", a.top, "\" x2=\"", x(v), "\" y2=\"", a.bottom(), "\"/>\n");
    for (const double v : yt.values)
        put(out, "<line x1=\"", a.left, "\" y1=\"", y(v), "\" x2=\"", a.right(), "\" y2=\"", y(v), "\"/>\n");
    out += "</g>\n";
}

// The frame, the tick marks out of it and the tick labels, over the data.
void axes(std::string& out, const Area& a, const Scale& x, const AxisTicks& xt, const Scale& y, const AxisTicks& yt)
{
    put(out, "<rect x=\"", a.left, "\" y=\"", a.top, "\" width=\"", a.width, "\" height=\"", a.height,
        "\" fill=\"none\" stroke=\"#444444\" stroke-width=\"1\"/>\n");
    out += "<g stroke=\"#444444\" stroke-width=\"1\">\n";
    for (const double v : xt.values)
        put(out, "<line x1=\"", x(v), "\" y1=\"", a.bottom(), "\" x2=\"", x(v), "\" y2=\"", a.bottom() + tickLength,
            "\"/>\n");
    for (const double v : yt.values)
        put(out, "<line x1=\"", a.left - tickLength, "\" y1=\"", y(v), "\" x2=\"", a.left, "\" y2=\"", y(v), "\"/>\n");
    out += "</g>\n<g fill=\"#333333\">\n";
    for (std::size_t i = 0; i < xt.values.size(); ++i)
        put(out, "<text x=\"", x(xt.values[i]), "\" y=\"", a.bottom() + tickLength + 14, "\" text-anchor=\"middle\">",
            escaped(xt.labels[i]), "</text>\n");
    // +4 puts the middle of digits at the tick, without dominant-baseline,
    // which not every renderer takes.
    for (std::size_t i = 0; i < yt.values.size(); ++i)
        put(out, "<text x=\"", a.left - tickLength - 4, "\" y=\"", y(yt.values[i]) + 4, "\" text-anchor=\"end\">",
            escaped(yt.labels[i]), "</text>\n");
    out += "</g>\n";
}

// The plot area's left edge: room for the y label and the widest y tick
// label, and for the half of the first x tick label that is left of the axis.
double leftMargin(const std::string& yLabel, double yTickLabels, const AxisTicks& xt)
{
    const double xLabel = xt.labels.empty() ? 0 : textWidth(xt.labels.front(), fontSize) / 2 + 6;
    return std::max(12 + (yLabel.empty() ? 0 : 18) + yTickLabels + tickLength + 6, xLabel);
}

double bottomMargin(const std::string& xLabel)
{
    return tickLength + 18 + (xLabel.empty() ? 0 : 22) + 12;
}

double topMargin(const std::string& title)
{
    return title.empty() ? 16 : 40;
}

// A picture with the title, the axis labels and an empty frame saying so,
// for input with nothing to draw.
std::string noData(const std::string& title, const std::string& xLabel, const std::string& yLabel)
{
    Area a;
    a.left = leftMargin(yLabel, 0, AxisTicks{});
    a.top = topMargin(title);
    const double width = std::max(a.right() + 24, textWidth(title, titleSize) + 16);
    const double height = a.bottom() + bottomMargin(xLabel);
    std::string out;
    begin(out, width, height, title);
    labels(out, a, width, title, xLabel, yLabel);
    put(out, "<rect x=\"", a.left, "\" y=\"", a.top, "\" width=\"", a.width, "\" height=\"", a.height,
        "\" fill=\"none\" stroke=\"#444444\" stroke-width=\"1\"/>\n", "<text x=\"", a.left + a.width / 2, "\" y=\"",
        a.top + a.height / 2, "\" text-anchor=\"middle\" fill=\"#777777\" font-size=\"", titleSize,
        "\">no data</text>\n</svg>\n");
    return out;
}

} // namespace

AxisTicks axisTicks(double lo, double hi, bool log, int most)
{
    if (!std::isfinite(lo))
        lo = std::isfinite(hi) ? hi : 0;
    if (!std::isfinite(hi))
        hi = lo;
    if (lo > hi)
        std::swap(lo, hi);
    return log ? logTicks(lo, hi, most) : linearTicks(lo, hi, most, 0);
}

Bins binCounts(const std::vector<double>& values, double binWidth, std::size_t maxBins)
{
    maxBins = std::max<std::size_t>(maxBins, 4);
    Bins b;
    double min = INFINITY;
    double max = -INFINITY;
    for (const double v : values) {
        if (std::isfinite(v)) {
            min = std::min(min, v);
            max = std::max(max, v);
        }
    }
    if (!(min <= max))
        return b;
    double w = binWidth;
    if (!(w > 0) || !std::isfinite(w)) {
        const double span = max / 2 - min / 2; // half of it, which cannot overflow
        w = niceStep(span > 0 ? span / 10 : (min != 0 ? std::fabs(min) / 10 : 1)).value();
    }
    const auto bounds = static_cast<double>(maxBins);
    // Bins aligned to a width of span / maxBins or more number at most
    // maxBins + 2, and to twice that at most maxBins / 2 + 2, which fits; so
    // this ends in a round or two after the first widening.
    double first = 0;
    double count = 0;
    for (int round = 0; round < 64; ++round) {
        first = std::floor(min / w);
        count = std::floor(max / w) - first + 1;
        if (std::isfinite(count) && count <= bounds)
            break;
        w = niceStep(std::max(w * 2, (max / bounds - min / bounds) * (1 + 1e-9))).value();
    }
    b.width = w;
    // Only for values within a bin of the largest double is the aligned
    // edge out of range; there the first bin is cut at the doubles' end.
    b.start = std::max(first * w, -DBL_MAX);
    b.counts.assign(std::isfinite(count) ? static_cast<std::size_t>(std::clamp(count, 1.0, bounds)) : maxBins, 0);
    for (const double v : values) {
        if (!std::isfinite(v))
            continue;
        // Clamped, so that rounding at the ends cannot lose a value.
        const double i = std::clamp(std::floor(v / w) - first, 0.0, static_cast<double>(b.counts.size() - 1));
        ++b.counts[static_cast<std::size_t>(i)];
    }
    return b;
}

std::string renderLinePlot(const LinePlot& plot)
{
    // The drawable points of each series, in order of x.
    std::vector<std::vector<std::pair<double, double>>> drawn(plot.series.size());
    double xMin = INFINITY;
    double xMax = -INFINITY;
    double yMin = INFINITY;
    double yMax = -INFINITY;
    for (std::size_t s = 0; s < plot.series.size(); ++s) {
        for (const auto& [x, y] : plot.series[s].points) {
            if (!std::isfinite(x) || !std::isfinite(y) || (plot.logX && x <= 0) || (plot.logY && y <= 0))
                continue;
            drawn[s].emplace_back(x, y);
            xMin = std::min(xMin, x);
            xMax = std::max(xMax, x);
            yMin = std::min(yMin, y);
            yMax = std::max(yMax, y);
        }
        std::stable_sort(drawn[s].begin(), drawn[s].end(),
                         [](const auto& p, const auto& q) { return p.first < q.first; });
    }
    if (!(xMin <= xMax))
        return noData(plot.title, plot.xLabel, plot.yLabel);
    if (!plot.logY) {
        yMin = std::min(yMin, 0.0);
        yMax = std::max(yMax, 0.0);
    }

    std::vector<std::string> names;
    double legendWidth = 0;
    for (std::size_t s = 0; s < plot.series.size(); ++s) {
        names.push_back(plot.series[s].name.empty() ? "series " + std::to_string(s + 1) : plot.series[s].name);
        legendWidth = std::max(legendWidth, 28 + textWidth(names.back(), fontSize));
    }

    const AxisTicks yt = axisTicks(yMin, yMax, plot.logY, static_cast<int>(plotHeight / 40));
    const AxisTicks xt = fittedTicks(xMin, xMax, plot.logX, plotWidth);
    Area a;
    a.left = leftMargin(plot.yLabel, widestLabel(yt), xt);
    a.top = topMargin(plot.title);
    const double lastLabel = xt.labels.empty() ? 0 : textWidth(xt.labels.back(), fontSize) / 2;
    const double legendLeft = a.right() + std::max(16.0, lastLabel + 8);
    double width = legendLeft + legendWidth + 12;
    width = std::max({width, textWidth(plot.title, titleSize) + 16, a.right() + lastLabel + 8});
    const double height =
        std::max(a.bottom() + bottomMargin(plot.xLabel), a.top + legendRow * static_cast<double>(names.size()) + 8);

    const Scale xs{xt.lo, xt.hi, plot.logX, a.left, a.right()};
    const Scale ys{yt.lo, yt.hi, plot.logY, a.bottom(), a.top};
    std::string out;
    begin(out, width, height, plot.title);
    labels(out, a, width, plot.title, plot.xLabel, plot.yLabel);
    grid(out, a, xs, xt, ys, yt);
    for (std::size_t s = 0; s < drawn.size(); ++s) {
        const char* colour = palette[s % std::size(palette)];
        put(out, "<g class=\"series\" fill=\"", colour, "\" stroke=\"", colour, "\">\n");
        if (drawn[s].size() >= 2) {
            out += "<polyline class=\"line\" fill=\"none\" stroke-width=\"1.5\" points=\"";
            for (std::size_t i = 0; i < drawn[s].size(); ++i)
                put(out, i ? " " : "", xs(drawn[s][i].first), ",", ys(drawn[s][i].second));
            out += "\"/>\n";
        }
        for (const auto& [x, y] : drawn[s])
            put(out, "<circle class=\"point\" cx=\"", xs(x), "\" cy=\"", ys(y), "\" r=\"3\" stroke=\"none\"/>\n");
        out += "</g>\n";
    }
    axes(out, a, xs, xt, ys, yt);
    // The legend beside the plot, where it cannot cover a line.
    for (std::size_t s = 0; s < names.size(); ++s) {
        const char* colour = palette[s % std::size(palette)];
        const double y = a.top + 8 + legendRow * static_cast<double>(s);
        put(out, "<g class=\"legend\"><line x1=\"", legendLeft, "\" y1=\"", y, "\" x2=\"", legendLeft + 20, "\" y2=\"",
            y, "\" stroke=\"", colour, "\" stroke-width=\"1.5\"/><circle cx=\"", legendLeft + 10, "\" cy=\"", y,
            "\" r=\"3\" fill=\"", colour, "\"/><text x=\"", legendLeft + 28, "\" y=\"", y + 4, "\" fill=\"#222222\">",
            escaped(names[s]), "</text></g>\n");
    }
    out += "</svg>\n";
    return out;
}

std::string renderHistogram(const Histogram& hist)
{
    const Bins bins = binCounts(hist.values, hist.binWidth);
    if (bins.counts.empty())
        return noData(hist.title, hist.xLabel, hist.yLabel);
    std::size_t total = 0;
    std::size_t most = 0;
    for (const std::size_t c : bins.counts) {
        total += c;
        most = std::max(most, c);
    }
    double xMin = bins.start;
    double xMax = std::min(bins.start + static_cast<double>(bins.counts.size()) * bins.width, DBL_MAX);
    // Half a bin beside a marker, so that one at the end of the data is
    // not drawn over the frame.
    std::vector<std::pair<std::string, double>> markers;
    for (const auto& m : hist.markers) {
        if (std::isfinite(m.second)) {
            markers.push_back(m);
            xMin = std::min(xMin, std::max(m.second - bins.width / 2, -DBL_MAX));
            xMax = std::max(xMax, std::min(m.second + bins.width / 2, DBL_MAX));
        }
    }
    std::sort(markers.begin(), markers.end(), [](const auto& p, const auto& q) { return p.second < q.second; });

    // Counts are whole, so the y ticks are at least 1 apart.
    const AxisTicks yt = linearTicks(0, static_cast<double>(most), static_cast<int>(plotHeight / 40), 1);
    Area a;
    const AxisTicks xt = fittedTicks(xMin, xMax, false, plotWidth);
    a.left = leftMargin(hist.yLabel, widestLabel(yt), xt);
    const Scale xs{xt.lo, xt.hi, false, a.left, a.right()};

    // Marker labels go over the plot, centred on their line but kept from
    // sticking out past the y tick labels or the picture's right edge, in as
    // many rows as keep them apart.
    constexpr double rightMargin = 24;
    std::vector<double> rowEnds;
    std::vector<std::size_t> rows;
    std::vector<double> centres;
    for (const auto& [name, x] : markers) {
        const double w = textWidth(name, fontSize);
        centres.push_back(std::max(a.left - 6 + w / 2, std::min(xs(x), a.right() + rightMargin - 4 - w / 2)));
        const double left = centres.back() - w / 2;
        std::size_t r = 0;
        while (r < rowEnds.size() && rowEnds[r] + 6 > left)
            ++r;
        if (r == rowEnds.size())
            rowEnds.push_back(0);
        rowEnds[r] = left + w;
        rows.push_back(r);
    }
    a.top = topMargin(hist.title) + 14 * static_cast<double>(rowEnds.size());
    const Scale ys{yt.lo, yt.hi, false, a.bottom(), a.top};

    const double lastLabel = xt.labels.empty() ? 0 : textWidth(xt.labels.back(), fontSize) / 2;
    const std::string note =
        std::to_string(total) + (total == 1 ? " value" : " values") + ", bins " + formatNumber(bins.width, 6) + " wide";
    const double noteSize = 11;
    const double width = std::max({a.right() + std::max(rightMargin, lastLabel + 8),
                                   textWidth(hist.title, titleSize) + 16, a.left + textWidth(note, noteSize) + 8});
    const double height = a.bottom() + bottomMargin(hist.xLabel) + 14;

    std::string out;
    begin(out, width, height, hist.title);
    labels(out, a, width, hist.title, hist.xLabel, hist.yLabel);
    grid(out, a, xs, xt, ys, yt);
    // A white edge parts bars that are wide enough to have one to spare.
    const bool edged = xs(bins.start + bins.width) - xs(bins.start) >= 4;
    put(out, "<g fill=\"#4c78a8\"", edged ? " stroke=\"#ffffff\" stroke-width=\"0.5\"" : "", ">\n");
    for (std::size_t i = 0; i < bins.counts.size(); ++i) {
        if (bins.counts[i] == 0)
            continue;
        const double from = bins.start + static_cast<double>(i) * bins.width;
        const double to = std::min(from + bins.width, DBL_MAX);
        const double y = ys(static_cast<double>(bins.counts[i]));
        // The title's edges have digits to spare for bins such as [10000.25, 10000.5).
        put(out, "<rect class=\"bar\" x=\"", xs(from), "\" y=\"", y, "\" width=\"", xs(to) - xs(from), "\" height=\"",
            a.bottom() - y, "\"><title>", std::to_string(bins.counts[i]), " in [", formatNumber(from, 10), ", ",
            formatNumber(to, 10), ")</title></rect>\n");
    }
    out += "</g>\n";
    for (std::size_t i = 0; i < markers.size(); ++i) {
        const double x = xs(markers[i].second);
        put(out, "<g class=\"marker\" stroke=\"#b03a2e\" fill=\"#b03a2e\"><line x1=\"", x, "\" y1=\"", a.top,
            "\" x2=\"", x, "\" y2=\"", a.bottom(), "\" stroke-width=\"1.5\" stroke-dasharray=\"5,4\"/><text x=\"",
            centres[i], "\" y=\"", a.top - 5 - 14 * static_cast<double>(rows[i]),
            "\" text-anchor=\"middle\" stroke=\"none\">", escaped(markers[i].first), "</text></g>\n");
    }
    axes(out, a, xs, xt, ys, yt);
    put(out, "<text x=\"", a.left, "\" y=\"", height - 8, "\" font-size=\"", noteSize, "\" fill=\"#666666\">",
        escaped(note), "</text>\n</svg>\n");
    return out;
}

} // namespace bench
