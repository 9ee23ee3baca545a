// The process's locale and environment are set once, by the initialisation
// on the main thread; a translation on another thread changes neither. Each
// case needs a fresh process, so it runs in a child of this test program.
#include "platform/Translate.h"

#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const char* kChildVar = "QUORRIN_TRANSLATE_CHILD";

// Runs TranslateChild.* in a child with LANG=nl_NL.UTF-8 and no other
// language settings; returns its exit status.
int RunChild() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LANG=", 0) == 0 || v.rfind("LANGUAGE=", 0) == 0 || v.rfind("LC_", 0) == 0)
            continue;
        env.push_back(v);
    }
    env.push_back("LANG=nl_NL.UTF-8");
    env.push_back(std::string(kChildVar) + "=1");
    std::vector<char*> envp;
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=TranslateChild.*";
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, filter.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, exe, nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Translate, OnlyTheInitialisationSetsLocaleAndEnvironment) {
    EXPECT_EQ(RunChild(), 0);
}

// Only does something inside a child started above.
TEST(TranslateChild, AnotherThreadFirstLeavesTheProcessAlone) {
    if (!std::getenv(kChildVar)) GTEST_SKIP() << "runs only as a child";
    std::string text;
    std::thread other([&] { text = platform::Translate("Error"); });
    other.join();
    EXPECT_EQ(text, "Error");
    EXPECT_EQ(std::getenv("LANGUAGE"), nullptr);
    EXPECT_STREQ(std::setlocale(LC_MESSAGES, nullptr), "C");

    platform::InitTranslation();
    ASSERT_NE(std::getenv("LANGUAGE"), nullptr);
    EXPECT_STREQ(std::getenv("LANGUAGE"), "nl_NL:nl");
    EXPECT_STRNE(std::setlocale(LC_MESSAGES, nullptr), "C");
}

} // namespace
