// The error texts go through the message catalogues once per process, so
// each language is checked in a fresh child process of this test program.
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "tests/support/ChildProcess.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace serial;

namespace {

// The serial layer's texts as a fresh process translates them.
int TranslatedErrors(int, char**) {
    platform::InitTranslation(); // as the program does on its main thread
    InitSerialLayer();
    std::printf("%s\n", EComPort(1, 16).what());
    std::printf("%s\n", ComErrorText(1).c_str());
    return 0;
}
const testsupport::ChildBody kTranslatedErrors("serial-translation", &TranslatedErrors);

TEST(Translation, CatalogueOfTheLanguageTranslatesTextAndSuffix) {
    struct Case {
        const char* lang;
        std::string error;
    };
    const Case cases[] = {
        {"nl_NL.UTF-8", "Kan de COM-poort niet openen (win-foutcode: 16)"},
        // No catalogue: nothing changes.
        {"fr_FR.UTF-8", "Unable to open com port (win error code: 16)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lang);
        const auto child =
            testsupport::RunChild("serial-translation", {"LANG=" + std::string(c.lang)});
        EXPECT_EQ(child.exitStatus, 0);
        // The table itself stays English.
        EXPECT_EQ(child.lines, (std::vector<std::string>{c.error, "Unable to open com port"}));
    }
}

} // namespace
