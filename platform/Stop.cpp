#include "platform/Stop.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

StopSignal::StopSignal() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!handle_)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
}

StopSignal::~StopSignal() {
    CloseHandle(handle_);
}

void StopSignal::Signal() {
    SetEvent(handle_);
}

void StopSignal::Clear() {
    ResetEvent(handle_);
}

bool StopSignal::IsSet() const {
    return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

int WaitForAny(const StopHandle* handles, int count, int timeoutMs) {
    if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return -2;
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                           timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (r == WAIT_TIMEOUT) return -1;
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + static_cast<DWORD>(count))
        return static_cast<int>(r - WAIT_OBJECT_0);
    return -2;
}

#else

StopSignal::StopSignal() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (handle_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

StopSignal::~StopSignal() {
    ::close(handle_);
}

void StopSignal::Signal() {
    uint64_t one = 1;
    // Cannot fail short of a full counter, which already means "set".
    [[maybe_unused]] ssize_t n = ::write(handle_, &one, sizeof one);
}

void StopSignal::Clear() {
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(handle_, &value, sizeof value);
}

bool StopSignal::IsSet() const {
    pollfd p{handle_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

int WaitForAny(const StopHandle* handles, int count, int timeoutMs) {
    if (count <= 0 || count > 8) return -2;
    pollfd fds[8];
    for (int i = 0; i < count; ++i)
        fds[i] = {handles[i], POLLIN, 0};
    for (;;) {
        const int r = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
        if (r == 0) return -1;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -2;
        }
        for (int i = 0; i < count; ++i)
            if (fds[i].revents) return i;
    }
}

#endif

} // namespace platform
