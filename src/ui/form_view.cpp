#include "form_view.h"

#include "curve_view.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTextDocument>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <map>

namespace vx {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Captions in the model carry leading and trailing blanks that placed them on a skin; a layout
// aligns by itself.
QString caption_text(const std::string& s) { return qs(s).trimmed(); }

QLabel* make_caption(const QString& text, QWidget* parent) {
    if (text.isEmpty()) return nullptr;
    return new QLabel(text, parent);
}

// A label wide enough for every value between lo and hi, so that the layout never jumps.
QLabel* make_readout(int lo, int hi, QWidget* parent) {
    auto* l = new QLabel(parent);
    const QFontMetrics fm = l->fontMetrics();
    const int w = std::max(fm.horizontalAdvance(QString::number(lo)), fm.horizontalAdvance(QString::number(hi)));
    l->setMinimumWidth(w + fm.horizontalAdvance(QLatin1Char(' ')));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

// --- one class per control type ----------------------------------------------------------

class SliderBinding : public ControlBinding {
public:
    SliderBinding(Slider& s, QSlider* w, QLabel* cap, QLabel* value, QLabel* unit)
        : ControlBinding(s, w, cap, value, unit), s_(s), w_(w), value_(value), unit_(unit) {
        connect(w, &QSlider::valueChanged, this, [this](int v) {
            user_action([&] { s_.set_position(v); });
        });
        w->installEventFilter(this);
    }
    static std::unique_ptr<ControlBinding> make(Slider& s, QWidget* parent) {
        const bool vertical = s.orientation() == Slider::Orientation::Vertical;
        auto* w = new QSlider(vertical ? Qt::Vertical : Qt::Horizontal, parent);
        // The model's vertical sliders have their minimum at the top.
        w->setInvertedAppearance(vertical);
        w->setInvertedControls(vertical);
        if (vertical) {
            // A groove filled from the top down would read as the amount, which grows the other
            // way on these sliders (towards the top, where the minimum is): no fill.
            QPalette p = w->palette();
            p.setColor(QPalette::Highlight, p.color(QPalette::Button).darker(108));
            w->setPalette(p);
        }
        w->setSingleStep(std::max(1, s.small_step()));
        w->setPageStep(std::max(1, s.large_step()));
        if (vertical)
            w->setMinimumHeight(std::clamp(s.bounds.height, 110, 300));
        else
            w->setMinimumWidth(std::clamp(s.bounds.width, 180, 420));
        // A slider without a caption is named by its hint.
        QLabel* cap = make_caption(caption_text(s.label.empty() ? s.hint : s.label), parent);
        if (cap && vertical) cap->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        QLabel* value = make_readout(s.min(), s.max(), parent);
        if (vertical) value->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        QLabel* unit = nullptr;
        if (!vertical && s.unit_text) {
            unit = new QLabel(parent);
            unit->setObjectName(qs(s.name() + "_unit"));
            // Set apart from the position; a skin may colour it by the property.
            unit->setProperty(kSliderUnit, true);
            unit->setIndent(unit->fontMetrics().horizontalAdvance(QStringLiteral("  ")));
            // Room for the usual "-20.8 dB (x0.0909)", so that the column does not jump as it moves.
            unit->setMinimumWidth(unit->fontMetrics().horizontalAdvance(QStringLiteral("-20.8 dB (x0.0909)")));
        }
        return std::unique_ptr<ControlBinding>(new SliderBinding(s, w, cap, value, unit));
    }
    void refresh() override {
        if (attached()) show_unit();
    }

protected:
    void update_widget() override {
        w_->setRange(s_.min(), s_.max());
        w_->setValue(s_.position());
        value_->setText(QString::number(s_.position()));
        show_unit();
        // A slider tells its observers before its handler stores the value the unit shows: look
        // again once the handler has run.
        if (s_.unit_text) QTimer::singleShot(0, this, [this] { refresh(); });
    }
    void show_unit() {
        if (!s_.unit_text) return;
        const QString text = qs(s_.unit_value());
        if (unit_) {
            if (unit_->text() != text) unit_->setText(text);
            return;
        }
        // A narrow column: the unit goes into the tooltip of the slider and its figure.
        const QString hint = qs(s_.hint).trimmed();
        const QString tip = hint.isEmpty() ? text : hint + QLatin1Char('\n') + text;
        if (w_->toolTip() != tip) {
            w_->setToolTip(tip);
            value_->setToolTip(tip);
        }
    }
    // The pointer entering and leaving the slider, for handlers that show a hint meanwhile.
    bool eventFilter(QObject* o, QEvent* e) override {
        if (o == w_ && e->type() == QEvent::Enter) user_action([&] { s_.mouse_enter(); });
        if (o == w_ && e->type() == QEvent::Leave) user_action([&] { s_.mouse_leave(); });
        return false;
    }

private:
    Slider& s_;
    QSlider* w_;
    QLabel* value_;
    QLabel* unit_;
};

class CheckBoxBinding : public ControlBinding {
public:
    CheckBoxBinding(CheckBox& c, QCheckBox* w) : ControlBinding(c, w), c_(c), w_(w) {
        connect(w, &QCheckBox::clicked, this, [this](bool checked) {
            user_action([&] { c_.set_checked(checked); });
        });
    }
    static std::unique_ptr<ControlBinding> make(CheckBox& c, QWidget* parent) {
        return std::unique_ptr<ControlBinding>(new CheckBoxBinding(c, new QCheckBox(parent)));
    }

protected:
    void update_widget() override {
        w_->setText(caption_text(c_.caption()));
        w_->setChecked(c_.checked());
    }

private:
    CheckBox& c_;
    QCheckBox* w_;
};

class SelectorBinding : public ControlBinding {
public:
    SelectorBinding(Selector& s, QComboBox* w) : ControlBinding(s, w), s_(s), w_(w) {
        // activated: a user's choice only, also of the entry already shown.
        connect(w, &QComboBox::activated, this, [this](int i) {
            user_action([&] { s_.set_index(i); });
        });
    }
    static std::unique_ptr<ControlBinding> make(Selector& s, QWidget* parent) {
        auto* w = new QComboBox(parent);
        w->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        return std::unique_ptr<ControlBinding>(new SelectorBinding(s, w));
    }

protected:
    void update_widget() override {
        const auto& items = s_.items();
        bool same = w_->count() == static_cast<int>(items.size());
        for (int i = 0; same && i < w_->count(); ++i) same = w_->itemText(i) == qs(items[static_cast<size_t>(i)]);
        if (!same) {
            w_->clear();
            for (const auto& it : items) w_->addItem(qs(it));
        }
        // A text without an entry (index -1) is shown as the placeholder.
        w_->setPlaceholderText(s_.index() < 0 ? qs(s_.text()) : QString());
        w_->setCurrentIndex(s_.index());
    }

private:
    Selector& s_;
    QComboBox* w_;
};

// A push button that also reports a release of any mouse button inside it.
class ModelButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    std::function<void(Qt::MouseButton, QPoint)> released;

protected:
    void mousePressEvent(QMouseEvent* e) override {
        // Accepting the press of another button is what brings its release here.
        if (e->button() != Qt::LeftButton) {
            e->accept();
            return;
        }
        QPushButton::mousePressEvent(e);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        const Qt::MouseButton b = e->button();
        const QPoint p = e->position().toPoint();
        QPointer<ModelButton> self(this);
        if (b == Qt::LeftButton)
            QPushButton::mouseReleaseEvent(e);
        else
            e->accept();
        if (self && released && rect().contains(p)) released(b, p);
    }
};

class ButtonBinding : public ControlBinding {
public:
    ButtonBinding(Button& b, ModelButton* w) : ControlBinding(b, w), b_(b), w_(w) {
        connect(w, &QPushButton::clicked, this, [this] { user_action([&] { b_.click(); }); });
        QPointer<ButtonBinding> self(this);
        w->released = [self](Qt::MouseButton mb, QPoint p) {
            if (self && self->attached()) self->mouse_up(mb, p);
        };
    }
    static std::unique_ptr<ControlBinding> make(Button& b, QWidget* parent) {
        return std::unique_ptr<ControlBinding>(new ButtonBinding(b, new ModelButton(parent)));
    }

protected:
    void update_widget() override { w_->setText(caption_text(b_.caption())); }

private:
    void mouse_up(Qt::MouseButton mb, QPoint p) {
        Button::MouseButton which;
        switch (mb) {
            case Qt::LeftButton: which = Button::MouseButton::Left; break;
            case Qt::RightButton: which = Button::MouseButton::Right; break;
            case Qt::MiddleButton: which = Button::MouseButton::Middle; break;
            default: return;
        }
        // Handlers reason in the control's own size (the upper half of the button, say), which the
        // drawn button need not have.
        int x = p.x(), y = p.y();
        if (b_.bounds.width > 0 && w_->width() > 0) x = x * b_.bounds.width / w_->width();
        if (b_.bounds.height > 0 && w_->height() > 0) y = y * b_.bounds.height / w_->height();
        user_action([&] { b_.mouse_up(which, x, y); });
    }

    Button& b_;
    ModelButton* w_;
};

class LabelBinding : public ControlBinding {
public:
    LabelBinding(Label& l, QLabel* w) : ControlBinding(l, w), l_(l), w_(w) {}
    static std::unique_ptr<ControlBinding> make(Label& l, QWidget* parent) {
        return std::unique_ptr<ControlBinding>(new LabelBinding(l, new QLabel(parent)));
    }

protected:
    void update_widget() override { w_->setText(caption_text(l_.caption())); }

private:
    Label& l_;
    QLabel* w_;
};

// Whether a style sheet reaches the widget, from the application or from one of its windows.
bool skinned(const QWidget* w) {
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()); app && !app->styleSheet().isEmpty())
        return true;
    for (; w != nullptr; w = w->parentWidget())
        if (!w->styleSheet().isEmpty()) return true;
    return false;
}

class MeterBinding : public ControlBinding {
public:
    MeterBinding(Meter& m, QProgressBar* w, QLabel* cap)
        : ControlBinding(m, w, cap), m_(m), w_(w), normal_highlight_(w->palette().color(QPalette::Highlight)) {}
    static std::unique_ptr<ControlBinding> make(Meter& m, QWidget* parent) {
        auto* w = new QProgressBar(parent);
        w->setFormat(m.unit.empty() ? QStringLiteral("%v") : QStringLiteral("%v ") + qs(m.unit));
        // A meter drawn taller than wide is a level bar that rises.
        if (m.bounds.height > m.bounds.width) {
            w->setOrientation(Qt::Vertical);
            w->setTextVisible(false);
            w->setMinimumHeight(std::clamp(m.bounds.height, 96, 300));
        } else {
            w->setMinimumWidth(std::clamp(m.bounds.width, 120, 420));
        }
        return std::unique_ptr<ControlBinding>(new MeterBinding(m, w, make_caption(caption_text(m.label), parent)));
    }

protected:
    void update_widget() override {
        w_->setRange(m_.min(), m_.max());
        w_->setValue(m_.value());
        const bool warn = m_.value() >= m_.warning_from();
        if (w_->property(kMeterWarning).toBool() != warn) {
            w_->setProperty(kMeterWarning, warn);
            if (skinned(w_)) {
                // The skin colours the warning by the property; its rules are matched again only
                // when the widget is polished again. A palette set here would override the skin's
                // text colour for good.
                w_->style()->unpolish(w_);
                w_->style()->polish(w_);
            } else {
                QPalette p = w_->palette();
                p.setColor(QPalette::Highlight, warn ? kWarningColour : normal_highlight_);
                w_->setPalette(p);
            }
            w_->update();
        }
    }

private:
    Meter& m_;
    QProgressBar* w_;
    QColor normal_highlight_;
};

class RadioGroupBinding : public ControlBinding {
public:
    RadioGroupBinding(RadioGroup& r, QGroupBox* w) : ControlBinding(r, w), r_(r), w_(w), buttons_(new QButtonGroup(this)) {
        auto* lay = new QVBoxLayout(w);
        for (size_t i = 0; i < r.items().size(); ++i) {
            auto* b = new QRadioButton(caption_text(r.items()[i]), w);
            buttons_->addButton(b, static_cast<int>(i));
            lay->addWidget(b);
        }
        connect(buttons_, &QButtonGroup::idClicked, this, [this](int i) {
            user_action([&] { r_.set_index(i); });
        });
    }
    static std::unique_ptr<ControlBinding> make(RadioGroup& r, QWidget* parent) {
        return std::unique_ptr<ControlBinding>(new RadioGroupBinding(r, new QGroupBox(parent)));
    }

protected:
    void update_widget() override {
        w_->setTitle(caption_text(r_.caption()));
        const QSignalBlocker block(buttons_);
        // Exclusive groups cannot show "nothing selected"; the model can.
        buttons_->setExclusive(false);
        for (QAbstractButton* b : buttons_->buttons()) {
            const QSignalBlocker block_button(b);
            b->setChecked(buttons_->id(b) == r_.index());
        }
        buttons_->setExclusive(true);
    }

private:
    RadioGroup& r_;
    QGroupBox* w_;
    QButtonGroup* buttons_;
};

class TextBoxBinding : public ControlBinding {
public:
    TextBoxBinding(TextBox& t, QLineEdit* w, QLabel* cap) : ControlBinding(t, w, cap), t_(t), w_(w) {
        // Every change of the text goes through the control's key filter: no paste, drop, undo or
        // input method may bypass it.
        w->installEventFilter(this);
        w->setContextMenuPolicy(Qt::NoContextMenu);
        w->setAcceptDrops(false);
        w->setAttribute(Qt::WA_InputMethodEnabled, false);
        connect(w, &QLineEdit::textEdited, this, [this] {
            if (attached()) sync();
        });
    }
    static std::unique_ptr<ControlBinding> make(TextBox& t, QWidget* parent) {
        auto* w = new QLineEdit(parent);
        const QFontMetrics fm = w->fontMetrics();
        // As wide as the control was drawn, and never too narrow for six digits.
        const int least = fm.horizontalAdvance(QStringLiteral("000000")) + 12;
        if (t.bounds.width > 0)
            w->setFixedWidth(std::max(t.bounds.width, least));
        else
            w->setMinimumWidth(least);
        return std::unique_ptr<ControlBinding>(new TextBoxBinding(t, w, make_caption(caption_text(t.label), parent)));
    }

protected:
    void update_widget() override {
        if (w_->text() != qs(t_.text())) w_->setText(qs(t_.text()));
    }
    bool eventFilter(QObject* o, QEvent* e) override {
        if (o != w_ || e->type() != QEvent::KeyPress) return false;
        if (!attached()) return true;
        auto* k = static_cast<QKeyEvent*>(e);
        switch (k->key()) {
            case Qt::Key_Left: case Qt::Key_Right: case Qt::Key_Home: case Qt::Key_End: case Qt::Key_Tab:
            case Qt::Key_Backtab: case Qt::Key_Return: case Qt::Key_Enter: case Qt::Key_Escape: case Qt::Key_Up:
            case Qt::Key_Down:
                return false;
            default: break;
        }
        if (k->matches(QKeySequence::Copy) || k->matches(QKeySequence::SelectAll)) return false;
        if (k->key() == Qt::Key_Backspace) {
            user_action([&] { t_.key_press(8); });
        } else if ((k->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) == 0) {
            // The model's text is bytes: printable ASCII only.
            const QString typed = k->text();
            QPointer<TextBoxBinding> self(this);
            for (QChar ch : typed) {
                if (!self) break;
                if (ch.unicode() >= 32 && ch.unicode() < 127)
                    user_action([&] { t_.key_press(static_cast<char>(ch.unicode())); });
            }
        }
        return true;
    }

private:
    TextBox& t_;
    QLineEdit* w_;
};

class MemoBinding : public ControlBinding {
public:
    MemoBinding(Memo& m, QPlainTextEdit* w) : ControlBinding(m, w), m_(m), w_(w) {}
    static std::unique_ptr<ControlBinding> make(Memo& m, QWidget* parent) {
        auto* w = new QPlainTextEdit(parent);
        w->setReadOnly(true);
        const int frame = 2 * (w->frameWidth() + static_cast<int>(w->document()->documentMargin()));
        w->setFixedHeight(std::max(m.bounds.height, w->fontMetrics().lineSpacing() * 6 + frame));
        w->setMinimumWidth(std::clamp(m.bounds.width, 200, 600));
        return std::unique_ptr<ControlBinding>(new MemoBinding(m, w));
    }

protected:
    void update_widget() override {
        QStringList lines;
        for (const auto& l : m_.lines()) lines << qs(l);
        w_->setPlainText(lines.join(QLatin1Char('\n')));
    }

private:
    Memo& m_;
    QPlainTextEdit* w_;
};

class UpDownBinding : public ControlBinding {
public:
    UpDownBinding(UpDown& u, QWidget* w, QToolButton* up, QToolButton* down) : ControlBinding(u, w), u_(u) {
        connect(up, &QToolButton::clicked, this, [this] { user_action([&] { u_.click_up(); }); });
        connect(down, &QToolButton::clicked, this, [this] { user_action([&] { u_.click_down(); }); });
    }
    static std::unique_ptr<ControlBinding> make(UpDown& u, QWidget* parent) {
        auto* w = new QWidget(parent);
        auto* lay = new QVBoxLayout(w);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->setSpacing(0);
        auto arrow = [w, lay](Qt::ArrowType a, const char* name) {
            auto* b = new QToolButton(w);
            b->setArrowType(a);
            b->setObjectName(QLatin1String(name));
            b->setFixedSize(22, 13);
            lay->addWidget(b);
            return b;
        };
        QToolButton* up = arrow(Qt::UpArrow, "up");
        QToolButton* down = arrow(Qt::DownArrow, "down");
        return std::unique_ptr<ControlBinding>(new UpDownBinding(u, w, up, down));
    }

protected:
    void update_widget() override {}

private:
    UpDown& u_;
};

class HeaderBinding : public ControlBinding {
public:
    HeaderBinding(Header& h, QWidget* w, std::vector<QLabel*> sections)
        : ControlBinding(h, w), h_(h), sections_(std::move(sections)) {}
    static std::unique_ptr<ControlBinding> make(Header& h, QWidget* parent) {
        auto* w = new QWidget(parent);
        auto* lay = new QHBoxLayout(w);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->setSpacing(2);
        std::vector<QLabel*> sections;
        for (size_t i = 0; i < h.sections().size(); ++i) {
            auto* l = new QLabel(w);
            l->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
            l->setMinimumWidth(100);
            lay->addWidget(l, 1);
            sections.push_back(l);
        }
        return std::unique_ptr<ControlBinding>(new HeaderBinding(h, w, std::move(sections)));
    }

protected:
    void update_widget() override {
        for (size_t i = 0; i < sections_.size() && i < h_.sections().size(); ++i)
            sections_[i]->setText(qs(h_.sections()[i]).trimmed());
    }

private:
    Header& h_;
    std::vector<QLabel*> sections_;
};

// A picture: the view asks the model for its points only when it paints, so that moving a slider
// computes a stale picture once per frame at most.
class CurveBinding : public ControlBinding {
public:
    CurveBinding(Curve& c, CurveView* w) : ControlBinding(c, w), w_(w) {}
    static std::unique_ptr<ControlBinding> make(Curve& c, QWidget* parent) {
        return std::unique_ptr<ControlBinding>(new CurveBinding(c, new CurveView(c, parent)));
    }
    ~CurveBinding() override {
        if (w_) w_->detach();
    }

protected:
    void update_widget() override {
        if (w_) w_->update();
    }

private:
    QPointer<CurveView> w_;
};

}  // namespace

// --- ControlBinding ------------------------------------------------------------------------

ControlBinding::ControlBinding(Control& c, QWidget* widget, QWidget* caption, QWidget* readout, QWidget* unit)
    : control_(&c), widget_(widget), caption_(caption), readout_(readout), unit_(unit) {
    observer_ = c.observe([this](const Control&) { sync(); });
}

ControlBinding::~ControlBinding() {
    if (control_) control_->unobserve(observer_);
}

std::unique_ptr<ControlBinding> ControlBinding::create(Control& c, QWidget* parent) {
    std::unique_ptr<ControlBinding> b;
    switch (c.type()) {
        case Control::Type::Slider: b = SliderBinding::make(static_cast<Slider&>(c), parent); break;
        case Control::Type::CheckBox: b = CheckBoxBinding::make(static_cast<CheckBox&>(c), parent); break;
        case Control::Type::Selector: b = SelectorBinding::make(static_cast<Selector&>(c), parent); break;
        case Control::Type::Button: b = ButtonBinding::make(static_cast<Button&>(c), parent); break;
        case Control::Type::Label: b = LabelBinding::make(static_cast<Label&>(c), parent); break;
        case Control::Type::Meter: b = MeterBinding::make(static_cast<Meter&>(c), parent); break;
        case Control::Type::RadioGroup: b = RadioGroupBinding::make(static_cast<RadioGroup&>(c), parent); break;
        case Control::Type::TextBox: b = TextBoxBinding::make(static_cast<TextBox&>(c), parent); break;
        case Control::Type::Memo: b = MemoBinding::make(static_cast<Memo&>(c), parent); break;
        case Control::Type::UpDown: b = UpDownBinding::make(static_cast<UpDown&>(c), parent); break;
        case Control::Type::Header: b = HeaderBinding::make(static_cast<Header&>(c), parent); break;
        case Control::Type::Curve: b = CurveBinding::make(static_cast<Curve&>(c), parent); break;
    }
    b->widget_->setObjectName(qs(c.name()));
    b->sync();
    return b;
}

void ControlBinding::sync() {
    if (!control_) return;
    for (QWidget* w : {widget_.data(), caption_.data(), readout_.data(), unit_.data()}) {
        if (!w) continue;
        const QSignalBlocker block(w);
        w->setEnabled(control_->enabled());
        w->setVisible(control_->visible());
        w->setToolTip(qs(control_->hint).trimmed());
    }
    if (!widget_) return;
    const QSignalBlocker block(widget_.data());
    update_widget();
}

void ControlBinding::user_action(const std::function<void()>& act) {
    if (!control_) return;
    QPointer<ControlBinding> self(this);
    act();
    // The handler may have destroyed the form, and with it this binding's control or the binding.
    if (self && control_) sync();
}

void ControlBinding::drop_caption() { delete caption_.data(); }

void ControlBinding::detach() {
    control_ = nullptr;
    // A picture paints from its model at any time; it must stop before the model goes.
    if (auto* picture = qobject_cast<CurveView*>(widget_.data())) picture->detach();
    for (QWidget* w : {widget_.data(), caption_.data(), readout_.data(), unit_.data()})
        if (w) w->setEnabled(false);
}

// --- FormView: the automatic layout ----------------------------------------------------------

namespace {

using Rect = Control::Rect;

bool has_bounds(const Control& c) { return c.bounds.width > 0 && c.bounds.height > 0; }

// How a control takes its place in a group.
enum class Place {
    Row,      // caption | control | value | unit, aligned with the group's other rows
    Column,   // vertical slider: one column of a strip, caption above and value below
    Compact,  // check boxes, buttons, arrows, plain labels and boxes: a grid after their bounds
    Wide,     // radio groups, memos, status lines: the full width of the group
};

Place place_of(const ControlBinding& b) {
    const Control& c = *b.control();
    switch (c.type()) {
        case Control::Type::Slider:
            return static_cast<const Slider&>(c).orientation() == Slider::Orientation::Vertical ? Place::Column : Place::Row;
        case Control::Type::Meter:
        case Control::Type::Selector: return Place::Row;
        case Control::Type::TextBox: return b.caption() ? Place::Row : Place::Compact;
        case Control::Type::RadioGroup:
        case Control::Type::Memo:
        case Control::Type::Header:
        case Control::Type::Curve: return Place::Wide;
        default: return Place::Compact;
    }
}

// Indices of the clusters that the values fall into, in ascending order of value: a value within
// `tolerance` of its cluster's first value joins it.
std::vector<int> clusters(const std::vector<int>& values, int tolerance) {
    std::vector<size_t> order(values.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
    std::vector<int> out(values.size(), 0);
    int cluster = -1, start = 0;
    for (size_t i : order) {
        if (cluster < 0 || values[i] - start > tolerance) {
            ++cluster;
            start = values[i];
        }
        out[i] = cluster;
    }
    return out;
}

// Check boxes, buttons and the like keep the rows and columns their bounds give them; without
// bounds, or where two would share a cell, they go one below the other.
QGridLayout* compact_grid(const std::vector<ControlBinding*>& run) {
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    std::vector<int> rows(run.size()), cols(run.size());
    bool placed = std::all_of(run.begin(), run.end(), [](ControlBinding* b) { return has_bounds(*b->control()); });
    if (placed) {
        std::vector<int> tops, lefts;
        int min_h = INT_MAX;
        for (ControlBinding* b : run) {
            tops.push_back(b->control()->bounds.top);
            lefts.push_back(b->control()->bounds.left);
            min_h = std::min(min_h, b->control()->bounds.height);
        }
        rows = clusters(tops, std::max(4, min_h / 2));
        cols = clusters(lefts, 8);
        std::map<std::pair<int, int>, int> cells;
        for (size_t i = 0; i < run.size(); ++i) placed = placed && cells[{rows[i], cols[i]}]++ == 0;
    }
    int last_col = 0;
    for (size_t i = 0; i < run.size(); ++i) {
        const int r = placed ? rows[i] : static_cast<int>(i);
        const int c = placed ? cols[i] : 0;
        grid->addWidget(run[i]->widget(), r, c, Qt::AlignLeft | Qt::AlignVCenter);
        last_col = std::max(last_col, c);
    }
    grid->setColumnStretch(last_col + 1, 1);
    return grid;
}

// Vertical sliders side by side; every column of the form has the same width, so that strips one
// above the other line up band by band.
QHBoxLayout* column_strip(const std::vector<ControlBinding*>& run, int column_width) {
    auto* strip = new QHBoxLayout;
    strip->setContentsMargins(0, 0, 0, 0);
    for (ControlBinding* b : run) {
        auto* col = new QVBoxLayout;
        col->setSpacing(2);
        col->addSpacerItem(new QSpacerItem(column_width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum));
        if (b->caption()) col->addWidget(b->caption(), 0, Qt::AlignHCenter);
        col->addWidget(b->widget(), 1, Qt::AlignHCenter);
        col->addWidget(b->readout(), 0, Qt::AlignHCenter);
        strip->addLayout(col);
    }
    strip->addStretch(1);
    return strip;
}

struct Group {
    std::string name;
    std::vector<ControlBinding*> members;
    bool has_rect = false;
    int left = 0, top = 0, right = 0, bottom = 0;  // union of the members' bounds
};

// One frame per group (none for controls without a group): rows, strips and grids in the order
// of the controls. Its grid is the group's layout: caption | control | value | unit.
QWidget* group_widget(const Group& g, QWidget* parent, int column_width, QGridLayout*& grid) {
    QWidget* box = g.name.empty() ? new QWidget(parent) : new QGroupBox(qs(g.name), parent);
    grid = new QGridLayout(box);
    if (g.name.empty()) grid->setContentsMargins(0, 0, 0, 0);
    grid->setColumnStretch(1, 1);
    int row = 0;
    for (size_t i = 0; i < g.members.size();) {
        const Place p = place_of(*g.members[i]);
        std::vector<ControlBinding*> run;
        while (i < g.members.size() && place_of(*g.members[i]) == p) run.push_back(g.members[i++]);
        switch (p) {
            case Place::Row:
                for (ControlBinding* b : run) {
                    if (b->caption()) grid->addWidget(b->caption(), row, 0);
                    if (b->readout()) {
                        grid->addWidget(b->widget(), row, 1);
                        grid->addWidget(b->readout(), row, 2);
                        if (b->unit()) grid->addWidget(b->unit(), row, 3);
                    } else if (!b->caption()) {
                        const bool selector = b->control()->type() == Control::Type::Selector;
                        grid->addWidget(b->widget(), row, 0, 1, 4, selector ? Qt::AlignLeft : Qt::Alignment());
                    } else {
                        grid->addWidget(b->widget(), row, 1, 1, 3);
                    }
                    ++row;
                }
                break;
            case Place::Column: grid->addLayout(column_strip(run, column_width), row++, 0, 1, 4); break;
            case Place::Compact: grid->addLayout(compact_grid(run), row++, 0, 1, 4); break;
            case Place::Wide:
                for (ControlBinding* b : run) grid->addWidget(b->widget(), row++, 0, 1, 4);
                break;
        }
    }
    return box;
}

}  // namespace

namespace {
ControlMenu& control_menu() {
    static ControlMenu menu;
    return menu;
}
}  // namespace

void set_control_menu(ControlMenu menu) { control_menu() = std::move(menu); }

void offer_control_menu(ControlBinding& binding, Form& form) {
    const Control::Type t = binding.control()->type();
    QWidget* w = binding.widget();
    if ((t != Control::Type::Slider && t != Control::Type::CheckBox) || w == nullptr) return;
    w->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(w, &QWidget::customContextMenuRequested, &binding, [&binding, &form, w](const QPoint& at) {
        // A detached binding's form may be gone.
        if (!control_menu() || binding.control() == nullptr) return;
        QMenu menu(w);
        control_menu()(form, *binding.control(), menu);
        if (!menu.isEmpty()) menu.exec(w->mapToGlobal(at));
    });
}

FormView::FormView(Form& form, QWidget* parent) : QWidget(parent), form_(&form) {
    for (Control* c : form.controls()) {
        bindings_.push_back(ControlBinding::create(*c, this));
        offer_control_menu(*bindings_.back(), form);
    }
    build();
    observer_ = form.observe([this](const Form& f) { form_changed(f); });
    unit_timer_ = new QTimer(this);
    connect(unit_timer_, &QTimer::timeout, this, [this] {
        if (!isVisible()) return;
        for (auto& b : bindings_) b->refresh();
    });
    unit_timer_->start(250);
}

FormView::~FormView() {
    if (form_) form_->unobserve(observer_);
    // The bindings go before their widgets, so that no widget signal reaches a dead binding.
    bindings_.clear();
}

ControlBinding* FormView::binding(const std::string& control_name) const {
    for (const auto& b : bindings_)
        if (b->widget() && b->widget()->objectName() == qs(control_name)) return b.get();
    return nullptr;
}

void FormView::form_changed(const Form& f) {
    if (!f.destroyed()) return;
    for (auto& b : bindings_) b->detach();
    form_ = nullptr;
}

// Groups in the order they first appear. Groups that stood side by side in the bounds become
// columns; a group whose bounds span several columns goes above or below them.
void FormView::build() {
    std::vector<Group> groups;
    for (const auto& b : bindings_) {
        const Control& c = *b->control();
        auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.name == c.group; });
        if (it == groups.end()) {
            groups.push_back(Group{c.group, {}, false, 0, 0, 0, 0});
            it = groups.end() - 1;
        }
        it->members.push_back(b.get());
        if (has_bounds(c)) {
            const Rect r = c.bounds;
            if (!it->has_rect) {
                it->has_rect = true;
                it->left = r.left, it->top = r.top, it->right = r.left + r.width, it->bottom = r.top + r.height;
            } else {
                it->left = std::min(it->left, r.left);
                it->top = std::min(it->top, r.top);
                it->right = std::max(it->right, r.left + r.width);
                it->bottom = std::max(it->bottom, r.top + r.height);
            }
        }
    }

    // Columns: the x-ranges of the groups that span no two separate groups, merged where they
    // overlap.
    const size_t n = groups.size();
    auto overlap = [&](size_t i, size_t j) {
        return groups[i].left < groups[j].right && groups[j].left < groups[i].right;
    };
    std::vector<bool> spanning(n, false);
    for (size_t i = 0; i < n; ++i) {
        if (!groups[i].has_rect) continue;
        for (size_t j = 0; j < n && !spanning[i]; ++j)
            for (size_t k = j + 1; k < n && !spanning[i]; ++k)
                spanning[i] = j != i && k != i && groups[j].has_rect && groups[k].has_rect && overlap(i, j) &&
                              overlap(i, k) && !overlap(j, k);
    }
    struct Column {
        int left, right, top;
        std::vector<const Group*> groups;
    };
    std::vector<Column> columns;
    for (size_t i = 0; i < n; ++i) {
        if (!groups[i].has_rect || spanning[i]) continue;
        columns.push_back(Column{groups[i].left, groups[i].right, groups[i].top, {}});
    }
    std::sort(columns.begin(), columns.end(), [](const Column& a, const Column& b) { return a.left < b.left; });
    std::vector<Column> merged;
    for (const Column& c : columns) {
        if (!merged.empty() && c.left < merged.back().right) {
            merged.back().right = std::max(merged.back().right, c.right);
            merged.back().top = std::min(merged.back().top, c.top);
        } else {
            merged.push_back(c);
        }
    }
    columns = std::move(merged);
    if (columns.empty()) columns.push_back(Column{0, 0, 0, {}});

    // Groups without bounds follow the group before them.
    std::vector<const Group*> above, below;
    std::vector<const Group*>* previous = &columns.front().groups;
    for (size_t i = 0; i < n; ++i) {
        const Group& g = groups[i];
        if (!g.has_rect) {
            previous->push_back(&g);
            continue;
        }
        if (spanning[i]) {
            bool on_top = true;
            for (const Column& c : columns)
                if (g.left < c.right && c.left < g.right) on_top = on_top && g.bottom <= c.top;
            previous = on_top ? &above : &below;
        } else {
            for (Column& c : columns)
                if (g.left < c.right && c.left < g.right) {
                    previous = &c.groups;
                    break;
                }
        }
        previous->push_back(&g);
    }

    int column_width = 0;
    for (const auto& b : bindings_)
        if (place_of(*b) == Place::Column)
            for (QWidget* w : {b->caption(), b->widget(), b->readout()})
                if (w) column_width = std::max(column_width, w->sizeHint().width());

    // Groups one above the other share the widths of their caption and value columns, so that
    // their sliders line up.
    auto stack = [this, column_width](const std::vector<const Group*>& list, QBoxLayout* into) {
        std::vector<QGridLayout*> grids;
        for (const Group* g : list) {
            QGridLayout* grid = nullptr;
            into->addWidget(group_widget(*g, this, column_width, grid));
            grids.push_back(grid);
        }
        int widths[4] = {0, 0, 0, 0};
        for (QGridLayout* grid : grids)
            for (int i = 0; i < grid->count(); ++i) {
                int row, col, rows, cols;
                grid->getItemPosition(i, &row, &col, &rows, &cols);
                QWidget* w = grid->itemAt(i)->widget();
                if (w && cols == 1 && col != 1) widths[col] = std::max(widths[col], w->sizeHint().width());
            }
        for (QGridLayout* grid : grids)
            for (int col : {0, 2, 3}) grid->setColumnMinimumWidth(col, widths[col]);
    };
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    stack(above, outer);
    auto* row = new QHBoxLayout;
    for (const Column& c : columns) {
        if (c.groups.empty()) continue;
        auto* col = new QVBoxLayout;
        stack(c.groups, col);
        col->addStretch(1);
        row->addLayout(col);
    }
    outer->addLayout(row);
    stack(below, outer);
}

}  // namespace vx
