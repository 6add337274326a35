// Shared by the widget tests.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QWidget>

#include <functional>
#include <string>

#include "editor_window.h"
#include "form_view.h"

namespace vx::test {

// Counts the runs of a handler; the handler itself still runs.
inline void count_runs(std::function<void()>& handler, int& runs) {
    auto original = handler;
    handler = [original, &runs] {
        ++runs;
        if (original) original();
    };
}

template <class W> W* widget_of(const FormView& v, const std::string& name) {
    ControlBinding* b = v.binding(name);
    return b ? qobject_cast<W*>(b->widget()) : nullptr;
}

// Keeps a picture of `w` in the build tree (screenshots/NAME.png), for people to look at.
inline void save_shot(QWidget& w, const std::string& name) {
    const QString dir = QStringLiteral(VX_BIN_DIR "/screenshots");
    QDir().mkpath(dir);
    w.grab().save(dir + "/" + QString::fromStdString(name) + ".png");
}

inline void settle() {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Every visible caption, button and selector in `window` shows its whole text: it is at least as
// large as it asks to be and lies inside the window, and no two of them overlap.
inline void expect_nothing_cut(QWidget& window, const std::string& what) {
    std::vector<QWidget*> shown;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&window)) continue;
        if (!qobject_cast<QLabel*>(w) && !qobject_cast<QAbstractButton*>(w) && !qobject_cast<QComboBox*>(w)) continue;
        if (qobject_cast<QComboBox*>(w->parentWidget())) continue;
        // An arrow button has no text to lose.
        if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->text().isEmpty()) continue;
        const QSize want = w->minimumSizeHint().expandedTo(qobject_cast<QLabel*>(w) ? w->sizeHint() : QSize());
        const std::string id = what + ": " + w->metaObject()->className() + " \"" + w->objectName().toStdString() +
                               "\" " + (qobject_cast<QLabel*>(w) ? qobject_cast<QLabel*>(w)->text().toStdString() : "");
        EXPECT_GE(w->width(), want.width()) << id;
        EXPECT_GE(w->height(), want.height()) << id;
        const QRect r(w->mapTo(&window, QPoint(0, 0)), w->size());
        EXPECT_TRUE(window.rect().contains(r)) << id;
        shown.push_back(w);
    }
    for (size_t i = 0; i < shown.size(); ++i)
        for (size_t j = i + 1; j < shown.size(); ++j) {
            if (shown[i]->isAncestorOf(shown[j]) || shown[j]->isAncestorOf(shown[i])) continue;
            const QRect a(shown[i]->mapTo(&window, QPoint(0, 0)), shown[i]->size());
            const QRect b(shown[j]->mapTo(&window, QPoint(0, 0)), shown[j]->size());
            EXPECT_FALSE(a.intersects(b)) << what << ": " << shown[i]->objectName().toStdString() << " overlaps "
                                          << shown[j]->objectName().toStdString();
        }
}

}  // namespace vx::test
