// Qt widgets for the toolkit-neutral controls model. A ControlBinding draws one control and keeps
// widget and model in step both ways: a model change updates the widget with its signals blocked
// (so no handler runs twice), and a user's action calls the control's setter exactly once.
// FormView lays out every control of any Form by itself: one frame per group, in the order the
// groups first appear, each control with its caption and, for sliders, its value and its unit.
#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/forms.h"

class QMenu;
class QTimer;

namespace vx {

// A meter at or above its warning value carries this property, true, and is drawn in this colour.
inline constexpr const char* kMeterWarning = "warning";
inline const QColor kWarningColour{214, 48, 32};
// A slider's value in its unit is a label carrying this property, true.
inline constexpr const char* kSliderUnit = "unit";

class ControlBinding : public QObject {
    Q_OBJECT
public:
    // The widgets of control `c`, created as children of `parent`. The caller owns the binding; it
    // must not outlive the control unless detach() was called first.
    static std::unique_ptr<ControlBinding> create(Control& c, QWidget* parent);
    ~ControlBinding() override;

    Control* control() const { return control_; }
    // The caption beside the control (null if it has none), the control itself, and the value
    // shown beside a slider (null for other controls).
    QWidget* caption() const { return caption_; }
    QWidget* widget() const { return widget_; }
    QWidget* readout() const { return readout_; }
    // The value in its unit beside a horizontal slider that has one (null otherwise); a vertical
    // slider, too narrow for it, shows it as its tooltip.
    QWidget* unit() const { return unit_; }

    // Widgets from the model; runs no handler.
    void sync();
    // For a window that labels the control by other means: the caption widget goes.
    void drop_caption();
    // The control is gone: never touch it again, and leave the widgets disabled.
    void detach();
    // Shows again what depends on more than the control itself (a slider's unit: the engine's rate,
    // another control); runs no handler.
    virtual void refresh() {}

protected:
    ControlBinding(Control& c, QWidget* widget, QWidget* caption = nullptr, QWidget* readout = nullptr,
                   QWidget* unit = nullptr);
    // The widget-specific part of sync(), called with the widgets' signals blocked.
    virtual void update_widget() = 0;
    // True while the control may still be used.
    bool attached() const { return control_ != nullptr; }
    // Runs a user's action on the control (a setter, a click), then shows what the model made of it.
    void user_action(const std::function<void()>& act);

private:
    Control* control_;
    int observer_ = 0;
    QPointer<QWidget> widget_, caption_, readout_, unit_;
};

// The right-click menu of sliders and check boxes: the hook adds its entries for `control` of
// `form` (none: no menu). One for the program; set before windows are built.
using ControlMenu = std::function<void(Form& form, Control& control, QMenu& menu)>;
void set_control_menu(ControlMenu menu);
// Gives the binding's widget that menu, when it draws a slider or check box.
void offer_control_menu(ControlBinding& binding, Form& form);

class FormView : public QWidget {
    Q_OBJECT
public:
    explicit FormView(Form& form, QWidget* parent = nullptr);
    ~FormView() override;

    // Null once the form has been destroyed.
    Form* form() const { return form_; }
    const std::vector<std::unique_ptr<ControlBinding>>& bindings() const { return bindings_; }
    // The binding of a control by name; null if there is none.
    ControlBinding* binding(const std::string& control_name) const;

private:
    void build();
    void form_changed(const Form& f);

    Form* form_;
    int observer_ = 0;
    std::vector<std::unique_ptr<ControlBinding>> bindings_;
    // Brings the sliders' units up to date with what moves them without a notice (the engine's rate,
    // a switch such as Gang, a slider another one's law reads).
    QTimer* unit_timer_ = nullptr;
};

}  // namespace vx
