#include "curve_view.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace vx {

namespace {

// Light on the panel's dark ground, and told apart from each other.
const QColor kPanel{18, 23, 28};
const QColor kFrame{64, 76, 88};
const QColor kGrid{48, 58, 68};
const QColor kZero{86, 100, 114};
const QColor kText{200, 208, 216};
const QColor kSeries[] = {{240, 176, 64}, {80, 184, 240}, {112, 208, 112}, {240, 112, 112}, {192, 144, 240}};

QColor series_colour(size_t i) { return kSeries[i % std::size(kSeries)]; }

bool log_axis(const Curve::Axis& a) { return a.scale == Curve::Scale::Log && a.min > 0.0 && a.max > a.min; }

}  // namespace

CurveView::CurveView(const Curve& curve, QWidget* parent) : QWidget(parent), curve_(&curve) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QSize CurveView::sizeHint() const { return {460, 220}; }
QSize CurveView::minimumSizeHint() const { return {320, 170}; }

double CurveView::map(const Curve::Axis& a, double v, double from, double to) {
    double t;
    if (log_axis(a))
        t = (std::log(std::max(v, a.min * 1e-3)) - std::log(a.min)) / (std::log(a.max) - std::log(a.min));
    else
        t = a.max > a.min ? (v - a.min) / (a.max - a.min) : 0.0;
    return from + t * (to - from);
}

std::vector<double> CurveView::ticks(const Curve::Axis& a) {
    std::vector<double> out;
    if (!(a.max > a.min) || !std::isfinite(a.min) || !std::isfinite(a.max)) return out;
    if (log_axis(a)) {
        for (double decade = std::pow(10.0, std::floor(std::log10(a.min))); decade <= a.max; decade *= 10.0)
            for (double m : {1.0, 2.0, 5.0}) {
                const double v = m * decade;
                if (v >= a.min * (1 - 1e-9) && v <= a.max * (1 + 1e-9)) out.push_back(v);
            }
        return out;
    }
    // About six steps of 1, 2, 2.5 or 5 times a power of ten.
    const double raw = (a.max - a.min) / 6.0;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    double step = p * 10.0;
    for (double m : {1.0, 2.0, 2.5, 5.0})
        if (m * p >= raw) {
            step = m * p;
            break;
        }
    for (double v = std::ceil(a.min / step - 1e-9) * step; v <= a.max + step * 1e-9; v += step)
        out.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    return out;
}

QString CurveView::tick_text(double v) {
    if (std::fabs(v) >= 1000.0) return QString::number(v / 1000.0, 'g', 3) + QLatin1Char('k');
    return QString::number(v, 'g', 4);
}

void CurveView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF outer = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(kFrame);
    p.setBrush(kPanel);
    p.drawRoundedRect(outer, 4, 4);
    if (!curve_) return;
    const Curve& c = *curve_;
    const auto& series = c.series();
    const Curve::Axis& ax = c.x_axis();
    Curve::Axis ay = c.y_axis();
    if (ay.fit) {
        double top = 0.0;
        for (const auto& s : series)
            if (s.style == Curve::Style::Line || s.style == Curve::Style::Bars)
                for (double v : s.y)
                    if (std::isfinite(v)) top = std::max(top, std::fabs(v));
        if (top > 0.0) {
            // Up to the next 1, 2, 2.5 or 5 times a power of ten.
            const double p10 = std::pow(10.0, std::floor(std::log10(top)));
            double wide = 10.0 * p10;
            for (double m : {1.0, 2.0, 2.5, 5.0})
                if (m * p10 >= top) {
                    wide = m * p10;
                    break;
                }
            ay.max = wide;
            if (ay.min < 0.0) ay.min = -wide;
        }
    }

    const QFontMetrics fm = fontMetrics();
    const int line = fm.height();
    const std::vector<double> xt = ticks(ax), yt = ticks(ay);
    int label_w = 0;
    for (double v : yt) label_w = std::max(label_w, fm.horizontalAdvance(tick_text(v)));
    // Caption and legend above, the y unit turned along the left edge, x labels and unit below.
    const bool y_unit = !ay.label.empty();
    const QRectF plot(QPointF(8 + (y_unit ? line + 4 : 0) + label_w + 6, 10 + line),
                      QPointF(width() - 12 - fm.horizontalAdvance(tick_text(xt.empty() ? 0 : xt.back())) / 2.0,
                              height() - 8 - 2 * line - 2));
    if (plot.width() < 20 || plot.height() < 20) return;

    p.setPen(kText);
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    p.drawText(QPointF(10, 6 + fm.ascent()), QString::fromStdString(c.caption()));
    p.setFont(font());
    // Legend, right-aligned on the caption's line.
    double lx = width() - 10;
    for (size_t i = series.size(); i-- > 0;) {
        const QString name = QString::fromStdString(series[i].name);
        if (name.isEmpty()) continue;
        lx -= fm.horizontalAdvance(name);
        p.setPen(kText);
        p.drawText(QPointF(lx, 6 + fm.ascent()), name);
        lx -= 16;
        p.setPen(QPen(series_colour(i), 3));
        p.drawLine(QPointF(lx, 6 + line / 2.0), QPointF(lx + 11, 6 + line / 2.0));
        lx -= 12;
    }

    // Grid and labels.
    p.setPen(QPen(kGrid, 1));
    for (double v : xt) {
        const double x = map(ax, v, plot.left(), plot.right());
        p.setPen(QPen(kGrid, 1));
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        p.setPen(kText);
        const QString t = tick_text(v);
        p.drawText(QPointF(x - fm.horizontalAdvance(t) / 2.0, plot.bottom() + 2 + fm.ascent()), t);
    }
    for (double v : yt) {
        const double y = map(ay, v, plot.bottom(), plot.top());
        p.setPen(QPen(v == 0.0 ? kZero : kGrid, 1));
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(kText);
        const QString t = tick_text(v);
        p.drawText(QPointF(plot.left() - 6 - fm.horizontalAdvance(t), y + fm.ascent() / 2.0 - 1), t);
    }
    p.setPen(kText);
    const QString xl = QString::fromStdString(ax.label);
    p.drawText(QPointF(plot.center().x() - fm.horizontalAdvance(xl) / 2.0, plot.bottom() + 2 + line + fm.ascent()), xl);
    if (y_unit) {
        p.save();
        const QString yl = QString::fromStdString(ay.label);
        p.translate(8 + fm.ascent(), plot.center().y() + fm.horizontalAdvance(yl) / 2.0);
        p.rotate(-90);
        p.drawText(QPointF(0, 0), yl);
        p.restore();
    }
    p.setPen(QPen(kFrame, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(plot);

    // The series, clipped to the plot.
    p.setClipRect(plot.adjusted(-1, -1, 1, 1));
    auto px = [&](double v) { return map(ax, v, plot.left(), plot.right()); };
    auto py = [&](double v) { return map(ay, std::clamp(v, ay.min, ay.max), plot.bottom(), plot.top()); };
    const double base = py(ay.min <= 0.0 && ay.max >= 0.0 && !log_axis(ay) ? 0.0 : ay.min);
    int bar_series = 0;
    for (const auto& s : series) bar_series += s.style == Curve::Style::Bars;
    int bar_index = 0;
    for (size_t i = 0; i < series.size(); ++i) {
        const Curve::Series& s = series[i];
        const QColor col = series_colour(i);
        const size_t n = std::min(s.x.size(), s.y.size());
        switch (s.style) {
            case Curve::Style::Line: {
                QPainterPath path;
                bool open = false;
                for (size_t k = 0; k < n; ++k) {
                    if (!std::isfinite(s.x[k]) || !std::isfinite(s.y[k])) {
                        open = false;
                        continue;
                    }
                    const QPointF pt(px(s.x[k]), py(s.y[k]));
                    if (open)
                        path.lineTo(pt);
                    else
                        path.moveTo(pt);
                    open = true;
                }
                // Each later line thinner, so that one lying on another still shows.
                p.setPen(QPen(col, std::max(1.25, 3.5 - static_cast<double>(i))));
                p.setBrush(Qt::NoBrush);
                p.drawPath(path);
                break;
            }
            case Curve::Style::Bars: {
                // Bars of several series at one x stand side by side.
                const double w = 5.0;
                const double shift = (bar_index - (bar_series - 1) / 2.0) * (w + 1);
                for (size_t k = 0; k < n; ++k) {
                    if (!std::isfinite(s.x[k]) || !std::isfinite(s.y[k])) continue;
                    const double x = px(s.x[k]) + shift;
                    const double y = py(s.y[k]);
                    p.fillRect(QRectF(QPointF(x - w / 2, std::min(y, base)), QPointF(x + w / 2, std::max(y, base))), col);
                }
                ++bar_index;
                break;
            }
            case Curve::Style::Marker:
                p.setPen(QPen(col, 2));
                for (double x : s.x)
                    if (std::isfinite(x)) p.drawLine(QPointF(px(x), plot.top()), QPointF(px(x), plot.bottom()));
                break;
            case Curve::Style::Span: {
                QColor fill = col;
                fill.setAlpha(70);
                for (size_t k = 0; k + 1 < s.x.size(); k += 2) {
                    if (!std::isfinite(s.x[k]) || !std::isfinite(s.x[k + 1])) continue;
                    const double a = px(s.x[k]), b = px(s.x[k + 1]);
                    p.fillRect(QRectF(QPointF(std::min(a, b), plot.top()), QPointF(std::max(a, b), plot.bottom())), fill);
                    p.setPen(QPen(col, 1, Qt::DashLine));
                    p.drawLine(QPointF(a, plot.top()), QPointF(a, plot.bottom()));
                    p.drawLine(QPointF(b, plot.top()), QPointF(b, plot.bottom()));
                }
                break;
            }
        }
    }
}

}  // namespace vx
