// quorrin-cli as a user runs it: the real program in a child process, against
// its built-in simulators or against a simulator of this test process (so
// the test can see what reached the command station after the program
// ended), checking exit status, standard output and standard error.
#include "sim/DinamoSim.h"
#include "sim/KaartSim.h"
#include "sim/LenzSim.h"
#include "sim/MarklinSim.h"
#include "sim/SelectrixSim.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int status = -1;
    std::string out, err;
    double seconds = 0;
};

// How the child's standard streams are set up beyond the defaults.
struct Streams {
    bool keepInputOpen = false; // standard input stays open (a pipe nobody writes)
    bool outputClosed = false;  // nobody reads standard output: writes fail with EPIPE
    // Standard input (kept open) is closed once this says so of standard output.
    std::function<bool(const std::string&)> closeInputWhen;
    // Sees standard error as it grows, like `onOutput` standard output.
    std::function<void(const std::string&, pid_t)> onError;
    // Called once the child runs.
    std::function<void(pid_t)> onStart;
};

// Runs quorrin-cli with `args`, feeding `input` on standard input. `onOutput`
// sees standard output as it grows and may act on the child (its pid).
Outcome Cli(const std::vector<std::string>& args, const std::string& input = {},
            const std::function<void(const std::string&, pid_t)>& onOutput = {},
            Streams streams = {}) {
    const auto start = Clock::now();
    testsupport::Launch launch{{QUORRIN_CLI}};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.in = launch.out = launch.err = testsupport::Stdio::Pipe;
    testsupport::Process child(launch);
    if (!child.Started()) return {};
    const pid_t pid = child.Pid();
    if (streams.onStart) streams.onStart(pid);
    if (!input.empty() && !child.Write(input)) ADD_FAILURE();
    if (!streams.keepInputOpen) child.CloseIn();
    Outcome r;
    pollfd fds[2] = {{child.Out(), POLLIN, 0}, {child.Err(), POLLIN, 0}};
    int open = 2;
    if (streams.outputClosed) {
        child.CloseOut();
        fds[0].fd = -1;
        --open;
    }

    while (open > 0) {
        if (Clock::now() - start > std::chrono::seconds(60)) {
            ADD_FAILURE() << "quorrin-cli did not end";
            child.Signal(SIGKILL);
            break;
        }
        if (poll(fds, 2, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                i == 0 ? child.CloseOut() : child.CloseErr();
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            if (i == 0 && onOutput) onOutput(r.out, pid);
            if (i == 0 && child.In() >= 0 && streams.closeInputWhen &&
                streams.closeInputWhen(r.out))
                child.CloseIn();
            if (i == 1 && streams.onError) streams.onError(r.err, pid);
        }
    }
    r.status = testsupport::Process::ExitStatus(child.Wait());
    child.CloseIn();
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

std::vector<json> JsonLines(const std::string& out) {
    std::vector<json> lines;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        if (end > at) lines.push_back(json::parse(out.substr(at, end - at)));
        at = end + 1;
    }
    return lines;
}

std::string Hex(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v & 0xFF);
    return text;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The Intellibox detection scans rates for seconds; the fixed rate skips it.
const std::vector<std::string> kFixedIb{"--ib-fixed", "--ib-baud", "2400"};

std::vector<std::string> Args(const std::string& system, std::vector<std::string> rest) {
    std::vector<std::string> a{"--simulator", "--system", system};
    if (system == "intellibox") a.insert(a.end(), kFixedIb.begin(), kFixedIb.end());
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
}

TEST(Cli, HelpNamesEveryCommandAndTheHostSettingsWithTheirDefaults) {
    const Outcome r = Cli({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part :
         {"ports", "probe", "power", "loco", "feedback", "write", "version", "watch", "do", "shell",
          "--lenz-reply-ms UINT=500", "--lenz-skip INT:INT in [0 - 1]=1", "--ib-fixed",
          "--marklin-loco-pause", "--kaart-option4", "--dinamo-answer-ms", "--lenz-log",
          "Exit status"})
        EXPECT_TRUE(Has(r.out, part)) << part;
    const Outcome loco = Cli({"loco", "--help"});
    EXPECT_EQ(loco.status, 0);
    EXPECT_TRUE(Has(loco.out, "--lenz-steps"));
    EXPECT_TRUE(Has(loco.out, "selectrix 0..31"));
    EXPECT_TRUE(Has(loco.out, "--change-direction"));
}

TEST(Cli, WrongUseEndsWithStatusOneAndSaysWhy) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases{
        {{"--system", "nope", "--simulator", "probe"}, "nope"},
        {{"--simulator", "frobnicate"}, "subcommand"},
        {{"--simulator", "do", "power on", "frob 3"}, "frob: unknown command"},
        {{"--simulator"}, "subcommand"},
        {{"probe"}, "--port NAME or --simulator"},
        {{"--simulator", "write", "5"}, "value"},
        {{"--simulator", "loco", "200", "--speed", "3"}, "out of range for selectrix (0..127)"},
        {{"--simulator", "--system", "marklin", "feedback", "40"}, "(1..31)"},
        {{"--simulator", "--system", "kaart", "loco", "3", "--speed", "1"}, "not available"},
        {{"--simulator", "--system", "marklin", "watch", "--seconds", "1"}, "sends no reports"},
        {{"--simulator", "version"}, "alleen van toepassing bij Lenz"},
        {{"--simulator", "--baud", "1234", "probe"}, "1234"},
        {{"--simulator", "--lenz-log", "feedback,bogus", "probe"}, "bogus"},
        {{"--simulator", "--lenz-skip", "2", "probe"}, "--lenz-skip"},
        {{"--simulator", "--lenz-quiet-ms", "300", "probe"}, "--lenz-quiet-ms"},
        {{"--simulator", "power", "off", "--track"}, "--track is not carried by selectrix"},
        {{"--simulator", "--system", "lenz", "power", "on", "--track"}, "--track goes with power off"},
    };
    for (const Case& c : cases) {
        const Outcome r = Cli(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back() << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << c.says << "\n" << r.err;
    }
}

TEST(Cli, ProbeFindsEverySimulatedSystemInTextAndJson) {
    for (const char* system : {"selectrix", "marklin", "lenz", "kaart", "intellibox", "dinamo"}) {
        const Outcome text = Cli(Args(system, {"probe"}));
        EXPECT_EQ(text.status, 0) << system << "\n" << text.err;
        EXPECT_EQ(text.out, std::string(system) + ": the interface answers" +
                                (std::string(system) == "lenz" ? " (version 3.6)" : "") + "\n");
        std::vector<std::string> args = Args(system, {"--json", "probe"});
        const Outcome j = Cli(args);
        ASSERT_EQ(j.status, 0) << system;
        auto lines = JsonLines(j.out);
        ASSERT_EQ(lines.size(), 1u) << j.out;
        EXPECT_EQ(lines[0]["system"], system);
        EXPECT_EQ(lines[0]["ok"], true);
    }
}

// The card starts at 9600 baud; --kaart-fast alone moves it to 19200 with
// the configuration byte's bit 3, and what follows goes at that rate.
TEST(Cli, KaartFastMovesTheCardTo19200) {
    struct Case {
        std::vector<std::string> flags;
        int config;
        unsigned lastBaud;
    } cases[] = {{{}, 0x07, 9600}, {{"--kaart-fast"}, 0x0F, 19200}};
    for (const Case& c : cases) {
        sim::KaartSim unit;
        std::vector<std::string> args{"--port", unit.DevicePath(), "--system", "kaart"};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        args.push_back("probe");
        const Outcome r = Cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(unit.LastConfig(), c.config);
        const std::vector<sim::LineByte> heard = unit.ReceivedBytes();
        ASSERT_GE(heard.size(), 2u);
        EXPECT_EQ(heard.front().baud, 9600u); // the configuration byte
        EXPECT_EQ(heard.back().baud, c.lastBaud) << "the probe";
    }
    // A rate of its own beside it is wrong use.
    const Outcome r = Cli({"--simulator", "--system", "kaart", "--kaart-fast", "--baud", "9600",
                           "probe"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "--baud excludes --kaart-fast")) << r.err;
}

// The Intellibox reads one module's 16 inputs with the sensor-status
// command; the simulated modules read all inputs off.
TEST(Cli, IntelliboxFeedbackReadsTheModulesInputs) {
    const Outcome r = Cli(Args("intellibox", {"--json", "feedback", "3"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["bytes"], json::array({0, 0}));
    EXPECT_EQ(lines[0]["inputs"], json::array());
    const Outcome text = Cli(Args("intellibox", {"feedback", "31"}));
    EXPECT_EQ(text.out, "feedback 31: 0x00 0x00 (inputs 1..16 0000000000000000)\n") << text.err;
    EXPECT_EQ(Cli(Args("intellibox", {"feedback", "32"})).status, 1);
}

// The unit's byte at `addr` once it holds `value`, or after 2 s: a write that
// ends the program may be read by the unit a moment after the program ended.
int BusOnceWritten(sim::SelectrixSim& unit, uint8_t addr, int value) {
    for (int i = 0; i < 200 && unit.Bus(addr) != value; ++i)
        usleep(10000);
    return unit.Bus(addr);
}

TEST(Cli, SelectrixSessionReachesTheBusAndItsCloseSwitchesPowerOff) {
    sim::SelectrixSim unit;
    unit.SetBus(12, 0x5A);
    const Outcome r = Cli({"--port", unit.DevicePath(), "--json", "do", "power on", "feedback 12",
                           "write 5 7", "loco 3 --speed 10 --light", "power state"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], json({{"command", "power"}, {"state", "on"}}));
    EXPECT_EQ(lines[1]["value"], 0x5A);
    EXPECT_EQ(lines[3]["sent"], json::array({10 + 0x40}));
    EXPECT_EQ(lines[4]["state"], "on");
    EXPECT_EQ(unit.Bus(5), 7);
    EXPECT_EQ(unit.Bus(3), 10 + 0x40);
    // The close switches off what the session switched on; the unit may
    // read those last bytes a moment after the program ended.
    for (int i = 0; i < 200 && unit.TrackPower(); ++i)
        usleep(10000);
    EXPECT_FALSE(unit.TrackPower());
    EXPECT_TRUE(Has(r.err, "Adres: 3 snelheid: 10 licht aan"));
}

TEST(Cli, ShellReadsCommandsAndAScriptStopsAtTheFirstFailure) {
    sim::SelectrixSim unit;
    unit.SetBus(20, 3);
    const Outcome ok =
        Cli({"--port", unit.DevicePath(), "shell"}, "feedback 20\n\n\"write\" 9 1\n");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "feedback 20: 0x03\nwrite 9 1\n");
    EXPECT_EQ(BusOnceWritten(unit, 9, 1), 1);
    const Outcome bad =
        Cli({"--port", unit.DevicePath(), "shell"}, "loco 500 --speed 1\nwrite 9 2\n");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(unit.Bus(9), 1);
}

TEST(Cli, LenzVersionFeedbackAndLocomotive) {
    sim::LenzSim unit;
    unit.SetInputs(2, 0x25); // module address byte 2 is module 3
    const Outcome r = Cli({"--system", "lenz", "--port", unit.DevicePath(), "--json", "do",
                           "version", "feedback 3", "loco 5 --speed 7 --light"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = JsonLines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    // The module's broadcast of the change may come first.
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), json({{"command", "version"}, {"version", 3.6}})),
        lines.end())
        << r.out;
    int lower = -1, upper = -1;
    for (const json& l : lines)
        if (l.value("event", "") == "feedback" && l.value("module", 0) == 3)
            (l["upper"] == true ? upper : lower) = l["inputs"];
    EXPECT_EQ(lower, 0x5);
    EXPECT_EQ(upper, 0x2);
    EXPECT_EQ(lines.back()["command"], "loco");
    const json sent = lines.back()["sent"];
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], 0xB3);
    EXPECT_EQ(sent[1], 5);
    EXPECT_EQ(sent[2].get<int>() & 0x60, 0x60); // light, forward
    sim::LenzLoco loco;
    ASSERT_TRUE(unit.Loco(5, loco));
    EXPECT_TRUE(loco.light);
    EXPECT_TRUE(loco.forward);
}

// The queue awaits two power broadcasts from a 3.x interface only when it
// knows the version: a session that starts with power on must still reach
// the commands after it.
TEST(Cli, LenzPowerOnFirstThenVersionAndFeedback) {
    const Outcome r = Cli(Args("lenz", {"do", "power on", "version", "feedback 3"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "version 3.6\n")) << r.out;
    // The command's result and the interface's broadcasts read differently.
    EXPECT_EQ(r.out.rfind("power on\n", 0), 0u) << r.out;
    EXPECT_TRUE(Has(r.out, "\nbroadcast: power on\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "feedback module 3 upper")) << r.out;
}

TEST(Cli, LenzLogCategoriesGoToStandardError) {
    const Outcome r = Cli(Args("lenz", {"--lenz-log", "0x20", "version"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.err, "- versienummer: 3")) << r.err;
    const Outcome quiet = Cli(Args("lenz", {"version"}));
    EXPECT_FALSE(Has(quiet.err, "versienummer")) << quiet.err;
}

TEST(Cli, APortThatDoesNotExistIsASerialErrorWithItsCode) {
    const Outcome r = Cli({"--port", "/dev/quorrin-no-such-port", "--json", "probe"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, "serial port error 1: ")) << r.err;
    EXPECT_EQ(JsonLines(r.out).at(0)["port_error"], 1);
}

TEST(Cli, ASilentInterfaceIsStatusTwo) {
    testsupport::PtyPair line; // nobody answers on the other end
    for (const char* system : {"selectrix", "lenz"}) {
        const Outcome r = Cli({"--system", system, "--port", line.Path(), "probe"});
        EXPECT_EQ(r.status, 2) << system << "\n" << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(Cli, WatchEndsWhenTheTimeIsUp) {
    sim::DinamoSim unit;
    unit.QueueOccupancy(7, true);
    const Outcome r = Cli(
        {"--system", "dinamo", "--port", unit.DevicePath(), "--json", "watch", "--seconds", "0.6"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = JsonLines(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["event"], "feedback");
    EXPECT_EQ(lines.back()["ended"], "time");
    EXPECT_GE(r.seconds, 0.6);
    EXPECT_LT(r.seconds, 10.0);
}

TEST(Cli, WatchEndsOnCtrlCWithThePowerSwitchedOff) {
    sim::LenzSim unit;
    bool interrupted = false;
    bool reported = false;
    const Outcome r =
        Cli({"--port", unit.DevicePath(), "--system", "lenz", "do", "power on", "watch"}, {},
            [&](const std::string& out, pid_t pid) {
                // The module's broadcast shows the watch is running.
                if (!reported && Has(out, "power on\n")) {
                    reported = true;
                    unit.SetInputs(8, 0x01);
                }
                if (!interrupted && Has(out, "feedback module 9")) {
                    interrupted = true;
                    kill(pid, SIGINT);
                }
            });
    EXPECT_TRUE(interrupted) << r.out << r.err;
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(Has(r.out, "watch ended (interrupt)")) << r.out;
    EXPECT_NE(unit.Power(), sim::LenzPower::On); // the close switched the track off
}

// Wrong use found anywhere (the argument parser, a session line, the
// system's own ranges) is status 1, one line on standard error, one JSON
// error object with --json, and nothing on the line.
TEST(Cli, RefusedInputSendsNothingAndReadsAsOneJsonError) {
    testsupport::PtyPair line; // the test is the interface
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases{
        {{"loco", "", "--speed", "3"}, "a number is needed"},
        {{"loco", "5", "--speed", ""}, "a number is needed"},
        {{"loco", "abc", "--speed", "1"}, "not a number: abc"},
        {{"feedback", ""}, "a number is needed"},
        {{"feedback", "3x"}, "not a number"},
        {{"--system", "lenz", "watch", "--seconds", "nan"}, "not a finite number"},
        {{"--system", "lenz", "watch", "--seconds", "inf"}, "not a finite number"},
        {{"--lenz-reply-ms", "", "probe"}, "a number is needed"},
        {{"--frobnicate", "probe"}, "frobnicate"},
        // The central unit's own register: 127 is the track power.
        {{"loco", "127", "--speed", "0"}, "--system-address"},
        {{"write", "112", "1"}, "--system-address"},
        {{"feedback", "112"}, "not read (selectrix reads 0..111)"},
        {{"feedback", "127"}, "central unit's own addresses"},
        {{"do", "write 5 1", "loco \"\" --speed 3"}, "a number is needed"},
        {{"do", "frob 3"}, "frob: unknown command"},
        // What the system cannot carry onto the line.
        {{"loco", "3", "--speed", "32"}, "out of range for selectrix (0..31)"},
        {{"loco", "3", "--speed", "1", "--f2"}, "--f2 is not carried by selectrix"},
        {{"--system", "marklin", "loco", "24", "--speed", "15"}, "marklin (0..14)"},
        {{"--system", "marklin", "loco", "24", "--speed", "3", "--backward"},
         "--backward is not carried by marklin (its loco takes --speed 0..14, --light, "
         "--change-direction)"},
        {{"--system", "marklin", "loco", "24", "--speed", "3", "--f1"}, "--f1 is not carried"},
        {{"--system", "marklin", "loco", "24", "--speed", "3", "--change-direction"},
         "instead of --speed"},
        {{"--system", "lenz", "loco", "3", "--speed", "1", "--ib-old"}, "--ib-old is not carried"},
        {{"--system", "intellibox", "loco", "3", "--speed", "1", "--lenz-steps", "4"},
         "--lenz-steps is not carried"},
        {{"loco", "3"}, "--speed is required"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--port", line.Path(), "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = Cli(args);
        EXPECT_EQ(r.status, 1) << c.args.front() << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << c.says << "\n" << r.err;
        const std::vector<json> lines = JsonLines(r.out);
        ASSERT_FALSE(lines.empty()) << r.err;
        EXPECT_EQ(lines.back()["ok"], false) << r.out;
        EXPECT_EQ(lines.back()["status"], 1) << r.out;
        const std::string sent = line.Receive(64, 0);
        // Only the write of the "do" line before the refused one.
        EXPECT_TRUE(sent.empty() || sent == std::string("\x85\x01", 2))
            << c.args.front() << ": " << sent.size() << " byte(s) sent";
    }
}

// Märklin's speed code 15 is the interface's change of direction.
TEST(Cli, MarklinChangesDirectionByItsOwnOption) {
    const Outcome r =
        Cli(Args("marklin", {"--json", "do", "power on", "loco 24 --change-direction --light"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const json line = JsonLines(r.out).at(1);
    EXPECT_EQ(line["change_direction"], true);
    EXPECT_EQ(line["sent"], json::array({15 + 16}));
}

TEST(Cli, SystemAddressesAreReachedOnPurposeOnly) {
    sim::SelectrixSim unit;
    const Outcome r = Cli({"--port", unit.DevicePath(), "do", "loco 120 --speed 3 --system-address",
                           "write 112 9 --system-address"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(BusOnceWritten(unit, 120, 3), 3);
    EXPECT_EQ(BusOnceWritten(unit, 112, 9), 9);
}

// One session reads many commands: what one gave (a flag, a value, the
// system-address permission) is not there for the next.
TEST(Cli, NothingACommandGaveCarriesOverIntoTheNext) {
    sim::SelectrixSim unit;
    const Outcome r =
        Cli({"--port", unit.DevicePath(), "--json", "do", "loco 3 --speed 10 --light --backward",
             "loco 4 --speed 0", "loco 120 --speed 1 --system-address", "write 5 1", "loco 121 --speed 1"});
    EXPECT_EQ(r.status, 1) << r.err;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0]["sent"], json::array({10 + 0x40 + 0x20}));
    EXPECT_EQ(lines[1]["sent"], json::array({0}));
    EXPECT_EQ(lines[3]["command"], "write");
    EXPECT_TRUE(Has(lines[4].value("error", ""), "give --system-address")) << lines[4];
    EXPECT_EQ(BusOnceWritten(unit, 4, 0), 0);
    EXPECT_EQ(unit.Bus(121), 0);
}

TEST(Cli, ScriptLinesSavedWithCrlfRunAsWritten) {
    sim::SelectrixSim unit;
    unit.SetBus(20, 3);
    const Outcome shell =
        Cli({"--port", unit.DevicePath(), "shell"}, "feedback 20\r\nwrite 9 1\r\n");
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out, "feedback 20: 0x03\nwrite 9 1\n");
    const Outcome session = Cli({"--port", unit.DevicePath(), "do", "write 9 2\r"});
    EXPECT_EQ(session.status, 0) << session.err;
    EXPECT_EQ(BusOnceWritten(unit, 9, 2), 2);
}

// A port name that is not UTF-8 still comes out as valid JSON.
TEST(Cli, JsonStaysValidForNamesThatAreNotUtf8) {
    const Outcome r = Cli({"--port", "/dev/quorrin-\xff\xfe-port", "--json", "probe"});
    EXPECT_EQ(r.status, 3) << r.err;
    std::vector<json> lines;
    ASSERT_NO_THROW(lines = JsonLines(r.out)) << r.out;
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["port_error"], 1);
}

// What reached a Selectrix unit, as its track-power writes (FF FF on, FF 00 off).
std::vector<int> PowerWrites(sim::SelectrixSim& unit) {
    // The unit may read the last bytes a moment after the program ended.
    unit.WaitForReceived(4, 2000);
    std::vector<int> writes;
    const auto received = unit.ReceivedBytes();
    for (size_t i = 0; i + 1 < received.size(); i += 2)
        if (received[i].byte == 0xFF) writes.push_back(received[i + 1].byte);
    return writes;
}

void AwaitPowerOff(sim::SelectrixSim& unit) {
    for (int i = 0; i < 200 && unit.TrackPower(); ++i)
        usleep(10000);
}

// Standard output closed after the power-on (`| head -0`): the run ends
// there, still closing the port in order, so the power goes off again.
TEST(CliSignals, AClosedOutputEndsTheRunAfterAnOrderlyClose) {
    sim::SelectrixSim unit;
    Streams closed;
    closed.outputClosed = true;
    const Outcome r =
        Cli({"--port", unit.DevicePath(), "do", "power on", "write 5 7", "power state"}, {}, {},
            closed);
    EXPECT_EQ(r.status, 141) << r.err;
    AwaitPowerOff(unit);
    EXPECT_FALSE(unit.TrackPower());
    std::string seen;
    for (const auto& b : unit.ReceivedBytes())
        seen += Hex(b.byte) + " ";
    EXPECT_EQ(PowerWrites(unit), (std::vector<int>{0xFF, 0x00})) << seen << "\n" << r.err;
    EXPECT_EQ(unit.Bus(5), 0); // no command after the failed write ran
}

// SIGTERM, SIGHUP (the terminal closed) and SIGINT reach a shell that waits
// for its next line from a pipe: the session ends at once after the
// orderly close, with 128 + the signal.
TEST(CliSignals, ASignalEndsAWaitingShellWithItsStatus) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        sim::SelectrixSim unit;
        Streams open;
        open.keepInputOpen = true;
        bool sent = false;
        const Outcome r = Cli(
            {"--port", unit.DevicePath(), "shell"}, "power on\n",
            [&](const std::string& out, pid_t pid) {
                if (!sent && Has(out, "power on\n")) {
                    sent = true;
                    kill(pid, signal);
                }
            },
            open);
        EXPECT_TRUE(sent) << r.err;
        EXPECT_EQ(r.status, 128 + signal) << signal << "\n" << r.err;
        EXPECT_LT(r.seconds, 10.0);
        AwaitPowerOff(unit);
        EXPECT_EQ(PowerWrites(unit), (std::vector<int>{0xFF, 0x00})) << signal;
    }
}

// The Intellibox's rate scan on a silent line takes seconds; Ctrl-C cuts into
// it, and the run still ends through the orderly close.
TEST(CliSignals, CtrlCCutsIntoTheIntelliboxRateScan) {
    testsupport::PtyPair line; // nobody answers: every rate is tried
    std::thread signaller;
    Streams streams;
    streams.onStart = [&](pid_t pid) {
        signaller = std::thread([pid] {
            usleep(500000);
            kill(pid, SIGINT);
        });
    };
    const Outcome r = Cli({"--system", "intellibox", "--port", line.Path(), "probe"}, {}, {},
                          streams);
    signaller.join();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_LT(r.seconds, 1.5) << r.err;
}

// A signal during a watch inside a session ends the session: the command
// after the watch (here the power-on) never runs.
TEST(CliSignals, NoCommandRunsAfterASignalInAWatch) {
    sim::LenzSim unit;
    Streams streams;
    bool sent = false;
    // The Lenz session asks the version first; the watch runs once it came.
    streams.onError = [](const std::string&, pid_t) {};
    const Outcome r = Cli(
        {"--port", unit.DevicePath(), "--system", "lenz", "--json", "do", "version", "watch",
         "power on"},
        {},
        [&](const std::string& out, pid_t pid) {
            if (!sent && Has(out, "\"version\"")) {
                sent = true;
                usleep(300000); // into the watch
                kill(pid, SIGTERM);
            }
        },
        streams);
    EXPECT_TRUE(sent) << r.err;
    EXPECT_EQ(r.status, 143) << r.out << r.err;
    EXPECT_FALSE(Has(r.out, "\"command\":\"power\"")) << r.out;
    EXPECT_NE(unit.Power(), sim::LenzPower::On);
}

// The interface hangs up on the power-on: the close cannot send the
// power-off, so the run is no success.
TEST(CliSignals, AFailedCloseIsAPortError) {
    // The harness's slave stays open until then: a master alone would read
    // as hung up before the program has even opened the line.
    testsupport::PtyPair line;
    std::atomic<bool> hungUp{false};
    std::thread peer([&] {
        std::string got;
        for (int i = 0; i < 100 && got.find("\xFF\xFF") == std::string::npos; ++i)
            got += line.Receive(2, 100);
        line.CloseSlave();
        line.CloseMaster();
        hungUp.store(true);
    });
    // The shell waits for its next line until the peer has hung up.
    Streams streams;
    streams.keepInputOpen = true;
    streams.closeInputWhen = [&](const std::string& out) {
        if (!Has(out, "power on\n")) return false;
        while (!hungUp.load())
            usleep(1000);
        return true;
    };
    const Outcome r = Cli({"--port", line.Path(), "shell"}, "power on\n", {}, streams);
    peer.join();
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "error")) << r.err;
}

// The central unit's register is the answer, not what this program last
// commanded; the command is named beside it when the two differ.
TEST(Cli, SelectrixPowerStateIsWhatTheUnitSays) {
    sim::SelectrixSim unit;
    unit.SetTrackPower(true); // switched on at the unit
    const Outcome text = Cli({"--port", unit.DevicePath(), "power", "state"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "power on (this program did not switch it on)\n");
    const Outcome j = Cli({"--port", unit.DevicePath(), "--json", "power", "state"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_EQ(JsonLines(j.out).at(0), json({{"command", "power"},
                                            {"state", "on"},
                                            {"emergency_stop", false},
                                            {"commanded", "off"},
                                            {"source", "interface"}}));
    testsupport::PtyPair silent;
    EXPECT_EQ(Cli({"--port", silent.Path(), "power", "state"}).status, 2);
}

// What a user watching the line expects to read, broadcast by broadcast.
// Without power a Märklin locomotive command is held back; one that never
// went out by the close is no success.
TEST(Cli, MarklinCommandNeverSentIsNoSuccess) {
    const Outcome r = Cli(Args("marklin", {"loco", "24", "--speed", "3"}));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Has(r.err, "were not sent")) << r.err;
}

TEST(Cli, LenzBroadcastsReadApart) {
    sim::LenzSim unit;
    bool sent = false;
    const Outcome r =
        Cli({"--port", unit.DevicePath(), "--system", "lenz", "--json", "do", "version",
             "watch --seconds 2"},
            {}, [&](const std::string& out, pid_t) {
                if (!sent && Has(out, "\"version\"")) {
                    sent = true;
                    usleep(200000);
                    unit.SendUnsolicited(std::string("\x61\x00\x61"          // everything off
                                                     "\x81\x00\x81"          // emergency stop
                                                     "\x61\x02\x63"          // service mode
                                                     "\xE3\x40\x00\x05\xA6", // taken over
                                                     14));
                }
            });
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> events;
    for (const json& line : JsonLines(r.out))
        if (line.contains("event")) events.push_back(line);
    ASSERT_EQ(events.size(), 4u) << r.out;
    EXPECT_EQ(events[0], json({{"event", "power"}, {"state", "off"}}));
    EXPECT_EQ(events[1], json({{"event", "emergency-stop"}}));
    EXPECT_EQ(events[2], json({{"event", "service-mode"}}));
    EXPECT_EQ(events[3], json({{"event", "hand-control"}, {"address", 5}}));
}

// A locomotive command held back in the pause after power on goes out
// before the power-off that follows it, not never.
TEST(Cli, MarklinHeldBackCommandGoesOutBeforeThePowerOff) {
    sim::MarklinSim unit;
    const Outcome r = Cli({"--system", "marklin", "--port", unit.DevicePath(), "--json", "do",
                           "power on", "loco 24 --speed 7 --light", "power off"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<int> bytes;
    unit.WaitForReceived(4, 2000);
    for (const auto& b : unit.ReceivedBytes())
        bytes.push_back(b.byte);
    EXPECT_EQ(bytes, (std::vector<int>{0x60, 7 + 16, 24, 0x61})) << r.out;
    EXPECT_EQ(JsonLines(r.out).at(1)["queued"], true) << r.out;
}

// Fast mode is the Märklin interface at 19200 baud, plain mode at 2400.
TEST(Cli, MarklinFastModeRunsTheLineAt19200) {
    for (const bool fast : {false, true}) {
        sim::MarklinSim unit;
        std::vector<std::string> args{"--system", "marklin", "--port", unit.DevicePath()};
        if (fast) args.push_back("--marklin-fast");
        args.insert(args.end(), {"do", "power on"});
        const Outcome r = Cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(unit.WaitForReceived(1, 2000));
        EXPECT_EQ(unit.ReceivedBytes().front().baud, fast ? 19200u : 2400u);
    }
}

TEST(Cli, LenzTurnoutBroadcastNamesBothTurnoutsOfThePair) {
    sim::LenzSim unit;
    bool sent = false;
    const Outcome r =
        Cli({"--port", unit.DevicePath(), "--system", "lenz", "do", "version", "watch --seconds 2"},
            {}, [&](const std::string& out, pid_t) {
                if (!sent && Has(out, "version 3.6\n")) {
                    sent = true;
                    usleep(200000);
                    unit.SendUnsolicited(std::string("\x42\x05\x24\x63", 4));
                }
            });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "turnout 21 A, turnout 22 R (address 5)\n")) << r.out;
}

// ---------------------------------------------------------------- the line trace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The traced messages (not the line events) of a JSON output.
std::vector<json> TracedMessages(const std::string& out) {
    std::vector<json> messages;
    for (const json& line : JsonLines(out))
        if (line.value("event", "") == "trace" && line.contains("kind")) messages.push_back(line);
    return messages;
}

struct TempFolder {
    std::string path;
    TempFolder() {
        char name[] = "/tmp/quorrin-trace-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() { std::system(("rm -rf '" + path + "'").c_str()); }
};

TEST(CliTrace, SelectrixReadTracedWithItsBytesAndKinds) {
    sim::SelectrixSim unit;
    unit.SetBus(12, 0x5A);
    TempFolder folder;
    const std::string file = folder.path + "/line.jsonl";
    const Outcome r = Cli(
        {"--port", unit.DevicePath(), "--json", "--trace", "--trace-file", file, "feedback", "12"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<json> messages = TracedMessages(r.out);
    ASSERT_EQ(messages.size(), 2u) << r.out;
    EXPECT_EQ(messages[0]["direction"], "to-interface");
    EXPECT_EQ(messages[0]["bytes"], "0C 20");
    EXPECT_EQ(messages[0]["kind"], "sx.read");
    EXPECT_EQ(messages[1]["direction"], "from-interface");
    EXPECT_EQ(messages[1]["bytes"], "5A");
    EXPECT_EQ(messages[1]["kind"], "sx.answer");
    EXPECT_GE(messages[1]["t_us"].get<long>(), messages[0]["t_us"].get<long>());
    EXPECT_EQ(messages[1]["gap_us"].get<long>(),
              messages[1]["t_us"].get<long>() - messages[0]["t_us"].get<long>());
    // The file holds the same objects, line events included, and no summary
    // is missing from the end of the output.
    const std::vector<json> inFile = JsonLines(ReadFile(file));
    EXPECT_EQ(TracedMessages(ReadFile(file)), messages);
    ASSERT_FALSE(inFile.empty());
    EXPECT_EQ(inFile.front()["line"], "opened");
    const json summary = JsonLines(r.out).back();
    EXPECT_EQ(summary["event"], "trace-summary");
    EXPECT_EQ(summary["messages"], json({{"sx.answer", 1}, {"sx.read", 1}}));
    EXPECT_EQ(summary["slowest_request"], "sx.read");
    EXPECT_EQ(summary["bad_checksums"], 0);
    // A second run appends.
    ASSERT_EQ(Cli({"--port", unit.DevicePath(), "--trace-file", file, "feedback", "12"}).status, 0);
    EXPECT_EQ(TracedMessages(ReadFile(file)).size(), 4u);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(CliTrace, TextLinesOnStandardErrorMarkABadXorFromThePeer) {
    sim::LenzSim unit;
    bool sent = false;
    const Outcome r = Cli({"--port", unit.DevicePath(), "--system", "lenz", "--trace", "do",
                           "version", "watch --seconds 1"},
                          {}, [&](const std::string& out, pid_t) {
                              if (!sent && Has(out, "version 3.6\n")) {
                                  sent = true;
                                  usleep(100000);
                                  // all on with a wrong check byte, then a good one
                                  unit.SendUnsolicited(std::string("\x61\x01\x61\x61\x01\x60", 6));
                              }
                          });
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* part :
         {" ms  > 21 21 00  lenz.version-request: version request  (+",
          " ms  < 63 21 36 00 74  lenz.version: version 3.6  (+",
          " ms  < 61 01 61  lenz.bad-xor (bad): ",
          " ms  < 61 01 60  lenz.all-on: all on (normal operation)  (+",
          "trace summary: 4 message(s): lenz.all-on 1, lenz.bad-xor 1, lenz.version 1, "
          "lenz.version-request 1\n",
          "trace summary: slowest answer ", "(lenz.version-request -> lenz.version)\n",
          "trace summary: 1 bad checksum(s)"})
        EXPECT_TRUE(Has(r.err, part)) << part << "\n" << r.err;
}

TEST(CliTrace, ATraceFileThatCannotBeWrittenIsRefusedBeforeThePortOpens) {
    TempFolder folder;
    const std::string fifo = folder.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string plain = folder.path + "/plain";
    std::ofstream(plain) << "x";
    const std::string link = folder.path + "/link";
    ASSERT_EQ(symlink(plain.c_str(), link.c_str()), 0);
    testsupport::PtyPair terminal;
    struct Case {
        std::string path;
        std::string why;
    };
    const std::vector<Case> cases{
        {folder.path + "/missing/trace.jsonl", "No such file or directory"},
        {plain + "/trace.jsonl", "Not a directory"},
        {folder.path, "Is a directory"},
        {fifo, "not a regular file"}, // a FIFO nobody reads: refused, not waited for
        {link, "Too many levels of symbolic links"},
        {terminal.Path(), "a terminal, not a file"},
    };
    for (const Case& c : cases) {
        testsupport::PtyPair line; // nothing may reach it
        const Outcome r =
            Cli({"--port", line.Path(), "--trace", "--trace-file", c.path, "feedback", "12"});
        EXPECT_EQ(r.status, 1) << c.path << "\n" << r.err;
        EXPECT_EQ(r.err, "quorrin-cli: trace file " + c.path + ": " + c.why + "\n") << c.path;
        EXPECT_EQ(line.Receive(1, 100), "") << c.path;
        EXPECT_LT(r.seconds, 10) << c.path;
    }
    EXPECT_EQ(ReadFile(plain), "x");
}

TEST(CliTrace, AFullDiskStopsTheTraceWithOneMessageAndTheExchangeGoesOn) {
    sim::SelectrixSim unit;
    unit.SetBus(12, 0x5A);
    const Outcome r = Cli({"--port", unit.DevicePath(), "--trace-file", "/dev/full", "do",
                           "feedback 12", "feedback 12"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "feedback 12: 0x5A\nfeedback 12: 0x5A\n");
    EXPECT_EQ(r.err, "quorrin-cli: trace file /dev/full: No space left on device; tracing to it "
                     "stops\n");
}

} // namespace

TEST(CliVanishing, APortThatVanishesDuringWatchEndsItWithStatusThree) {
    auto unit = std::make_unique<sim::LenzSim>();
    const Outcome r = Cli(
        {"--port", unit->DevicePath(), "--system", "lenz", "do", "power on", "watch --seconds 20"},
        {}, [&](const std::string& out, pid_t) {
            if (unit && Has(out, "power on\n")) unit.reset(); // the line goes
        });
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_LT(r.seconds, 10.0);
}

// Lenz power off is the emergency stop (80); --track switches the track off
// with 21 80 through the queue, and the close has nothing left to switch off.
TEST(Cli, LenzPowerOffTrackSendsTrackOff) {
    sim::LenzSim unit;
    const Outcome r = Cli({"--port", unit.DevicePath(), "--system", "lenz", "--json", "do",
                           "power on", "power off --track"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = JsonLines(r.out);
    const json done{{"command", "power"}, {"state", "off"}, {"track", true}};
    EXPECT_NE(std::find(lines.begin(), lines.end(), done), lines.end()) << r.out;
    // The interface's answer is the track-off broadcast, not an emergency stop.
    EXPECT_EQ(lines.back(), json({{"event", "power"}, {"state", "off"}})) << r.out;
    std::string heard;
    for (const auto& b : unit.ReceivedBytes())
        heard += static_cast<char>(b.byte);
    const std::string trackOff("\x21\x80\xA1", 3);
    ASSERT_GE(heard.size(), trackOff.size());
    EXPECT_EQ(heard.substr(heard.size() - 3), trackOff);
    EXPECT_EQ(heard.find(std::string("\x80\x80", 2)), std::string::npos);
    EXPECT_EQ(unit.Power(), sim::LenzPower::Off);
}
