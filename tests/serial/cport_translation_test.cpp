// The error texts go through the message catalogues once per process, so
// each language is checked in a fresh child process of this test program.
#include "platform/Translate.h"
#include "serial/CPort.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

using namespace serial;

namespace {

const char* kChildVar = "QUORRIN_TRANSLATION_EXPECT";

// Runs the test `filter` in a child with LANG=`lang` and the expectation in
// the environment; returns the child's exit status.
int RunChild(const std::string& lang, const std::string& expect) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LANG=", 0) == 0 || v.rfind("LANGUAGE=", 0) == 0 || v.rfind("LC_", 0) == 0 ||
            v.rfind(kChildVar, 0) == 0)
            continue;
        env.push_back(v);
    }
    env.push_back("LANG=" + lang);
    env.push_back(std::string(kChildVar) + "=" + expect);
    std::vector<char*> envp;
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=TranslationChild.MessageIsAsExpected";
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, filter.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, exe, nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Translation, DutchCatalogueTranslatesTextAndSuffix) {
    EXPECT_EQ(RunChild("nl_NL.UTF-8", "Kan de COM-poort niet openen (win-foutcode: 16)"), 0);
}

TEST(Translation, MissingCatalogueChangesNothing) {
    EXPECT_EQ(RunChild("fr_FR.UTF-8", "Unable to open com port (win error code: 16)"), 0);
}

// Only does something inside a child started above.
TEST(TranslationChild, MessageIsAsExpected) {
    const char* expect = std::getenv(kChildVar);
    if (!expect) GTEST_SKIP() << "runs only as a child of the Translation tests";
    platform::InitTranslation(); // as the program does on its main thread
    InitSerialLayer();
    EXPECT_EQ(std::string(EComPort(1, 16).what()), expect);
    EXPECT_EQ(ComErrorText(1), "Unable to open com port") << "the table itself stays English";
}

} // namespace
