#include "editor_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
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
            if (f.centered) {
                adjustSize();
                QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
                if (s) move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
            }
        }
        show();
        raise();
        activateWindow();
    } else if (!f.visible() && !isHidden()) {
        hide();
    }
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
