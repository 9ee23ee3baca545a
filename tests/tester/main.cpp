// The tester's widget tests need a QApplication; they run without a display.
// Started as "--child NAME" the program runs that child body instead (the
// translation test needs fresh processes).
#include "tester/QtHost.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (const auto status = testsupport::RunChildIfAsked(argc, argv)) return *status;
    // The program keeps its choice in the user's settings: the tests and
    // the children they start keep theirs in a folder of their own.
    std::string config =
        (std::filesystem::temp_directory_path() / "quorrin-tester-XXXXXX").string();
    if (!mkdtemp(config.data())) return 1;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = 0;
    {
        tester::TApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    std::filesystem::remove_all(config);
    return rc;
}
