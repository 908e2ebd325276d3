// The main() of the tests that need a Qt application without widgets: the export engine, the
// coordinator and the tools deliver their progress and completions through the event loop of
// the thread that made them.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
