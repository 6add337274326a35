// The tuner window: TTuner_form drawn for a dark stage. A large note, a needle over -50..+50 cents
// with a green zone of +-2 cents (the note and needle turn green in it), the frequency and the
// cents, then the reference pitch and the mute box. It shows and hides with its form; closing it
// closes the form, which gives the sound back.
#pragma once

#include <QWidget>

#include <memory>

#include "app/tuner.h"
#include "form_view.h"

class QLabel;

namespace vx {

// The needle and its scale; `cents` is drawn only when `pitched`.
class TunerNeedle : public QWidget {
    Q_OBJECT
public:
    explicit TunerNeedle(QWidget* parent = nullptr);
    void set_reading(bool pitched, double cents, bool in_tune);
    QSize sizeHint() const override { return {460, 110}; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    bool pitched_ = false, in_tune_ = false;
    double cents_ = 0.0;
};

class TunerWindow : public QWidget {
    Q_OBJECT
public:
    explicit TunerWindow(TTuner_form& form, QWidget* parent = nullptr);
    ~TunerWindow() override;

    TTuner_form* form() const { return form_; }
    QLabel* note_label() const { return note_; }
    TunerNeedle* needle() const { return needle_; }
    ControlBinding* binding(const std::string& control_name) const;

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void follow(const Form& f);

    TTuner_form* form_;
    int observer_ = 0;
    QLabel* note_;
    QLabel* frequency_;
    QLabel* cents_;
    QLabel* reference_;
    TunerNeedle* needle_;
    std::unique_ptr<ControlBinding> slider_, mute_;
};

}  // namespace vx
