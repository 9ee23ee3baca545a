// What the layers need from the program around them: message boxes, the
// processing of pending window messages, work run on the main thread, and the
// application's exception reporter.
//
// The Qt program installs Qt-backed services; tests install a RecordingHost so
// they can see which messages were shown without any window.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// The main thread's synchronisation queue. Other threads hand it work; the
// main thread serves it from its message loop and from ProcessMessages().
class MainThreadQueue {
public:
    // Runs fn on the main thread and waits until it has finished. An exception
    // thrown by fn is carried back and rethrown here. Called on the main
    // thread itself, fn runs at once.
    void Synchronize(std::function<void()> fn);
    // Queues fn and waits until the main thread has taken it off the queue,
    // not until it has run (a sent message answered at once).
    void SendAccepted(std::function<void()> fn);
    // Queues fn and returns at once.
    void Post(std::function<void()> fn);

    // Main thread: runs everything queued now. Returns the number run.
    size_t Serve();
    // Main thread: blocks until work is queued, Wake() is called or `ms` passed.
    void WaitForWork(uint32_t ms);
    // Ends a WaitForWork() early (any thread).
    void Wake();
    bool HasWork();

    // Called (on the queuing thread) whenever work is queued; the Qt host
    // uses it to wake its event loop.
    void SetNotifier(std::function<void()> notifier);

private:
    // How a queuing thread learns that its item was taken or has run. It
    // waits on a lock of its own, not on the queue's: a sender that went back
    // for the queue's mutex right after queuing would race the main thread it
    // had just woken, and one of them would sleep and wake once more for
    // nothing.
    // Shared, because the main thread still touches it after the sender may
    // have seen the last stage and gone.
    struct Handshake {
        std::mutex mutex;
        std::condition_variable changed;
        int stage = 0; // 0 queued, 1 taken, 2 run
        std::exception_ptr error;
    };
    enum class Wait { None, Taken, Done };
    struct Item {
        std::function<void()> fn;
        Wait wait = Wait::None;
        std::shared_ptr<Handshake> handshake;
    };
    void Enqueue(Item item);
    static void AwaitStage(Handshake& h, int stage);
    static void SetStage(Handshake& h, int stage);

    std::mutex mutex_;
    std::condition_variable queued_; // main thread waits for work
    std::deque<Item> items_;
    bool woken_ = false;
    std::function<void()> notifier_;
};

enum class MessageKind { Plain, Error, ErrorOkCancel };

class HostServices {
public:
    virtual ~HostServices() = default;
    // A plain message box: program title, text, OK.
    virtual void ShowMessage(const std::string& text);
    // An error message box: error mark, text, OK.
    virtual void ShowError(const std::string& text);
    // An error message box with OK and Cancel; true when OK was chosen.
    virtual bool ShowErrorOkCancel(const std::string& text);
    // Lets pending window messages through (and serves the main-thread queue).
    virtual void ProcessMessages();
    // Asked between the slices of the component's waits that let no window
    // messages through (the Intellibox rate scan, the wait for its answers):
    // a host that must end such a wait early (a script's Ctrl-C) throws here.
    // Does nothing by default.
    virtual void CheckInterrupt();
    // The application's standard error report: shows the exception's message.
    virtual void ReportException(std::exception_ptr error);
};

// The services in use; a console implementation until SetHost() is called.
HostServices& Host();
// Installs `host` (not owned); nullptr returns to the console implementation.
void SetHost(HostServices* host);

MainThreadQueue& MainQueue();

// The main thread is the one that initialised the program (or the one that
// last called SetMainThread()).
bool IsMainThread();
void SetMainThread();

// The text of an exception as the error report shows it.
std::string ExceptionText(std::exception_ptr error);

} // namespace platform
