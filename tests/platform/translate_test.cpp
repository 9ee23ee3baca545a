// The process's locale and environment are set once, by the initialisation
// on the main thread; a translation on another thread changes neither. Each
// case needs a fresh process, so it runs in a child of this test program.
#include "platform/Translate.h"
#include "tests/support/ChildProcess.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* Or(const char* s, const char* none) {
    return s ? s : none;
}

// Translates on another thread first, then initialises as the program does;
// prints what the process looked like after each step.
int AnotherThreadFirst(int, char**) {
    std::string text;
    std::thread other([&] { text = platform::Translate("Error"); });
    other.join();
    std::printf("%s\n", text.c_str());
    std::printf("%s\n", Or(std::getenv("LANGUAGE"), "(unset)"));
    std::printf("%s\n", Or(std::setlocale(LC_MESSAGES, nullptr), "(none)"));
    platform::InitTranslation();
    std::printf("%s\n", Or(std::getenv("LANGUAGE"), "(unset)"));
    std::printf("%s\n", Or(std::setlocale(LC_MESSAGES, nullptr), "(none)"));
    return 0;
}
const testsupport::ChildBody kAnotherThreadFirst("translate-another-thread", &AnotherThreadFirst);

TEST(Translate, OnlyTheInitialisationSetsLocaleAndEnvironment) {
    const auto child = testsupport::RunChild("translate-another-thread", {"LANG=nl_NL.UTF-8"});
    ASSERT_EQ(child.exitStatus, 0);
    ASSERT_EQ(child.lines.size(), 5u);
    EXPECT_EQ(child.lines[0], "Error");
    EXPECT_EQ(child.lines[1], "(unset)");
    EXPECT_EQ(child.lines[2], "C");
    EXPECT_EQ(child.lines[3], "nl_NL:nl");
    EXPECT_NE(child.lines[4], "C");
}

} // namespace
