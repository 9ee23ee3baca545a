#include "platform/Host.h"

#include <atomic>
#include <iostream>
#include <thread>

namespace platform {
namespace {

HostServices g_console;
std::atomic<HostServices*> g_host{&g_console};
MainThreadQueue g_queue;

std::thread::id& MainId() {
    static std::thread::id id = std::this_thread::get_id();
    return id;
}
// Taken during static initialisation, on the thread that starts the program.
[[maybe_unused]] const std::thread::id g_initialMain = MainId();

} // namespace

void MainThreadQueue::Enqueue(Item item) {
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        notify = notifier_;
    }
    queued_.notify_all();
    if (notify) notify();
}

void MainThreadQueue::AwaitStage(Handshake& h, int stage) {
    std::unique_lock lock(h.mutex);
    h.changed.wait(lock, [&] { return h.stage >= stage; });
}

void MainThreadQueue::SetStage(Handshake& h, int stage) {
    {
        std::lock_guard lock(h.mutex);
        h.stage = stage;
    }
    h.changed.notify_all();
}

void MainThreadQueue::Synchronize(std::function<void()> fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto handshake = std::make_shared<Handshake>();
    Enqueue(Item{std::move(fn), Wait::Done, handshake});
    AwaitStage(*handshake, 2);
    // Taken out of the handshake, which the main thread may free last: the
    // exception is then released on this thread, the one that caught it.
    std::exception_ptr error;
    {
        std::lock_guard lock(handshake->mutex);
        error = std::move(handshake->error);
    }
    if (error) std::rethrow_exception(error);
}

void MainThreadQueue::SendAccepted(std::function<void()> fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto handshake = std::make_shared<Handshake>();
    Enqueue(Item{std::move(fn), Wait::Taken, handshake});
    AwaitStage(*handshake, 1);
}

void MainThreadQueue::Post(std::function<void()> fn) { Enqueue(Item{std::move(fn), Wait::None, nullptr}); }

size_t MainThreadQueue::Serve() {
    size_t ran = 0;
    for (;;) {
        Item item;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty()) break;
            item = std::move(items_.front());
            items_.pop_front();
        }
        if (item.wait == Wait::Taken) SetStage(*item.handshake, 1);
        std::exception_ptr error;
        try {
            item.fn();
        } catch (...) {
            error = std::current_exception();
        }
        ++ran;
        if (item.wait == Wait::Done) {
            item.handshake->error = std::move(error); // the sender takes it out
            SetStage(*item.handshake, 2);
        } else if (error) {
            // Posted or sent work has nobody to carry its failure back to.
            Host().ReportException(error);
        }
    }
    return ran;
}

void MainThreadQueue::WaitForWork(uint32_t ms) {
    std::unique_lock lock(mutex_);
    queued_.wait_for(lock, std::chrono::milliseconds(ms),
                     [&] { return !items_.empty() || woken_; });
    woken_ = false;
}

void MainThreadQueue::Wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    queued_.notify_all();
}

bool MainThreadQueue::HasWork() {
    std::lock_guard lock(mutex_);
    return !items_.empty();
}

void MainThreadQueue::SetNotifier(std::function<void()> notifier) {
    std::lock_guard lock(mutex_);
    notifier_ = std::move(notifier);
}

void HostServices::ShowMessage(const std::string& text) { std::cerr << "Quorrin: " << text << '\n'; }
void HostServices::ShowError(const std::string& text) { std::cerr << "Error: " << text << '\n'; }
bool HostServices::ShowErrorOkCancel(const std::string& text) {
    std::cerr << "Error: " << text << " [OK]\n";
    return true;
}
void HostServices::ProcessMessages() { MainQueue().Serve(); }
void HostServices::CheckInterrupt() {}
void HostServices::ReportException(std::exception_ptr error) { ShowError(ExceptionText(error)); }

HostServices& Host() { return *g_host.load(); }
void SetHost(HostServices* host) { g_host.store(host ? host : &g_console); }
MainThreadQueue& MainQueue() { return g_queue; }
bool IsMainThread() { return std::this_thread::get_id() == MainId(); }
void SetMainThread() { MainId() = std::this_thread::get_id(); }

std::string ExceptionText(std::exception_ptr error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

} // namespace platform
