// The widget tests need one QApplication, drawn offscreen so that no test opens a window on a
// desktop.
#include <gtest/gtest.h>

#include <QApplication>

#include "gui_main.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    vx::quiet_platform_notices();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
