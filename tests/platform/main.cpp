// The platform tests; started as "--child NAME" the program runs that child
// body instead (the translation tests need fresh processes).
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (const auto status = testsupport::RunChildIfAsked(argc, argv)) return *status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
