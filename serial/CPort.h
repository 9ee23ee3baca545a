// The serial port object: every setting of one serial line, open and close,
// blocking reads and writes, line control and status. Every failed platform
// call raises EComPort.
//
// TCustomComPort holds the settings and the rules; the platform calls go
// through a ComDevice (serial/ComDevice.h), PosixComDevice on termios by
// default. TComPort is the published form that hosts derive from.
#pragma once

#include "serial/ComDevice.h"

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
#include <thread>
#include <vector>

namespace serial {

// ---------------------------------------------------------------- enumerations

enum TBaudRate : uint8_t {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : uint8_t {
    evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
enum TComError : uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };

// A set over an enumeration's ordinals: bit n stands for member n.
template <typename E, typename Bits> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members) {
        for (E m : members) bits_ = static_cast<Bits>(bits_ | Bit(m));
    }
    static constexpr TSet FromBits(Bits bits) {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr void Include(E m) { bits_ = static_cast<Bits>(bits_ | Bit(m)); }
    constexpr void Exclude(E m) { bits_ = static_cast<Bits>(bits_ & ~Bit(m)); }
    constexpr bool operator==(const TSet&) const = default;
    constexpr TSet operator+(TSet o) const { return FromBits(static_cast<Bits>(bits_ | o.bits_)); }
    constexpr TSet operator-(TSet o) const { return FromBits(static_cast<Bits>(bits_ & ~o.bits_)); }

private:
    static constexpr Bits Bit(E m) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(m)); }
    Bits bits_ = 0;
};

using TComEvents = TSet<TComEvent, uint16_t>;
using TComErrors = TSet<TComError, uint8_t>;
inline constexpr TComEvents AllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                         evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

// The modem lines as ModemSignals() reports them; a bit is set while the line is on.
enum TComSignal : uint8_t { csCTS, csDSR, csRing, csRLSD };
using TComSignals = TSet<TComSignal, uint8_t>;

// Setting groups written and read by the settings store.
enum TStoredGroup : uint8_t { sgBasic, sgBuffer, sgFlow, sgTimeouts, sgParity, sgEvents };
using TStoredGroups = TSet<TStoredGroup, uint8_t>;

// ---------------------------------------------------------------- errors

// The serial layer's one exception: a port error code (1..23) with its fixed
// (translated) text and the operating system's error number, -1 when none.
class EComPort : public std::runtime_error {
public:
    // Without an operating-system error: OsErrorCode() is -1.
    explicit EComPort(int portErrorCode);
    // With one: the message carries the suffix " (win error code: N)".
    EComPort(int portErrorCode, int osErrorCode);
    // With one and a note on what was wrong, after the suffix (": note").
    EComPort(int portErrorCode, int osErrorCode, const std::string& note);

    int PortErrorCode() const { return portErrorCode_; }
    int OsErrorCode() const { return osErrorCode_; }

private:
    int osErrorCode_;
    int portErrorCode_;
};

// The untranslated text of a port error code (1..23); empty for others.
std::string ComErrorText(int portErrorCode);
// Passes the 23 texts through the message catalogues once and adds the
// "cport" domain; runs by itself on first use, the program calls it at start.
void InitSerialLayer();

// ---------------------------------------------------------------- settings objects

class TCustomComPort;

class TComParity {
public:
    TParityBits Bits() const { return bits_; }
    void SetBits(TParityBits v);
    bool Check() const { return check_; }
    void SetCheck(bool v);
    bool Replace() const { return replace_; }
    void SetReplace(bool v);
    uint8_t ReplaceChar() const { return replaceChar_; }
    void SetReplaceChar(uint8_t v);

    // Copies every field; applies nothing by itself.
    void Assign(const TComParity& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    uint8_t replaceChar_ = 0;
};

class TComFlowControl {
public:
    bool OutCTSFlow() const { return outCTSFlow_; }
    void SetOutCTSFlow(bool v);
    bool OutDSRFlow() const { return outDSRFlow_; }
    void SetOutDSRFlow(bool v);
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    void SetControlDTR(TDTRFlowControl v);
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    void SetControlRTS(TRTSFlowControl v);
    bool XonXoffOut() const { return xonXoffOut_; }
    void SetXonXoffOut(bool v);
    bool XonXoffIn() const { return xonXoffIn_; }
    void SetXonXoffIn(bool v);
    bool DSRSensitivity() const { return dsrSensitivity_; }
    void SetDSRSensitivity(bool v);
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    void SetTxContinueOnXoff(bool v);
    uint8_t XonChar() const { return xonChar_; }
    void SetXonChar(uint8_t v);
    uint8_t XoffChar() const { return xoffChar_; }
    void SetXoffChar(uint8_t v);

    // The preset the fields amount to, and setting one (always re-applies).
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

    void Assign(const TComFlowControl& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    uint8_t xonChar_ = 17;
    uint8_t xoffChar_ = 19;
};

class TComTimeouts {
public:
    int32_t ReadInterval() const { return readInterval_; }
    void SetReadInterval(int32_t v);
    int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    void SetReadTotalMultiplier(int32_t v);
    int32_t ReadTotalConstant() const { return readTotalConstant_; }
    void SetReadTotalConstant(int32_t v);
    int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    void SetWriteTotalMultiplier(int32_t v);
    int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetWriteTotalConstant(int32_t v);

    void Assign(const TComTimeouts& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    int32_t readInterval_ = -1;
    int32_t readTotalMultiplier_ = 0;
    int32_t readTotalConstant_ = 0;
    int32_t writeTotalMultiplier_ = 100;
    int32_t writeTotalConstant_ = 1000;
};

class TComBuffer {
public:
    int32_t InputSize() const { return inputSize_; }
    void SetInputSize(int32_t v); // an odd positive size is stored one lower
    int32_t OutputSize() const { return outputSize_; }
    void SetOutputSize(int32_t v);

    void Assign(const TComBuffer& other);
    TCustomComPort* ComPort() const { return port_; }
    void SetComPort(TCustomComPort* port) { port_ = port; }

private:
    void Changed();
    TCustomComPort* port_ = nullptr;
    int32_t inputSize_ = 1024;
    int32_t outputSize_ = 1024;
};

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
    bool EventThreadRunning() const;

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

// The driver value of a baud-rate ordinal (0 for brCustom).
int32_t BaudRateValue(TBaudRate rate);

} // namespace serial
