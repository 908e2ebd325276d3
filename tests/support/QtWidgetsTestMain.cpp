// The main() of the tests that run real widgets: a widget application on the offscreen platform
// (unless the environment names another), through whose event loop the windows, the engine's
// progress and the coordinator's completions all run.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
