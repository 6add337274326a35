// The main window of the desktop program. It draws TForm1 by hand from ControlBindings: the engine
// panel (devices, rate, START/STOP, level sliders and meters, CPU and latency), the 16 rack rows and
// the presets and skins selectors with the chain buttons (placeholders until the form has them).
// It runs the form's timer from creation, shows the editor that a Tune button asks for, lets the
// form decide whether it may close, routes F1..F12 releases in any of the program's windows to the
// form before any control sees them, and keeps the keyboard focus where the form says it is.
#pragma once

#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "form_view.h"

class QBoxLayout;
class QGridLayout;
class QTimer;
class QWindow;

namespace vx {

class TunerWindow;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(TForm1& form, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Null once the form has been destroyed.
    TForm1* form() const { return form_; }
    // The binding of a control of the form by name; null if there is none.
    ControlBinding* binding(const std::string& control_name) const;
    // The widget drawn for a name: a control's, or the placeholder standing where the form does not
    // have that control yet. Null if neither.
    QWidget* widget(const std::string& name) const;
    QTimer* timer() const { return timer_; }
    // Shown and hidden with the form's tuner (the Tuner button, the key T).
    TunerWindow* tuner_window() const { return tuner_window_; }

signals:
    // The form agreed to close; the program ends now.
    void closed();

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    ControlBinding* bind(Control& c);
    // The control of that name bound, or null when the form has none.
    ControlBinding* bind(const std::string& name);
    QWidget* engine_group();
    QWidget* levels_group();
    QWidget* monitor_group();
    QWidget* rack_group();
    QWidget* chains_group();
    QWidget* skins_group();
    QWidget* other_controls();
    QWidget* placeholder(const std::string& name, QWidget* w);
    void follow(const Form& f);
    void focus_changed(QWidget* now);
    void show_editor(int slot);

    TForm1* form_;
    int observer_ = 0;
    std::vector<std::unique_ptr<ControlBinding>> bindings_;
    std::map<std::string, ControlBinding*> by_name_;
    std::map<std::string, QPointer<QWidget>> placeholders_;
    QTimer* timer_;
    TunerWindow* tuner_window_ = nullptr;
    const Control* shown_focus_ = nullptr;
};

}  // namespace vx
