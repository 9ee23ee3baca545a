#include "serial/ComThread.h"

#include "platform/Host.h"
#include "platform/Stop.h"
#include "platform/Tick.h"

#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <system_error>
#include <vector>

namespace serial {

namespace {

struct EventBit {
    TComEvent event;
    uint32_t bit;
};

constexpr EventBit kEventBits[] = {
    {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY},   {evRxFlag, EV_RXFLAG}, {evRing, EV_RING},
    {evBreak, EV_BREAK},   {evCTS, EV_CTS},           {evDSR, EV_DSR},       {evError, EV_ERR},
    {evRLSD, EV_RLSD},     {evRx80Full, EV_RX80FULL},
};

uint32_t BitOf(TComEvent event) {
    for (const auto& e : kEventBits)
        if (e.event == event) return e.bit;
    return 0;
}

// The modem lines as they are now, for the port's observer, and the one line
// the event asked about.
bool ModemLine(TCustomComPort& port, TComSignal line) {
    TComSignals s = port.ModemSignals();
    if (kTraceHook && port.GetTraceObserver()) {
        uint32_t bits =
            (s.Contains(csCTS) ? MS_CTS_ON : 0u) | (s.Contains(csDSR) ? MS_DSR_ON : 0u) |
            (s.Contains(csRing) ? MS_RING_ON : 0u) | (s.Contains(csRLSD) ? MS_RLSD_ON : 0u);
        port.TraceLine(TraceLineEvent::ModemLines, bits);
    }
    return s.Contains(line);
}

// The processing step of one event: gather its data from the port, then call
// the port's Notify hook.
void RunStep(TCustomComPort& port, TComEvent event) {
    switch (event) {
    case evError: {
        TComErrors errors = port.ReadLineErrors();
        if (!errors.Empty()) port.NotifyError(errors);
        break;
    }
    case evRxChar: {
        // The bytes may already have been read by an earlier handler.
        int count = port.PendingInputCount();
        if (count > 0) port.NotifyRxChar(count);
        break;
    }
    case evTxEmpty:
        port.NotifyTxEmpty();
        break;
    case evBreak:
        port.TraceLine(TraceLineEvent::BreakReceived);
        port.NotifyBreak();
        break;
    case evRing:
        if (kTraceHook && port.GetTraceObserver()) ModemLine(port, csRing);
        port.NotifyRing();
        break;
    // The signal events report the line as it is now, not as it was at the change.
    case evCTS:
        port.NotifyCTSChange(ModemLine(port, csCTS));
        break;
    case evDSR:
        port.NotifyDSRChange(ModemLine(port, csDSR));
        break;
    case evRxFlag:
        port.NotifyRxFlag();
        break;
    case evRLSD:
        port.NotifyRLSDChange(ModemLine(port, csRLSD));
        break;
    case evRx80Full:
        port.NotifyRx80Full();
        break;
    }
}

} // namespace

uint32_t EventsToMask(TComEvents events) {
    uint32_t mask = 0;
    for (const auto& e : kEventBits)
        if (events.Contains(e.event)) mask |= e.bit;
    return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
    TComEvents events;
    for (const auto& e : kEventBits)
        if (mask & e.bit) events.Include(e.event);
    return events;
}

long PortWindowProc(TCustomComPort& port, uint32_t message, uint32_t wParam) {
    if (message != PortEventMessage) return 0;
    // The sender was released when the message was accepted, so the event
    // thread goes on while the step runs here.
    if (!port.Connected() || port.Closing()) return 0;
    for (const auto& e : kEventBits) {
        if (e.bit != wParam) continue;
        try {
            RunStep(port, e.event);
        } catch (...) {
            platform::Host().ReportException(std::current_exception());
        }
        break;
    }
    return 0;
}

struct TComThread::State {
    TCustomComPort* port = nullptr;
    ComDevice* device = nullptr;
    TSyncMethod syncMethod = smThreadSync;
    // Set once the stop is signalled. It is freed only when the last user
    // lets go, so a late SignalStop never sets a handle handed out again.
    std::unique_ptr<platform::StopSignal> stopSignal;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    // Set when the port was closed from inside one of this thread's
    // deliveries: the clean-up is done, the thread object is gone, and the
    // body must not touch the port or the device again.
    std::atomic<bool> abandoned{false};

    std::mutex mutex;
    // The thread now running ProcessEvents, so a close from inside a handler
    // can tell that waiting for the thread would wait for itself.
    std::thread::id deliveringOn;
    // What ended the body, kept until the thread object goes.
    std::exception_ptr error;

    bool DeliveringOnThisThread() {
        std::lock_guard lock(mutex);
        return deliveringOn == std::this_thread::get_id();
    }
};

namespace {

// The port whose event thread this is.
thread_local const TCustomComPort* t_eventThreadOf = nullptr;

// Threads whose port was closed from inside one of their own deliveries.
// They end by themselves moments later; joining them here, instead of
// leaving them detached, keeps any of them from outliving the program (and
// the main-thread queue it was about to leave).
class AbandonedThreads {
  public:
    void Add(std::shared_ptr<TComThread::State> state, std::thread thread) {
        std::lock_guard lock(mutex_);
        threads_.push_back({std::move(state), std::move(thread)});
    }
    // Joins those that have ended; never the calling thread, which has not.
    void JoinEnded();
    ~AbandonedThreads() {
        std::lock_guard lock(mutex_);
        for (auto& t : threads_)
            t.thread.join();
    }

  private:
    struct Entry {
        std::shared_ptr<TComThread::State> state;
        std::thread thread;
    };
    std::mutex mutex_;
    std::vector<Entry> threads_;
};

AbandonedThreads& Abandoned() {
    static AbandonedThreads threads;
    return threads;
}

} // namespace

bool IsEventThreadOf(const TCustomComPort& port) {
    return t_eventThreadOf == &port;
}

TComThread::TComThread(TCustomComPort& port) : state_(std::make_shared<State>()) {
    state_->port = &port;
    state_->device = port.Device();
    // The method cannot change while the port is open.
    state_->syncMethod = port.SyncMethod();
    try {
        state_->stopSignal = std::make_unique<platform::StopSignal>();
    } catch (const std::system_error& e) {
        throw EComPort(1, e.code().value());
    }
    // The port's Events are read here only; a later change takes effect at
    // the next open. A refused mask (on Linux: the descriptors the waiting
    // needs could not be made) would leave a thread that never reports.
    if (int err = state_->device->SetCommMask(EventsToMask(port.Events()))) throw EComPort(1, err);
    try {
        thread_ = std::thread(&TComThread::Body, state_);
    } catch (const std::system_error& e) {
        throw EComPort(1, e.code().value());
    }
}

TComThread::~TComThread() {
    SignalStop();
    if (!thread_.joinable()) return;

    if (state_->DeliveringOnThisThread()) {
        // Closed from a handler that the thread is waiting for (smThreadSync)
        // or that runs on the thread itself (smNone). Waiting would never end:
        // do the thread's clean-up now, while the device is still open, and
        // let the thread end on its own once the handler has returned.
        state_->abandoned = true;
        {
            // A call of the owner's thread may still be using the device.
            std::unique_lock lock(state_->port->deviceMutex_);
            state_->device->SetCommMask(0);
            state_->device->Purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
        }
        Abandoned().Add(state_, std::move(thread_));
        return;
    }

    if (platform::IsMainThread()) {
        // A delivery may be waiting for this very thread; keep serving the
        // queue until the event thread has ended.
        auto& queue = platform::MainQueue();
        while (!state_->finished.load()) {
            queue.Serve();
            if (state_->finished.load()) break;
            queue.WaitForWork(1000);
        }
    }
    thread_.join();
    // Whatever ended the body is discarded with the state.
    Abandoned().JoinEnded();
}

void AbandonedThreads::JoinEnded() {
    std::lock_guard lock(mutex_);
    std::erase_if(threads_, [](Entry& e) {
        if (!e.state->finished.load()) return false;
        e.thread.join();
        return true;
    });
}

void TComThread::SignalStop() {
    state_->stop = true;
    state_->stopSignal->Signal();
    // Still open: the port closes the device only once this thread is done
    // with it (or, closed from a delivery, once its clean-up ran).
    state_->device->InterruptEventWait();
    platform::Sleep(0);
}

bool TComThread::Finished() const {
    return state_->finished.load();
}

void TComThread::Body(std::shared_ptr<State> state) {
    t_eventThreadOf = state->port;
    ComDevice& device = *state->device;
    while (!state->stop.load()) {
        uint32_t mask = 0;
        // A failed wait (a hung-up device among them) ends the thread quietly
        // rather than failing again at once, over and over.
        if (device.WaitCommEvent(mask, state->stopSignal->Handle()) != 0) break;
        if (state->stop.load()) break;
        TComEvents events = MaskToEvents(mask);
        if (events.Empty()) continue;
        try {
            DeliverEvents(state, events);
        } catch (...) {
            if (state->abandoned.load()) break;
            // A handler or a status query failed: no further events until
            // the port is opened again.
            std::lock_guard lock(state->mutex);
            state->error = std::current_exception();
            break;
        }
        if (state->abandoned.load()) break;
    }
    if (!state->abandoned.load()) {
        // Also ends a wait still pending on the device; both driver queues
        // are discarded when the port closes. The owner's thread may be
        // reading or writing when the thread ends by itself.
        std::unique_lock lock(state->port->deviceMutex_);
        device.SetCommMask(0);
        device.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    t_eventThreadOf = nullptr;
    Finish(*state);
}

void TComThread::Finish(State& state) {
    state.finished = true;
    // The closing owner may be asleep in WaitForWork.
    platform::MainQueue().Wake();
}

void TComThread::DeliverEvents(const std::shared_ptr<State>& state, TComEvents events) {
    switch (state->syncMethod) {
    case smThreadSync:
        platform::MainQueue().Synchronize([state, events] { ProcessEvents(*state, events); });
        break;
    case smWindowSync:
        PostEventsToWindow(state, events);
        break;
    case smNone:
        ProcessEvents(*state, events);
        break;
    }
}

void TComThread::ProcessEvents(State& state, TComEvents events) {
    struct Delivering {
        State& state;
        explicit Delivering(State& s) : state(s) {
            std::lock_guard lock(state.mutex);
            state.deliveringOn = std::this_thread::get_id();
        }
        ~Delivering() {
            std::lock_guard lock(state.mutex);
            state.deliveringOn = std::thread::id();
        }
    } delivering(state);

    for (TComEvent event : kEventProcessingOrder) {
        if (!events.Contains(event)) continue;
        // A handler closed the port: the rest of this wake-up belongs to a
        // port that is gone. A port that is closing reports nothing more.
        if (state.abandoned.load() || state.port->Closing()) return;
        RunStep(*state.port, event);
    }
}

void TComThread::PostEventsToWindow(const std::shared_ptr<State>& state, TComEvents events) {
    TCustomComPort* port = state->port;
    for (TComEvent event : kEventProcessingOrder) {
        if (!events.Contains(event)) continue;
        uint32_t bit = BitOf(event);
        platform::MainQueue().SendAccepted(
            [port, bit] { PortWindowProc(*port, PortEventMessage, bit); });
    }
}

} // namespace serial
