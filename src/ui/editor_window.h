// The editor window of an effect: modeless, of fixed size, with the Form's caption, and shown and
// hidden as the Form says. Its close button and Escape only hide the Form; closing never destroys
// the effect. New editors open cascaded. The window goes away by itself when its Form is destroyed.
#pragma once

#include <QWidget>

#include "engine/forms.h"

namespace vx {

class FormView;

// A window's title bar as its Form asks for it: a close button always; minimise with the caption
// buttons; maximise with them only when the size may change.
Qt::WindowFlags window_flags(const Form& form);

class EditorWindow : public QWidget {
    Q_OBJECT
public:
    explicit EditorWindow(Form& form, QWidget* parent = nullptr);
    ~EditorWindow() override;

    // The window of `form`, made at the first call.
    static EditorWindow* of(Form& form, QWidget* parent = nullptr);
    // The window of `form` if one exists, else null.
    static EditorWindow* find(const Form& form);

    // Null once the form has been destroyed.
    Form* form() const { return form_; }
    FormView* view() const { return view_; }
    // How far down and right of the editor opened before a new one opens.
    static constexpr int kCascadeStep = 32;

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void follow(const Form& f);
    void place();

    Form* form_;
    int observer_ = 0;
    FormView* view_;
    bool placed_ = false;
};

}  // namespace vx
