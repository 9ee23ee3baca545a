// The port object: open and close with their events, the property rules, the
// three apply operations, blocking reads and writes with the driver's
// time-out rules, line control and status.
#include "serial/CPort.h"

#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/ComThread.h"
#include "serial/DefaultDevice.h"

#include <algorithm>
#include <limits>

namespace serial {

// ---------------------------------------------------------------- one read or write

struct IoOperation {
    enum Kind { None, Write, Read };
    Kind kind = None;
    uint8_t* buffer = nullptr; // the caller's bytes; untouched until complete
    size_t count = 0;
    size_t done = 0;
    bool complete = true; // nothing issued counts as complete: awaiting it gives 0
    uint32_t started = 0;
    // A read into a text grows the text as bytes come instead of using `buffer`.
    std::string* text = nullptr;
};

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
// A limit beyond this many milliseconds is as good as none (and keeps the
// arithmetic of deadlines on the 32-bit tick counter sound).
constexpr uint64_t kNoLimit = 0x7FFFFFFFu;

uint64_t TotalLimit(uint32_t multiplier, uint32_t constant, size_t count) {
    if (multiplier == 0 && constant == 0) return kNoLimit;
    uint64_t total = static_cast<uint64_t>(multiplier) * count + constant;
    return std::min(total, kNoLimit);
}

// Milliseconds left of `limit` since `since`; 0 once it has passed.
uint64_t Left(uint32_t since, uint64_t limit) {
    uint64_t elapsed = platform::ElapsedSince(since);
    return elapsed >= limit ? 0 : limit - elapsed;
}

int WaitArg(uint64_t ms) {
    return ms >= kNoLimit ? -1 : static_cast<int>(ms);
}

bool DeviceGone(int os) {
    return DeviceGoneError(os);
}

// A failed device call, with the device's word on where it failed (a
// network device names its host).
EComPort DeviceError(const ComDevice& device, int portErrorCode, int err) {
    std::string detail = device.FailureDetail();
    return detail.empty() ? EComPort(portErrorCode, err) : EComPort(portErrorCode, err, detail);
}

int ClampCount(uint32_t n) {
    return static_cast<int>(std::min<uint32_t>(n, std::numeric_limits<int>::max()));
}

// "8N1", "7E2", "8O1.5": data bits, parity, stop bits as the driver got them.
std::string FrameText(const Dcb& dcb) {
    static const char parity[] = "NOEMS";
    static const char* const stop[] = {"1", "1.5", "2"};
    std::string s = std::to_string(dcb.ByteSize);
    s += dcb.Parity < 5 ? parity[dcb.Parity] : '?';
    s += dcb.StopBits < 3 ? stop[dcb.StopBits] : "?";
    return s;
}

} // namespace

EComPort TCustomComPort::Failed(const ComDevice& device, int portErrorCode, int err) const {
    EComPort e = DeviceError(device, portErrorCode, err);
    TraceLine(TraceLineEvent::Failure, static_cast<uint32_t>(err), e.what());
    return e;
}

// ---------------------------------------------------------------- life cycle

TCustomComPort::TCustomComPort(void* /*owner*/)
    : buffer_(std::make_unique<TComBuffer>()), parity_(std::make_unique<TComParity>()),
      timeouts_(std::make_unique<TComTimeouts>()),
      flowControl_(std::make_unique<TComFlowControl>()) {
    InitSerialLayer();
    buffer_->SetComPort(this);
    parity_->SetComPort(this);
    timeouts_->SetComPort(this);
    flowControl_->SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
    // A close still running on the event thread ends first.
    if (BeginTransition()) EndTransition();
    auto notices = std::move(freeNotices_);
    for (auto& n : notices)
        n.notice();
    // A derived port has gone already, so its own overrides are not called.
    // A destructor cannot pass the failure on: the close is completed by force
    // and the failure goes to the error report, so the device is never left open.
    try {
        TCustomComPort::ClosePort();
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
        threadCreated_ = false;
        eventThread_.reset();
        TCustomComPort::CloseDeviceHandle();
        connected_ = false;
    }
}

int TCustomComPort::AddFreeNotification(std::function<void()> notice) {
    int key = nextNoticeKey_++;
    freeNotices_.push_back({key, std::move(notice)});
    return key;
}

void TCustomComPort::RemoveFreeNotification(int key) {
    std::erase_if(freeNotices_, [key](const FreeNotice& n) { return n.key == key; });
}

void TCustomComPort::SetDeviceFactory(DeviceFactory factory) {
    deviceFactory_ = std::move(factory);
}

bool TCustomComPort::EventThreadRunning() const {
    return threadCreated_ && eventThread_ && !eventThread_->Finished();
}

TCustomComPort::DeviceLease TCustomComPort::DeviceFor(int portErrorCode) const {
    {
        DeviceLease lease(deviceMutex_, device_);
        if (lease) return lease;
    }
    // Closed, or closing on another thread (an smNone handler): the caller
    // learns of it only once that close has ended, so it may then free the
    // port without pulling it from under the close.
    {
        std::unique_lock lock(transitionMutex_);
        if (!AwaitOtherTransitions(lock)) throw EComPort(portErrorCode, oserr::kClosed);
    }
    DeviceLease lease(deviceMutex_, device_); // an open on the other thread
    if (!lease) throw EComPort(portErrorCode, oserr::kClosed);
    return lease;
}

TCustomComPort::DeviceLease TCustomComPort::LeaseDevice() const {
    return DeviceLease(deviceMutex_, device_);
}

// An open or a close raises handlers, and a handler may call OpenPort or
// ClosePort again: on the same thread that nested call returns at once.
// Another thread waits until the running one has finished, except the
// port's own event thread: the closing thread may be waiting for it to end.
bool TCustomComPort::BeginTransition() {
    std::unique_lock lock(transitionMutex_);
    if (transitionOn_ == std::this_thread::get_id()) return false;
    if (!AwaitOtherTransitions(lock)) return false;
    transitionOn_ = std::this_thread::get_id();
    return true;
}

// Waits while another thread opens or closes this port (a close until its
// last handler has returned). Not on the port's event thread: the other
// thread may be waiting for it to end. False when it did not wait for that.
bool TCustomComPort::AwaitOtherTransitions(std::unique_lock<std::mutex>& lock) const {
    const auto self = std::this_thread::get_id();
    const auto idle = [this, self] {
        const std::thread::id none;
        return (transitionOn_ == none || transitionOn_ == self) &&
               (finishingOn_ == none || finishingOn_ == self);
    };
    if (idle()) return true;
    if (IsEventThreadOf(*this)) return false;
    if (platform::IsMainThread()) {
        // The main thread keeps serving deliveries meanwhile: the other
        // thread's handlers may be waiting for it.
        auto& queue = platform::MainQueue();
        while (!idle()) {
            lock.unlock();
            queue.Serve();
            queue.WaitForWork(20);
            lock.lock();
        }
    } else {
        transitionEnded_.wait(lock, idle);
    }
    return true;
}

void TCustomComPort::EndTransition(bool finishing) {
    {
        std::lock_guard lock(transitionMutex_);
        transitionOn_ = std::thread::id();
        if (finishing) finishingOn_ = std::this_thread::get_id();
    }
    transitionEnded_.notify_all();
    platform::MainQueue().Wake();
}

void TCustomComPort::EndFinishing() {
    {
        std::lock_guard lock(transitionMutex_);
        finishingOn_ = std::thread::id();
    }
    transitionEnded_.notify_all();
    platform::MainQueue().Wake();
}

// ---------------------------------------------------------------- open and close

void TCustomComPort::OpenDeviceHandle() {
    // The platform takes the name as a C string: one holding a NUL would open
    // whatever device its first part names.
    if (port_.find('\0') != std::string::npos) throw EComPort(1, oserr::kInvalid);
    auto device = deviceFactory_ ? deviceFactory_() : DefaultDeviceFor(port_);
    if (!device) throw EComPort(1, oserr::kNoDevice);
    // The events are taken at the open: no thread waits without them.
    device->PlanEventWait(!events_.Empty());
    const std::string path = DeviceOpenName(port_);
    if (int err = device->Open(path)) {
        if (std::string text = NotSerialText(port_, err); !text.empty()) {
            EComPort e(1, err, text);
            TraceLine(TraceLineEvent::Failure, static_cast<uint32_t>(err), e.what());
            throw e;
        }
        throw Failed(*device, 1, err);
    }
    {
        std::unique_lock lock(deviceMutex_);
        device_ = std::move(device);
        // Until time-outs are applied the driver has none: reads wait for all bytes.
        ioTimeouts_ = CommTimeouts{};
        ioBaudRate_ = static_cast<uint32_t>(BaudRateValue(baudRate_));
    }
    TraceLine(TraceLineEvent::Opened, 0, path);
}

void TCustomComPort::CloseDeviceHandle() {
    // Waits for a call of another thread that is still using the device.
    std::unique_lock lock(deviceMutex_);
    if (!device_) return;
    device_->Close();
    device_.reset();
    TraceLine(TraceLineEvent::Closed, 0, port_);
}

void TCustomComPort::OpenPort() {
    if (connected_) return;
    if (!BeginTransition()) return;
    bool opened = false;
    try {
        if (!connected_) { // else opened by another thread meanwhile
            OpenDevice();
            opened = true;
        }
    } catch (...) {
        EndTransition();
        throw;
    }
    EndTransition();
    // A handler may close the port again; the rest is then for a closed port.
    if (!opened || !connected_) return;
    NotifyAfterOpen();
    if (!connected_) return;
    NotifyCTSChange(ModemSignals().Contains(csCTS));
    if (!connected_) return;
    NotifyDSRChange(ModemSignals().Contains(csDSR));
    if (!connected_) return;
    NotifyRLSDChange(ModemSignals().Contains(csRLSD));
}

void TCustomComPort::OpenDevice() {
    NotifyBeforeOpen();
    OpenDeviceHandle();
    connected_ = true;
    try {
        ApplyAllSettings();
    } catch (...) {
        CloseDeviceHandle();
        connected_ = false;
        throw;
    }
    if (events_.Empty()) {
        threadCreated_ = false;
    } else {
        // A thread that cannot start (no descriptors or threads left, the
        // event mask refused) would leave an open port that watches nothing:
        // close it like a failed apply.
        try {
            eventThread_ = std::make_unique<TComThread>(*this);
        } catch (...) {
            CloseDeviceHandle();
            connected_ = false;
            throw;
        }
        threadCreated_ = true;
    }
}

void TCustomComPort::ClosePort() {
    if (!connected_) return;
    if (!BeginTransition()) return;
    if (!connected_) return EndTransition(); // closed by another thread meanwhile
    std::exception_ptr gone;
    try {
        gone = CloseDevice();
    } catch (...) {
        stopping_ = false;
        EndTransition();
        throw;
    }
    stopping_ = false;
    // A handler of the after-close event may open the port again.
    EndTransition(true);
    try {
        NotifyAfterClose();
        if (gone) platform::Host().ReportException(gone);
    } catch (...) {
        EndFinishing();
        throw;
    }
    EndFinishing();
}

std::exception_ptr TCustomComPort::CloseDevice() {
    NotifyCTSChange(false);
    NotifyDSRChange(false);
    NotifyRLSDChange(false);
    // A device that has gone away (adapter pulled, line hung up) fails every
    // call from here on. Failing the close would keep the port open for good,
    // so such a failure completes the close and is reported once afterwards.
    std::exception_ptr gone;
    try {
        NotifyBeforeClose();
    } catch (const EComPort& e) {
        if (!DeviceGone(e.OsErrorCode())) throw;
        gone = std::current_exception();
    }
    // From here on events still on their way to the owner fire nothing.
    stopping_ = true;
    try {
        CancelPendingIO();
    } catch (const EComPort& e) {
        if (!DeviceGone(e.OsErrorCode())) throw;
        if (!gone) gone = std::current_exception();
    }
    if (threadCreated_.exchange(false)) eventThread_.reset();
    CloseDeviceHandle();
    connected_ = false;
    return gone;
}

void TCustomComPort::SetConnected(bool v) {
    if (loading_) {
        loadedConnected_ = v;
        return;
    }
    if (v == connected_) return;
    if (v)
        OpenPort();
    else
        ClosePort();
}

void TCustomComPort::BeginLoading() {
    loading_ = true;
}

void TCustomComPort::EndLoading() {
    if (!loading_) return;
    loading_ = false;
    if (!loadedConnected_) return;
    loadedConnected_ = false;
    try {
        OpenPort();
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
    }
}

// ---------------------------------------------------------------- properties

void TCustomComPort::SetBaudRate(TBaudRate v) {
    if (v == baudRate_) return;
    baudRate_ = v;
    ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(int32_t v) {
    if (v == customBaudRate_) return;
    customBaudRate_ = v;
    ApplyLineSettings();
}

void TCustomComPort::SetPort(const std::string& v) {
    if (v == port_) return;
    port_ = v;
    if (connected_ && !loading_) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetStopBits(TStopBits v) {
    if (v == stopBits_) return;
    stopBits_ = v;
    ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits v) {
    if (v == dataBits_) return;
    dataBits_ = v;
    ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool v) {
    if (v == discardNull_) return;
    discardNull_ = v;
    ApplyLineSettings();
}

void TCustomComPort::SetEventChar(uint8_t v) {
    if (v == eventChar_) return;
    eventChar_ = v;
    ApplyLineSettings();
}

void TCustomComPort::SetEvents(TComEvents v) {
    events_ = v;
}

void TCustomComPort::SetSyncMethod(TSyncMethod v) {
    if (v == syncMethod_) return;
    // A value outside the type would deliver no events at all.
    if (v > smNone) throw EComPort(7, oserr::kInvalid);
    if (connected_ && !loading_) throw EComPort(14);
    syncMethod_ = v;
}

void TCustomComPort::SetBuffer(const TComBuffer& v) {
    buffer_->Assign(v);
    ApplyBufferSizes();
}

void TCustomComPort::SetParity(const TComParity& v) {
    parity_->Assign(v);
    ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& v) {
    timeouts_->Assign(v);
    ApplyTimeoutSettings();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& v) {
    flowControl_->Assign(v);
    ApplyLineSettings();
}

// ---------------------------------------------------------------- batching and applying

void TCustomComPort::BeginSettingsUpdate() {
    ++updateCount_;
}

void TCustomComPort::EndSettingsUpdate() {
    if (updateCount_ <= 0) return;
    if (--updateCount_ == 0) ApplyAllSettings();
}

bool TCustomComPort::CanApply() const {
    return connected_ && updateCount_ == 0 && !loading_;
}

void TCustomComPort::ApplyAllSettings() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

Dcb TCustomComPort::BuildDcb() const {
    Dcb d;
    d.DCBlength = 28;
    d.BaudRate =
        static_cast<uint32_t>(baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_));
    d.fBinary = true;
    d.fParity = parity_->Check();
    d.fOutxCtsFlow = flowControl_->OutCTSFlow();
    d.fOutxDsrFlow = flowControl_->OutDSRFlow();
    d.fDtrControl = flowControl_->ControlDTR();
    d.fRtsControl = flowControl_->ControlRTS();
    d.fDsrSensitivity = flowControl_->DSRSensitivity();
    d.fTXContinueOnXoff = flowControl_->TxContinueOnXoff();
    d.fOutX = flowControl_->XonXoffOut();
    d.fInX = flowControl_->XonXoffIn();
    d.fErrorChar = parity_->Check() && parity_->Replace();
    d.ErrorChar = d.fErrorChar ? parity_->ReplaceChar() : 0;
    d.fNull = discardNull_;
    d.fAbortOnError = false;
    d.XonLim = d.XoffLim = static_cast<uint16_t>(buffer_->InputSize() / 4);
    d.ByteSize = static_cast<uint8_t>(5 + dataBits_);
    d.Parity = parity_->Bits();
    d.StopBits = stopBits_;
    d.XonChar = flowControl_->XonChar();
    d.XoffChar = flowControl_->XoffChar();
    d.EvtChar = eventChar_;
    return d;
}

void TCustomComPort::ApplyLineSettings() {
    if (!CanApply()) return;
    auto device = LeaseDevice();
    if (!device) return;
    Dcb dcb = BuildDcb();
    if (int err = device->SetState(dcb)) throw Failed(*device, 7, err);
    ioBaudRate_ = dcb.BaudRate;
    if (kTraceHook && GetTraceObserver())
        TraceLine(TraceLineEvent::LineSettings, dcb.BaudRate, FrameText(dcb));
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!CanApply()) return;
    auto device = LeaseDevice();
    if (!device) return;
    CommTimeouts t;
    t.ReadIntervalTimeout = static_cast<uint32_t>(timeouts_->ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeouts_->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<uint32_t>(timeouts_->WriteTotalConstant());
    if (int err = device->SetTimeouts(t)) throw Failed(*device, 8, err);
    ioTimeouts_ = t;
}

void TCustomComPort::ApplyBufferSizes() {
    if (!CanApply()) return;
    auto device = LeaseDevice();
    if (!device) return;
    if (int err = device->SetupQueues(buffer_->InputSize(), buffer_->OutputSize()))
        throw Failed(*device, 9, err);
}

// ---------------------------------------------------------------- reads and writes

IoOperation* TCustomComPort::NewIoOperation() {
    return new IoOperation();
}

void TCustomComPort::FreeIoOperation(IoOperation*& op) {
    delete op;
    op = nullptr;
}

int TCustomComPort::BeginWriteBytes(const void* buffer, int Count, IoOperation* op) {
    if (!op) throw EComPort(4);
    op->kind = IoOperation::Write;
    auto lease = DeviceFor(2);
    ComDevice& device = *lease;
    op->buffer = static_cast<uint8_t*>(const_cast<void*>(buffer));
    op->count = Count > 0 ? static_cast<size_t>(Count) : 0;
    op->done = 0;
    op->started = platform::GetTickCount();
    op->complete = false;
    size_t n = 0;
    if (op->count > 0) {
        if (int err = device.WriteSome(op->buffer, op->count, n)) {
            op->complete = true;
            throw Failed(device, 2, err);
        }
        if (n > 0) TraceBytes(TraceDirection::Written, op->buffer, n);
    }
    op->done = n;
    uint32_t pending = 0;
    if (op->done == op->count) {
        if (int err = device.OutputPending(pending)) {
            op->complete = true;
            throw Failed(device, 2, err);
        }
        op->complete = pending == 0;
    }
    return op->complete ? static_cast<int>(op->done) : 0;
}

int TCustomComPort::BeginWriteText(const std::string& text, IoOperation* op) {
    if (text.empty()) return 0;
    return BeginWriteBytes(text.data(), static_cast<int>(text.size()), op);
}

// Reads as the driver's time-out block says: a read ends when all bytes are
// in, when the total limit (multiplier x count + constant) has passed since
// it began, or when the interval limit passed after the last byte. Zero
// disables a limit. An all-ones interval with both totals zero takes what is
// queued; with an all-ones multiplier and a constant it waits that long for
// the first byte and then takes what is queued.
namespace {
struct ReadRules {
    bool takeQueued = false;
    bool firstByteOnly = false;
    uint64_t total = kNoLimit;
    uint64_t interval = kNoLimit;

    ReadRules(const CommTimeouts& t, size_t count) {
        const bool allOnes = t.ReadIntervalTimeout == kMaxDword;
        takeQueued =
            allOnes && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        firstByteOnly = allOnes && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
        total = firstByteOnly
                    ? t.ReadTotalTimeoutConstant
                    : TotalLimit(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, count);
        if (t.ReadIntervalTimeout != 0 && !allOnes) interval = t.ReadIntervalTimeout;
    }
    bool Finished(size_t done, size_t count) const {
        return done == count || takeQueued || (firstByteOnly && done > 0);
    }
};
} // namespace

void TCustomComPort::ContinueRead(IoOperation& op) {
    auto lease = DeviceFor(3);
    ComDevice& device = *lease;
    const ReadRules rules(ioTimeouts_, op.count);
    uint32_t lastByte = op.started;
    int emptyWakes = 0;
    while (op.done < op.count) {
        size_t n = ReadInto(device, op);
        if (n > 0) {
            op.done += n;
            lastByte = platform::GetTickCount();
            emptyWakes = 0;
            if (rules.Finished(op.done, op.count)) break;
            continue;
        }
        if (rules.takeQueued) break;
        uint64_t wait = Left(op.started, rules.total);
        if (op.done > 0) wait = std::min(wait, Left(lastByte, rules.interval));
        if (wait == 0) break;
        // A device that keeps saying "readable" without giving bytes must
        // not turn this wait into a busy loop.
        if (emptyWakes > 1) platform::Sleep(1);
        bool ready = false;
        if (int err = device.WaitReadable(WaitArg(wait), ready)) throw Failed(device, 3, err);
        emptyWakes = ready ? emptyWakes + 1 : 0;
    }
    op.complete = true;
}

// A write is done when its bytes have left the driver. At the write time-out
// the bytes still queued are dropped, so the count is what was really sent.
void TCustomComPort::ContinueWrite(IoOperation& op) {
    auto lease = DeviceFor(2);
    ComDevice& device = *lease;
    const CommTimeouts& t = ioTimeouts_;
    const uint64_t total =
        TotalLimit(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, op.count);
    while (op.done < op.count) {
        uint64_t wait = Left(op.started, total);
        if (wait == 0) break;
        bool ready = false;
        if (int err = device.WaitWritable(WaitArg(wait), ready)) throw Failed(device, 2, err);
        if (!ready) continue;
        size_t n = 0;
        if (int err = device.WriteSome(op.buffer + op.done, op.count - op.done, n))
            throw Failed(device, 2, err);
        if (n > 0) TraceBytes(TraceDirection::Written, op.buffer + op.done, n);
        op.done += n;
    }
    // Waiting for the driver to drain: there is no wait with a limit for it,
    // so sleep about as long as the queued bytes take on the line, backing off.
    uint32_t pause = 0;
    for (;;) {
        uint32_t pending = 0;
        if (int err = device.OutputPending(pending)) throw Failed(device, 2, err);
        if (pending == 0) break;
        uint64_t left = Left(op.started, total);
        if (left == 0) {
            // The queue drains in order, so the bytes still in it are this
            // write's last ones (or, behind earlier bytes, all of them). A
            // purge that fails leaves them to go out after all, and the count
            // would then be wrong: that is the write's failure.
            if (int err = device.Purge(PURGE_TXCLEAR)) throw Failed(device, 5, err);
            const size_t dropped = std::min<size_t>(op.done, pending);
            op.done -= dropped;
            TraceLine(TraceLineEvent::WriteTimedOut, static_cast<uint32_t>(dropped));
            break;
        }
        uint32_t lineMs = static_cast<uint32_t>((static_cast<uint64_t>(pending) * 10000u) /
                                                std::max<uint32_t>(ioBaudRate_, 1)) +
                          1;
        pause = pause == 0 ? lineMs : std::min<uint32_t>(pause * 2, 20);
        platform::Sleep(static_cast<uint32_t>(std::min<uint64_t>(pause, left)));
    }
    op.complete = true;
}

// Reads what the device has now, at most what the operation still wants.
// Into a text in steps, each growing the text only by what came, so a large
// Count costs no memory for bytes that never arrive.
size_t TCustomComPort::ReadInto(ComDevice& device, IoOperation& op) {
    constexpr size_t kStep = 4096;
    size_t total = 0;
    try {
        while (op.done + total < op.count) {
            const size_t at = op.done + total;
            const size_t want = op.text ? std::min(op.count - at, kStep) : op.count - at;
            uint8_t* into;
            if (op.text) {
                op.text->resize(at + want);
                into = reinterpret_cast<uint8_t*>(op.text->data()) + at;
            } else {
                into = op.buffer + at;
            }
            size_t n = 0;
            int err = device.ReadSome(into, want, n);
            if (n > 0) TraceBytes(TraceDirection::Read, into, n);
            if (op.text) op.text->resize(at + n);
            if (err) throw Failed(device, 3, err);
            total += n;
            if (n < want || !op.text) break;
        }
    } catch (const std::bad_alloc&) {
        throw EComPort(3, oserr::kNoMemory);
    } catch (const std::length_error&) {
        throw EComPort(3, oserr::kNoMemory);
    }
    return total;
}

int TCustomComPort::BeginReadBytes(void* buffer, int Count, IoOperation* op) {
    if (!op) throw EComPort(4);
    op->text = nullptr;
    return BeginRead(static_cast<uint8_t*>(buffer), Count, *op);
}

int TCustomComPort::BeginRead(uint8_t* buffer, int Count, IoOperation& opRef) {
    IoOperation* op = &opRef;
    op->kind = IoOperation::Read;
    auto lease = DeviceFor(3);
    ComDevice& device = *lease;
    op->buffer = buffer;
    op->count = Count > 0 ? static_cast<size_t>(Count) : 0;
    op->done = 0;
    op->started = platform::GetTickCount();
    op->complete = false;
    if (op->count == 0) {
        op->complete = true;
        return 0;
    }
    size_t n = 0;
    try {
        n = ReadInto(device, *op);
    } catch (...) {
        op->complete = true;
        throw;
    }
    op->done = n;
    op->complete = ReadRules(ioTimeouts_, op->count).Finished(op->done, op->count);
    return op->complete ? static_cast<int>(op->done) : 0;
}

int TCustomComPort::BeginReadText(std::string& text, int Count, IoOperation* op) {
    // The text holds what was read so far, never room for bytes to come.
    text.clear();
    if (Count <= 0) return 0;
    if (!op) throw EComPort(4);
    op->text = &text;
    return BeginRead(nullptr, Count, *op);
}

int TCustomComPort::AwaitOperation(IoOperation* op) {
    if (!op) throw EComPort(4);
    if (!op->complete) {
        try {
            if (op->kind == IoOperation::Read)
                ContinueRead(*op);
            else
                ContinueWrite(*op);
        } catch (...) {
            op->complete = true;
            throw;
        }
    }
    return static_cast<int>(op->done);
}

int TCustomComPort::WriteText(const std::string& text) {
    IoOperation* op = NewIoOperation();
    try {
        BeginWriteText(text, op);
        int n = AwaitOperation(op);
        FreeIoOperation(op);
        return n;
    } catch (...) {
        FreeIoOperation(op);
        throw;
    }
}

int TCustomComPort::ReadText(std::string& text, int Count) {
    IoOperation* op = NewIoOperation();
    try {
        BeginReadText(text, Count, op);
        int n = AwaitOperation(op);
        text.resize(static_cast<size_t>(n));
        FreeIoOperation(op);
        return n;
    } catch (...) {
        text.clear();
        FreeIoOperation(op);
        throw;
    }
}

int TCustomComPort::ReadBytes(void* buffer, int Count) {
    IoOperation* op = NewIoOperation();
    try {
        BeginReadBytes(buffer, Count, op);
        int n = AwaitOperation(op);
        FreeIoOperation(op);
        return n;
    } catch (...) {
        FreeIoOperation(op);
        throw;
    }
}

void TCustomComPort::CancelPendingIO() {
    auto device = DeviceFor(5);
    if (int err = device->Purge(PURGE_TXABORT | PURGE_RXABORT)) throw Failed(*device, 5, err);
    TraceLine(TraceLineEvent::Purged, PURGE_TXABORT | PURGE_RXABORT);
}

// ---------------------------------------------------------------- line control and status

int TCustomComPort::PendingInputCount() {
    ComStatus st;
    auto device = DeviceFor(10);
    if (int err = device->ClearError(st)) throw Failed(*device, 10, err);
    return ClampCount(st.inQueue);
}

uint8_t TCustomComPort::LineHoldFlags() {
    ComStatus st;
    auto device = DeviceFor(10);
    if (int err = device->ClearError(st)) throw Failed(*device, 10, err);
    return st.holdFlags;
}

TComErrors TCustomComPort::ReadLineErrors() {
    ComStatus st;
    auto device = DeviceFor(10); // held to the end: the answer reads a setting
    if (int err = device->ClearError(st)) throw Failed(*device, 10, err);
    if (st.errors) TraceLine(TraceLineEvent::LineErrors, st.errors);
    TComErrors errors;
    if (st.errors & CE_FRAME) errors.Include(ceFrame);
    if ((st.errors & CE_RXPARITY) && parity_->Check()) errors.Include(ceRxParity);
    if (st.errors & CE_OVERRUN) errors.Include(ceOverrun);
    if (st.errors & CE_RXOVER) errors.Include(ceRxOver);
    if (st.errors & CE_TXFULL) errors.Include(ceTxFull);
    if (st.errors & CE_BREAK) errors.Include(ceBreak);
    if (st.errors & CE_IOE) errors.Include(ceIO);
    if (st.errors & CE_MODE) errors.Include(ceMode);
    return errors;
}

TComSignals TCustomComPort::ModemSignals() {
    uint32_t ms = 0;
    {
        auto device = DeviceFor(11);
        if (int err = device->ModemStatus(ms)) throw Failed(*device, 11, err);
    }
    TComSignals s;
    if (ms & MS_CTS_ON) s.Include(csCTS);
    if (ms & MS_DSR_ON) s.Include(csDSR);
    if (ms & MS_RING_ON) s.Include(csRing);
    if (ms & MS_RLSD_ON) s.Include(csRLSD);
    return s;
}

void TCustomComPort::PurgeBuffers(bool Input, bool Output) {
    uint32_t flags = (Input ? PURGE_RXCLEAR : 0u) | (Output ? PURGE_TXCLEAR : 0u);
    auto device = DeviceFor(5);
    if (int err = device->Purge(flags)) throw Failed(*device, 5, err);
    TraceLine(TraceLineEvent::Purged, flags);
}

void TCustomComPort::SetDTRLine(bool OnOff) {
    auto device = DeviceFor(12);
    if (int err = device->EscapeFunction(OnOff ? Escape::SetDTR : Escape::ClrDTR))
        throw Failed(*device, 12, err);
    TraceLine(TraceLineEvent::Dtr, OnOff ? 1 : 0);
}

void TCustomComPort::SetBreakState(bool OnOff) {
    auto device = DeviceFor(12);
    if (int err = device->EscapeFunction(OnOff ? Escape::SetBreak : Escape::ClrBreak))
        throw Failed(*device, 12, err);
    TraceLine(TraceLineEvent::Break, OnOff ? 1 : 0);
}

// ---------------------------------------------------------------- notify hooks

void TCustomComPort::NotifyAfterClose() {
    if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::NotifyAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::NotifyBeforeClose() {
    if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::NotifyBeforeOpen() {
    if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::NotifyRxChar(int Count) {
    if (OnRxChar) OnRxChar(this, Count);
}
void TCustomComPort::NotifyRxBuf(const void* Buffer, int Count) {
    if (OnRxBuf) OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::NotifyTxEmpty() {
    if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::NotifyBreak() {
    if (OnBreak) OnBreak(this);
}
void TCustomComPort::NotifyRing() {
    if (OnRing) OnRing(this);
}
void TCustomComPort::NotifyRxFlag() {
    if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::NotifyCTSChange(bool OnOff) {
    if (OnCTSChange) OnCTSChange(this, OnOff);
}
void TCustomComPort::NotifyDSRChange(bool OnOff) {
    if (OnDSRChange) OnDSRChange(this, OnOff);
}
void TCustomComPort::NotifyError(TComErrors Errors) {
    if (OnError) OnError(this, Errors);
}
void TCustomComPort::NotifyRLSDChange(bool OnOff) {
    if (OnRLSDChange) OnRLSDChange(this, OnOff);
}
void TCustomComPort::NotifyRx80Full() {
    if (OnRx80Full) OnRx80Full(this);
}

} // namespace serial
