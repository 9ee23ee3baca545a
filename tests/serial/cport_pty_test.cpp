// The port end to end on a real pseudo-terminal: open by name, reads under
// the time-out rules, writes, purge, exclusive open, settings reaching the
// line, and a peer that hangs up.
#include "platform/Host.h"
#include "serial/CPort.h"
#include "serial/posix/PosixComDevice.h"
#include "tests/support/PtyPair.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/ThreadState.h"

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>

using namespace serial;
using testsupport::PtyPair;

namespace {

using Clock = std::chrono::steady_clock;
// The kernel's "other rate" marker (not in <termios.h>).
constexpr uint32_t kBother = 0x1000;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int OpenFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

struct PtyPort : ::testing::Test {
    PtyPair pty;
    TComPort port;
    PtyPort() {
        port.SetEvents({});
        port.SetPort(pty.Path());
    }
    void SetReadTimeouts(int32_t interval, int32_t multiplier, int32_t constant) {
        port.BeginSettingsUpdate();
        port.Timeouts().SetReadInterval(interval);
        port.Timeouts().SetReadTotalMultiplier(multiplier);
        port.Timeouts().SetReadTotalConstant(constant);
        port.EndSettingsUpdate();
    }
    // Waits until the port sees `n` bytes queued (the pty moves them over
    // asynchronously).
    void AwaitQueued(int n) {
        auto start = Clock::now();
        while (port.PendingInputCount() < n && MsSince(start) < 2000)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_GE(port.PendingInputCount(), n);
    }
};

TEST_F(PtyPort, OpensWritesAndReadsBothWays) {
    port.OpenPort();
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(port.WriteText(std::string("\x0C\x20\xFF\x00", 4)), 4);
    EXPECT_EQ(pty.Receive(4, 1000), std::string("\x0C\x20\xFF\x00", 4));

    // Every byte value passes unchanged: raw mode, no echo, no translation.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    SetReadTimeouts(0, 0, 2000);
    pty.Send(all);
    std::string got;
    EXPECT_EQ(port.ReadText(got, 256), 256);
    EXPECT_EQ(got, all);
    EXPECT_EQ(pty.Receive(1, 50), "") << "nothing echoed back";
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
}

TEST_F(PtyPort, SilentLineReadEndsAtTotalTimeout) {
    port.OpenPort();
    SetReadTimeouts(20, 25, 15); // one byte: 25 x 1 + 15 = 40 ms
    auto start = Clock::now();
    std::string got = "x";
    EXPECT_EQ(port.ReadText(got, 1), 0);
    long ms = MsSince(start);
    EXPECT_EQ(got, "");
    EXPECT_GE(ms, 35);
    EXPECT_LT(ms, 500);
}

TEST_F(PtyPort, DefaultTimeoutsReturnWhatIsQueuedAtOnce) {
    port.OpenPort();
    pty.Send("abc");
    AwaitQueued(3);
    auto start = Clock::now();
    std::string got;
    EXPECT_EQ(port.ReadText(got, 10), 3);
    EXPECT_EQ(got, "abc");
    EXPECT_LT(MsSince(start), 100);
    // ... and nothing queued gives nothing, also at once.
    start = Clock::now();
    EXPECT_EQ(port.ReadText(got, 10), 0);
    EXPECT_EQ(got, "");
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(PtyPort, IntervalTimeoutEndsReadBetweenBursts) {
    port.OpenPort();
    SetReadTimeouts(50, 0, 0); // no total limit, 50 ms between bytes
    std::thread peer([&] {
        pty.Send("12");
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        pty.Send("34");
    });
    std::string got;
    auto start = Clock::now();
    int n = port.ReadText(got, 4);
    long ms = MsSince(start);
    peer.join();
    EXPECT_EQ(n, 2);
    EXPECT_EQ(got, "12");
    EXPECT_LT(ms, 390) << "the read must end in the gap, not with the second burst";
    // The second burst is still there for the next read.
    SetReadTimeouts(0, 0, 1000);
    EXPECT_EQ(port.ReadText(got, 2), 2);
    EXPECT_EQ(got, "34");
}

TEST_F(PtyPort, TotalTimeoutReturnsPartialData) {
    port.OpenPort();
    SetReadTimeouts(0, 10, 100); // 3 bytes: 130 ms
    pty.Send("ab");
    std::string got;
    auto start = Clock::now();
    EXPECT_EQ(port.ReadText(got, 3), 2);
    EXPECT_EQ(got, "ab");
    EXPECT_GE(MsSince(start), 120);
}

TEST_F(PtyPort, FirstByteWaitThenTakeQueued) {
    port.OpenPort();
    SetReadTimeouts(-1, -1, 300);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pty.Send("xy");
    });
    std::string got;
    auto start = Clock::now();
    int n = port.ReadText(got, 10);
    long ms = MsSince(start);
    peer.join();
    EXPECT_GE(n, 1);
    EXPECT_EQ(got, std::string("xy").substr(0, static_cast<size_t>(n)));
    EXPECT_LT(ms, 290) << "returns with the first bytes, not at the constant";
}

TEST_F(PtyPort, PurgeDropsQueuedInput) {
    port.OpenPort();
    pty.Send("stale");
    AwaitQueued(5);
    port.PurgeBuffers(true, false);
    EXPECT_EQ(port.PendingInputCount(), 0);
    pty.Send("Z");
    SetReadTimeouts(0, 0, 1000);
    std::string got;
    EXPECT_EQ(port.ReadText(got, 1), 1);
    EXPECT_EQ(got, "Z");
}

TEST_F(PtyPort, WriteToPeerThatDoesNotReadReturnsShortAtTimeout) {
    port.OpenPort();
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(150);
    std::string big(1 << 20, 'q'); // far beyond what the pty buffers
    auto start = Clock::now();
    int n = port.WriteText(big);
    long ms = MsSince(start);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 2000);
}

TEST_F(PtyPort, ModemLinesOfAPseudoTerminal) {
    std::vector<std::string> events;
    port.OnCTSChange = [&](TCustomComPort*, bool on) { events.push_back(on ? "CTS+" : "CTS-"); };
    port.OnDSRChange = [&](TCustomComPort*, bool on) { events.push_back(on ? "DSR+" : "DSR-"); };
    port.OnRLSDChange = [&](TCustomComPort*, bool on) { events.push_back(on ? "RLSD+" : "RLSD-"); };
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetFlowControl(fcHardware); // must not make open fail
    port.OpenPort();
    EXPECT_EQ(port.ModemSignals(), (TComSignals{csCTS, csDSR, csRLSD}));
    EXPECT_NO_THROW(port.SetDTRLine(false));
    EXPECT_NO_THROW(port.SetDTRLine(true));
    EXPECT_NO_THROW(port.SetBreakState(true));
    EXPECT_NO_THROW(port.SetBreakState(false));
    EXPECT_EQ(port.LineHoldFlags() & 1, 0) << "an always-ready peer never holds output";
    EXPECT_TRUE(port.ReadLineErrors().Empty());
    port.ClosePort();
    EXPECT_EQ(events, (std::vector<std::string>{"CTS+", "DSR+", "RLSD+", "CTS-", "DSR-", "RLSD-"}));
}

// ---------------------------------------------------------------- names and exclusivity

TEST_F(PtyPort, SecondOpenOfTheSameDeviceFails) {
    port.OpenPort();
    TComPort other;
    other.SetEvents({});
    other.SetPort(pty.Path());
    try {
        other.OpenPort();
        FAIL() << "second open succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        EXPECT_TRUE(e.OsErrorCode() == EBUSY || e.OsErrorCode() == EACCES) << e.OsErrorCode();
        EXPECT_EQ(std::string(e.what()), "Unable to open com port (win error code: " +
                                             std::to_string(e.OsErrorCode()) + ")");
    }
    EXPECT_FALSE(other.Connected());

    // Another program honouring the usual locks cannot take it either; one
    // without root privileges cannot even open it.
    int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        EXPECT_EQ(geteuid(), 0u) << "only root gets past the exclusive mode";
        EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
        close(fd);
    } else {
        EXPECT_EQ(errno, EBUSY);
    }

    // Closed, the device is free again for both.
    port.ClosePort();
    EXPECT_NO_THROW(other.OpenPort());
    other.ClosePort();
    EXPECT_NO_THROW(port.OpenPort());
}

TEST_F(PtyPort, DeviceLockedByAnotherProgramIsRefused) {
    int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    try {
        port.OpenPort();
        FAIL() << "opened a locked device";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        EXPECT_EQ(e.OsErrorCode(), EBUSY);
    }
    close(fd);
    EXPECT_NO_THROW(port.OpenPort());
}

TEST(PortNames, MapToDevicePaths) {
    struct Case {
        const char* port;
        const char* path;
    } cases[] = {
        {"COM1", "/dev/COM1"},        {"ttyUSB0", "/dev/ttyUSB0"}, {"\\\\.\\ttyS1", "/dev/ttyS1"},
        {"/dev/pts/7", "/dev/pts/7"}, {"pts/7", "/dev/pts/7"},     {"", "/dev/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DevicePathForPort(c.port), c.path) << c.port;
}

TEST(PortNames, RelativeNameUnderDevOpensThePty) {
    PtyPair pty;
    ASSERT_EQ(pty.Path().rfind("/dev/", 0), 0u);
    TComPort port;
    port.SetEvents({});
    port.SetPort(pty.Path().substr(5)); // "pts/N"
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_TRUE(port.Connected());
}

TEST(PortNames, BadNamesFailWithCode1AndLeakNothing) {
    char dir[] = "/tmp/quorrin-name-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    const std::string names[] = {
        "ttyDoesNotExist42",  "", "/tmp", file, fifo, "/dev/null", "../etc/passwd",
        "\\\\.\\nothing-here"};
    int before = OpenFdCount();
    for (const auto& name : names) {
        TComPort port;
        port.SetEvents({});
        port.SetPort(name);
        bool beforeOpen = false, afterOpen = false;
        port.OnBeforeOpen = [&](TCustomComPort*) { beforeOpen = true; };
        port.OnAfterOpen = [&](TCustomComPort*) { afterOpen = true; };
        try {
            port.OpenPort();
            ADD_FAILURE() << "opened " << name;
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1) << name;
            EXPECT_GT(e.OsErrorCode(), 0) << name;
            EXPECT_NE(std::string(e.what()).find("Unable to open com port"), std::string::npos);
        }
        EXPECT_FALSE(port.Connected()) << name;
        EXPECT_EQ(port.Device(), nullptr) << name;
        EXPECT_TRUE(beforeOpen) << name;
        EXPECT_FALSE(afterOpen) << name;
    }
    EXPECT_EQ(OpenFdCount(), before);
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(dir);
}

// ---------------------------------------------------------------- settings on the line

TEST_F(PtyPort, SettingsChangedWhileOpenReachTheDevice) {
    port.OpenPort();
    auto master = [&] {
        TermiosImage t;
        EXPECT_EQ(ReadTermios(pty.Master(), t), 0);
        return t;
    };
    EXPECT_EQ(master().c_ospeed, 9600u);
    EXPECT_EQ(master().c_lflag & (ECHO | ICANON | ISIG), 0u) << "raw mode";

    port.SetBaudRate(br19200);
    EXPECT_EQ(master().c_ospeed, 19200u);
    port.SetCustomBaudRate(31250);
    port.SetBaudRate(brCustom);
    EXPECT_EQ(master().c_ospeed, 31250u);
    EXPECT_EQ(master().c_cflag & CBAUD, kBother);

    port.SetStopBits(sbTwoStopBits);
    EXPECT_NE(master().c_cflag & CSTOPB, 0u);

    port.FlowControl().SetFlowControl(fcSoftware);
    port.FlowControl().SetXonChar(0x11);
    port.FlowControl().SetXoffChar(0x13);
    EXPECT_EQ(master().c_iflag & (IXON | IXOFF), static_cast<uint32_t>(IXON | IXOFF));
    port.FlowControl().SetXonChar(0x05);
    EXPECT_EQ(master().c_cc[VSTART], 0x05);

    port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_NE(master().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(master().c_iflag & (IXON | IXOFF), 0u);

    port.Parity().SetCheck(true);
    EXPECT_NE(master().c_iflag & INPCK, 0u);
    EXPECT_TRUE(port.Connected()) << "no re-open for line settings";

    // A batch reaches the line only at its end.
    port.BeginSettingsUpdate();
    port.SetBaudRate(br2400);
    EXPECT_EQ(master().c_ospeed, 31250u);
    port.EndSettingsUpdate();
    EXPECT_EQ(master().c_ospeed, 2400u);
}

TEST_F(PtyPort, ParityCheckPassesAllBytesThrough) {
    // With checking on, the kernel marks bytes; a plain 0xFF must still
    // arrive as one byte, also split across reads.
    port.Parity().SetCheck(true);
    port.OpenPort();
    SetReadTimeouts(0, 0, 1000);
    pty.Send(std::string("\xFF\x01\xFF", 3));
    std::string a, b;
    EXPECT_EQ(port.ReadText(a, 1), 1);
    EXPECT_EQ(port.ReadText(b, 2), 2);
    EXPECT_EQ(a + b, std::string("\xFF\x01\xFF", 3));
}

TEST_F(PtyPort, DiscardNullDropsZeroBytes) {
    port.SetDiscardNull(true);
    port.OpenPort();
    SetReadTimeouts(0, 0, 300);
    pty.Send(std::string("a\0b\0\0c", 6));
    std::string got;
    EXPECT_EQ(port.ReadText(got, 3), 3);
    EXPECT_EQ(got, "abc");
}

// ---------------------------------------------------------------- hang-up

TEST_F(PtyPort, PeerHangUpNeitherHangsNorSpins) {
    port.OpenPort();
    SetReadTimeouts(0, 0, 0); // no limit at all: only the hang-up can end the read
    pty.CloseSlave();
    // The peer hangs up once the read waits for the line.
    const pid_t reader = testsupport::CurrentThreadId();
    std::thread hangUp([&] {
        EXPECT_TRUE(testsupport::WaitUntilBlockedIn(reader, {SYS_poll, SYS_ppoll}));
        pty.CloseMaster();
    });
    auto start = Clock::now();
    std::string got;
    try {
        port.ReadText(got, 1);
        ADD_FAILURE() << "read after hang-up succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 3);
        EXPECT_EQ(e.OsErrorCode(), EIO);
    }
    hangUp.join();
    EXPECT_LT(MsSince(start), 2000);
    try {
        port.WriteText("x");
        ADD_FAILURE() << "write after hang-up succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 2);
    }
    // Closing completes although the line is gone; the failure is reported once.
    testsupport::RecordingHost host;
    EXPECT_NO_THROW(port.ClosePort());
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Device(), nullptr);
    EXPECT_LE(host.Texts().size(), 1u);
    EXPECT_NO_THROW(port.ClosePort());
    // The pty is gone with its last descriptor: opening again fails cleanly.
    EXPECT_THROW(port.OpenPort(), EComPort);
    EXPECT_FALSE(port.Connected());
}

} // namespace
