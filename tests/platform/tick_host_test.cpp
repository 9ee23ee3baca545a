#include "platform/Host.h"
#include "tests/support/RecordingHost.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

using namespace platform;

TEST(Tick, DeadlinesHoldAcrossTheWrap) {
    SetTickCountStart(0xFFFFFFFFu - 20);
    uint32_t start = GetTickCount();
    Deadline d = Deadline::After(60);
    EXPECT_FALSE(d.Reached());
    EXPECT_GT(d.Remaining(), 0u);
    while (!d.Reached()) Sleep(5);
    EXPECT_LT(GetTickCount(), 1000u) << "counter wrapped to a small value";
    EXPECT_GE(ElapsedSince(start), 60u);
    EXPECT_LT(ElapsedSince(start), 2000u);
    EXPECT_EQ(d.Remaining(), 0u);
}

TEST(Tick, BoundedDeadlinesNeverWaitLongerThanTheirSetting) {
    // `passed` judges strictly: on the deadline it has not passed yet.
    struct Row {
        const char* name;
        uint32_t nu;
        int32_t deadline;
        uint32_t duur;
        uint32_t rest;
        bool passed;
    } rows[] = {
        {"set just now", 1000, 1200, 200, 200, false},
        {"half way", 1100, 1200, 200, 100, false},
        {"reached", 1200, 1200, 200, 0, false},
        {"passed", 1300, 1200, 200, 0, true},
        {"one past", 1201, 1200, 200, 0, true},
        {"across the wrap", 0xFFFFFFF0u, 0x000000B8, 200, 200, false},
        {"passed across the wrap", 0x00000010u, static_cast<int32_t>(0xFFFFFFF0u), 200, 0, true},
        // Never set (0) while the counter is in the half that sees 0 ahead.
        {"never set, upper half", 0x80000010u, 0, 1000, 0, true},
        // Within one setting of 0 the field cannot tell "never set" from a
        // real deadline; a link keeps a flag for that.
        {"0 shortly before the wrap is a real deadline", 0xFFFFFF00u, 0, 1000, 256, false},
        {"never set, lower half", 5, 0, 1000, 0, true},
        {"five seconds ahead of a one-second setting", 0xFFFFEC78u, 0, 1000, 0, true},
        {"zero setting, on it", 50, 50, 0, 0, false},
        {"zero setting, a ms ahead", 50, 51, 0, 0, true},
    };
    for (const Row& row : rows) {
        uint32_t at = static_cast<uint32_t>(row.deadline);
        EXPECT_EQ(BoundedRemaining(row.nu, at, row.duur), row.rest) << row.name;
        EXPECT_EQ(BoundedPassed(row.nu, at, row.duur), row.passed) << row.name;
    }
    // The microsecond form follows the same rule.
    EXPECT_EQ(BoundedRemaining(uint64_t{10}, uint64_t{60}, uint64_t{50}), 50u);
    EXPECT_EQ(BoundedRemaining(uint64_t{10}, uint64_t{61}, uint64_t{50}), 0u);
    EXPECT_EQ(BoundedRemaining(uint64_t{70}, uint64_t{60}, uint64_t{50}), 0u);
    EXPECT_EQ(BoundedRemaining(uint64_t{5}, uint64_t{0}, uint64_t{0}), 0u);
}

TEST(MainQueue, SynchronizeRunsOnMainThreadAndCarriesExceptionsBack) {
    testsupport::RecordingHost host;
    std::thread::id ranOn;
    std::atomic<bool> threw{false};
    std::thread worker([&] {
        MainQueue().Synchronize([&] { ranOn = std::this_thread::get_id(); });
        try {
            MainQueue().Synchronize([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            threw = std::string(e.what()) == "boom";
        }
    });
    // Serve until the worker has had both calls answered.
    for (int i = 0; i < 400 && !threw; ++i) {
        MainQueue().WaitForWork(50);
        host.ProcessMessages();
    }
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(threw);
}

TEST(MainQueue, PostedFailureGoesToTheErrorReport) {
    testsupport::RecordingHost host;
    std::thread([] { MainQueue().Post([] { throw std::runtime_error("late"); }); }).join();
    host.ProcessMessages();
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].kind, MessageKind::Error);
    EXPECT_EQ(host.Messages()[0].text, "late");
}

// SendAccepted returns once the main thread has taken the work, before it has
// run: the work here only finishes after the sender has come back.
TEST(MainQueue, SendAcceptedReturnsWhenTakenNotWhenRun) {
    testsupport::RecordingHost host;
    std::atomic<bool> senderBack{false}, ran{false};
    std::thread sender([&] {
        MainQueue().SendAccepted([&] {
            for (int i = 0; i < 2000 && !senderBack; ++i) Sleep(1);
            ran = senderBack.load();
        });
        senderBack = true;
    });
    for (int i = 0; i < 400 && !ran; ++i) {
        MainQueue().WaitForWork(50);
        host.ProcessMessages();
    }
    sender.join();
    EXPECT_TRUE(ran) << "the sender waited for the work to finish";
}

// Many threads handing work over at once: every call comes back exactly when
// its own work has run (ThreadSanitizer watches the hand-over).
TEST(MainQueue, ConcurrentSynchronizeCallsEachSeeTheirOwnWorkDone) {
    testsupport::RecordingHost host;
    constexpr int kThreads = 4, kCalls = 300;
    std::atomic<int> finished{0}, wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                int value = 0;
                MainQueue().Synchronize([&] { value = i + 1; });
                if (value != i + 1) ++wrong;
            }
            ++finished;
        });
    for (int i = 0; i < 4000 && finished < kThreads; ++i) {
        MainQueue().WaitForWork(5);
        host.ProcessMessages();
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(finished, kThreads);
    EXPECT_EQ(wrong, 0);
}
