#include "tuner_window.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace vx {

namespace {
const QColor kBackground{16, 16, 18};
const QColor kText{235, 235, 235};
const QColor kDim{120, 120, 128};
const QColor kGreen{40, 220, 90};
const QColor kAmber{255, 170, 40};

QString qs(const std::string& s) { return QString::fromStdString(s); }

QFont sized(QFont f, int px, bool bold) {
    f.setPixelSize(px);
    f.setBold(bold);
    return f;
}
}  // namespace

TunerNeedle::TunerNeedle(QWidget* parent) : QWidget(parent) {
    setMinimumSize(360, 96);
    setObjectName(QStringLiteral("TunerNeedle"));
}

void TunerNeedle::set_reading(bool pitched, double cents, bool in_tune) {
    pitched_ = pitched;
    cents_ = cents;
    in_tune_ = in_tune;
    update();
}

void TunerNeedle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), kBackground);
    const double margin = 24.0;
    const double w = width() - 2 * margin;
    const double base = height() - 30.0;
    auto x_of = [&](double c) { return margin + (std::clamp(c, -50.0, 50.0) + 50.0) / 100.0 * w; };

    // The green zone, then the scale with a tick every 10 cents.
    p.fillRect(QRectF(x_of(-TTuner_form::kInTuneCents), 8, x_of(TTuner_form::kInTuneCents) - x_of(-TTuner_form::kInTuneCents),
                      base - 8),
               QColor(kGreen.red(), kGreen.green(), kGreen.blue(), pitched_ && in_tune_ ? 200 : 90));
    p.setPen(QPen(kDim, 2));
    p.drawLine(QPointF(margin, base), QPointF(margin + w, base));
    p.setFont(sized(font(), 13, false));
    for (int c = -50; c <= 50; c += 10) {
        const double x = x_of(c);
        const double len = c == 0 ? 26.0 : (c % 50 == 0 ? 18.0 : 10.0);
        p.setPen(QPen(c == 0 ? kText : kDim, c == 0 ? 3 : 2));
        p.drawLine(QPointF(x, base), QPointF(x, base - len));
        if (c % 25 == 0 || c % 50 == 0 || c == 0) {
            p.setPen(kDim);
            const QString t = c > 0 ? QStringLiteral("+%1").arg(c) : QString::number(c);
            p.drawText(QRectF(x - 20, base + 4, 40, 20), Qt::AlignHCenter | Qt::AlignTop, t);
        }
    }
    if (!pitched_) return;
    // The needle: thick, and green in tune, amber off it.
    const double x = x_of(cents_);
    const QColor colour = in_tune_ ? kGreen : kAmber;
    p.setPen(QPen(colour, 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x, 6), QPointF(x, base));
    p.setBrush(colour);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(x, base), 7, 7);
}

TunerWindow::TunerWindow(TTuner_form& form, QWidget* parent) : QWidget(parent, Qt::Window), form_(&form) {
    setObjectName(QStringLiteral("TunerWindow"));
    setWindowTitle(qs(form.caption()));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    pal.setColor(QPalette::WindowText, kText);
    pal.setColor(QPalette::Text, kText);
    pal.setColor(QPalette::ButtonText, kText);
    setPalette(pal);
    setAutoFillBackground(true);

    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("Label_Note"));
    note_->setAlignment(Qt::AlignCenter);
    note_->setFont(sized(font(), 120, true));
    note_->setMinimumHeight(140);
    needle_ = new TunerNeedle(this);
    frequency_ = new QLabel(this);
    frequency_->setObjectName(QStringLiteral("Label_Frequency"));
    cents_ = new QLabel(this);
    cents_->setObjectName(QStringLiteral("Label_Cents"));
    for (QLabel* l : {frequency_, cents_}) {
        l->setFont(sized(font(), 30, true));
        l->setMinimumWidth(200);
    }
    frequency_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    cents_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    slider_ = ControlBinding::create(form.TrackBar_Reference, this);
    slider_->drop_caption();
    mute_ = ControlBinding::create(form.CheckBox_Mute, this);
    reference_ = new QLabel(this);
    reference_->setObjectName(QStringLiteral("Label_Reference"));
    reference_->setFont(sized(font(), 16, false));
    mute_->widget()->setFont(sized(font(), 16, false));

    auto* readouts = new QHBoxLayout;
    readouts->addWidget(frequency_);
    readouts->addStretch(1);
    readouts->addWidget(cents_);
    auto* reference = new QHBoxLayout;
    reference->addWidget(reference_);
    reference->addWidget(slider_->widget(), 1);
    if (slider_->readout()) slider_->readout()->hide();
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(16, 12, 16, 12);
    lay->addWidget(note_);
    lay->addWidget(needle_);
    lay->addLayout(readouts);
    lay->addSpacing(8);
    lay->addLayout(reference);
    lay->addWidget(mute_->widget());
    resize(520, 440);

    observer_ = form.observe([this](const Form& f) { follow(f); });
    follow(form);
    // Faster than the form's own 100 ms, so that a new string shows soon after the pick.
    auto* poll = new QTimer(this);
    poll->setInterval(25);
    connect(poll, &QTimer::timeout, this, [this] {
        if (form_ && form_->visible()) form_->update();
    });
    poll->start();
}

TunerWindow::~TunerWindow() {
    if (form_) form_->unobserve(observer_);
    if (slider_ && !form_) slider_->detach();
}

ControlBinding* TunerWindow::binding(const std::string& name) const {
    if (slider_ && slider_->control() && slider_->control()->name() == name) return slider_.get();
    if (mute_ && mute_->control() && mute_->control()->name() == name) return mute_.get();
    return nullptr;
}

void TunerWindow::follow(const Form& f) {
    if (f.destroyed()) {
        slider_->detach();
        mute_->detach();
        form_ = nullptr;
        return;
    }
    const TunerReading& r = form_->reading();
    const bool in_tune = form_->in_tune();
    note_->setText(qs(form_->Label_Note.caption()));
    QPalette np = note_->palette();
    np.setColor(QPalette::WindowText, !r.pitched ? kDim : (in_tune ? kGreen : kText));
    note_->setPalette(np);
    frequency_->setText(qs(form_->Label_Frequency.caption()));
    cents_->setText(qs(form_->Label_Cents.caption()));
    reference_->setText(qs(form_->TrackBar_Reference.label));
    needle_->set_reading(r.pitched, r.cents, in_tune);
    if (f.visible() && isHidden()) {
        show();
        raise();
        activateWindow();
    } else if (!f.visible() && !isHidden()) {
        hide();
    }
}

void TunerWindow::closeEvent(QCloseEvent* e) {
    if (form_ && form_->visible() && !form_->close()) {
        e->ignore();
        return;
    }
    e->accept();
}

void TunerWindow::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape && form_) {
        form_->close();
        return;
    }
    QWidget::keyPressEvent(e);
}

}  // namespace vx
