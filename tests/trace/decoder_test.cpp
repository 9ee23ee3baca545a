// What holds for every system's decoder: the factory, chunking, the flush.
#include "DecoderRun.h"

namespace {

using namespace tracetest;

TEST(Decoders, FactoryKnowsExactlyTheSystemNames) {
    for (std::string_view name : trace::SystemNames()) {
        std::unique_ptr<trace::Decoder> d = trace::MakeDecoder(name);
        ASSERT_TRUE(d) << name;
        EXPECT_EQ(d->System(), name);
    }
    EXPECT_EQ(trace::SystemNames().size(), 6u);
    for (const char* other : {"", "Lenz", "sx", "selectrix ", "unknown"})
        EXPECT_FALSE(trace::MakeDecoder(other)) << other;
}

// A stream of one direction gives the same messages in any chunks. (Runs of undecodable bytes
// are the exception: they are shown as they come, so chunks can cut them in several.)
TEST(Decoders, ChunkingDoesNotChangeTheMessages) {
    struct Case {
        const char* system;
        Direction d;
        std::string stream;
    };
    const std::vector<Case> cases{
        {"selectrix", To, Bytes({0x0C, 0x20, 0xFF, 0xFF, 0x83, 0x6A, 0x7F})},
        {"lenz", From,
         Bytes(
             {0x42, 0x05, 0x53, 0x14, 0x61, 0x01, 0x60, 0x44, 0x02, 0x25, 0x00, 0x40, 0x23, 0x61})},
        {"lenz", To, Bytes({0x21, 0x81, 0xA0, 0xE4, 0x12, 0xC3, 0xE8, 0x96, 0x80, 0x80})},
        {"intellibox", To,
         std::string("xL3,48,1,0,0,0,0,0\r") +
             Bytes({0x80, 0x03, 0x00, 0x30, 0xF5, 0xC7, 0x17, 0x03, 0x60, 0x78, 0xA7}) + "B192"},
        {"marklin", To, Bytes({0x60, 0x17, 0x18, 0x83, 0x25, 0x45, 0x18, 0xC1, 0x17})},
        {"dinamo", From, Bytes({0xFF, 0x31, 0x05, 0xCA, 0x01, 0x94, 0xEC, 0x00, 0x80, 0x02})},
        {"kaart", To, Bytes({0x0F, 0x86, 0x71, 0x85, 0x07, 0x80, 0x45, 0x80})},
    };
    for (const Case& c : cases) {
        std::vector<std::string> whole = Described(Decode(c.system, {{c.d, c.stream}}));
        for (size_t size : {1u, 2u, 3u, 5u}) {
            std::vector<Step> steps;
            for (size_t i = 0; i < c.stream.size(); i += size)
                steps.push_back({c.d, c.stream.substr(i, size)});
            EXPECT_EQ(Described(Decode(c.system, steps)), whole) << c.system << " by " << size;
        }
    }
}

TEST(Decoders, NothingFedIsNothingEmitted) {
    for (std::string_view name : trace::SystemNames()) {
        std::unique_ptr<trace::Decoder> d = trace::MakeDecoder(name);
        EXPECT_TRUE(d->Feed(To, "").empty()) << name;
        EXPECT_TRUE(d->Feed(From, "").empty()) << name;
        EXPECT_TRUE(d->Flush().empty()) << name;
    }
}

// The flush empties both directions, the PC's first, and leaves a decoder that goes on.
TEST(Decoders, FlushEmitsWhatIsHeldAndStartsAfresh) {
    std::unique_ptr<trace::Decoder> d = trace::MakeDecoder("lenz");
    EXPECT_TRUE(d->Feed(From, Bytes({0x42, 0x05})).empty());
    EXPECT_TRUE(d->Feed(To, Bytes({0x21})).empty());
    EXPECT_EQ(d->Held(From), 2u);
    EXPECT_EQ(d->Held(To), 1u);
    std::vector<Message> rest = d->Flush();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].direction, To);
    EXPECT_EQ(rest[1].direction, From);
    EXPECT_EQ(d->Held(From) + d->Held(To), 0u);
    std::vector<Message> next = d->Feed(From, Bytes({0x61, 0x01, 0x60}));
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].kind, "lenz.all-on");
}

TEST(Decoders, DirectionNames) {
    EXPECT_STREQ(trace::DirectionName(To), "to-interface");
    EXPECT_STREQ(trace::DirectionName(From), "from-interface");
}

} // namespace
