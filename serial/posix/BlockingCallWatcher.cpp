#include "serial/posix/BlockingCallWatcher.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>

namespace serial {

namespace {

void IgnoreSignal(int) {}

void InstallInterruptHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = IgnoreSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the blocking call must return EINTR
        sigaction(BlockingCallWatcher::InterruptSignal(), &sa, nullptr);
    });
}

} // namespace

int BlockingCallWatcher::InterruptSignal() {
    return SIGRTMIN + 6;
}

BlockingCallWatcher::BlockingCallWatcher(std::function<int()> call, std::function<void()> onEvent)
    : call_(std::move(call)), onEvent_(std::move(onEvent)) {
    InstallInterruptHandler();
    thread_ = std::thread(&BlockingCallWatcher::Run, this);
}

BlockingCallWatcher::~BlockingCallWatcher() {
    Stop();
}

void BlockingCallWatcher::Run() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) break;
        }
        int err = call_();
        {
            std::lock_guard lock(mutex_);
            if (stop_) break;
        }
        if (err == 0) {
            onEvent_();
            continue;
        }
        if (err != EINTR) break;
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    endedCv_.notify_all();
}

void BlockingCallWatcher::Stop() {
    if (!thread_.joinable()) return;
    {
        std::unique_lock lock(mutex_);
        stop_ = true;
        // The signal may land just before the helper enters the call, which
        // would then block; so knock again until it has ended.
        while (!ended_) {
            pthread_kill(thread_.native_handle(), InterruptSignal());
            endedCv_.wait_for(lock, std::chrono::milliseconds(20));
        }
    }
    thread_.join();
}

bool BlockingCallWatcher::Ended() {
    std::lock_guard lock(mutex_);
    return ended_;
}

} // namespace serial
