#include "main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <algorithm>
#include <initializer_list>

#include "editor_window.h"
#include "tuner_window.h"

namespace vx {

namespace {

// Rack rows are as far apart on screen as in the form, so that the pointer, moved by one row's
// spacing after a move, stays over the moved effect.
constexpr int kRowGap = 2;
constexpr int kRowHeight = TForm1::kRowSpacing - kRowGap;

QString qs(const std::string& s) { return QString::fromStdString(s); }

QLabel* caption_label(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return l;
}

// A widget whose text changes (On/Off, Tune/wait) keeps the width of its longest text, so that the
// rows never jump.
template <class W> void keep_width_for(W* w, std::initializer_list<const char*> texts) {
    const QString current = w->text();
    int width = 0;
    for (const char* t : texts) {
        w->setText(QString::fromLatin1(t));
        width = std::max(width, w->sizeHint().width());
    }
    w->setText(current);
    w->setMinimumWidth(width);
}

// A device's name may be long; the selector keeps a steady width and its list shows names whole.
void device_selector(QWidget* w) {
    auto* box = qobject_cast<QComboBox*>(w);
    if (!box) return;
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(26);
    box->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

}  // namespace

MainWindow::MainWindow(TForm1& form, QWidget* parent)
    : QWidget(parent, window_flags(form)), form_(&form), timer_(new QTimer(this)) {
    setObjectName(QStringLiteral("MainWindow"));

    auto* left = new QVBoxLayout;
    left->addWidget(engine_group());
    auto* meters = new QHBoxLayout;
    meters->addWidget(levels_group());
    meters->addWidget(monitor_group(), 1);
    left->addLayout(meters);
    auto* files = new QHBoxLayout;
    files->addWidget(chains_group(), 1);
    files->addWidget(skins_group());
    left->addLayout(files);
    if (QWidget* others = other_controls()) left->addWidget(others);
    left->addStretch(1);

    auto* outer = new QHBoxLayout(this);
    outer->addLayout(left);
    outer->addWidget(rack_group(), 0, Qt::AlignTop);
    if (form.fixed_size) outer->setSizeConstraint(QLayout::SetFixedSize);

    tuner_window_ = new TunerWindow(form.tuner(), this);
    observer_ = form.observe([this](const Form& f) { follow(f); });
    // F1..F12 belong to the presets in every window of the program, whatever control has the
    // focus: the application sees each key before any widget or window does.
    qApp->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { focus_changed(now); });

    // From creation on, whether or not the engine runs.
    timer_->setInterval(TForm1::kTimer1IntervalMs);
    connect(timer_, &QTimer::timeout, this, [this] {
        if (form_) form_->Timer1Timer();
    });
    timer_->start();

    follow(form);
}

MainWindow::~MainWindow() {
    timer_->stop();
    qApp->removeEventFilter(this);
    if (form_) form_->unobserve(observer_);
    // The bindings go before their widgets, so that no widget signal reaches a dead binding.
    bindings_.clear();
}

ControlBinding* MainWindow::binding(const std::string& control_name) const {
    auto it = by_name_.find(control_name);
    return it == by_name_.end() ? nullptr : it->second;
}

QWidget* MainWindow::widget(const std::string& name) const {
    if (ControlBinding* b = binding(name)) return b->widget();
    auto it = placeholders_.find(name);
    return it == placeholders_.end() ? nullptr : it->second.data();
}

ControlBinding* MainWindow::bind(Control& c) {
    if (ControlBinding* b = binding(c.name())) return b;
    bindings_.push_back(ControlBinding::create(c, this));
    ControlBinding* b = bindings_.back().get();
    offer_control_menu(*b, *form_);
    by_name_[c.name()] = b;
    return b;
}

ControlBinding* MainWindow::bind(const std::string& name) {
    Control* c = form_->find(name);
    return c ? bind(*c) : nullptr;
}

QWidget* MainWindow::placeholder(const std::string& name, QWidget* w) {
    w->setObjectName(qs(name));
    w->setEnabled(false);
    placeholders_[name] = w;
    return w;
}

// --- the engine panel ----------------------------------------------------------------------------

QWidget* MainWindow::engine_group() {
    auto* box = new QGroupBox(QStringLiteral("Engine"), this);
    auto* grid = new QGridLayout(box);
    TForm1& f = *form_;

    auto* buttons = new QHBoxLayout;
    for (Control* c : std::initializer_list<Control*>{&f.BitBtn_Init, &f.BitBtn_Reset, &f.BitBtn_Tuner}) {
        QWidget* w = bind(*c)->widget();
        w->setMinimumWidth(96);
        buttons->addWidget(w);
    }
    buttons->addStretch(1);
    grid->addLayout(buttons, 0, 0, 1, 2);

    grid->addWidget(caption_label(QStringLiteral("Input"), box), 1, 0);
    QWidget* in = bind(f.ComboBox_waveIn)->widget();
    device_selector(in);
    grid->addWidget(in, 1, 1);
    grid->addWidget(caption_label(QStringLiteral("Output"), box), 2, 0);
    QWidget* out = bind(f.ComboBox_waveOut)->widget();
    device_selector(out);
    grid->addWidget(out, 2, 1);

    auto* options = new QHBoxLayout;
    options->addWidget(bind(f.cbStereo)->widget());
    options->addStretch(1);
    // Hidden by the form; kept in its place should it ever be shown.
    ControlBinding* block = bind(f.EditBufferSize);
    if (block->caption()) options->addWidget(block->caption());
    options->addWidget(block->widget());
    grid->addLayout(options, 3, 0, 1, 2);
    grid->addWidget(caption_label(QStringLiteral("MIDI"), box), 4, 0);
    QWidget* midi = bind(f.ComboBox_MIDI)->widget();
    device_selector(midi);
    grid->addWidget(midi, 4, 1);

    grid->addWidget(bind(f.rgSampleRate)->widget(), 0, 2, 4, 1, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    return box;
}

// Each level slider with its meter beside it: the slider sets what the meter shows. Above the pair
// the clip light, below it the peak in dB.
QWidget* MainWindow::levels_group() {
    auto* box = new QGroupBox(QStringLiteral("Levels"), this);
    auto* row = new QHBoxLayout(box);
    TForm1& f = *form_;
    struct Column {
        Slider* slider;
        Meter* meter;
        Meter* light;
        Label* db;
    };
    const Column columns[] = {{&f.ScrollBar_waveInGain, &f.ProgressBar_inlevel, &f.Light_inclip, &f.Label_inlevel},
                              {&f.ScrollBar_waveOutGain, &f.ProgressBar_outlevel, &f.Light_outclip, &f.Label_outlevel}};
    for (const Column& c : columns) {
        ControlBinding* s = bind(*c.slider);
        ControlBinding* m = bind(*c.meter);
        m->drop_caption();  // the slider's caption names the pair
        auto* col = new QVBoxLayout;
        col->setSpacing(2);
        if (s->caption()) col->addWidget(s->caption(), 0, Qt::AlignHCenter);
        // The light reads "CLIP" and fills with the warning colour while lit.
        ControlBinding* light = bind(*c.light);
        light->drop_caption();
        if (auto* bar = qobject_cast<QProgressBar*>(light->widget())) {
            bar->setFormat(QStringLiteral("CLIP"));
            bar->setAlignment(Qt::AlignCenter);
            bar->setMinimumWidth(0);
            bar->setFixedSize(bar->fontMetrics().horizontalAdvance(QStringLiteral("CLIP")) + 16,
                              bar->fontMetrics().height() + 4);
        }
        col->addWidget(light->widget(), 0, Qt::AlignHCenter);
        auto* pair = new QHBoxLayout;
        pair->setSpacing(4);
        pair->addWidget(s->widget());
        pair->addWidget(m->widget());
        m->widget()->setFixedWidth(14);
        col->addLayout(pair, 1);
        if (s->readout()) col->addWidget(s->readout(), 0, Qt::AlignHCenter);
        QWidget* db = bind(*c.db)->widget();
        // Room for the widest figure, so that the column never jumps.
        db->setMinimumWidth(db->fontMetrics().horizontalAdvance(QStringLiteral("-100.0 dB")));
        if (auto* l = qobject_cast<QLabel*>(db)) l->setAlignment(Qt::AlignCenter);
        col->addWidget(db, 0, Qt::AlignHCenter);
        row->addLayout(col);
    }
    return box;
}

QWidget* MainWindow::monitor_group() {
    auto* box = new QGroupBox(QStringLiteral("Monitor"), this);
    auto* grid = new QGridLayout(box);
    TForm1& f = *form_;

    ControlBinding* cpu = bind(f.ProgressBar_CPU);
    if (cpu->caption()) grid->addWidget(cpu->caption(), 0, 0);
    grid->addWidget(cpu->widget(), 0, 1);

    ControlBinding* latency = bind(f.ProgressBar_Latency);
    if (latency->caption()) grid->addWidget(latency->caption(), 1, 0);
    grid->addWidget(latency->widget(), 1, 1);
    QWidget* delay = bind(f.Label_delay)->widget();
    // Room for the largest figure, so that the bar does not shrink as the latency grows.
    delay->setMinimumWidth(delay->fontMetrics().horizontalAdvance(QStringLiteral("Latency 00000 ms")));
    grid->addWidget(delay, 1, 2);

    // The threshold right under the latency bar, over the same range: where its handle stands, the
    // bar turns to the warning colour. Its own label names it.
    ControlBinding* threshold = bind(f.TrackBar_Latency_Porog);
    threshold->drop_caption();
    grid->addWidget(bind(f.Label_Latency_Porog)->widget(), 2, 0);
    grid->addWidget(threshold->widget(), 2, 1);
    auto* value = new QHBoxLayout;
    value->setSpacing(4);
    if (threshold->readout()) value->addWidget(threshold->readout());
    // The row's caption reads "Latency" like the bar above it; this says what the number is.
    value->addWidget(new QLabel(QStringLiteral("ms threshold"), box));
    value->addStretch(1);
    grid->addLayout(value, 2, 2);

    // The counts the headless mode prints.
    auto* counts = new QHBoxLayout;
    counts->setSpacing(16);
    counts->addWidget(bind(f.Label_dropped)->widget());
    counts->addWidget(bind(f.Label_underruns)->widget());
    counts->addStretch(1);
    grid->addLayout(counts, 3, 0, 1, 3);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(bind(f.spSkinButton19)->widget());
    buttons->addWidget(bind(f.spSkinButton20)->widget());
    buttons->addStretch(1);
    grid->addLayout(buttons, 4, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(5, 1);
    return box;
}

// --- the rack ------------------------------------------------------------------------------------

QWidget* MainWindow::rack_group() {
    auto* box = new QGroupBox(QStringLiteral("Rack"), this);
    auto* grid = new QGridLayout(box);
    grid->setVerticalSpacing(kRowGap);
    grid->setHorizontalSpacing(6);
    int col = 0;
    for (const char* head : {"", "On/Off", "Effect", "Editor", "Move"})
        grid->addWidget(new QLabel(QString::fromLatin1(head), box), 0, col++, Qt::AlignLeft | Qt::AlignBottom);

    for (int n = 1; n <= TForm1::kSlots; ++n) {
        TForm1::EffectSlot& s = form_->slot(n);
        auto* number = new QLabel(QString::number(n), box);
        number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        number->setFixedHeight(kRowHeight);
        grid->addWidget(number, n, 0);

        auto* onoff = qobject_cast<QCheckBox*>(bind(s.onoff)->widget());
        keep_width_for(onoff, {"Off", "On"});
        onoff->setFixedHeight(kRowHeight);
        grid->addWidget(onoff, n, 1);

        QWidget* kind = bind(s.kind)->widget();
        kind->setFixedHeight(kRowHeight);
        grid->addWidget(kind, n, 2);

        auto* tune = qobject_cast<QPushButton*>(bind(s.tune)->widget());
        keep_width_for(tune, {"Tune", "wait"});
        tune->setFixedHeight(kRowHeight);
        // After the button's own handler, which has shown the editor's form by then.
        connect(tune, &QAbstractButton::clicked, this, [this, n] { show_editor(n); });
        grid->addWidget(tune, n, 3);

        // The arrows side by side, each as tall as the row: easier to hit than a stacked pair.
        QWidget* arrows = bind(s.arrows)->widget();
        if (auto* lay = qobject_cast<QBoxLayout*>(arrows->layout())) {
            lay->setDirection(QBoxLayout::LeftToRight);
            lay->setSpacing(1);
        }
        for (QToolButton* b : arrows->findChildren<QToolButton*>()) b->setFixedSize(kRowHeight, kRowHeight);
        grid->addWidget(arrows, n, 4, Qt::AlignLeft);
    }
    grid->setColumnStretch(2, 1);
    return box;
}

void MainWindow::show_editor(int slot) {
    if (!form_) return;
    EffectInstance inst = form_->rack_table().instance[slot - 1];
    if (inst == nullptr || inst->form == nullptr || !inst->form->visible()) return;
    EditorWindow* w = EditorWindow::of(*inst->form, this);
    w->raise();
    w->activateWindow();
}

// --- presets, skins and whatever else the form holds ----------------------------------------------

QWidget* MainWindow::chains_group() {
    auto* box = new QGroupBox(QStringLiteral("FX chain"), this);
    auto* grid = new QGridLayout(box);
    QWidget* presets = nullptr;
    if (ControlBinding* b = bind("ComboBox_PRESETS")) {
        presets = b->widget();
    } else {
        auto* p = new QComboBox(box);
        p->setPlaceholderText(QStringLiteral("PRESETS"));
        presets = placeholder("ComboBox_PRESETS", p);
    }
    grid->addWidget(presets, 0, 0, 1, 2);
    const std::pair<const char*, const char*> buttons[] = {{"spSkinButton17", "Save FX chain"},
                                                           {"spSkinButton18", "Load FX chain"}};
    int col = 0;
    for (auto [name, caption] : buttons) {
        ControlBinding* b = bind(name);
        grid->addWidget(b ? b->widget() : placeholder(name, new QPushButton(QString::fromLatin1(caption), box)), 1,
                        col++);
    }
    return box;
}

QWidget* MainWindow::skins_group() {
    auto* box = new QGroupBox(QStringLiteral("Skin"), this);
    auto* lay = new QVBoxLayout(box);
    if (ControlBinding* b = bind("ComboBox_SKINS")) {
        lay->addWidget(b->widget());
    } else {
        auto* p = new QComboBox(box);
        p->setPlaceholderText(QStringLiteral("SKINS"));
        lay->addWidget(placeholder("ComboBox_SKINS", p));
    }
    lay->addStretch(1);
    return box;
}

// Controls this window does not place by hand still show, each with its caption, so that nothing the
// form holds is out of the user's reach.
QWidget* MainWindow::other_controls() {
    std::vector<Control*> rest;
    for (Control* c : form_->controls())
        if (!binding(c->name())) rest.push_back(c);
    if (rest.empty()) return nullptr;
    auto* box = new QWidget(this);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    int row = 0;
    for (Control* c : rest) {
        ControlBinding* b = bind(*c);
        if (b->caption()) grid->addWidget(b->caption(), row, 0);
        grid->addWidget(b->widget(), row, 1);
        if (b->readout()) grid->addWidget(b->readout(), row, 2);
        ++row;
    }
    grid->setColumnStretch(1, 1);
    return box;
}

// --- the window follows its form ----------------------------------------------------------------

void MainWindow::follow(const Form& f) {
    if (f.destroyed()) {
        timer_->stop();
        for (auto& b : bindings_) b->detach();
        form_ = nullptr;
        shown_focus_ = nullptr;
        return;
    }
    setWindowTitle(qs(form_->title()));
    if (f.visible() && isHidden())
        show();
    else if (!f.visible() && !isHidden())
        hide();
    if (f.focused() != shown_focus_) {
        shown_focus_ = f.focused();
        if (shown_focus_)
            if (ControlBinding* b = binding(shown_focus_->name()); b && b->widget())
                b->widget()->setFocus(Qt::OtherFocusReason);
    }
}

// A user moving the focus tells the form, so that the form's next focus request is seen as one.
void MainWindow::focus_changed(QWidget* now) {
    if (!form_ || !now || now->window() != this) return;
    for (QWidget* w = now; w && w != this; w = w->parentWidget())
        for (const auto& b : bindings_)
            if (b->widget() == w) {
                shown_focus_ = b->control();
                form_->set_focus(b->control());
                return;
            }
    shown_focus_ = nullptr;
    form_->set_focus(nullptr);
}

void MainWindow::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // Shown by other means than the form: the form's first show must still run.
    if (form_ && !form_->visible()) form_->show();
}

bool MainWindow::eventFilter(QObject* o, QEvent* e) {
    if (e->type() != QEvent::KeyPress && e->type() != QEvent::KeyRelease) return QWidget::eventFilter(o, e);
    auto* k = static_cast<QKeyEvent*>(e);
    // T opens the tuner from any window of the program, unless text is being typed.
    if (k->key() == Qt::Key_T && form_ && !QApplication::activeModalWidget() &&
        !(k->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier)) &&
        !qobject_cast<QLineEdit*>(QApplication::focusWidget())) {
        if (e->type() == QEvent::KeyRelease && !k->isAutoRepeat()) form_->BitBtn_Tuner.click();
        return true;
    }
    // A dialog keeps its keys, and so do the desktop's shortcuts (Alt+F4 and the like).
    if (k->key() < Qt::Key_F1 || k->key() > Qt::Key_F12 || !form_ || QApplication::activeModalWidget() ||
        (k->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier)))
        return QWidget::eventFilter(o, e);
    // Taken whole, the press too: a list would open its popup on F4, and the release would reach
    // the form a second time on its way from the window to the focused control.
    if (e->type() == QEvent::KeyRelease && !k->isAutoRepeat())
        form_->FormKeyUp(static_cast<int32_t>(k->key() - Qt::Key_F1 + 1));
    return true;
}

void MainWindow::closeEvent(QCloseEvent* e) {
    if (form_ && !form_->close()) {
        e->ignore();
        return;
    }
    e->accept();
    emit closed();
}

}  // namespace vx
