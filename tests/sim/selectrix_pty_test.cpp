// The simulator as the code under test meets it: a serial device path opened with termios.
#include "sim/SelectrixSim.h"

#include "platform/Tick.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using testsupport::Bytes;

// The PC side: the slave opened and set up as a plain 9600 8N2 raw port.
class Port {
  public:
    explicit Port(const std::string& path, bool configure = true) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0 || !configure) return;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
        cfsetspeed(&tio, B9600);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Port() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until `want` bytes came or `timeoutMs` passed.
    std::string Receive(size_t want, int timeoutMs) {
        std::string got;
        platform::Deadline end = platform::Deadline::After(static_cast<uint32_t>(timeoutMs));
        while (got.size() < want) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(end.Remaining())) <= 0) break;
            char buf[256];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    std::string Transact(const std::string& request, size_t want = 1) {
        Send(request);
        return Receive(want, 2000);
    }

  private:
    int fd_ = -1;
};

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

} // namespace

TEST(SelectrixPty, DevicePathIsAnAbsoluteSlavePath) {
    sim::SelectrixSim sx;
    EXPECT_EQ(sx.DevicePath().rfind("/dev/", 0), 0u) << sx.DevicePath();
    Port port(sx.DevicePath());
    EXPECT_TRUE(port.Ok());
}

TEST(SelectrixPty, RequestsAndRecords) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath());
    ASSERT_TRUE(port.Ok());
    sx.SetFeedback(12, 0x81);

    EXPECT_EQ(port.Transact(Bytes({0x7F, 0x20})), Bytes({0x00}));
    port.Send(Bytes({0xFF, 0xFF}));
    ASSERT_TRUE(sx.WaitForReceived(4, 2000));
    EXPECT_TRUE(sx.TrackPower());
    EXPECT_EQ(port.Transact(Bytes({0x7F, 0x20})), Bytes({0x80}));
    EXPECT_EQ(port.Transact(Bytes({0x0C, 0x20})), Bytes({0x81}));
    port.Send(Bytes({0x83, 0x6A}));
    ASSERT_TRUE(sx.WaitForReceived(10, 2000));
    EXPECT_EQ(sx.Bus(3), 0x6A);

    sx.SetTrackPower(false); // switched off at the unit
    EXPECT_EQ(port.Transact(Bytes({0x7F, 0x20})), Bytes({0x00}));

    auto received = sx.ReceivedBytes();
    std::string bytes;
    for (size_t i = 0; i < received.size(); ++i) {
        bytes.push_back(static_cast<char>(received[i].byte));
        if (i > 0) {
            EXPECT_GE(received[i].atUs, received[i - 1].atUs);
        }
    }
    EXPECT_EQ(bytes,
              Bytes({0x7F, 0x20, 0xFF, 0xFF, 0x7F, 0x20, 0x0C, 0x20, 0x83, 0x6A, 0x7F, 0x20}));
    auto sent = sx.SentBytes();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1].byte, 0x80);
    EXPECT_GE(sent[0].atUs, received[1].atUs) << "an answer follows its request";

    sx.ClearRecords();
    EXPECT_TRUE(sx.ReceivedBytes().empty());
    EXPECT_TRUE(sx.SentBytes().empty());
    EXPECT_FALSE(sx.WaitForReceived(1, 30));
}

// Raw from the first byte: a port nobody configured must not echo, map CR/NL or eat ^C/^S.
TEST(SelectrixPty, BytesPassUntouchedBeforeTheCodeUnderTestConfiguresThePort) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath(), /*configure=*/false);
    ASSERT_TRUE(port.Ok());
    for (int v : {0x0A, 0x0D, 0x03, 0x11, 0x13, 0x7F, 0x04}) {
        sx.SetBus(1, static_cast<uint8_t>(v));
        EXPECT_EQ(port.Transact(Bytes({0x01, 0x20})), Bytes({v})) << v;
    }
    port.Send(Bytes({0x8D, 0x0D, 0x8A, 0x0A, 0x83, 0x03}));
    ASSERT_TRUE(sx.WaitForReceived(20, 2000));
    EXPECT_FALSE(sx.WaitForReceived(21, 50)) << "nothing added or echoed";
    EXPECT_EQ(sx.Bus(13), 0x0D);
    EXPECT_EQ(sx.Bus(10), 0x0A);
    EXPECT_EQ(sx.Bus(3), 0x03);
}

TEST(SelectrixPty, RequestSplitAcrossTwoReads) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath());
    sx.SetBus(50, 0x5A);
    port.Send(Bytes({0x32}));
    ASSERT_TRUE(sx.WaitForReceived(1, 2000));
    EXPECT_EQ(port.Receive(1, 20), "") << "half a request is not answered";
    port.Send(Bytes({0x20}));
    EXPECT_EQ(port.Receive(1, 2000), Bytes({0x5A}));
}

TEST(SelectrixPty, FaultSwitches) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath());
    sx.SetBus(9, 0x0F);
    const std::string read9 = Bytes({0x09, 0x20});

    sx.SetSilent(true);
    port.Send(read9);
    EXPECT_EQ(port.Receive(1, 100), "");
    sx.SetSilent(false);

    sx.SetCorruptAnswers(true);
    EXPECT_EQ(port.Transact(read9), Bytes({0xF0}));
    sx.SetCorruptAnswers(false);

    sx.SetDropEvery(2);
    port.Send(read9 + read9 + read9 + read9);
    EXPECT_EQ(port.Receive(3, 300), Bytes({0x0F, 0x0F}));
    sx.SetDropEvery(0);

    sx.SetExtraAnswerBytes(Bytes({0x55, 0xAA}));
    EXPECT_EQ(port.Transact(read9, 3), Bytes({0x0F, 0x55, 0xAA}));
    sx.SetExtraAnswerBytes("");

    sx.SetProgrammerBusy(true);
    EXPECT_EQ(port.Transact(Bytes({0x6D, 0x20})), Bytes({0x40}));
}

TEST(SelectrixPty, AnswerDelayHoldsBackEveryAnswer) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath());
    sx.SetAnswerDelayMs(80);
    port.Send(Bytes({0x7F, 0x20}));
    EXPECT_EQ(port.Receive(1, 40), "") << "not within one Selectrix read time-out";
    EXPECT_EQ(port.Receive(1, 2000), Bytes({0x00}));
    auto received = sx.ReceivedBytes();
    auto sent = sx.SentBytes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_GE(sent[0].atUs - received[1].atUs, 80000u);

    // Requests keep coming in while answers wait; each goes out after its own delay.
    sx.ClearRecords();
    port.Send(Bytes({0x7F, 0x20}));
    port.Send(Bytes({0x01, 0x20}));
    EXPECT_EQ(port.Receive(2, 2000), Bytes({0x00, 0x00}));
}

TEST(SelectrixPty, UnsolicitedBytesReachThePc) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath());
    sx.SendUnsolicited(Bytes({0x01, 0x02, 0x03}));
    EXPECT_EQ(port.Receive(3, 2000), Bytes({0x01, 0x02, 0x03}));
    EXPECT_TRUE(sx.WaitForSent(3, 2000));
}

TEST(SelectrixPty, LineSettingsOfTheCodeUnderTest) {
    sim::SelectrixSim sx;
    Port port(sx.DevicePath());
    sim::LineSettings line = sx.Line();
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_TRUE(line.twoStopBits);
    EXPECT_FALSE(line.rtsCts);

    termios tio{};
    tcgetattr(port.Fd(), &tio);
    cfsetspeed(&tio, B19200);
    tio.c_cflag = (tio.c_cflag & ~CSTOPB) | CRTSCTS;
    tcsetattr(port.Fd(), TCSANOW, &tio);
    line = sx.Line();
    EXPECT_EQ(line.baud, 19200u);
    EXPECT_FALSE(line.twoStopBits);
    EXPECT_TRUE(line.rtsCts);
}

TEST(SelectrixPty, ServesAgainAfterThePeerClosedWithoutSpinning) {
    sim::SelectrixSim sx;
    sx.SetBus(20, 0x14);
    for (int round = 0; round < 3; ++round) {
        Port port(sx.DevicePath());
        ASSERT_TRUE(port.Ok()) << round;
        EXPECT_EQ(port.Transact(Bytes({0x14, 0x20})), Bytes({0x14})) << round;
    }
    // Closed now: the thread must sleep, not poll a hung-up line over and over. A spinning
    // thread would use about the whole interval; the margin is wide for a loaded machine.
    double before = CpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(CpuMs() - before, 100.0);
    Port again(sx.DevicePath());
    EXPECT_EQ(again.Transact(Bytes({0x14, 0x20})), Bytes({0x14}));
}

TEST(SelectrixPty, ProgrammerStepByStepOverTheLine) {
    sim::SelectrixSim sx;
    sx.SetProgrammingDecoder(5, 255);
    sx.SetProgrammerTiming({20, 30, 40, 10});
    Port port(sx.DevicePath());
    auto status = [&] { return port.Transact(Bytes({0x6D, 0x20})); };
    auto pollUntil = [&](int want) {
        platform::Deadline end = platform::Deadline::After(5000);
        std::string s;
        while (!end.Reached()) {
            s = status();
            if (s == Bytes({want})) return true;
        }
        return false;
    };

    port.Send(Bytes({0xEA, 64}));
    EXPECT_TRUE(pollUntil(0x60));
    port.Send(Bytes({0xEA, 193}));
    port.Send(Bytes({0xEA, 129}));
    EXPECT_TRUE(pollUntil(0x20));
    EXPECT_EQ(port.Transact(Bytes({0x68, 0x20})), Bytes({5}));
    EXPECT_EQ(port.Transact(Bytes({0x69, 0x20})), Bytes({255}));

    port.Send(Bytes({0xE8, 0x21, 0xE9, 0x42, 0xEA, 64}));
    EXPECT_TRUE(pollUntil(0x60));
    port.Send(Bytes({0xEA, 201}));
    EXPECT_TRUE(pollUntil(0x60)) << "write done";
    port.Send(Bytes({0xEA, 0}));
    EXPECT_TRUE(pollUntil(0x20));
    EXPECT_EQ(sx.ProgrammingDecoder(), std::make_pair(uint8_t{0x21}, uint8_t{0x42}));
}

TEST(SelectrixPty, MonitorSeesEachRequest) {
    // Declared before the simulator: its thread may call the monitor until it is destroyed.
    std::mutex m;
    std::condition_variable changed;
    std::vector<sim::RequestEvent> seen;
    sim::SelectrixSim sx;
    sx.SetMonitor([&](const sim::RequestEvent& e) {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(e);
        changed.notify_all();
    });
    sx.SetSilent(true);
    Port port(sx.DevicePath());
    port.Send(Bytes({0x83, 0x6A, 0x03, 0x20}));
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(2), [&] { return seen.size() >= 2; }));
    EXPECT_TRUE(seen[0].write);
    EXPECT_EQ(seen[0].addr, 3);
    EXPECT_EQ(seen[0].value, 0x6A);
    EXPECT_FALSE(seen[1].write);
    EXPECT_EQ(seen[1].value, 0x6A);
    EXPECT_FALSE(seen[1].answered);
}
