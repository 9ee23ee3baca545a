// Replays the committed fuzz corpora of the line-traffic decoders with the normal compiler, so
// every input the fuzzers were once fed stays a regression test.
#include "fuzz/trace/TraceFuzz.h"
#include "trace/LineDecoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

TEST(TraceFuzzCorpus, EveryInputKeepsEveryDecoderWhole) {
    for (std::string_view system : trace::SystemNames()) {
        std::filesystem::path folder = std::filesystem::path(QUORRIN_SOURCE_DIR) / "fuzz" /
                                       "corpus" / ("trace_" + std::string(system));
        ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
        int inputs = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::string data((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            EXPECT_EQ(trace_fuzz::OneInput(system, reinterpret_cast<const uint8_t*>(data.data()),
                                           data.size()),
                      "")
                << system << ": " << entry.path().filename();
            ++inputs;
        }
        EXPECT_GE(inputs, 3) << system;
    }
}

// The driver itself catches a decoder that is not there and still passes the empty input.
TEST(TraceFuzzCorpus, DriverRefusesAnUnknownSystem) {
    EXPECT_NE(trace_fuzz::OneInput("nope", nullptr, 0), "");
    EXPECT_EQ(trace_fuzz::OneInput("lenz", nullptr, 0), "");
}
