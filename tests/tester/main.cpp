// The tester's widget tests need a QApplication; they run without a display.
// Started as "--child NAME" the program runs that child body instead (the
// translation test needs fresh processes).
#include "tester/QtHost.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (const auto status = testsupport::RunChildIfAsked(argc, argv)) return *status;
    ::testing::InitGoogleTest(&argc, argv);
    tester::TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
