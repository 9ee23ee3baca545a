// The serial port object: every setting of one serial line, open and close,
// blocking reads and writes, line control and status. Every failed platform
// call raises EComPort.
//
// TCustomComPort holds the settings and the rules; the platform calls go
// through a ComDevice (serial/ComDevice.h), PosixComDevice on termios by
// default. TComPort is the published form that hosts derive from.
#pragma once

#include "serial/ComDevice.h"
#include "serial/ComSettings.h"
#include "serial/ComTypes.h"
#include "serial/SettingsStore.h"
#include "serial/TraceObserver.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace serial {

// ---------------------------------------------------------------- the port

// The record of one read or write in progress.
struct IoOperation;
class TComThread;

using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, int Count)>;
using TRxBufEvent = std::function<void(TCustomComPort* Sender, const void* Buffer, int Count)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;

class TCustomComPort {
  public:
    // `owner` is informational (the object that frees this one).
    explicit TCustomComPort(void* owner = nullptr);
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // --- open and close
    virtual void OpenPort();
    virtual void ClosePort();
    bool Connected() const { return connected_; }
    // True while a close stops the event thread and closes the device:
    // events still on their way to the owner then fire nothing.
    bool Closing() const { return stopping_; }
    void SetConnected(bool v);

    // --- settings (setters act at once on an open port)
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate v);
    int32_t CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(int32_t v);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits v);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits v);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool v);
    uint8_t EventChar() const { return eventChar_; }
    void SetEventChar(uint8_t v);
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents v);
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod v);
    TStoredGroups StoredGroups() const { return storedGroups_; }
    void SetStoredGroups(TStoredGroups v) { storedGroups_ = v; }

    // --- the component's name: the section of its stored settings. An
    // identifier (letters, digits, "_", not starting with a digit) or empty;
    // anything else raises std::invalid_argument.
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name);

    // --- stored settings: the values of the StoredGroups, in a section
    // named Name() of an ini file or in an opened key. Loading assigns each
    // value through its setter as it is read, so an open port re-applies
    // (and re-opens for a new Port). A store's failure raises EComPort 16
    // (store) or 17 (load) naming the file or the store; a setter's refusal
    // raises that setter's EComPort.
    virtual void StoreToRegistry(TSettingsKey& key);
    virtual void StoreToIniFile(TCustomIniFile& ini);
    virtual void LoadFromRegistry(TSettingsKey& key);
    virtual void LoadFromIniFile(TCustomIniFile& ini);

    // The owned setting objects; their setters re-apply their group.
    TComBuffer& Buffer() { return *buffer_; }
    TComParity& Parity() { return *parity_; }
    TComTimeouts& Timeouts() { return *timeouts_; }
    TComFlowControl& FlowControl() { return *flowControl_; }
    const TComBuffer& Buffer() const { return *buffer_; }
    const TComParity& Parity() const { return *parity_; }
    const TComTimeouts& Timeouts() const { return *timeouts_; }
    const TComFlowControl& FlowControl() const { return *flowControl_; }
    // Whole-object assignment: copies the fields, then applies the group.
    void SetBuffer(const TComBuffer& v);
    void SetParity(const TComParity& v);
    void SetTimeouts(const TComTimeouts& v);
    void SetFlowControl(const TComFlowControl& v);

    // --- batching and applying
    void BeginSettingsUpdate();
    void EndSettingsUpdate();
    virtual void ApplyAllSettings();
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyBufferSizes();

    // --- the loading state (setters only store while loading)
    void BeginLoading();
    void EndLoading(); // the stored Connected then acts; an open failure goes to the error report
    bool Loading() const { return loading_; }

    // --- blocking data transfer (none tests Connected)
    int WriteText(const std::string& text);
    int ReadText(std::string& text, int Count);
    int ReadBytes(void* buffer, int Count);
    // building blocks
    IoOperation* NewIoOperation();
    void FreeIoOperation(IoOperation*& op);
    int BeginWriteBytes(const void* buffer, int Count, IoOperation* op);
    int BeginWriteText(const std::string& text, IoOperation* op);
    int BeginReadBytes(void* buffer, int Count, IoOperation* op);
    int BeginReadText(std::string& text, int Count, IoOperation* op);
    int AwaitOperation(IoOperation* op);
    void CancelPendingIO();

    // --- line control and status
    int PendingInputCount();
    uint8_t LineHoldFlags();
    TComSignals ModemSignals();
    TComErrors ReadLineErrors();
    void PurgeBuffers(bool Input, bool Output);
    void SetDTRLine(bool OnOff);
    void SetBreakState(bool OnOff);

    // --- events (unassigned by default)
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComErrorEvent OnError;

    // --- the notice the component framework gives when an object is destroyed:
    // `notice` runs at the start of this port's destruction. Returns a key.
    int AddFreeNotification(std::function<void()> notice);
    void RemoveFreeNotification(int key);

    // --- the device layer. Tests install a scripted device; the factory is
    // used at every OpenPort. The default makes a PosixComDevice.
    using DeviceFactory = std::function<std::unique_ptr<ComDevice>()>;
    void SetDeviceFactory(DeviceFactory factory);
    // The open device, null while closed.
    ComDevice* Device() const { return device_.get(); }
    // The device control block ApplyLineSettings would hand to the driver now.
    Dcb BuildDcb() const;
    // True while the port's event thread runs: false while closed, with an
    // empty event set, and once the thread has ended on its own (a failed
    // wait) although the port is still open.
    bool EventThreadRunning() const;

    // --- watching the line (serial/TraceObserver.h says which thread calls
    // the observer and for how long it must live); null for none.
    void SetTraceObserver(TraceObserver* observer) {
        traceObserver_.store(observer, std::memory_order_release);
    }
    TraceObserver* GetTraceObserver() const {
        return traceObserver_.load(std::memory_order_acquire);
    }
    // Hands a line event to the observer, if one is set.
    void TraceLine(TraceLineEvent event, uint32_t value = 0, std::string_view detail = {}) const {
        if constexpr (kTraceHook)
            if (TraceObserver* o = GetTraceObserver())
                o->OnLineEvent(TraceMicros(), event, value, detail);
    }

    // Notify hooks: each calls its On handler with this port as Sender.
    virtual void NotifyAfterClose();
    virtual void NotifyAfterOpen();
    virtual void NotifyBeforeClose();
    virtual void NotifyBeforeOpen();
    virtual void NotifyRxChar(int Count);
    virtual void NotifyRxBuf(const void* Buffer, int Count);
    virtual void NotifyTxEmpty();
    virtual void NotifyBreak();
    virtual void NotifyRing();
    virtual void NotifyRxFlag();
    virtual void NotifyCTSChange(bool OnOff);
    virtual void NotifyDSRChange(bool OnOff);
    virtual void NotifyError(TComErrors Errors);
    virtual void NotifyRLSDChange(bool OnOff);
    virtual void NotifyRx80Full();

  protected:
    virtual void OpenDeviceHandle();
    virtual void CloseDeviceHandle();
    // True while line settings may reach the driver.
    bool CanApply() const;

  private:
    friend class TComThread;
    std::unique_ptr<TComThread> eventThread_;
    std::atomic<bool> threadCreated_{false};
    std::unique_ptr<ComDevice> device_;
    // Every device call holds this shared; the device is made and freed only
    // under it exclusively, so a close on the event thread waits for a call
    // of the owner's thread instead of freeing the device under it.
    mutable std::shared_mutex deviceMutex_;
    // The thread inside OpenPort or ClosePort, if any: a nested call on it
    // (from a handler the open or close raises) returns at once.
    mutable std::mutex transitionMutex_;
    mutable std::condition_variable transitionEnded_;
    std::thread::id transitionOn_;
    std::thread::id finishingOn_; // a close raising its after-close event
    std::atomic<bool> stopping_{false};
    DeviceFactory deviceFactory_;
    int updateCount_ = 0;
    std::atomic<bool> connected_{false};
    bool loading_ = false;
    bool loadedConnected_ = false;
    TBaudRate baudRate_ = br9600;
    int32_t customBaudRate_ = 9600;
    std::string port_ = "COM1";
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    uint8_t eventChar_ = 0;
    TComEvents events_ = AllComEvents;
    std::unique_ptr<TComBuffer> buffer_;
    std::unique_ptr<TComParity> parity_;
    std::unique_ptr<TComTimeouts> timeouts_;
    std::unique_ptr<TComFlowControl> flowControl_;
    TSyncMethod syncMethod_ = smThreadSync;
    TStoredGroups storedGroups_{sgBasic};
    std::string name_ = "ComPort1";
    struct FreeNotice {
        int key;
        std::function<void()> notice;
    };
    std::vector<FreeNotice> freeNotices_;
    int nextNoticeKey_ = 1;
    // What the device was last given: reads and writes follow the driver's
    // time-outs, not values stored but not yet applied.
    CommTimeouts ioTimeouts_{};
    uint32_t ioBaudRate_ = 9600;
    std::atomic<TraceObserver*> traceObserver_{nullptr};
    void TraceBytes(TraceDirection direction, const uint8_t* bytes, size_t count) const {
        if constexpr (kTraceHook)
            if (TraceObserver* o = GetTraceObserver())
                o->OnTraffic(TraceMicros(), direction, bytes, count);
    }
    // A failed device call as the exception to raise, reported to the observer.
    EComPort Failed(const ComDevice& device, int portErrorCode, int err) const;
    void ContinueRead(IoOperation& op);
    void ContinueWrite(IoOperation& op);
    size_t ReadInto(ComDevice& device, IoOperation& op);
    int BeginRead(uint8_t* buffer, int Count, IoOperation& op);
    void OpenDevice();
    std::exception_ptr CloseDevice(); // a failure of a device that has gone away

    // The open device for one call, kept from being closed until released.
    class DeviceLease {
      public:
        // Reads the device only once the lock is held.
        DeviceLease(std::shared_mutex& mutex, const std::unique_ptr<ComDevice>& device)
            : lock_(mutex), device_(device.get()) {}
        ComDevice* operator->() const { return device_; }
        ComDevice& operator*() const { return *device_; }
        explicit operator bool() const { return device_ != nullptr; }

      private:
        std::shared_lock<std::shared_mutex> lock_;
        ComDevice* device_;
    };
    // Raises `portErrorCode` (EBADF) while closed.
    DeviceLease DeviceFor(int portErrorCode) const;
    // Empty while closed.
    DeviceLease LeaseDevice() const;
    bool BeginTransition();
    bool AwaitOtherTransitions(std::unique_lock<std::mutex>& lock) const;
    void EndTransition(bool finishing = false);
    void EndFinishing();
};

// The published form of the port, the one hosts derive from.
class TComPort : public TCustomComPort {
  public:
    using TCustomComPort::TCustomComPort;
};

} // namespace serial
