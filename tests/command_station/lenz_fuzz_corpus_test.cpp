// Replays the committed fuzz corpus of the Lenz parser with the normal
// compiler, so every input the fuzzer was once fed stays a regression test.
#include "fuzz/LenzParserFuzz.h"
#include "platform/Host.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

TEST(LenzFuzzCorpus, EveryInputKeepsTheParserWhole) {
    testsupport::RecordingHost host;
    std::filesystem::path folder =
        std::filesystem::path(QUORRIN_SOURCE_DIR) / "fuzz" / "corpus" / "lenz_parser";
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(
            lenz_fuzz::EenInvoer(reinterpret_cast<const uint8_t*>(data.data()), data.size()))
            << entry.path().filename();
        ++inputs;
    }
    EXPECT_GE(inputs, 5);
    EXPECT_TRUE(host.Texts().empty());
}
