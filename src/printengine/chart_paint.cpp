// The chart painter: title, subtitle and legend around a plot of bars, lines,
// areas, points or pie slices, all as vector paths and text.
#include "printengine/chart.h"

#include "printengine/format.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace printengine {

namespace {

// The usual chart palette: strong colours first, darker ones after.
const QRgb Palette[] = {0xFF5555, 0x5555FF, 0x55FF55, 0xFFFF55, 0xFF55FF, 0x55FFFF, 0xFFAFAF,
                        0x808080, 0xC00000, 0x0000C0, 0x00C000, 0xC0C000, 0xC000C0, 0x00C0C0,
                        0x404040, 0xFF4040, 0x4040FF, 0x40FF40, 0xFFFF40, 0xFF40FF, 0x40FFFF};

QColor SeriesColor(const ChartDef& def, int index) {
    if (auto it = def.seriesColors.find(index); it != def.seriesColors.end()) return it->second;
    const int count = int(std::size(Palette));
    // Reads the palette afresh after the series colours the report gives.
    const int shift = index - int(def.seriesColors.size());
    return QColor(Palette[(shift >= 0 ? shift : index) % count]);
}

struct Painter {
    QPainter& p;
    const ChartDef& def;
    const ChartData& data;
    double sizeFactor;

    QFont Font(const ChartFont& f, double fallback, bool bold = false) const {
        QFont font(f.family);
        font.setPointSizeF((f.size > 0 ? f.size : fallback) * sizeFactor);
        font.setBold(f.bold || bold);
        font.setItalic(f.italic);
        return font;
    }
    QFontMetricsF Metrics() const { return QFontMetricsF(p.font(), p.device()); }
};

// Round steps (1, 2, 5 times a power of ten) covering [low, high].
struct Scale {
    double low = 0, high = 1, step = 1;
    double Fraction(double v) const { return high > low ? (v - low) / (high - low) : 0; }
};

Scale NiceScale(double low, double high, int ticks) {
    if (!std::isfinite(low) || !std::isfinite(high)) low = 0, high = 1;
    // Far enough from the largest double that the range stays finite.
    low = std::clamp(low, -1e300, 1e300);
    high = std::clamp(high, -1e300, 1e300);
    if (high < low) std::swap(low, high);
    if (high - low < 1e-12) {
        const double pad = std::abs(high) > 0 ? std::abs(high) * 0.1 : 1;
        low -= pad;
        high += pad;
        if (low < 0 && high - pad >= 0) low = 0;
    }
    const double raw = (high - low) / std::max(ticks, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power + 1e-12) {
            step = m * power;
            break;
        }
    Scale s;
    s.step = step;
    s.low = std::floor(low / step + 1e-9) * step;
    s.high = std::ceil(high / step - 1e-9) * step;
    if (s.high <= s.low) s.high = s.low + step;
    return s;
}

// The scale with the ends the report fixes, when they leave a range.
Scale Fixed(Scale s, std::optional<double> low, std::optional<double> high) {
    const double l = low && std::isfinite(*low) ? *low : s.low;
    const double h = high && std::isfinite(*high) ? *high : s.high;
    if (h > l && (h - l) / s.step <= 200) {
        s.low = l;
        s.high = h;
    }
    return s;
}

QString NumberText(double v, const std::string& mask) {
    if (std::abs(v) < 1e-12) v = 0;
    return FormatNumber(v, mask.empty() ? "#,##0.###" : mask);
}

QString DateText(double ms, double span, const std::string& mask) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
    engine::DateTime d;
    d.year = at.date().year();
    d.month = at.date().month();
    d.day = at.date().day();
    d.hour = at.time().hour();
    d.minute = at.time().minute();
    d.second = at.time().second();
    std::string pattern = mask;
    if (pattern.empty()) {
        const double day = 86400000.0;
        pattern = span > 3 * 365 * day ? "yyyy"
                  : span > 60 * day    ? "MMM yy"
                  : span > 2 * day     ? "d MMM"
                                       : "HH:mm";
    }
    return FormatDate(d, pattern);
}

void DrawTextIn(QPainter& p, const QRectF& r, int flags, const QString& text) {
    if (!text.isEmpty()) p.drawText(r, flags, text);
}

// ---- title, subtitle and legend --------------------------------------------------

// Takes a strip of `r` at `edge` for one line of `text`; returns the strip.
QRectF TakeStrip(QRectF& r, Edge edge, double thickness) {
    QRectF strip;
    switch (edge) {
    case Edge::Top:
        strip = QRectF(r.left(), r.top(), r.width(), thickness);
        r.setTop(r.top() + thickness);
        break;
    case Edge::Bottom:
        strip = QRectF(r.left(), r.bottom() - thickness, r.width(), thickness);
        r.setBottom(r.bottom() - thickness);
        break;
    case Edge::Left:
        strip = QRectF(r.left(), r.top(), thickness, r.height());
        r.setLeft(r.left() + thickness);
        break;
    case Edge::Right:
        strip = QRectF(r.right() - thickness, r.top(), thickness, r.height());
        r.setRight(r.right() - thickness);
        break;
    }
    return strip;
}

void DrawTitle(Painter& c, QRectF& area, const QString& text, const ChartFont& font, double size,
               bool bold, const QColor& color, Edge edge) {
    if (text.isEmpty()) return;
    c.p.setFont(c.Font(font, size, bold));
    const QFontMetricsF m = c.Metrics();
    const bool vertical = edge == Edge::Left || edge == Edge::Right;
    const double extent = vertical ? area.height() : area.width();
    const QRectF bound =
        m.boundingRect(QRectF(0, 0, extent, 1e6), Qt::TextWordWrap | Qt::AlignHCenter, text);
    const QRectF strip = TakeStrip(area, edge, bound.height() + 2);
    c.p.setPen(color);
    if (!vertical) {
        DrawTextIn(c.p, strip, Qt::TextWordWrap | Qt::AlignCenter, text);
        return;
    }
    c.p.save();
    c.p.translate(strip.center());
    c.p.rotate(edge == Edge::Left ? -90 : 90);
    DrawTextIn(c.p, QRectF(-strip.height() / 2, -strip.width() / 2, strip.height(), strip.width()),
               Qt::TextWordWrap | Qt::AlignCenter, text);
    c.p.restore();
}

struct LegendEntry {
    QString text;
    QColor color;
};

void DrawLegend(Painter& c, QRectF& area, const std::vector<LegendEntry>& entries) {
    if (!c.def.showLegend || entries.empty()) return;
    c.p.setFont(c.Font(c.def.legendFont, 7));
    const QFontMetricsF m = c.Metrics();
    const double line = m.height() + 2, swatch = std::max(4.0, m.ascent() * 0.8), gap = 8;
    const bool vertical = c.def.legendPosition == Edge::Left || c.def.legendPosition == Edge::Right;
    // Entries flow in rows (top, bottom) or stack in a column (left, right).
    std::vector<std::vector<size_t>> rows;
    double widest = 0;
    const double room = vertical ? area.width() * 0.4 : area.width() - 4;
    for (size_t i = 0; i < entries.size(); ++i) {
        const double w = std::min(swatch + 3 + m.horizontalAdvance(entries[i].text), room);
        widest = std::max(widest, w);
        if (vertical || rows.empty()) {
            rows.push_back({i});
            continue;
        }
        double used = 0;
        for (size_t j : rows.back())
            used += std::min(swatch + 3 + m.horizontalAdvance(entries[j].text), room) + gap;
        if (used + w > room)
            rows.push_back({i});
        else
            rows.back().push_back(i);
    }
    const double thickness = vertical ? widest + 8 : rows.size() * line + 4;
    if (!vertical && thickness > area.height() / 2) return; // no room for the plot
    const QRectF strip = TakeStrip(area, c.def.legendPosition, thickness);
    if (c.def.legendBackground) c.p.fillRect(strip, *c.def.legendBackground);
    double y = strip.top() + 2;
    if (vertical) y = strip.center().y() - rows.size() * line / 2;
    for (const auto& row : rows) {
        double width = 0;
        for (size_t j : row)
            width += std::min(swatch + 3 + m.horizontalAdvance(entries[j].text), room) + gap;
        width -= gap;
        double x = vertical ? strip.left() + 4 : strip.center().x() - width / 2;
        for (size_t j : row) {
            const double w = std::min(swatch + 3 + m.horizontalAdvance(entries[j].text), room);
            c.p.fillRect(QRectF(x, y + (line - swatch) / 2, swatch, swatch), entries[j].color);
            c.p.setPen(c.def.legendColor);
            const QString text =
                m.elidedText(entries[j].text, Qt::ElideRight, w - swatch - 3 + 0.5);
            DrawTextIn(c.p, QRectF(x + swatch + 3, y, w - swatch - 3 + 1, line),
                       Qt::AlignLeft | Qt::AlignVCenter, text);
            x += w + gap;
        }
        y += line;
    }
}

// ---- pies ----------------------------------------------------------------------

struct PieLabel {
    QPointF anchor; // on the slice's edge
    double y = 0;
    bool right = false;
    QString text;
};

void DrawPie(Painter& c, QRectF area) {
    std::vector<std::pair<int, double>> slices; // category, value
    double total = 0;
    for (const auto& [key, v] : c.data.values)
        if (v > 0 && std::isfinite(v)) {
            slices.emplace_back(key.second, v);
            total += v;
        }
    std::sort(slices.begin(), slices.end());
    if (total <= 0) return;
    c.p.setFont(c.Font(c.def.categoryAxis.tickLabelFont, 7));
    const QFontMetricsF m = c.Metrics();
    const auto labelText = [&](int category, double v) {
        if (auto it = c.data.labels.find({0, category}); it != c.data.labels.end())
            return it->second;
        return c.data.categories[size_t(category)] + " (" +
               QString::number(100.0 * v / total, 'f', 0) + "%)";
    };
    double widest = 0;
    if (c.def.showLabels)
        for (const auto& [category, v] : slices)
            widest = std::max(widest, m.horizontalAdvance(labelText(category, v)));
    const double labelRoom = c.def.showLabels ? std::min(area.width() * 0.3, widest + 10) : 4;
    const double diameter =
        std::max(0.0, std::min(area.width() - 2 * labelRoom, area.height() - 2 * m.height() - 4));
    const QRectF circle(area.center().x() - diameter / 2, area.center().y() - diameter / 2,
                        diameter, diameter);
    // From twelve o'clock, clockwise.
    double start = 90;
    std::vector<PieLabel> labels;
    QPen edge(Qt::white);
    edge.setWidthF(0.5);
    for (const auto& [category, v] : slices) {
        const double sweep = -360.0 * v / total;
        QPainterPath path(circle.center());
        path.arcTo(circle, start, sweep);
        path.closeSubpath();
        c.p.setPen(edge);
        c.p.setBrush(SeriesColor(c.def, category));
        c.p.drawPath(path);
        if (c.def.showLabels) {
            const double mid = (start + sweep / 2) * M_PI / 180;
            PieLabel l;
            l.anchor = QPointF(circle.center().x() + diameter / 2 * std::cos(mid),
                               circle.center().y() - diameter / 2 * std::sin(mid));
            l.y = circle.center().y() - (diameter / 2 + 4) * std::sin(mid);
            l.right = std::cos(mid) >= 0;
            l.text = labelText(category, v);
            labels.push_back(l);
        }
        start += sweep;
    }
    c.p.setBrush(Qt::NoBrush);
    // Labels beside the pie, moved apart on each side so that none overlaps.
    const double line = m.height();
    for (const bool right : {false, true}) {
        std::vector<PieLabel*> side;
        for (auto& l : labels)
            if (l.right == right) side.push_back(&l);
        std::sort(side.begin(), side.end(), [](auto* a, auto* b) { return a->y < b->y; });
        for (size_t i = 1; i < side.size(); ++i)
            side[i]->y = std::max(side[i]->y, side[i - 1]->y + line);
        for (size_t i = side.size(); i-- > 0;) {
            const double limit =
                i + 1 < side.size() ? side[i + 1]->y - line : area.bottom() - line / 2;
            side[i]->y = std::min(side[i]->y, limit);
        }
        const double x = right ? circle.right() + 8 : circle.left() - 8;
        for (const PieLabel* l : side) {
            QPen leader(Qt::gray);
            leader.setWidthF(0.4);
            c.p.setPen(leader);
            c.p.drawLine(l->anchor, QPointF(x, l->y));
            const double room = right ? area.right() - x - 1 : x - 1 - area.left();
            const double w = std::max(0.0, std::min(m.horizontalAdvance(l->text), room));
            c.p.setPen(Qt::black);
            DrawTextIn(c.p, QRectF(right ? x + 1 : x - 1 - w, l->y - line / 2, w + 1, line),
                       (right ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter,
                       m.elidedText(l->text, Qt::ElideRight, w + 0.5));
        }
    }
}

// ---- axes ------------------------------------------------------------------------

bool Stacked(ChartType t) {
    return t == ChartType::StackedBar || t == ChartType::StackedArea;
}

// The value range of a category plot: stacked plots add up per category.
std::pair<double, double> CategoryRange(const ChartData& d, ChartType t) {
    double low = 0, high = 0;
    bool any = false;
    if (Stacked(t)) {
        std::map<int, std::pair<double, double>> sums;
        for (const auto& [key, v] : d.values)
            (v >= 0 ? sums[key.second].second : sums[key.second].first) += v;
        for (const auto& [cat, s] : sums) {
            low = std::min(low, s.first);
            high = std::max(high, s.second);
        }
        return {low, high};
    }
    for (const auto& [key, v] : d.values) {
        low = any ? std::min(low, v) : v;
        high = any ? std::max(high, v) : v;
        any = true;
    }
    // Value axes start from zero, as the usual chart library has them.
    return {std::min(low, 0.0), std::max(high, 0.0)};
}

void DrawValueGrid(Painter& c, const QRectF& plot, const Scale& s, bool horizontal) {
    QPen grid(QColor(0xC0, 0xC0, 0xC0));
    grid.setWidthF(0.4);
    grid.setStyle(Qt::DashLine);
    c.p.setFont(c.Font(c.def.valueAxis.tickLabelFont, 7));
    const QFontMetricsF m = c.Metrics();
    for (int i = 0; i <= 200; ++i) {
        const double v = s.low + i * s.step;
        if (v > s.high + s.step * 1e-6) break;
        const double f = s.Fraction(v);
        c.p.setPen(grid);
        const QString text = NumberText(v, c.def.valueAxis.tickLabelMask);
        c.p.setPen(grid);
        if (horizontal) {
            const double x = plot.left() + f * plot.width();
            c.p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
            c.p.setPen(c.def.valueAxis.tickLabelColor);
            DrawTextIn(c.p, QRectF(x - 40, plot.bottom() + 2, 80, m.height()),
                       Qt::AlignHCenter | Qt::AlignTop, text);
        } else {
            const double y = plot.bottom() - f * plot.height();
            c.p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
            c.p.setPen(c.def.valueAxis.tickLabelColor);
            DrawTextIn(c.p, QRectF(plot.left() - 82, y - m.height() / 2, 80, m.height()),
                       Qt::AlignRight | Qt::AlignVCenter, text);
        }
    }
}

void DrawFrame(Painter& c, const QRectF& plot) {
    QPen pen(c.def.valueAxis.lineColor);
    pen.setWidthF(0.5);
    c.p.setPen(pen);
    c.p.setBrush(Qt::NoBrush);
    c.p.drawRect(plot);
}

// Room for the axis labels and tick labels; returns the plot's rectangle.
QRectF PlotArea(Painter& c, QRectF area, const QString& leftLabel, const QString& bottomLabel,
                double leftTicks, double bottomTicks) {
    c.p.setFont(c.Font(c.def.valueAxis.labelFont, 8));
    const double labelHeight = c.Metrics().height() + 2;
    if (!leftLabel.isEmpty()) {
        const QRectF strip = TakeStrip(area, Edge::Left, labelHeight);
        c.p.save();
        c.p.setPen(c.def.valueAxis.labelColor);
        c.p.translate(strip.center());
        c.p.rotate(-90);
        DrawTextIn(c.p,
                   QRectF(-strip.height() / 2, -strip.width() / 2, strip.height(), strip.width()),
                   Qt::AlignCenter, leftLabel);
        c.p.restore();
    }
    if (!bottomLabel.isEmpty()) {
        const QRectF strip = TakeStrip(area, Edge::Bottom, labelHeight);
        c.p.setPen(c.def.categoryAxis.labelColor);
        DrawTextIn(c.p, strip, Qt::AlignCenter, bottomLabel);
    }
    area.adjust(std::min(leftTicks + 4, area.width() * 0.45), 4, -6,
                -std::min(bottomTicks + 3, area.height() * 0.45));
    return area;
}

double WidestTick(Painter& c, const Scale& s, const std::string& mask) {
    c.p.setFont(c.Font(c.def.valueAxis.tickLabelFont, 7));
    const QFontMetricsF m = c.Metrics();
    double w = 0;
    for (int i = 0; i <= 200 && s.low + i * s.step <= s.high + s.step * 1e-6; ++i)
        w = std::max(w, m.horizontalAdvance(NumberText(s.low + i * s.step, mask)));
    return w;
}

// ---- category plots: bars, lines, areas -------------------------------------------

void DrawCategoryPlot(Painter& c, QRectF area) {
    const ChartData& d = c.data;
    const ChartType t = c.def.type;
    const bool bars = t == ChartType::Bar || t == ChartType::StackedBar;
    const bool horizontal = bars && c.def.horizontal;
    const auto [low, high] = CategoryRange(d, t);
    const Scale s = Fixed(NiceScale(d.rangeMin.value_or(low), d.rangeMax.value_or(high), 5),
                          d.rangeMin, d.rangeMax);
    c.p.setFont(c.Font(c.def.categoryAxis.tickLabelFont, 7));
    const QFontMetricsF cm = c.Metrics();
    double widestCategory = 0;
    for (const QString& name : d.categories)
        widestCategory = std::max(widestCategory, cm.horizontalAdvance(name));
    const double valueTicks = WidestTick(c, s, c.def.valueAxis.tickLabelMask);
    const QRectF plot =
        horizontal
            ? PlotArea(c, area, d.categoryAxisLabel, d.valueAxisLabel,
                       std::min(widestCategory, area.width() * 0.3), cm.height())
            : PlotArea(c, area, d.valueAxisLabel, d.categoryAxisLabel, valueTicks, cm.height());
    if (plot.width() <= 1 || plot.height() <= 1) return;
    if (c.def.plotBackground) c.p.fillRect(plot, *c.def.plotBackground);
    DrawValueGrid(c, plot, s, horizontal);
    const size_t n = std::max<size_t>(d.categories.size(), 1);
    const double band = (horizontal ? plot.height() : plot.width()) / double(n);
    // Where a value lies along the value axis, in page coordinates.
    const auto along = [&](double v) {
        const double f = s.Fraction(v);
        return horizontal ? plot.left() + f * plot.width() : plot.bottom() - f * plot.height();
    };
    const auto bandStart = [&](size_t i) {
        return (horizontal ? plot.top() : plot.left()) + band * double(i);
    };
    // Category labels.
    c.p.setFont(c.Font(c.def.categoryAxis.tickLabelFont, 7));
    c.p.setPen(c.def.categoryAxis.tickLabelColor);
    for (size_t i = 0; i < d.categories.size(); ++i) {
        if (horizontal) {
            const double w = std::min(widestCategory, area.width() * 0.3);
            DrawTextIn(c.p, QRectF(plot.left() - w - 4, bandStart(i), w + 1, band),
                       Qt::AlignRight | Qt::AlignVCenter,
                       cm.elidedText(d.categories[i], Qt::ElideRight, w + 0.5));
        } else {
            DrawTextIn(c.p, QRectF(bandStart(i), plot.bottom() + 2, band, cm.height()),
                       Qt::AlignHCenter | Qt::AlignTop,
                       cm.elidedText(d.categories[i], Qt::ElideRight, band));
        }
    }
    const size_t seriesCount = d.series.size();
    c.p.setFont(c.Font(c.def.valueAxis.tickLabelFont, 6));
    const QFontMetricsF lm = c.Metrics();
    std::map<size_t, std::pair<double, double>> stacks; // per category: negative, positive
    for (size_t sIdx = 0; sIdx < seriesCount; ++sIdx) {
        const QColor color = SeriesColor(c.def, int(sIdx));
        if (bars) {
            for (size_t cat = 0; cat < d.categories.size(); ++cat) {
                const auto it = d.values.find({int(sIdx), int(cat)});
                if (it == d.values.end() || !std::isfinite(it->second)) continue;
                double from = 0, to = it->second;
                double offset = bandStart(cat) + band * 0.1, thick = band * 0.8;
                if (t == ChartType::StackedBar) {
                    auto& [neg, pos] = stacks[cat];
                    double& base = to >= 0 ? pos : neg;
                    from = base;
                    to = base + it->second;
                    base = to;
                } else {
                    thick = band * 0.8 / double(seriesCount);
                    offset += thick * double(sIdx);
                }
                const double a = along(std::clamp(from, s.low, s.high));
                const double b = along(std::clamp(to, s.low, s.high));
                const QRectF bar = horizontal ? QRectF(QPointF(std::min(a, b), offset),
                                                       QPointF(std::max(a, b), offset + thick))
                                              : QRectF(QPointF(offset, std::min(a, b)),
                                                       QPointF(offset + thick, std::max(a, b)));
                c.p.fillRect(bar, color);
                if (c.def.showLabels) {
                    QString label = NumberText(it->second, c.def.valueAxis.tickLabelMask);
                    if (auto l = d.labels.find(it->first); l != d.labels.end()) label = l->second;
                    c.p.setPen(Qt::black);
                    DrawTextIn(c.p, bar.adjusted(-20, -lm.height() - 1, 20, 0),
                               horizontal ? Qt::AlignRight | Qt::AlignVCenter
                                          : Qt::AlignHCenter | Qt::AlignTop,
                               label);
                }
            }
            continue;
        }
        // Lines and areas join the categories' centres.
        QPolygonF line;
        std::vector<double> bases;
        for (size_t cat = 0; cat < d.categories.size(); ++cat) {
            const auto it = d.values.find({int(sIdx), int(cat)});
            double v = it != d.values.end() ? it->second : 0;
            if (it == d.values.end() && t == ChartType::Line) continue;
            double base = 0;
            if (t == ChartType::StackedArea) {
                base = stacks[cat].second;
                v += base;
                stacks[cat].second = v;
            }
            bases.push_back(base);
            const double x = bandStart(cat) + band / 2;
            line << QPointF(x, along(std::clamp(v, s.low, s.high)));
        }
        if (line.isEmpty()) continue;
        if (t == ChartType::Area || t == ChartType::StackedArea) {
            QPolygonF shape = line;
            for (size_t k = line.size(); k-- > 0;)
                shape << QPointF(line[qsizetype(k)].x(),
                                 along(std::clamp(bases[k], s.low, s.high)));
            c.p.setPen(Qt::NoPen);
            c.p.setBrush(color);
            c.p.drawPolygon(shape);
            c.p.setBrush(Qt::NoBrush);
            continue;
        }
        QPen pen(color);
        pen.setWidthF(1.5);
        c.p.setPen(pen);
        if (c.def.showLines) c.p.drawPolyline(line);
        if (c.def.showShapes) {
            c.p.setBrush(color);
            for (const QPointF& at : line)
                c.p.drawRect(QRectF(at.x() - 2, at.y() - 2, 4, 4));
            c.p.setBrush(Qt::NoBrush);
        }
    }
    DrawFrame(c, plot);
}

// ---- XY and time plots --------------------------------------------------------------

void DrawXYPlot(Painter& c, QRectF area) {
    const ChartData& d = c.data;
    const ChartType t = c.def.type;
    const bool time = c.def.dataset == DatasetKind::TimeSeries;
    std::vector<std::vector<std::pair<double, double>>> series(d.series.size());
    for (size_t i = 0; i < d.series.size(); ++i) {
        if (time && i < d.periods.size())
            series[i].assign(d.periods[i].begin(), d.periods[i].end());
        else if (!time && i < d.points.size()) {
            series[i] = d.points[i];
            std::stable_sort(series[i].begin(), series[i].end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        }
    }
    double xlo = 0, xhi = 0, ylo = 0, yhi = 0;
    bool any = false;
    for (const auto& pts : series)
        for (const auto& [x, y] : pts) {
            if (!std::isfinite(x) || !std::isfinite(y)) continue;
            xlo = any ? std::min(xlo, x) : x;
            xhi = any ? std::max(xhi, x) : x;
            ylo = any ? std::min(ylo, y) : y;
            yhi = any ? std::max(yhi, y) : y;
            any = true;
        }
    // The y axis starts from zero but for time series, which show the change.
    if (!time) {
        ylo = std::min(ylo, 0.0);
        yhi = std::max(yhi, 0.0);
    }
    if (t == ChartType::XYBar) {
        // Room for the outer bars' halves.
        double gap = xhi - xlo;
        for (const auto& pts : series)
            for (size_t k = 1; k < pts.size(); ++k)
                if (pts[k].first > pts[k - 1].first)
                    gap = std::min(gap, pts[k].first - pts[k - 1].first);
        if (gap <= 0) gap = 1;
        xlo -= gap / 2;
        xhi += gap / 2;
    }
    const Scale ys = Fixed(NiceScale(d.rangeMin.value_or(ylo), d.rangeMax.value_or(yhi), 5),
                           d.rangeMin, d.rangeMax);
    if (d.domainMin) xlo = *d.domainMin;
    if (d.domainMax) xhi = *d.domainMax;
    Scale xs;
    if (time) {
        // A single period stands in the middle of its day.
        xs.low = xhi > xlo ? xlo : xlo - 43200000.0;
        xs.high = xhi > xlo ? xhi : xlo + 43200000.0;
        xs.step = (xs.high - xs.low) / 4;
    } else {
        xs = Fixed(NiceScale(xlo, xhi, 5), d.domainMin, d.domainMax);
    }
    c.p.setFont(c.Font(c.def.categoryAxis.tickLabelFont, 7));
    const QFontMetricsF xm = c.Metrics();
    const QRectF plot = PlotArea(c, area, d.valueAxisLabel, d.categoryAxisLabel,
                                 WidestTick(c, ys, c.def.valueAxis.tickLabelMask), xm.height());
    if (plot.width() <= 1 || plot.height() <= 1) return;
    if (c.def.plotBackground) c.p.fillRect(plot, *c.def.plotBackground);
    DrawValueGrid(c, plot, ys, false);
    c.p.setFont(c.Font(c.def.categoryAxis.tickLabelFont, 7));
    c.p.setPen(c.def.categoryAxis.tickLabelColor);
    for (int i = 0; i <= 200; ++i) {
        const double x = xs.low + i * xs.step;
        if (x > xs.high + xs.step * 1e-6) break;
        const double px = plot.left() + xs.Fraction(x) * plot.width();
        const QString text = time ? DateText(x, xs.high - xs.low, c.def.categoryAxis.tickLabelMask)
                                  : NumberText(x, c.def.categoryAxis.tickLabelMask);
        DrawTextIn(c.p, QRectF(px - 40, plot.bottom() + 2, 80, xm.height()),
                   Qt::AlignHCenter | Qt::AlignTop, text);
    }
    const auto at = [&](double x, double y) {
        return QPointF(plot.left() + xs.Fraction(x) * plot.width(),
                       plot.bottom() - ys.Fraction(std::clamp(y, ys.low, ys.high)) * plot.height());
    };
    for (size_t i = 0; i < series.size(); ++i) {
        const QColor color = SeriesColor(c.def, int(i));
        const auto& pts = series[i];
        if (pts.empty()) continue;
        if (t == ChartType::XYBar) {
            double gap = xs.high - xs.low;
            for (size_t k = 1; k < pts.size(); ++k)
                if (pts[k].first > pts[k - 1].first)
                    gap = std::min(gap, pts[k].first - pts[k - 1].first);
            const double width =
                std::max(1.0, std::min(plot.width() * 0.8 / double(pts.size()),
                                       gap / (xs.high - xs.low) * plot.width() * 0.8)) /
                double(series.size());
            for (const auto& [x, y] : pts) {
                const QPointF top = at(x, y), base = at(x, 0);
                const double left = top.x() - width * double(series.size()) / 2 + width * double(i);
                c.p.fillRect(QRectF(QPointF(left, std::min(top.y(), base.y())),
                                    QPointF(left + width, std::max(top.y(), base.y()))),
                             color);
            }
            continue;
        }
        QPolygonF line;
        for (const auto& [x, y] : pts)
            line << at(x, y);
        if (t == ChartType::XYArea) {
            QPolygonF shape = line;
            shape << QPointF(line.back().x(), at(0, 0).y())
                  << QPointF(line.front().x(), at(0, 0).y());
            c.p.setPen(Qt::NoPen);
            c.p.setBrush(color);
            c.p.drawPolygon(shape);
            c.p.setBrush(Qt::NoBrush);
            continue;
        }
        QPen pen(color);
        pen.setWidthF(1.5);
        c.p.setPen(pen);
        const bool lines =
            t == ChartType::Scatter ? c.def.linesGiven && c.def.showLines : c.def.showLines;
        const bool shapes = t == ChartType::Scatter || c.def.showShapes;
        if (lines) c.p.drawPolyline(line);
        if (shapes) {
            c.p.setBrush(color);
            for (const QPointF& point : line)
                c.p.drawEllipse(point, 2.0, 2.0);
            c.p.setBrush(Qt::NoBrush);
        }
    }
    DrawFrame(c, plot);
}

} // namespace

void PaintChart(QPainter& painter, const Element& e, const ChartData& data, const QRectF& rect,
                double sizeFactor) {
    if (!e.chart || rect.width() <= 2 || rect.height() <= 2) return;
    const ChartDef& def = *e.chart;
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.setRenderHint(QPainter::Antialiasing);
    if (e.opaque) painter.fillRect(rect, e.backColor);
    Painter c{painter, def, data, sizeFactor};
    QRectF area = rect.adjusted(e.box.left + 4, e.box.top + 4, -e.box.right - 4, -e.box.bottom - 4);
    DrawTitle(c, area, data.title, def.titleFont, 10, true, def.titleColor, def.titlePosition);
    DrawTitle(c, area, data.subtitle, def.subtitleFont, 8, false, def.subtitleColor,
              def.titlePosition);
    std::vector<LegendEntry> legend;
    if (def.type == ChartType::Pie) {
        for (size_t i = 0; i < data.categories.size(); ++i)
            legend.push_back({data.categories[i], SeriesColor(def, int(i))});
    } else {
        for (size_t i = 0; i < data.series.size(); ++i)
            legend.push_back({data.series[i], SeriesColor(def, int(i))});
    }
    DrawLegend(c, area, legend);
    switch (def.type) {
    case ChartType::Pie:
        DrawPie(c, area);
        break;
    case ChartType::Bar:
    case ChartType::StackedBar:
    case ChartType::Line:
    case ChartType::Area:
    case ChartType::StackedArea:
        DrawCategoryPlot(c, area);
        break;
    case ChartType::XYLine:
    case ChartType::XYBar:
    case ChartType::XYArea:
    case ChartType::Scatter:
    case ChartType::TimeSeries:
        DrawXYPlot(c, area);
        break;
    }
    painter.restore();
}

} // namespace printengine
