// The desktop services as the main window's logic uses them: dialogs answered as a user would,
// the pointer, and the end of the event loop with a status.
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

#include "qt_services.h"
#include "ui_helpers.h"

namespace vx {
namespace {

// Runs `answer` on the modal dialog once it is up.
void when_modal(std::function<void(QWidget*)> answer) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (QWidget* m = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            answer(m);
        }
    });
    poll->start();
}

TEST(QtServices, MessagesShowTheirTextAndWaitForOk) {
    QtServices s;
    struct Case {
        std::function<void()> call;
        QMessageBox::Icon icon;
    };
    const Case cases[] = {
        {[&] { s.message("Unable to write to out.wav"); }, QMessageBox::Information},
        {[&] { s.warning("Unable to write to out.wav"); }, QMessageBox::Warning},
    };
    for (const Case& c : cases) {
        QString seen;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        when_modal([&](QWidget* m) {
            auto* box = qobject_cast<QMessageBox*>(m);
            ASSERT_NE(box, nullptr);
            seen = box->text();
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        });
        c.call();
        EXPECT_EQ(seen, "Unable to write to out.wav");
        EXPECT_EQ(icon, c.icon);
    }
}

TEST(QtServices, FileDialogsOfferTheFiltersAndAnswerThePath) {
    QtServices s;
    QTemporaryDir dir;
    Services::FileDialog d{"Save FX chain", dir.path().toStdString(), "", {"FX chain (*.pre)"}, "pre"};

    QStringList filters;
    when_modal([&](QWidget* m) {
        auto* dlg = qobject_cast<QFileDialog*>(m);
        ASSERT_NE(dlg, nullptr);
        filters = dlg->nameFilters();
        EXPECT_EQ(dlg->directory().absolutePath(), dir.path());
        dlg->findChild<QLineEdit*>("fileNameEdit")->setText("crunch");
        QMetaObject::invokeMethod(dlg, "accept");
    });
    const auto saved = s.save_file(d);
    EXPECT_EQ(filters, QStringList{"FX chain (*.pre)"});
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(*saved, (dir.path() + "/crunch.pre").toStdString());  // the default suffix is added

    when_modal([](QWidget* m) { qobject_cast<QDialog*>(m)->reject(); });
    EXPECT_FALSE(s.open_file(d).has_value());
}

TEST(QtServices, QuitEndsTheEventLoopWithItsStatus) {
    QtServices s;
    EXPECT_EQ(s.quit_status(), -1);
    s.quit(3);  // asked before the loop runs: it still ends it
    EXPECT_EQ(QApplication::exec(), 3);
    EXPECT_EQ(s.quit_status(), 3);
}

// The skin operations have their own tests (skin_services_test.cpp).
TEST(QtServices, PointerMovesAndMissingSkinsAreRefused) {
    QtServices s;
    s.move_pointer({120, 80});
    EXPECT_EQ(s.pointer().x, 120);
    EXPECT_EQ(s.pointer().y, 80);
    EXPECT_FALSE(s.unpack_skin("/nonexistent.zip", "/tmp"));
}

}  // namespace
}  // namespace vx
