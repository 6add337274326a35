// Draws a Curve control of the model with QPainter: a dark panel of its own (so that it reads the
// same in every skin), a grid with labelled axes, linear or logarithmic, and the series as lines,
// bars, markers or shaded spans, named in a legend. It reads the model only while painting.
#pragma once

#include <QWidget>

#include "engine/forms.h"

namespace vx {

class CurveView : public QWidget {
    Q_OBJECT
public:
    explicit CurveView(const Curve& curve, QWidget* parent = nullptr);

    // The model is gone: draw nothing more of it.
    void detach() { curve_ = nullptr; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where a value lands in the plot, for the given plot rectangle (tests check the mapping).
    static double map(const Curve::Axis& a, double v, double from, double to);
    // The values at which an axis is labelled.
    static std::vector<double> ticks(const Curve::Axis& a);
    static QString tick_text(double v);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    const Curve* curve_;
};

}  // namespace vx
