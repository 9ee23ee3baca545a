// The pty transport the simulators share, and the console parsing quorrin-sim's systems share.
#include "sim/ConsoleLoop.h"
#include "sim/PtyEndpoint.h"

#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Stamped {
    uint64_t atUs;
    uint8_t byte;
};

TEST(PtyOutbox, PollTimeoutFollowsTheFront) {
    struct Case {
        uint64_t dueUs, nowUs;
        int timeout;
        bool wantOutput;
    } cases[] = {
        {5000, 5000, -1, true}, // due now: wait for room, not for time
        {5000, 9000, -1, true}, // overdue
        {5001, 5000, 1, false}, // one microsecond early rounds up, never down to 0
        {6000, 5000, 1, false}, // exactly one millisecond
        {6001, 5000, 2, false}, //
        {2'005'000, 5000, 2000, false},
    };
    for (const Case& c : cases) {
        sim::PtyOutbox box;
        ASSERT_TRUE(box.Add(c.dueUs, "x"));
        bool wantOutput = false;
        EXPECT_EQ(box.PollTimeoutMs(c.nowUs, wantOutput), c.timeout) << c.dueUs << " " << c.nowUs;
        EXPECT_EQ(wantOutput, c.wantOutput) << c.dueUs << " " << c.nowUs;
    }
    sim::PtyOutbox empty;
    bool wantOutput = false;
    EXPECT_EQ(empty.PollTimeoutMs(1, wantOutput), -1);
    EXPECT_FALSE(wantOutput);
    EXPECT_EQ(sim::PollTimeoutUntil(0, 5000), -1); // nothing due: sleep until woken
    EXPECT_EQ(sim::PollTimeoutUntil(4000, 5000), 0);
}

TEST(PtyOutbox, RefusesEmptyAnswersAndAnswersBeyondItsRoom) {
    sim::PtyOutbox box;
    EXPECT_FALSE(box.Add(0, ""));
    EXPECT_TRUE(box.Empty());
    EXPECT_TRUE(box.Add(0, std::string(sim::PtyOutbox::kMaxBytes - 1, 'a')));
    EXPECT_TRUE(box.Add(0, "b")); // exactly full
    EXPECT_FALSE(box.Room(1));
    EXPECT_FALSE(box.Add(0, "c"));
}

// A pipe that takes only so much stands in for a PC that reads nothing.
TEST(PtyOutbox, AFullLineKeepsTheRestInOrderAndFreesRoomForWhatWent) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    sim::PtyOutbox box;
    std::string big(static_cast<size_t>(capacity) + 100, 'a');
    big.back() = 'z';
    ASSERT_TRUE(box.Add(0, big));
    ASSERT_TRUE(box.Add(0, "next"));
    ASSERT_TRUE(box.Add(platform::MicroNow() + 60'000'000, "later")); // not due for a minute
    std::string sent;
    auto record = [&](uint64_t, const char* data, size_t n) { sent.append(data, n); };

    EXPECT_TRUE(box.Flush(fds[1], record));
    EXPECT_EQ(sent.size(), static_cast<size_t>(capacity));
    EXPECT_FALSE(box.Flush(fds[1], record)); // still full: nothing went, nothing lost
    EXPECT_TRUE(box.Room(sim::PtyOutbox::kMaxBytes - 100 - 4 - 5));

    std::string drained(static_cast<size_t>(capacity), '\0');
    ASSERT_EQ(read(fds[0], drained.data(), drained.size()), capacity);
    EXPECT_TRUE(box.Flush(fds[1], record));
    EXPECT_EQ(sent, big + "next");
    EXPECT_FALSE(box.Empty()); // the answer not yet due stays
    close(fds[0]);
    close(fds[1]);
}

TEST(PtyRecord, KeepsTheNewestBytesUpToItsLimit) {
    struct Case {
        size_t limit;
        std::string expected;
    } cases[] = {{0, "abcdef"}, {3, "def"}, {6, "abcdef"}, {10, "abcdef"}};
    for (const Case& c : cases) {
        std::deque<Stamped> record;
        sim::RecordBytes(record, 1, "abcd", 4, c.limit);
        sim::RecordBytes(record, 2, "ef", 2, c.limit);
        std::string kept;
        for (const Stamped& b : record)
            kept += static_cast<char>(b.byte);
        EXPECT_EQ(kept, c.expected) << c.limit;
        EXPECT_EQ(record.back().atUs, 2u);
    }
}

// The endpoint's thread with hooks that only count and keep what comes in.
class Endpoint : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetTickCountStart(0xFFFFFFFFu - 2000); }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string input_;
    int asked_ = 0; // times the thread asked for its timeout
};

TEST_F(Endpoint, ServesTheSlaveAcrossReopeningsAndStopsWhileAsleep) {
    sim::PtyEndpoint pty("Test", mutex_);
    pty.Start({[this](bool&) {
                   ++asked_;
                   changed_.notify_all();
                   return -1; // nothing timed: only input or a wake-up ends the sleep
               },
               [this](const char* data, size_t n) {
                   std::lock_guard<std::mutex> lock(mutex_);
                   input_.append(data, n);
                   changed_.notify_all();
               },
               [] {}});
    for (const char* text : {"one", "two"}) {
        int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text, 3), 3);
        close(fd); // our spare keeps the line up for the next opening
    }
    EXPECT_TRUE(sim::WaitUntil(mutex_, changed_, 5000, [&] { return input_ == "onetwo"; }));

    int before;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = asked_;
    }
    pty.Wake();
    EXPECT_TRUE(sim::WaitUntil(mutex_, changed_, 5000, [&] { return asked_ > before; }));

    auto start = platform::GetTickCount();
    pty.Stop();
    EXPECT_LT(platform::ElapsedSince(start), 1000u);
    pty.Stop(); // a second stop (the destructor's) is harmless
}

TEST(WaitUntil, ANegativeTimeoutLooksOnce) {
    std::mutex mutex;
    std::condition_variable changed;
    EXPECT_FALSE(sim::WaitUntil(mutex, changed, -5, [] { return false; }));
    EXPECT_TRUE(sim::WaitUntil(mutex, changed, -5, [] { return true; }));
}

TEST(ConsoleParsing, NumbersAndSwitchesAsTyped) {
    struct Case {
        const char* word;
        std::optional<long> number;
    } numbers[] = {
        {"0", 0},
        {"127", 127},
        {"0x7F", 127},
        {"0X7f", 127},
        {"0b101", 5},
        {"010", 10},
        {"0x", std::nullopt},
        {"0b", std::nullopt},
        {"-1", {}},
        {"12a", std::nullopt},
        {"", std::nullopt},
        {"0b102", std::nullopt},
        {"99999999999999999999", std::nullopt}, // beyond a long: refused, not cut short
    };
    for (const Case& c : numbers)
        EXPECT_EQ(sim::ConsoleNumber(c.word), c.number) << "'" << c.word << "'";
    EXPECT_EQ(sim::ConsoleNumber("0xFF", 255), 255);
    EXPECT_EQ(sim::ConsoleNumber("256", 255), std::nullopt);

    EXPECT_EQ(sim::ConsoleOnOff("on"), true);
    EXPECT_EQ(sim::ConsoleOnOff("1"), true);
    EXPECT_EQ(sim::ConsoleOnOff("off"), false);
    EXPECT_EQ(sim::ConsoleOnOff("0"), false);
    EXPECT_EQ(sim::ConsoleOnOff("ON"), std::nullopt);
    EXPECT_EQ(sim::ConsoleOnOff("yes"), std::nullopt);

    EXPECT_EQ(sim::ConsoleWords("  bus\t5  0x10 \r"),
              (std::vector<std::string>{"bus", "5", "0x10"}));
    EXPECT_TRUE(sim::ConsoleWords(" \t ").empty());
}

TEST(ServeConsole, ASimulatorThatCannotBeMadeEndsTheProgramWithOne) {
    // The signalfd is closed for it: the loop that would close it never ran.
    EXPECT_EQ(sim::ServeConsole([](int) { throw std::runtime_error("FakeSim: openpty: gone"); }),
              1);
    EXPECT_EQ(sim::ServeConsole([](int sigFd) { close(sigFd); }), 0);
}

} // namespace
