// The pty transport the simulators share: its outbox, its records and its thread.
#include "sim/Transport.h"

#include "platform/Tick.h"
#include "serial/local/LocalComDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// The outbox's writer on a non-blocking descriptor.
sim::Outbox::Write ToFd(int fd) {
    return [fd](const char* data, size_t n) -> size_t {
        const ssize_t put = write(fd, data, n);
        return put > 0 ? static_cast<size_t>(put) : 0;
    };
}

TEST(Outbox, PollTimeoutFollowsTheFront) {
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
        sim::Outbox box;
        ASSERT_TRUE(box.Queue("x", c.dueUs));
        bool wantOutput = false;
        EXPECT_EQ(box.PollTimeoutMs(c.nowUs, wantOutput), c.timeout) << c.dueUs << " " << c.nowUs;
        EXPECT_EQ(wantOutput, c.wantOutput) << c.dueUs << " " << c.nowUs;
    }
    sim::Outbox empty;
    bool wantOutput = false;
    EXPECT_EQ(empty.PollTimeoutMs(1, wantOutput), -1);
    EXPECT_FALSE(wantOutput);
    EXPECT_EQ(sim::PollTimeoutUntil(0, 5000), -1); // nothing due: sleep until woken
    EXPECT_EQ(sim::PollTimeoutUntil(4000, 5000), 0);
}

TEST(Outbox, RefusesEmptyAnswersAndAnswersBeyondItsRoom) {
    sim::Outbox box;
    EXPECT_FALSE(box.Queue("", 0));
    EXPECT_TRUE(box.Empty());
    EXPECT_TRUE(box.Queue(std::string(sim::Outbox::kMaxBytes - 1, 'a'), 0));
    EXPECT_TRUE(box.Queue("b", 0)); // exactly full
    EXPECT_FALSE(box.Room(1));
    EXPECT_FALSE(box.Queue("c", 0));
}

// A pipe that takes only so much stands in for a PC that reads nothing.
TEST(Outbox, AFullLineKeepsTheRestInOrderAndFreesRoomForWhatWent) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    sim::Outbox box;
    std::string big(static_cast<size_t>(capacity) + 100, 'a');
    big.back() = 'z';
    ASSERT_TRUE(box.Queue(big, 0));
    ASSERT_TRUE(box.Queue("next", 0));
    ASSERT_TRUE(box.Queue("later", platform::MicroNow() + 60'000'000)); // not due for a minute
    std::string sent;
    auto record = [&](uint64_t, const char* data, size_t n, unsigned) { sent.append(data, n); };

    EXPECT_GT(box.Flush(ToFd(fds[1]), platform::MicroNow(), record), 0u);
    EXPECT_EQ(sent.size(), static_cast<size_t>(capacity));
    EXPECT_EQ(box.Flush(ToFd(fds[1]), platform::MicroNow(), record),
              0u); // still full: nothing went, nothing lost
    EXPECT_TRUE(box.Room(sim::Outbox::kMaxBytes - 100 - 4 - 5));

    std::string drained(static_cast<size_t>(capacity), '\0');
    ASSERT_EQ(read(fds[0], drained.data(), drained.size()), capacity);
    EXPECT_GT(box.Flush(ToFd(fds[1]), platform::MicroNow(), record), 0u);
    EXPECT_EQ(sent, big + "next");
    EXPECT_FALSE(box.Empty()); // the answer not yet due stays
    close(fds[0]);
    close(fds[1]);
}

TEST(Record, KeepsTheNewestEntriesUpToItsLimitAndCountsThemAll) {
    struct Case {
        size_t limit;
        std::string expected;
    } cases[] = {{0, "abcdef"}, {3, "def"}, {6, "abcdef"}, {10, "abcdef"}};
    for (const Case& c : cases) {
        sim::Record<sim::LineByte> record(c.limit);
        for (char b : std::string("abcd"))
            record.Add({1, static_cast<uint8_t>(b)});
        for (char b : std::string("ef"))
            record.Add({2, static_cast<uint8_t>(b)});
        std::string kept;
        for (const sim::LineByte& b : record.Entries())
            kept += static_cast<char>(b.byte);
        EXPECT_EQ(kept, c.expected) << c.limit;
        EXPECT_EQ(record.Entries().back().atUs, 2u);
        EXPECT_EQ(record.Count(), 6u) << c.limit;
    }
    sim::Record<int> cleared(2);
    cleared.Add(1);
    cleared.Add(2);
    cleared.Add(3);
    cleared.Clear();
    EXPECT_EQ(cleared.Count(), 0u);
    EXPECT_TRUE(cleared.Entries().empty());
}

// An answer queued behind a paced one waits for it, and the pace holds between answers.
TEST(Outbox, AnswersNeverOvertakeAndKeepTheirPace) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    sim::Outbox box;
    ASSERT_TRUE(box.Queue("ab", 1000, 500, 2400)); // a at 1000, b at 1500
    ASSERT_TRUE(box.Queue("c", 0, 0, 9600));       // due at once, but not before b's gap
    ASSERT_TRUE(box.Queue("d", 5000));
    struct Piece {
        uint64_t at;
        std::string bytes;
        unsigned baud;
    };
    std::vector<Piece> sent;
    auto record = [&](uint64_t at, const char* data, size_t n, unsigned baud) {
        sent.push_back({at, std::string(data, n), baud});
    };
    struct Step {
        uint64_t now;
        size_t written;
        uint64_t nextDue;
    } steps[] = {
        {999, 0, 1000}, {1000, 1, 1500}, {1999, 1, 2000}, {4000, 1, 5000}, {5000, 1, 0},
    };
    for (const Step& st : steps) {
        EXPECT_EQ(box.Flush(ToFd(fds[1]), st.now, record), st.written) << st.now;
        EXPECT_EQ(box.NextDueUs(), st.nextDue) << st.now;
    }
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].bytes + sent[1].bytes + sent[2].bytes + sent[3].bytes, "abcd");
    EXPECT_EQ(sent[1].at, 1999u);
    EXPECT_EQ(sent[1].baud, 2400u);
    EXPECT_EQ(sent[2].baud, 9600u);
    EXPECT_TRUE(box.Empty());
    close(fds[0]);
    close(fds[1]);
}

// The transport with a model that only keeps what comes in and counts how often the thread
// looked at its timed steps; it takes bytes at 19200 baud only.
class Keeper final : public sim::Transport {
  public:
    explicit Keeper(sim::Wire wire = sim::Wire::Pty) : Transport("Test", 0, wire) { Start(); }
    ~Keeper() override { Stop(); }

    std::string Kept() {
        return Locked([&] { return input_; });
    }
    int Asked() {
        return Locked([&] { return asked_; });
    }
    bool WaitUntilKept(const std::string& text) {
        return WaitFor(5000, [&] { return input_ == text; });
    }
    // Nothing is told when the thread looks at its timeouts, so this looks every few ms.
    bool WaitUntilAsked(int times) {
        for (int i = 0; i < 500; ++i) {
            if (Asked() >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    using Transport::Stop;
    using Transport::Wake;

  private:
    std::function<void()> Input(const std::string& bytes, const sim::LineSettings&,
                                uint64_t nowUs) override {
        input_ += bytes;
        Answer(bytes == "ping" ? std::string("pong") : std::string(), nowUs);
        return {};
    }
    bool Hears(const sim::LineSettings& line) const override { return line.baud == 19200; }
    uint64_t NextStepUs() const override {
        ++asked_;
        return 0; // nothing timed: only input or a wake-up ends the sleep
    }
    void ClearOwnRecords() override { input_.clear(); }

    std::string input_;
    mutable int asked_ = 0;
};

class Transport : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetTickCountStart(0xFFFFFFFFu - 2000); }
};

TEST_F(Transport, ServesTheSlaveAcrossReopeningsAndStopsWhileAsleep) {
    Keeper pty;
    for (const char* text : {"one", "two"}) {
        int fd = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text, 3), 3);
        close(fd); // our spare keeps the line up for the next opening
    }
    EXPECT_TRUE(pty.WaitUntilKept("onetwo"));

    int before = pty.Asked();
    pty.Wake();
    EXPECT_TRUE(pty.WaitUntilAsked(before + 1));

    auto start = platform::GetTickCount();
    pty.Stop();
    EXPECT_LT(platform::ElapsedSince(start), 1000u);
    pty.Stop(); // a second stop (the destructor's) is harmless
}

TEST_F(Transport, RecordsTheRateAndWhatTheModelHeardAndClearsItsOwnRecordsToo) {
    Keeper pty;
    int fd = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(fd, TCSANOW, &tio);
    ASSERT_EQ(write(fd, "x", 1), 1);
    ASSERT_TRUE(pty.WaitForReceived(1, 5000));
    cfsetspeed(&tio, B19200);
    tcsetattr(fd, TCSANOW, &tio);
    ASSERT_EQ(write(fd, "ping", 4), 4);
    ASSERT_TRUE(pty.WaitForSent(4, 5000));

    std::vector<sim::LineByte> in = pty.ReceivedBytes();
    ASSERT_EQ(in.size(), 5u);
    EXPECT_EQ(in[0].baud, 9600u);
    EXPECT_FALSE(in[0].heard);
    EXPECT_EQ(in[4].baud, 19200u);
    EXPECT_TRUE(in[4].heard);
    std::vector<sim::LineByte> out = pty.SentBytes();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].byte, 'p');
    EXPECT_EQ(out[0].baud, 19200u); // the rate the line had when the answer was queued
    EXPECT_GE(out[0].atUs, in[4].atUs);

    pty.ClearRecords();
    EXPECT_TRUE(pty.ReceivedBytes().empty());
    EXPECT_TRUE(pty.SentBytes().empty());
    EXPECT_EQ(pty.Kept(), "");
    EXPECT_FALSE(pty.WaitForReceived(1, 30)); // counts start again
    close(fd);
}

// The same transport on an in-process line: the port's settings are what the model hears by,
// its answers come back through the device, and the line outlives the port's closes.
TEST_F(Transport, ServesAnInProcessLineAsItServesAPty) {
    Keeper line(sim::Wire::InProcess);
    EXPECT_EQ(line.DevicePath(), "sim:test");
    serial::Dcb dcb;
    for (unsigned baud : {9600u, 19200u}) {
        serial::LocalComDevice device;
        ASSERT_EQ(device.Open(line.DevicePath()), 0);
        dcb.BaudRate = baud;
        dcb.StopBits = 2;
        dcb.fRtsControl = 2;
        ASSERT_EQ(device.SetState(dcb), 0);
        size_t done = 0;
        ASSERT_EQ(device.WriteSome("ping", 4, done), 0);
        ASSERT_EQ(done, 4u);
        ASSERT_TRUE(line.WaitForReceived(baud == 9600u ? 4 : 8, 5000));
        // The device closes here, the line stays up.
    }
    std::vector<sim::LineByte> in = line.ReceivedBytes();
    ASSERT_EQ(in.size(), 8u);
    EXPECT_EQ(in[0].baud, 9600u);
    EXPECT_FALSE(in[0].heard);
    EXPECT_EQ(in[4].baud, 19200u);
    EXPECT_TRUE(in[4].heard);
    EXPECT_TRUE(line.Line().twoStopBits);
    EXPECT_TRUE(line.Line().rtsCts);
    // Both answers went while no port held the line: lost on the way.
    ASSERT_TRUE(line.WaitForSent(8, 5000));

    serial::LocalComDevice device;
    ASSERT_EQ(device.Open(line.DevicePath()), 0);
    ASSERT_EQ(device.SetState(dcb), 0);
    size_t done = 0;
    ASSERT_EQ(device.WriteSome("ping", 4, done), 0);
    std::string answer;
    while (answer.size() < 4) {
        bool ready = false;
        ASSERT_EQ(device.WaitReadable(5000, ready), 0);
        ASSERT_TRUE(ready);
        char buf[8];
        ASSERT_EQ(device.ReadSome(buf, sizeof buf, done), 0);
        answer.append(buf, done);
    }
    EXPECT_EQ(answer, "pong");

    auto start = platform::GetTickCount();
    line.Stop();
    EXPECT_LT(platform::ElapsedSince(start), 1000u);
}

TEST(WaitUntil, ANegativeTimeoutLooksOnce) {
    std::mutex mutex;
    std::condition_variable changed;
    EXPECT_FALSE(sim::WaitUntil(mutex, changed, -5, [] { return false; }));
    EXPECT_TRUE(sim::WaitUntil(mutex, changed, -5, [] { return true; }));
}

} // namespace
