#include "serial/local/LocalComDevice.h"

#include "serial/DefaultDevice.h"

namespace serial {

LocalComDevice::~LocalComDevice() {
    LocalComDevice::Close();
}

int LocalComDevice::Open(const std::string& name) {
    if (line_) return oserr::kBusy;
    name_ = name;
    openDetail_.clear();
    std::shared_ptr<LocalLine> line = LocalLine::Find(name);
    if (!line) {
        openDetail_ = name + ": no simulator of that name is running";
        return oserr::kNotFound;
    }
    if (int err = line->Attach()) {
        openDetail_ = err == oserr::kBusy ? name + ": in use by another port" : name + ": not available";
        return err;
    }
    line_ = std::move(line);
    return 0;
}

void LocalComDevice::Close() {
    if (!line_) return;
    line_->Detach();
    line_.reset();
}

int LocalComDevice::SetState(const Dcb& dcb) {
    return line_ ? line_->SetState(dcb) : oserr::kClosed;
}

int LocalComDevice::SetTimeouts(const CommTimeouts&) {
    // Kept and honoured by the port above the device.
    return line_ ? line_->Check() : oserr::kClosed;
}

int LocalComDevice::SetupQueues(int32_t, int32_t) {
    // The line's queues have a fixed size; the sizes are a recommendation.
    return line_ ? line_->Check() : oserr::kClosed;
}

int LocalComDevice::ReadSome(void* buffer, size_t count, size_t& done) {
    done = 0;
    return line_ ? line_->Read(buffer, count, done) : oserr::kClosed;
}

int LocalComDevice::WriteSome(const void* buffer, size_t count, size_t& done) {
    done = 0;
    return line_ ? line_->Write(buffer, count, done) : oserr::kClosed;
}

int LocalComDevice::WaitReadable(int timeoutMs, bool& ready) {
    ready = false;
    return line_ ? line_->WaitReadable(timeoutMs, ready) : oserr::kClosed;
}

int LocalComDevice::WaitWritable(int timeoutMs, bool& ready) {
    ready = false;
    return line_ ? line_->WaitWritable(timeoutMs, ready) : oserr::kClosed;
}

int LocalComDevice::OutputPending(uint32_t& count) {
    count = 0;
    return line_ ? line_->Check() : oserr::kClosed;
}

int LocalComDevice::ClearError(ComStatus& status) {
    status = ComStatus{};
    return line_ ? line_->Status(status) : oserr::kClosed;
}

int LocalComDevice::ModemStatus(uint32_t& msBits) {
    msBits = 0;
    if (!line_) return oserr::kClosed;
    if (int err = line_->Check()) return err;
    // A peer that is always ready, as on a pseudo-terminal.
    msBits = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    return 0;
}

int LocalComDevice::Purge(uint32_t flags) {
    return line_ ? line_->Purge(flags) : oserr::kClosed;
}

int LocalComDevice::EscapeFunction(Escape) {
    // DTR, RTS and break reach no peer here.
    return line_ ? line_->Check() : oserr::kClosed;
}

int LocalComDevice::SetCommMask(uint32_t mask) {
    return line_ ? line_->SetCommMask(mask) : oserr::kClosed;
}

int LocalComDevice::WaitCommEvent(uint32_t& mask, platform::StopHandle) {
    mask = 0;
    return line_ ? line_->WaitCommEvent(mask) : oserr::kClosed;
}

void LocalComDevice::InterruptEventWait() {
    if (line_) line_->InterruptEventWait();
}

std::string LocalComDevice::FailureDetail() const {
    if (!line_) return openDetail_;
    return line_->Check() == oserr::kGone ? name_ + ": the simulator has stopped" : std::string();
}

} // namespace serial
