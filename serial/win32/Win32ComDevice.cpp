#include "serial/win32/Win32ComDevice.h"

#include <windows.h>

#include <algorithm>

namespace serial {

struct Win32ComDevice::Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr); }
    ~Overlapped() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
    void Reset() {
        HANDLE e = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = e;
        ResetEvent(e);
    }
};

namespace {

HANDLE H(void* h) {
    return static_cast<HANDLE>(h);
}

int LastError() {
    return static_cast<int>(GetLastError());
}

// The driver says so for every modem-line call on a line without them.
bool NotSupported(int err) {
    return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION;
}

// Runs one overlapped transfer to its end; `limitMs` < 0 waits without a
// limit, else the transfer is cancelled once the limit passed. ERROR_TIMEOUT
// (the driver's own time-out) and a cancel are no failure: the bytes that
// moved are the result.
int Transfer(HANDLE h, OVERLAPPED& ov, bool write, void* buffer, DWORD count, int limitMs,
             DWORD& moved) {
    moved = 0;
    BOOL ok = write ? WriteFile(h, buffer, count, nullptr, &ov)
                    : ReadFile(h, buffer, count, nullptr, &ov);
    if (!ok) {
        const DWORD err = GetLastError();
        if (err == ERROR_TIMEOUT) return 0;
        if (err != ERROR_IO_PENDING) return static_cast<int>(err);
        const DWORD limit = limitMs < 0 ? INFINITE : static_cast<DWORD>(limitMs);
        if (WaitForSingleObject(ov.hEvent, limit) != WAIT_OBJECT_0) CancelIoEx(h, &ov);
    }
    if (GetOverlappedResult(h, &ov, &moved, TRUE)) return 0;
    const DWORD err = GetLastError();
    if (err == ERROR_TIMEOUT || err == ERROR_OPERATION_ABORTED) return 0;
    return static_cast<int>(err);
}

// The longest a blocking wait for input lasts when its caller has no limit.
constexpr DWORD kBlockingWaitSliceMs = 100;

} // namespace

std::wstring Win32DeviceName(const std::string& port) {
    static const std::string kPrefix = "\\\\.\\";
    std::string name = port;
    if (name.rfind(kPrefix, 0) == 0) name.erase(0, kPrefix.size());
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos ||
        name.find('\0') != std::string::npos)
        return {};
    std::wstring wide = L"\\\\.\\";
    for (unsigned char c : name) {
        if (c < 0x20 || c >= 0x80) return {}; // port names are plain ASCII
        wide += static_cast<wchar_t>(c);
    }
    return wide;
}

Win32ComDevice::Win32ComDevice() = default;

Win32ComDevice::~Win32ComDevice() {
    Close();
}

int Win32ComDevice::Open(const std::string& path) {
    if (handle_) return ERROR_BUSY;
    detail_.clear();
    const std::wstring name = Win32DeviceName(path);
    if (name.empty()) {
        detail_ = path + " is not a serial port";
        return ERROR_INVALID_NAME;
    }
    overlapped_ = planEvents_;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped_ ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    // Only a character device with a line behind it: \\.\NUL opens too.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        const int err = GetFileType(h) != FILE_TYPE_CHAR ? ERROR_INVALID_NAME : LastError();
        CloseHandle(h);
        detail_ = path + " is not a serial port";
        return err;
    }
    read_ = new Overlapped;
    write_ = new Overlapped;
    wait_ = new Overlapped;
    maskChanged_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!read_->ov.hEvent || !write_->ov.hEvent || !wait_->ov.hEvent || !maskChanged_) {
        const int err = LastError();
        handle_ = h;
        Close();
        return err ? err : ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD bits = 0;
    modemLines_ = GetCommModemStatus(h, &bits) || !NotSupported(LastError());
    driverEvents_ = true;
    // Reads of what is queued complete at once; waits are limited by us.
    readWaitMs_ = writeMultiplier_ = writeConstant_ = 0;
    COMMTIMEOUTS t{};
    if (!SetCommTimeouts(h, &t)) {
        const int err = LastError();
        handle_ = h;
        Close();
        return err;
    }
    handle_ = h;
    kept_ = false;
    heldErrors_ = 0;
    polledReceived_ = handedOut_ = 0;
    mask_ = 0;
    return 0;
}

void Win32ComDevice::Close() {
    if (!handle_) return;
    // Transfers still under way end before their records go.
    CancelIoEx(H(handle_), nullptr);
    CloseHandle(H(handle_));
    handle_ = nullptr;
    delete read_;
    delete write_;
    delete wait_;
    read_ = write_ = wait_ = nullptr;
    if (maskChanged_) CloseHandle(H(maskChanged_));
    maskChanged_ = nullptr;
    kept_ = false;
}

int Win32ComDevice::SetState(const Dcb& d) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = d.BaudRate;
    dcb.fBinary = d.fBinary;
    dcb.fParity = d.fParity;
    dcb.fOutxCtsFlow = d.fOutxCtsFlow;
    dcb.fOutxDsrFlow = d.fOutxDsrFlow;
    dcb.fDtrControl = d.fDtrControl;
    dcb.fDsrSensitivity = d.fDsrSensitivity;
    dcb.fTXContinueOnXoff = d.fTXContinueOnXoff;
    dcb.fOutX = d.fOutX;
    dcb.fInX = d.fInX;
    dcb.fErrorChar = d.fErrorChar;
    dcb.fNull = d.fNull;
    dcb.fRtsControl = d.fRtsControl;
    dcb.fAbortOnError = d.fAbortOnError;
    dcb.XonLim = d.XonLim;
    dcb.XoffLim = d.XoffLim;
    dcb.ByteSize = d.ByteSize;
    dcb.Parity = d.Parity;
    dcb.StopBits = d.StopBits;
    dcb.XonChar = static_cast<char>(d.XonChar);
    dcb.XoffChar = static_cast<char>(d.XoffChar);
    dcb.ErrorChar = static_cast<char>(d.ErrorChar);
    dcb.EofChar = static_cast<char>(d.EofChar);
    dcb.EvtChar = static_cast<char>(d.EvtChar);
    if (SetCommState(H(handle_), &dcb)) return 0;
    const int err = LastError();
    // A line without modem lines cannot take the DTR/RTS part; everything
    // else of the block is in place when the driver says only that.
    if (!NotSupported(err) || modemLines_) return err;
    DCB now{};
    now.DCBlength = sizeof now;
    if (!GetCommState(H(handle_), &now)) return LastError();
    return now.BaudRate == dcb.BaudRate && now.ByteSize == dcb.ByteSize &&
                   now.Parity == dcb.Parity && now.StopBits == dcb.StopBits
               ? 0
               : err;
}

int Win32ComDevice::SetTimeouts(const CommTimeouts& t) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    // The read limits are kept above the device; the write limits are the
    // driver's, so a write on a held line ends when they say.
    writeMultiplier_ = t.WriteTotalTimeoutMultiplier;
    writeConstant_ = t.WriteTotalTimeoutConstant;
    return ApplyTimeouts(readWaitMs_);
}

// The driver's time-outs: the write limits, and the read part: none (a read
// takes what is queued, the caller asks for no more) or, for a blocking wait
// for input, "the first byte, or nothing after `readWaitMs`".
int Win32ComDevice::ApplyTimeouts(uint32_t readWaitMs) {
    COMMTIMEOUTS ct{};
    ct.WriteTotalTimeoutMultiplier = writeMultiplier_;
    ct.WriteTotalTimeoutConstant = writeConstant_;
    if (readWaitMs != 0) {
        ct.ReadIntervalTimeout = MAXDWORD;
        ct.ReadTotalTimeoutMultiplier = MAXDWORD;
        ct.ReadTotalTimeoutConstant = readWaitMs;
    }
    if (!SetCommTimeouts(H(handle_), &ct)) return LastError();
    readWaitMs_ = readWaitMs;
    return 0;
}

// One transfer to its end: overlapped with its own record, or plain and
// blocking (the driver's time-outs end it; ERROR_TIMEOUT is no failure).
int Win32ComDevice::Transfer(bool write, void* buffer, uint32_t count, int limitMs,
                             uint32_t& moved) {
    DWORD n = 0;
    moved = 0;
    if (overlapped_) {
        Overlapped& record = write ? *write_ : *read_;
        record.Reset();
        const int err = serial::Transfer(H(handle_), record.ov, write, buffer, count, limitMs, n);
        moved = n;
        return err;
    }
    const BOOL ok = write ? WriteFile(H(handle_), buffer, count, &n, nullptr)
                          : ReadFile(H(handle_), buffer, count, &n, nullptr);
    moved = n;
    if (ok) return 0;
    const DWORD err = GetLastError();
    return err == ERROR_TIMEOUT ? 0 : static_cast<int>(err);
}

int Win32ComDevice::SetupQueues(int32_t inputSize, int32_t outputSize) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    return SetupComm(H(handle_), static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize))
               ? 0
               : LastError();
}

int Win32ComDevice::QueueStatus(uint32_t& errors, ComStatus& status) {
    DWORD e = 0;
    COMSTAT st{};
    if (!ClearCommError(H(handle_), &e, &st)) return LastError();
    errors = e;
    status.inQueue = st.cbInQue;
    status.outQueue = st.cbOutQue;
    status.holdFlags = static_cast<uint8_t>(st.fCtsHold | st.fDsrHold << 1 | st.fRlsdHold << 2 |
                                            st.fXoffHold << 3 | st.fXoffSent << 4 |
                                            st.fEof << 5 | st.fTxim << 6);
    return 0;
}

// Reads exactly what the driver has queued, at most `count` (readMutex_ held).
int Win32ComDevice::ReadQueued(uint8_t* into, size_t count, size_t& done) {
    done = 0;
    if (count == 0) return 0;
    uint32_t errors = 0;
    ComStatus st;
    if (int err = QueueStatus(errors, st)) return err;
    if (errors) {
        std::lock_guard lock(statusMutex_);
        heldErrors_ |= errors;
    }
    const DWORD want = static_cast<DWORD>(std::min<size_t>(count, st.inQueue));
    if (want == 0) return 0;
    uint32_t moved = 0;
    if (int err = Transfer(false, into, want, -1, moved)) return err;
    done = moved;
    return 0;
}

int Win32ComDevice::ReadSome(void* buffer, size_t count, size_t& done) {
    done = 0;
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (count == 0) return 0;
    std::lock_guard lock(readMutex_);
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (kept_) {
        bytes[0] = keptByte_;
        kept_ = false;
        done = 1;
    }
    size_t more = 0;
    const int err = ReadQueued(bytes + done, count - done, more);
    done += more;
    handedOut_ += done;
    // The kept byte is already the caller's: a failure shows at the next call.
    return done > 0 && err ? 0 : err;
}

int Win32ComDevice::WaitReadable(int timeoutMs, bool& ready) {
    ready = false;
    if (!handle_) return ERROR_INVALID_HANDLE;
    std::lock_guard lock(readMutex_);
    if (kept_) {
        ready = true;
        return 0;
    }
    if (timeoutMs == 0) {
        uint32_t errors = 0;
        ComStatus st;
        if (int err = QueueStatus(errors, st)) return err;
        if (errors) {
            std::lock_guard held(statusMutex_);
            heldErrors_ |= errors;
        }
        ready = st.inQueue > 0;
        return 0;
    }
    // A one-byte read completes at once when a byte is queued, so there is
    // no need to ask the driver first (each call is a round trip to it).
    if (!overlapped_) {
        const uint32_t limit =
            timeoutMs < 0 ? kBlockingWaitSliceMs
                          : std::min<uint32_t>(static_cast<uint32_t>(timeoutMs), MAXDWORD - 1);
        if (limit != readWaitMs_)
            if (int err = ApplyTimeouts(limit)) return err;
    }
    uint32_t moved = 0;
    if (int err = Transfer(false, &keptByte_, 1, timeoutMs, moved)) return err;
    kept_ = moved == 1;
    ready = kept_;
    return 0;
}

int Win32ComDevice::WriteSome(const void* buffer, size_t count, size_t& done) {
    done = 0;
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (count == 0) return 0;
    std::lock_guard lock(writeMutex_);
    uint32_t moved = 0;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, 0x7FFFFFFF));
    if (int err = Transfer(true, const_cast<void*>(buffer), n, -1, moved)) return err;
    done = moved;
    return 0;
}

int Win32ComDevice::WaitWritable(int, bool& ready) {
    // A write waits for the driver itself.
    ready = handle_ != nullptr;
    return handle_ ? 0 : ERROR_INVALID_HANDLE;
}

int Win32ComDevice::OutputPending(uint32_t& count) {
    count = 0;
    // A write here has ended when its WriteFile completed, which is the
    // driver's word that it is done; the queue count is not asked for once
    // more (under wine it is what the peer has not read yet, on a pty). Line
    // errors are taken by the next read or ClearError.
    return handle_ ? 0 : ERROR_INVALID_HANDLE;
}

int Win32ComDevice::ClearError(ComStatus& status) {
    status = ComStatus{};
    if (!handle_) return ERROR_INVALID_HANDLE;
    uint32_t errors = 0;
    if (int err = QueueStatus(errors, status)) return err;
    std::lock_guard lock(statusMutex_);
    status.errors = errors | heldErrors_;
    heldErrors_ = 0;
    // Owner and event thread may both ask; the byte is read by neither yet.
    if (kept_) ++status.inQueue;
    return 0;
}

int Win32ComDevice::ModemStatus(uint32_t& msBits) {
    msBits = 0;
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (modemLines_) {
        DWORD bits = 0;
        if (GetCommModemStatus(H(handle_), &bits)) {
            msBits = bits;
            return 0;
        }
        const int err = LastError();
        if (!NotSupported(err)) return err;
        modemLines_ = false;
    }
    msBits = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    return 0;
}

int Win32ComDevice::Purge(uint32_t flags) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    // A wait for input or a write of another thread ends first, so the purge
    // does not leave it pending (wine keeps reads across PURGE_RXABORT). A
    // blocking handle has no transfer of another thread under way here.
    if (overlapped_ && flags & (PURGE_RXABORT | PURGE_RXCLEAR)) CancelIoEx(H(handle_), &read_->ov);
    if (overlapped_ && flags & PURGE_TXABORT) CancelIoEx(H(handle_), &write_->ov);
    if (flags & PURGE_RXCLEAR) {
        std::lock_guard lock(readMutex_);
        kept_ = false;
        // What is discarded was never received, for the polling wait.
        polledReceived_ = handedOut_;
    }
    return PurgeComm(H(handle_), flags) ? 0 : LastError();
}

int Win32ComDevice::EscapeFunction(Escape fn) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    DWORD code = 0;
    bool modemLine = true;
    switch (fn) {
    case Escape::SetDTR:
        code = SETDTR;
        break;
    case Escape::ClrDTR:
        code = CLRDTR;
        break;
    case Escape::SetRTS:
        code = SETRTS;
        break;
    case Escape::ClrRTS:
        code = CLRRTS;
        break;
    case Escape::SetBreak:
        code = SETBREAK;
        modemLine = false;
        break;
    case Escape::ClrBreak:
        code = CLRBREAK;
        modemLine = false;
        break;
    }
    if (modemLine && !modemLines_) return 0;
    if (EscapeCommFunction(H(handle_), code)) return 0;
    const int err = LastError();
    if (modemLine && NotSupported(err)) {
        modemLines_ = false;
        return 0;
    }
    return err;
}

int Win32ComDevice::SetCommMask(uint32_t mask) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    mask_ = mask;
    SetEvent(H(maskChanged_));
    if (!driverEvents_) return 0;
    if (::SetCommMask(H(handle_), mask)) return 0;
    const int err = LastError();
    if (!NotSupported(err)) return err;
    driverEvents_ = false;
    return 0;
}

int Win32ComDevice::WaitCommEvent(uint32_t& mask, platform::StopHandle stop) {
    mask = 0;
    if (!handle_) return ERROR_INVALID_HANDLE;
    // A blocking handle would hold every other transfer behind the wait.
    if (!overlapped_) return ERROR_INVALID_FUNCTION;
    if (!driverEvents_) return PollEvents(mask, stop);
    wait_->Reset();
    DWORD got = 0;
    if (::WaitCommEvent(H(handle_), &got, &wait_->ov)) {
        mask = got;
        return 0;
    }
    int err = LastError();
    if (NotSupported(err)) {
        driverEvents_ = false;
        return PollEvents(mask, stop);
    }
    if (err != ERROR_IO_PENDING) return err;
    HANDLE handles[2] = {H(stop), wait_->ov.hEvent};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0 + 1) {
        // Stopped (or the wait failed): the driver's wait ends here, before
        // its record can be reused or freed.
        ::SetCommMask(H(handle_), 0);
        DWORD ignored = 0;
        GetOverlappedResult(H(handle_), &wait_->ov, &ignored, TRUE);
        return r == WAIT_OBJECT_0 ? 0 : LastError();
    }
    DWORD n = 0;
    if (GetOverlappedResult(H(handle_), &wait_->ov, &n, FALSE)) {
        mask = got;
        return 0;
    }
    err = LastError();
    // A driver may also refuse the wait only once it has taken it.
    if (NotSupported(err)) {
        driverEvents_ = false;
        return PollEvents(mask, stop);
    }
    // SetCommMask ended the wait: no event.
    return err == ERROR_OPERATION_ABORTED ? 0 : err;
}

// For a driver without an event wait: received bytes (more received, read or
// still queued, than at the last report) and line errors, every 2 ms.
int Win32ComDevice::PollEvents(uint32_t& mask, platform::StopHandle stop) {
    const HANDLE handles[2] = {H(stop), H(maskChanged_)};
    const uint32_t armed = mask_;
    for (;;) {
        // Queue and read count taken together, under the readers' lock; a
        // reader holding it (waiting for input itself) is looked at next time.
        std::unique_lock reading(readMutex_, std::try_to_lock);
        if (reading) {
            ComStatus st;
            uint32_t errors = 0;
            if (int err = QueueStatus(errors, st)) return err;
            const uint64_t received = handedOut_ + st.inQueue + (kept_ ? 1 : 0);
            if (armed & EV_RXCHAR && received > polledReceived_) mask |= EV_RXCHAR;
            polledReceived_ = std::max(polledReceived_, received);
            reading.unlock();
            std::lock_guard lock(statusMutex_);
            heldErrors_ |= errors;
            if (armed & EV_ERR && heldErrors_) mask |= EV_ERR;
        }
        if (mask) return 0;
        const DWORD r = WaitForMultipleObjects(2, handles, FALSE, 2);
        if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) return 0;
        if (r != WAIT_TIMEOUT) return LastError();
    }
}

} // namespace serial
