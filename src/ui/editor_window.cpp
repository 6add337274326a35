#include "editor_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include <map>

#include "form_view.h"

namespace vx {

namespace {

std::map<const Form*, EditorWindow*>& windows() {
    static std::map<const Form*, EditorWindow*> w;
    return w;
}

// The editor placed last; the next one opens a step down and to the right of it while it shows.
QPointer<EditorWindow>& last_placed() {
    static QPointer<EditorWindow> w;
    return w;
}

}  // namespace

Qt::WindowFlags window_flags(const Form& form) {
    Qt::WindowFlags f = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowCloseButtonHint;
    if (form.caption_buttons) f |= Qt::WindowMinimizeButtonHint;
    if (form.caption_buttons && !form.fixed_size) f |= Qt::WindowMaximizeButtonHint;
    return f;
}

EditorWindow::EditorWindow(Form& form, QWidget* parent)
    : QWidget(parent, window_flags(form)), form_(&form), view_(new FormView(form, this)) {
    // An editor left open must not keep the program alive, nor end it when it closes.
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* lay = new QVBoxLayout(this);
    lay->addWidget(view_);
    if (form.fixed_size) lay->setSizeConstraint(QLayout::SetFixedSize);
    windows().emplace(&form, this);
    observer_ = form.observe([this](const Form& f) { follow(f); });
    follow(form);
}

EditorWindow::~EditorWindow() {
    if (form_) {
        form_->unobserve(observer_);
        auto it = windows().find(form_);
        if (it != windows().end() && it->second == this) windows().erase(it);
    }
}

EditorWindow* EditorWindow::of(Form& form, QWidget* parent) {
    if (EditorWindow* w = find(form)) return w;
    return new EditorWindow(form, parent);
}

EditorWindow* EditorWindow::find(const Form& form) {
    auto it = windows().find(&form);
    return it == windows().end() ? nullptr : it->second;
}

void EditorWindow::follow(const Form& f) {
    if (f.destroyed()) {
        auto it = windows().find(form_);
        if (it != windows().end() && it->second == this) windows().erase(it);
        form_ = nullptr;
        hide();
        // Later: the form may be going away inside a handler of one of this window's widgets.
        deleteLater();
        return;
    }
    setWindowTitle(QString::fromStdString(f.caption()));
    if (f.visible() && isHidden()) {
        if (!placed_) {
            placed_ = true;
            if (f.centered) place();
        }
        show();
        raise();
        activateWindow();
    } else if (!f.visible() && !isHidden()) {
        hide();
    }
}

// The first editor opens at the centre of the screen; each new one a step down and to the right of
// the one opened before, while that one shows, so that none hides another whole. One that would
// leave the screen starts again at its top left corner.
void EditorWindow::place() {
    adjustSize();
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    const QRect area = s->availableGeometry();
    QPoint at = area.center() - QPoint(width() / 2, height() / 2);
    if (EditorWindow* before = last_placed(); before && before != this && before->isVisible()) {
        at = before->pos() + QPoint(kCascadeStep, kCascadeStep);
        if (at.x() + width() > area.right() || at.y() + height() > area.bottom())
            at = area.topLeft() + QPoint(kCascadeStep, kCascadeStep);
    }
    move(at);
    last_placed() = this;
}

void EditorWindow::keyPressEvent(QKeyEvent* e) {
    // Escape puts the editor away as its close button does; a list open in it takes its own Escape.
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(e);
}

void EditorWindow::closeEvent(QCloseEvent* e) {
    if (!form_) {
        e->accept();
        return;
    }
    // Only hidden: the effect and its settings live on, and Tune shows it again. The editor's own
    // close handling runs first (it may keep settings, or refuse and stay open).
    e->ignore();
    form_->close();
}

}  // namespace vx
