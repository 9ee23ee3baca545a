// The tester's widget tests need a QApplication; they run without a display.
// Started with --translation-probe the program instead prints what a fresh
// process translates (the translation test starts it that way).
#include "tester/QtHost.h"

#include <gtest/gtest.h>

#include <cstring>

int TranslationProbe(int argc, char** argv);

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc >= 2 && std::strcmp(argv[1], "--translation-probe") == 0)
        return TranslationProbe(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    tester::TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
