// The event mask mapping, and the helper that keeps a blocking wait for
// modem-line changes off the event thread.
#include "platform/Tick.h"
#include "serial/ComThread.h"
#include "serial/posix/BlockingCallWatcher.h"
#include "tests/support/ThreadState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

using namespace serial;

namespace {

TEST(ComThreadMask, EachEventHasItsPlatformBitBothWays) {
    struct Row {
        TComEvent event;
        uint32_t bit;
    } rows[] = {
        {evRxChar, 0x0001}, {evTxEmpty, 0x0004},  {evRxFlag, 0x0002}, {evRing, 0x0100},
        {evBreak, 0x0040},  {evCTS, 0x0008},      {evDSR, 0x0010},    {evError, 0x0080},
        {evRLSD, 0x0020},   {evRx80Full, 0x0400},
    };
    uint32_t all = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.event));
        EXPECT_EQ(EventsToMask(TComEvents{r.event}), r.bit);
        EXPECT_EQ(MaskToEvents(r.bit), TComEvents{r.event});
        all |= r.bit;
    }
    EXPECT_EQ(EventsToMask(AllComEvents), all);
    EXPECT_EQ(EventsToMask(TComEvents{}), 0u);
    EXPECT_EQ(EventsToMask(TComEvents{evRxChar, evRLSD}), 0x0021u);
}

TEST(ComThreadMask, UnknownBitsAreIgnored) {
    EXPECT_EQ(MaskToEvents(0x0200 | 0x0800 | 0x1000 | 0x80000000u), TComEvents{});
    EXPECT_EQ(MaskToEvents(0xFFFFFFFFu), AllComEvents);
    // Set members beyond the ten events never reach the device.
    EXPECT_EQ(EventsToMask(TComEvents::FromBits(0xFC00)), 0u);
}

// A blocking read on an empty pipe stands in for TIOCMIWAIT, which needs a
// real serial port.
class ComThreadPipeWatch : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pipe(fds), 0); }
    void TearDown() override {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    // One read of a byte; records the helper's thread and what the last read
    // returned.
    std::function<int()> ReadOne() {
        return [this] {
            reader = testsupport::CurrentThreadId();
            char c;
            const int result = ::read(fds[0], &c, 1) == 1 ? 0 : errno;
            lastResult = result;
            return result;
        };
    }
    pid_t ReaderThread() {
        const auto deadline = platform::Deadline::After(5000);
        while (reader == 0 && !deadline.Reached())
            platform::Sleep(1);
        return reader;
    }
    int fds[2] = {-1, -1};
    std::atomic<pid_t> reader{0};
    std::atomic<int> lastResult{-1};
};

TEST_F(ComThreadPipeWatch, ReportsEachReturnOfTheCall) {
    std::mutex mutex;
    std::condition_variable reported;
    int events = 0;
    BlockingCallWatcher watcher(ReadOne(), [&] {
        std::lock_guard lock(mutex);
        ++events;
        reported.notify_all();
    });
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    std::unique_lock lock(mutex);
    EXPECT_TRUE(reported.wait_for(lock, std::chrono::seconds(5), [&] { return events >= 2; }));
    EXPECT_EQ(events, 2);
    EXPECT_FALSE(watcher.Ended());
}

TEST_F(ComThreadPipeWatch, StopInterruptsACallThatWouldBlockForever) {
    std::atomic<int> events{0};
    BlockingCallWatcher watcher(ReadOne(), [&] { ++events; });
    // The helper records its thread before it reads.
    ASSERT_TRUE(testsupport::WaitUntilBlockedIn(ReaderThread(), {SYS_read}, fds[0]))
        << "the helper sits in its read";
    watcher.Stop();
    EXPECT_TRUE(watcher.Ended());
    EXPECT_EQ(lastResult, EINTR) << "the read itself was interrupted";
    EXPECT_EQ(events, 0);
    watcher.Stop(); // a second stop is harmless
}

TEST_F(ComThreadPipeWatch, StopRightAfterStartDoesNotHang) {
    for (int i = 0; i < 20; ++i) {
        BlockingCallWatcher watcher(ReadOne(), [] {});
        watcher.Stop();
        EXPECT_TRUE(watcher.Ended());
    }
}

TEST(ComThreadWatcher, AFailingCallEndsTheHelperForGood) {
    std::atomic<int> calls{0};
    BlockingCallWatcher watcher(
        [&] {
            ++calls;
            return calls == 1 ? EINTR : ENOTTY;
        },
        [] {});
    for (int i = 0; i < 500 && !watcher.Ended(); ++i)
        ::usleep(2000);
    EXPECT_TRUE(watcher.Ended());
    EXPECT_EQ(calls, 2); // EINTR repeated the call, ENOTTY ended it
}

} // namespace
