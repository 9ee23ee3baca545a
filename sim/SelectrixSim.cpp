// The Selectrix model behind the master side of a pseudo-terminal, served by one thread that
// sleeps in poll() until the PC sends something, an answer falls due or a setter wakes it.
#include "sim/SelectrixSim.h"

#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Unread answers beyond this are lost, as on a line whose receiver is not listening.
constexpr size_t kMaxOutgoingBytes = 64 * 1024;

std::runtime_error SysError(const char* what) {
    return std::runtime_error(std::string("SelectrixSim: ") + what + ": " + std::strerror(errno));
}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throw SysError("fcntl");
}

// Raw from the start: nothing the code under test does before configuring the port may echo
// or translate a byte.
void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) < 0) throw SysError("tcgetattr");
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) < 0) throw SysError("tcsetattr");
}

unsigned BaudOf(speed_t speed) {
    static const std::pair<speed_t, unsigned> kTable[] = {
        {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
        {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (auto [code, baud] : kTable)
        if (code == speed) return baud;
    return 0;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

SelectrixSim::SelectrixSim(size_t recordLimit) : recordLimit_(recordLimit) {
    char name[128] = {};
    if (openpty(&master_, &spare_, name, nullptr, nullptr) < 0) throw SysError("openpty");
    path_ = name;
    try {
        MakeRaw(spare_);
        SetNonBlocking(master_);
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) throw SysError("pipe2");
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(spare_, F_SETFD, FD_CLOEXEC);
        thread_ = std::thread([this] { Serve(); });
    } catch (...) {
        CloseFd(master_);
        CloseFd(spare_);
        CloseFd(wake_[0]);
        CloseFd(wake_[1]);
        throw;
    }
}

SelectrixSim::~SelectrixSim() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    CloseFd(master_);
    CloseFd(spare_);
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
}

void SelectrixSim::Wake() {
    char b = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
}

void SelectrixSim::Serve() {
    char buf[4096];
    for (;;) {
        bool wantOutput = false;
        int timeout;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            timeout = PollTimeoutMs(wantOutput);
        }
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (wantOutput ? POLLOUT : 0)), 0},
                         {wake_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // nothing sensible left to serve
        }
        if (fds[1].revents & POLLIN) {
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t got = ::read(master_, buf, sizeof buf);
            if (got > 0) HandleInput(buf, static_cast<size_t>(got));
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
            // Only when every slave descriptor is gone, ours included. Re-open ours so the
            // line is up again instead of polling a hung-up master in a loop.
            if (!ReopenSpare()) {
                std::unique_lock<std::mutex> lock(mutex_);
                recordChanged_.wait_for(lock, std::chrono::milliseconds(100),
                                        [this] { return stop_; });
            }
        }
        FlushDue();
    }
}

bool SelectrixSim::ReopenSpare() {
    std::lock_guard<std::mutex> lock(mutex_); // Line() reads through the spare
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

int SelectrixSim::PollTimeoutMs(bool& wantOutput) {
    if (outgoing_.empty()) return -1;
    uint64_t now = platform::MicroNow();
    const Outgoing& front = outgoing_.front();
    if (front.dueUs <= now) {
        wantOutput = true;
        return -1;
    }
    // Round up so the answer is never sent before its time.
    return static_cast<int>((front.dueUs - now + 999) / 1000);
}

void SelectrixSim::Record(std::deque<Received>& record, uint64_t atUs, const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        record.push_back({atUs, static_cast<uint8_t>(data[i])});
    if (recordLimit_ > 0) {
        while (record.size() > recordLimit_)
            record.pop_front();
    }
}

void SelectrixSim::HandleInput(const char* data, size_t n) {
    std::vector<RequestEvent> events;
    std::function<void(const RequestEvent&)> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        Record(received_, now, data, n);
        receivedCount_ += n;
        std::string answer = model_.Feed(std::string(data, n), platform::GetTickCount(),
                                         monitor_ ? &events : nullptr);
        if (!answer.empty() && outgoingBytes_ + answer.size() <= kMaxOutgoingBytes) {
            outgoingBytes_ += answer.size();
            outgoing_.push_back(
                {now + static_cast<uint64_t>(answerDelayMs_) * 1000, std::move(answer)});
        }
        monitor = monitor_;
    }
    recordChanged_.notify_all();
    if (monitor) {
        for (const RequestEvent& e : events)
            monitor(e);
    }
}

void SelectrixSim::FlushDue() {
    bool wrote = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!outgoing_.empty()) {
            Outgoing& front = outgoing_.front();
            uint64_t now = platform::MicroNow();
            if (front.dueUs > now) break;
            ssize_t put = ::write(master_, front.bytes.data(), front.bytes.size());
            if (put <= 0) break; // full (EAGAIN): POLLOUT says when to go on
            Record(sent_, now, front.bytes.data(), static_cast<size_t>(put));
            sentCount_ += static_cast<size_t>(put);
            outgoingBytes_ -= static_cast<size_t>(put);
            wrote = true;
            if (static_cast<size_t>(put) < front.bytes.size()) {
                front.bytes.erase(0, static_cast<size_t>(put));
                break;
            }
            outgoing_.pop_front();
        }
    }
    if (wrote) recordChanged_.notify_all();
}

uint8_t SelectrixSim::Bus(uint8_t addr) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.Advance(platform::GetTickCount());
    return model_.Bus(addr);
}

void SelectrixSim::SetBus(uint8_t addr, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetBus(addr, value);
}

bool SelectrixSim::TrackPower() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.TrackPower();
}

void SelectrixSim::SetTrackPower(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetTrackPower(on);
}

void SelectrixSim::SetFeedback(uint8_t addr, uint8_t inputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetFeedback(addr, inputs);
}

void SelectrixSim::SetProgrammingDecoder(uint8_t reg104, uint8_t reg105) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammingDecoder(reg104, reg105);
}

std::pair<uint8_t, uint8_t> SelectrixSim::ProgrammingDecoder() {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.Advance(platform::GetTickCount());
    return model_.ProgrammingDecoder();
}

void SelectrixSim::SetProgrammerTiming(const ProgrammerTiming& timing) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammerTiming(timing);
}

std::vector<Received> SelectrixSim::ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
}

std::vector<Received> SelectrixSim::SentBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sent_.begin(), sent_.end()};
}

void SelectrixSim::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
    receivedCount_ = 0;
    sentCount_ = 0;
}

bool SelectrixSim::WaitForReceived(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return recordChanged_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                   [&] { return receivedCount_ >= n; });
}

bool SelectrixSim::WaitForSent(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return recordChanged_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                   [&] { return sentCount_ >= n; });
}

void SelectrixSim::SendUnsolicited(const std::string& bytes) {
    if (bytes.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (outgoingBytes_ + bytes.size() > kMaxOutgoingBytes) return;
        outgoingBytes_ += bytes.size();
        outgoing_.push_back({platform::MicroNow(), bytes});
    }
    Wake();
}

LineSettings SelectrixSim::Line() {
    std::lock_guard<std::mutex> lock(mutex_);
    LineSettings line;
    termios tio{};
    if (spare_ < 0 || tcgetattr(spare_, &tio) < 0) return line;
    line.baud = BaudOf(cfgetospeed(&tio));
    line.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
    line.rtsCts = (tio.c_cflag & CRTSCTS) != 0;
    return line;
}

void SelectrixSim::SetRequestMonitor(std::function<void(const RequestEvent&)> monitor) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitor_ = std::move(monitor);
}

void SelectrixSim::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetSilent(silent);
}

void SelectrixSim::SetAnswerDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDelayMs_ = std::max(ms, 0);
}

void SelectrixSim::SetCorruptAnswers(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetCorruptAnswers(on);
}

void SelectrixSim::SetDropEvery(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetDropEvery(n);
}

void SelectrixSim::SetExtraAnswerBytes(const std::string& extra) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetExtraAnswerBytes(extra);
}

void SelectrixSim::SetProgrammerBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammerBusy(busy);
}

void SelectrixSim::SetProgrammerNeverReady(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammerNeverReady(on);
}

} // namespace sim
