// quorrin-sim as a user runs it: what it prints back of bad input, and that
// a standard output nobody reads any more does not end it.
#include "platform/Tick.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// The program with pipes on its standard input and output.
class SimProgram {
  public:
    explicit SimProgram(const std::vector<std::string>& args = {})
        : process_(Launch(args)) {}
    bool Started() const { return process_.Started(); }

    void Type(const std::string& text) { ASSERT_TRUE(process_.Write(text)); }
    // One line of output (without its end), empty when none came in time.
    std::string Line(uint32_t ms = 5000) {
        auto deadline = platform::Deadline::After(ms);
        for (;;) {
            if (auto eol = buffered_.find('\n'); eol != std::string::npos) {
                std::string line = buffered_.substr(0, eol);
                buffered_.erase(0, eol + 1);
                return line;
            }
            pollfd p{process_.Out(), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(deadline.Remaining())) <= 0) return {};
            char buf[512];
            ssize_t n = read(process_.Out(), buf, sizeof buf);
            if (n <= 0) return {};
            buffered_.append(buf, static_cast<size_t>(n));
        }
    }
    void CloseStdin() { process_.CloseIn(); }
    void CloseStdout() { process_.CloseOut(); }
    // The wait status once the program ended within `ms`, else -1.
    int Ended(uint32_t ms) { return process_.WaitFor(ms).value_or(-1); }

  private:
    static testsupport::Launch Launch(const std::vector<std::string>& args) {
        testsupport::Launch launch{{QUORRIN_SIM_PROGRAM}};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.in = launch.out = testsupport::Stdio::Pipe;
        return launch;
    }

    testsupport::Process process_;
    std::string buffered_;
};

// Sends one Selectrix read request for `addr` and returns the answer byte, -1 for none.
int ReadAddress(int fd, uint8_t addr) {
    const unsigned char request[] = {addr, 0x20};
    if (write(fd, request, sizeof request) != 2) return -1;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return -1;
    unsigned char answer = 0;
    return read(fd, &answer, 1) == 1 ? answer : -1;
}

TEST(SimProgram, UnknownInputIsPrintedEscaped) {
    SimProgram sim;
    ASSERT_TRUE(sim.Started());
    ASSERT_EQ(sim.Line().rfind("/dev/", 0), 0u);
    sim.Type("\x1b[2Jzap\x07 a\\b \xC3\xA9\n");
    EXPECT_EQ(sim.Line(), "? \\x1B[2Jzap\\x07 a\\\\b \\xC3\\xA9   (type help)");
    sim.Type("quit\n");
    int status = sim.Ended(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SimProgram, AClosedOutputStopsThePrintingNotTheSimulator) {
    SimProgram sim({"--verbose"});
    ASSERT_TRUE(sim.Started());
    std::string path = sim.Line();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
    cfsetspeed(&tio, B9600);
    tcsetattr(fd, TCSANOW, &tio);

    EXPECT_EQ(ReadAddress(fd, 0x7F), 0x00);
    EXPECT_EQ(sim.Line(), "PC: read 127 -> 0 (0x00)");
    sim.CloseStdout();
    // Each request is now printed to a pipe without a reader.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ReadAddress(fd, 0x7F), 0x00) << "request " << i;
    close(fd);
    sim.Type("quit\n");
    int status = sim.Ended(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                : std::to_string(status));
}

// --system picks a console from the table; each reads its own options.
TEST(SimProgram, TheSystemsTablePicksTheConsole) {
    struct Case {
        std::vector<std::string> args;
        const char* firstLine; // of standard output, "" for none
        int exitCode;
    } cases[] = {
        {{"--system", "lenz", "--help"},
         "Usage: quorrin-sim --system lenz [--version X.Y] [--help]",
         0},
        {{"--system=dinamo", "-h"}, "Usage: quorrin-sim --system dinamo [--verbose] [--help]", 0},
        {{"--help"}, "Usage: quorrin-sim [--system NAME] [--verbose] [--help]", 0},
        {{"--system", "kaart", "--help"},
         "quorrin-sim --system kaart: a simulated serial card in a rack of 128 feedback",
         0},
        {{"--system", "marklin", "--verbose"}, "", 2}, // the Märklin console has no such option
        {{"--system", "lenz", "--version", "x"}, "", 2},
        {{"--system", "intellibox", "--baud", "1200"}, "", 2},
        {{"--system", "loconet"}, "", 2},
    };
    for (const Case& c : cases) {
        SimProgram sim(c.args);
        ASSERT_TRUE(sim.Started());
        sim.CloseStdin();
        EXPECT_EQ(sim.Line(), c.firstLine) << c.args.back();
        int status = sim.Ended(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode)
            << c.args.back() << ": " << status;
    }
}

// Every console starts its simulator, prints the device path and stops at "quit".
TEST(SimProgram, EverySystemServesAndQuits) {
    for (const char* system : {"selectrix", "lenz", "intellibox", "marklin", "kaart", "dinamo"}) {
        SimProgram sim({"--system", system});
        ASSERT_TRUE(sim.Started());
        EXPECT_EQ(sim.Line().rfind("/dev/", 0), 0u) << system;
        sim.Type("nonsense\n");
        EXPECT_EQ(sim.Line().rfind("? nonsense", 0), 0u) << system;
        sim.Type("quit\n");
        int status = sim.Ended(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << system << ": " << status;
    }
}

// A PC side on the simulator's slave: raw, 9600 baud, the stop bits as given.
int OpenRaw(const std::string& path, bool twoStopBits) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fd;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | (twoStopBits ? CSTOPB : 0);
    cfsetspeed(&tio, B9600);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// The line without its "trace MS ms " front; the line itself when it has none.
std::string WithoutTime(const std::string& line) {
    const size_t ms = line.find(" ms ");
    return line.rfind("trace ", 0) == 0 && ms != std::string::npos ? line.substr(ms + 4) : line;
}

TEST(SimProgram, TraceShowsWhatCrossesTheLineDecoded) {
    struct Case {
        std::vector<std::string> args;
        bool twoStopBits;
        std::string request;
        std::string typed; // a console command that puts bytes on the line, or ""
        std::vector<std::string> lines;
    } cases[] = {
        {{"--trace"},
         true,
         std::string("\x0C\x20", 2),
         "",
         {"> 0C 20  sx.read: read address 12",
          "< 00  sx.answer: address 12 holds 0x00 = 00000000"}},
        {{"--system", "lenz", "--trace"},
         false,
         std::string("\x21\x21\x00", 3),
         "raw 0x61 0x01 0x61 0x61 0x01 0x60\n", // a wrong check byte, then a good message
         {"> 21 21 00  lenz.version-request: version request",
          "< 63 21 36 00 74  lenz.version: version 3.6",
          "< 61 01 61  lenz.bad-xor (bad): XOR byte 0x61 instead of 0x60 after header 0x61",
          "< 61 01 60  lenz.all-on: all on (normal operation)"}},
    };
    for (const Case& c : cases) {
        SimProgram sim(c.args);
        ASSERT_TRUE(sim.Started());
        const std::string path = sim.Line();
        ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
        const int fd = OpenRaw(path, c.twoStopBits);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, c.request.data(), c.request.size()),
                  static_cast<ssize_t>(c.request.size()));
        std::vector<std::string> seen;
        for (size_t i = 0; i < c.lines.size(); ++i) {
            if (i == 2) sim.Type(c.typed);
            const std::string line = sim.Line();
            EXPECT_EQ(line.rfind("trace ", 0), 0u) << line;
            seen.push_back(WithoutTime(line));
        }
        EXPECT_EQ(seen, c.lines) << c.args.back();
        close(fd);
    }
}

} // namespace
