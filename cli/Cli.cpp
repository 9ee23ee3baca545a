#include "cli/Cli.h"

#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "serial/PortList.h"
#include "sim/DinamoSim.h"
#include "sim/IntelliboxSim.h"
#include "sim/KaartSim.h"
#include "sim/LenzSim.h"
#include "sim/MarklinSim.h"
#include "sim/SelectrixSim.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cli {
namespace {

using command_station::TMivoCom;
using nlohmann::json;

// The first terminating signal (SIGINT, SIGTERM, SIGHUP) ends the run after
// the orderly close. The handler only notes it and wakes a blocked line read
// through a pipe; everything else happens between the waits, which are short.
std::atomic<int> g_signal{0};
int g_wake[2] = {-1, -1};
// Standard output went away (a closed pipe): the run ends like on a signal.
std::atomic<bool> g_outputGone{false};

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    if (g_wake[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] const ssize_t n = write(g_wake[1], &c, 1);
    }
    errno = saved;
}

bool Stopping() {
    return g_signal.load() != 0 || g_outputGone.load();
}

// The status a stopped run ends with: 128 + the signal, as a shell reports a
// program the signal ended; 141 (SIGPIPE's) when standard output went away.
int StopStatus() {
    if (const int s = g_signal.load(); s != 0) return 128 + s;
    return kOutputClosed;
}

void InstallSignalHandlers() {
    if (g_wake[0] < 0 && pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a blocked read returns at once
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    // A closed standard output is a failed write, seen after each result.
    signal(SIGPIPE, SIG_IGN);
}

// Every text of the system goes out as valid JSON: bytes that are not UTF-8
// (a port name, a device link) become U+FFFD instead of aborting the dump.
std::string Dump(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

// One line on standard output; a write that fails ends the run.
void Print(const std::string& line) {
    std::cout << line << '\n' << std::flush;
    if (!std::cout) g_outputGone.store(true);
}

void PrintJsonError(const std::string& command, int status, const std::string& text) {
    json error{{"ok", false}, {"status", status}, {"error", text}};
    if (!command.empty()) error["command"] = command;
    Print(Dump(error));
}

// Reads standard input line by line, waking for a signal as well. A line
// ends at LF; a CR before it (a script saved with CRLF) is dropped.
class LineReader {
  public:
    // False at the end of input or when the run is stopping.
    bool Next(std::string& line) {
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line.assign(buffer_, 0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            if (eof_) {
                if (buffer_.empty()) return false;
                line.swap(buffer_);
                buffer_.clear();
                return true;
            }
            if (Stopping()) return false;
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
            if (poll(fds, g_wake[0] >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR) continue;
                eof_ = true;
                continue;
            }
            if (fds[0].revents == 0) continue;
            char chunk[65536];
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n > 0)
                buffer_.append(chunk, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                eof_ = true;
        }
    }

  private:
    std::string buffer_;
    bool eof_ = false;
};

std::string WithoutCr(std::string line) {
    while (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// ---------------------------------------------------------------- systems

struct SystemInfo {
    const char* name;
    uint8_t number;
    // Inclusive ranges the component handles for this system; a maximum of
    // -1: the command does not exist for it.
    int locoMax;
    int speedMax;
    int feedbackMin;
    int feedbackMax;
    // Selectrix: addresses from here up are the central unit's own (127 is
    // the track power). Locomotive commands and writes reach them only with
    // --system-address; the component reads none of them. 0: none.
    int systemFrom;
    // `power state` can ask the interface (else it reports what this program
    // commanded).
    bool readsPower;
    // The loco options the system carries onto the line, besides the address
    // and --speed (up to speedMax).
    const char* locoOptions;
};

// Selectrix and Märklin put the speed into the command byte unmasked, where
// a larger value would spill into the direction, light and function bits:
// the ranges stop at the speed codes (Märklin's 15 has its own option).
constexpr std::array<SystemInfo, 6> kSystems{{
    {"selectrix", command_station::dsSelectrix, 127, 31, 0, 111, 112, true, "--light --backward --f1 --system-address"},
    {"marklin", command_station::dsMarklin, 255, 14, 1, 31, 0, false, "--light --change-direction"},
    {"lenz", command_station::dsLenz, 9999, 127, 1, 128, 0, false, "--light --backward --f1 --f2 --f3 --f4 --lenz-steps"},
    {"kaart", command_station::dsSerieleKaart, -1, -1, 0, 127, 0, false, ""},
    {"intellibox", command_station::dsIntellibox, 10239, 127, 0, 255, 0, false, "--light --backward --f1 --f2 --f3 --f4 --ib-steps --ib-old"},
    {"dinamo", command_station::dsDinamo, -1, -1, 0, -1, 0, false, ""},
}};

const SystemInfo* FindSystem(const std::string& name) {
    for (const SystemInfo& s : kSystems)
        if (name == s.name) return &s;
    return nullptr;
}

std::optional<serial::TBaudRate> BaudRate(long rate) {
    static constexpr std::array<std::pair<long, serial::TBaudRate>, 15> kRates{{
        {110, serial::br110},
        {300, serial::br300},
        {600, serial::br600},
        {1200, serial::br1200},
        {2400, serial::br2400},
        {4800, serial::br4800},
        {9600, serial::br9600},
        {14400, serial::br14400},
        {19200, serial::br19200},
        {38400, serial::br38400},
        {56000, serial::br56000},
        {57600, serial::br57600},
        {115200, serial::br115200},
        {128000, serial::br128000},
        {256000, serial::br256000},
    }};
    for (const auto& [n, r] : kRates)
        if (n == rate) return r;
    return std::nullopt;
}

// Lenz log categories by name; a mask may be given as a number too.
constexpr std::array<std::pair<const char*, uint16_t>, 15> kLenzCategories{{
    {"received", 0x0001},
    {"ok", 0x0002},
    {"feedback", 0x0004},
    {"emergency", 0x0008},
    {"allon", 0x0010},
    {"version", 0x0020},
    {"handstop", 0x0040},
    {"hand", 0x0080},
    {"undefined", 0x0100},
    {"loco", 0x0200},
    {"turnout", 0x0400},
    {"sent", 0x0800},
    {"numbers", 0x1000},
    {"errors", 0x2000},
    {"all", 0x3FFF},
}};

std::optional<uint16_t> LenzMask(const std::string& text) {
    uint16_t mask = 0;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (part.empty()) continue;
        bool found = false;
        for (const auto& [name, bits] : kLenzCategories)
            if (part == name) {
                mask |= bits;
                found = true;
            }
        if (found) continue;
        try {
            size_t used = 0;
            const unsigned long v = std::stoul(part, &used, 0);
            if (used != part.size() || v > 0xFFFF) return std::nullopt;
            mask |= static_cast<uint16_t>(v);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return mask;
}

// ---------------------------------------------------------------- the console host

// Message boxes become lines on standard error; the count lets a command
// see that the component refused it with one of its own messages.
class ConsoleHost : public platform::HostServices {
  public:
    void ShowMessage(const std::string& text) override {
        ++shown;
        std::cerr << "quorrin-cli: " << text << std::endl;
    }
    void ShowError(const std::string& text) override {
        ++errors;
        std::cerr << "quorrin-cli: error: " << text << std::endl;
    }
    bool ShowErrorOkCancel(const std::string& text) override {
        ShowError(text);
        return false;
    }
    void ProcessMessages() override { platform::MainQueue().Serve(); }
    int shown = 0;
    int errors = 0;
};

// ---------------------------------------------------------------- options

struct Options {
    std::string system = "selectrix";
    std::string port;
    long baud = 0;
    bool simulator = false;
    bool json = false;
    std::string lenzLog;
    // Host settings.
    uint16_t lenzReplyMs = 500;
    int lenzSkip = 1;
    int lenzQuietMs = 0;
    bool ibFixed = false;
    long ibBaud = 0;
    bool ibBinary = false;
    uint16_t marklinLocPause = 60;
    uint16_t marklinStopPause = 90;
    uint16_t marklinBytePause = 10;
    bool marklinFast = false;
    bool kaartFast = false;
    std::array<bool, 4> kaartOptions{true, true, true, false}; // options 0, 1, 2 and 4
    uint16_t dinamoAnswerMs = 200;
};

// One command as parsed (from the arguments, a `do` argument or a shell line).
struct Request {
    std::string name;
    std::string powerWhat;
    int address = 0;
    int value = 0;
    int speed = 0;
    bool light = false;
    bool backward = false;
    std::array<bool, 4> functions{};
    int lenzSteps = 3;
    int ibSteps = 14;
    bool ibOld = false;
    int request = 0;
    bool all = false;
    bool flag2 = false;
    bool systemAddress = false;
    bool changeDirection = false;
    std::vector<std::string> given; // the loco options given, by name
    double seconds = 0;
};

constexpr const char* kSystemAddressHelp =
    "selectrix: allow the central unit's own addresses 112..127 on purpose (127 is the track "
    "power)";

// Every number the user gives: an empty word (an unset variable in a
// script), a word that is no number, or an infinite or NaN value is wrong
// use, not a zero. The name stays empty so the help's type names are kept.
const CLI::Validator kNumber(
    [](std::string& text) -> std::string {
        if (text.find_first_not_of(" \t") == std::string::npos) return "a number is needed, not \"" + text + "\"";
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') return "not a number: " + text;
        if (!std::isfinite(value)) return "not a finite number: " + text;
        return {};
    },
    "");

void AddCommands(CLI::App& app, Request& req) {
    auto named = [&req](const char* name) { return [&req, name] { req.name = name; }; };
    app.add_subcommand("ports", "list the serial ports of this machine")->callback(named("ports"));
    app.add_subcommand("probe", "initialise the interface and test the connection")
        ->callback(named("probe"));
    auto* power = app.add_subcommand("power", "switch the track power on or off, or show it");
    power->add_option("what", req.powerWhat, "on, off or state")
        ->required()
        ->check(CLI::IsMember({"on", "off", "state"}));
    power->callback(named("power"));
    auto* loco = app.add_subcommand(
        "loco", "drive a locomotive (selectrix 0..111, 112..127 with --system-address, marklin 0..255, lenz 0..9999, "
                "intellibox 0..10239)");
    loco->add_option("address", req.address, "locomotive address")->required()->check(kNumber);
    loco->add_option("--speed", req.speed,
                     "speed step (needed but with --change-direction): selectrix 0..31, "
                     "marklin 0..14, lenz and intellibox 0..127 (the intellibox keeps it to "
                     "--ib-steps)")
        ->check(kNumber);
    loco->add_flag("--change-direction", req.changeDirection,
                   "marklin: the interface's change-direction code (speed code 15) instead of a "
                   "speed");
    loco->add_flag("--light", req.light, "light on");
    loco->add_flag("--system-address", req.systemAddress, kSystemAddressHelp);
    loco->add_flag("--backward", req.backward, "drive backward");
    for (int i = 0; i < 4; ++i)
        loco->add_flag("--f" + std::to_string(i + 1), req.functions[static_cast<size_t>(i)],
                       "function " + std::to_string(i + 1) + " on");
    loco->add_option("--lenz-steps", req.lenzSteps,
                     "Lenz step mode: 1..3 old form 14/27/28 steps, 4 128 steps, 5..8 with "
                     "the step mode byte")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(1, 8));
    loco->add_option("--ib-steps", req.ibSteps, "Intellibox speed steps (14, 15, 27, 28, 31)")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::IsMember({14, 15, 27, 28, 31}));
    loco->add_flag("--ib-old", req.ibOld, "Intellibox: the old two-byte command");
    // Which options were given: a system refuses those it cannot carry.
    loco->callback([&req, loco] {
        req.name = "loco";
        for (const CLI::Option* o : loco->get_options())
            if (o->count() > 0) req.given.push_back(o->get_name());
    });
    auto* feedback = app.add_subcommand(
        "feedback", "read a feedback address (selectrix 0..111, marklin module 1..31, lenz "
                    "module 1..128, kaart module 0..127; intellibox: sends the sensor request only, "
                    "its answer is not read out)");
    feedback->add_option("address", req.address, "address or module")->required()->check(kNumber);
    feedback->add_option("--request", req.request, "serial card: the request value (0..255)")
        ->check(kNumber)
        ->check(CLI::Range(0, 255));
    feedback->add_flag("--all", req.all, "Märklin: read modules 1 up to this one");
    feedback->add_flag("--flag2", req.flag2, "serial card: the second flag");
    feedback->callback(named("feedback"));
    auto* write = app.add_subcommand("write", "write a value to a Selectrix function decoder");
    write->add_option("address", req.address,
                      "address 0..111 (112..127 with --system-address)")
        ->required()
        ->check(kNumber)
        ->check(CLI::Range(0, 127));
    write->add_option("value", req.value, "value 0..255")
        ->required()
        ->check(kNumber)
        ->check(CLI::Range(0, 255));
    write->add_flag("--system-address", req.systemAddress, kSystemAddressHelp);
    write->callback(named("write"));
    app.add_subcommand("version", "the Lenz interface's version")->callback(named("version"));
    auto* watch = app.add_subcommand(
        "watch", "print Lenz broadcasts and DINAMO reports as they arrive until the time is "
                 "up or Ctrl-C");
    watch->add_option("--seconds", req.seconds, "stop after this many seconds (0: never)")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(0.0, 86400.0));
    watch->callback(named("watch"));
    app.require_subcommand(1, 1);
}

// ---------------------------------------------------------------- the session

class Session {
  public:
    Session(const Options& options, const SystemInfo& system) : opt_(options), system_(system) {}

    ~Session() { Close(); }

    // Opens the port (starting the simulator first); status kDone or the failure.
    int Open();
    int Execute(const Request& req);
    // Lets due held-back commands out (bounded), then closes the port. False
    // when the close failed (the power-off may not have reached the line);
    // the failure is on standard error.
    bool Close();

  private:
    void Result(json object, const std::string& text) {
        Print(opt_.json ? Dump(object) : text);
    }
    void Text(const std::string& text) { std::cerr << text << std::endl; }
    int Fail(int status, const std::string& command, const std::string& text) {
        std::cerr << "quorrin-cli: " << command << ": " << text << std::endl;
        if (opt_.json) PrintJsonError(command, status, text);
        return status;
    }
    void Event(json object, const std::string& text) {
        ++events_;
        Result(std::move(object), text);
    }
    void InstallHandlers();
    void ApplySettings();
    // Serves the main-thread queue (where the port delivers what arrives)
    // until `done` says so, the time is up or Ctrl-C; blocks meanwhile.
    void ServeUntil(uint32_t ms, const std::function<bool()>& done);
    // Why the chosen system cannot carry `req`; empty when it can.
    std::string WrongUse(const Request& req) const;
    int Probe();
    int PowerState();
    int Power(const Request& req);
    int Loco(const Request& req);
    int Feedback(const Request& req);
    int Watch(const Request& req);
    bool LineHungUp();

    const Options& opt_;
    const SystemInfo& system_;
    ConsoleHost host_;
    std::shared_ptr<void> simulator_;
    std::unique_ptr<TMivoCom> com_;
    bool initialised_ = false;
    int events_ = 0;
    std::vector<int> feedbackSeen_;
};

std::vector<std::string> Words(const std::string& line);

std::string RangeText(int min, int max) {
    return std::to_string(min) + ".." + std::to_string(max);
}

std::string Hex(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
    return buf;
}

std::string VersionText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string PowerTextOf(bool on) {
    return on ? "on" : "off";
}

void Session::InstallHandlers() {
    TMivoCom& com = *com_;
    com.OnAlgTekst = [this](command_station::TAlgAct, const std::string& t) { Text(t); };
    com.OnIBAddTekst = [this](const std::string& t) { Text(t); };
    if (!opt_.lenzLog.empty()) {
        com.SetOnLenzAddTekst([this](const std::string& t) { Text(t); });
        com.LenzLogMasker = *LenzMask(opt_.lenzLog);
    }
    com.OnLenzDoeIets = [this](command_station::TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3,
                               double) {
        using namespace command_station;
        switch (a) {
        case laBezetmelder:
            feedbackSeen_.push_back(d1);
            Event({{"event", "feedback"}, {"module", d1}, {"upper", d2 == 2}, {"inputs", d3}},
                  "feedback module " + std::to_string(d1) + (d2 == 2 ? " upper" : " lower") +
                      " inputs " + Hex(d3));
            break;
        case laWisselFeedback: {
            // A pair of turnouts from the first number on: bit 0 the first,
            // bit 2 the second; a set bit is R, a clear one A.
            const char* first = (d3 & 0x01) ? "R" : "A";
            const char* second = (d3 & 0x04) ? "R" : "A";
            Event({{"event", "turnout"},
                   {"address", d1},
                   {"turnouts",
                    json::array({{{"number", d2}, {"position", first}},
                                 {{"number", d2 + 1}, {"position", second}}})},
                   {"state", d3}},
                  "turnout " + std::to_string(d2) + " " + first + ", turnout " +
                      std::to_string(d2 + 1) + " " + second + " (address " + std::to_string(d1) +
                      ")");
            break;
        }
        case laLoc:
        case laLocV3:
            Event({{"event", "loco"}, {"address", d1}, {"data", d2}, {"functions", d3}},
                  "loco " + std::to_string(d1) + " data " + Hex(d2) + " functions " + Hex(d3));
            break;
        case laNoodstop:
            Event({{"event", "emergency-stop"}}, "broadcast: emergency stop");
            break;
        case laAllesAan:
            Event({{"event", "power"}, {"state", "on"}}, "broadcast: power on");
            break;
        case laVersie: // the answer of version and probe, shown as their result
            break;
        }
    };
    com.OnIBDoeIets = [this](command_station::TIBAktie a, uint16_t d1, uint16_t d2, uint16_t,
                             uint16_t) {
        using namespace command_station;
        static constexpr const char* kNames[] = {
            "feedback",       "loco",           "turnout",        "power-off", "power-on",
            "short-external", "short-loco-bus", "short-internal", "overheated"};
        const std::string name = kNames[a];
        Event({{"event", name}, {"data1", d1}, {"data2", d2}},
              name + " " + std::to_string(d1) + " " + Hex(d2 >> 8) + Hex(d2).substr(2));
    };
    com.OnDinDoeIets = [this](command_station::TDinAktie a, uint16_t d1, uint16_t d2, uint16_t,
                              uint16_t) {
        static constexpr const char* kNames[] = {"feedback", "magnet", "block"};
        const std::string name = kNames[a];
        Event({{"event", name}, {"address", d1}, {"value", d2}},
              name + " " + std::to_string(d1) + " " + std::to_string(d2));
    };
}

void Session::ApplySettings() {
    TMivoCom& com = *com_;
    com.LenzAntwoordTijd = opt_.lenzReplyMs;
    com.LenzSlaOver = static_cast<uint8_t>(opt_.lenzSkip);
    com.LenzStilteTijd = static_cast<uint8_t>(opt_.lenzQuietMs);
    com.IBVasteBaud = opt_.ibFixed;
    com.IBBinaireLoc = opt_.ibBinary;
    if (opt_.ibBaud != 0) com.IBDoelBaud = *BaudRate(opt_.ibBaud);
    com.MarklinLocPauze = opt_.marklinLocPause;
    com.MarklinStopPauze = opt_.marklinStopPause;
    com.MarklinBytePauze = opt_.marklinBytePause;
    com.MarklinSnel = opt_.marklinFast;
    com.KaartSnel = opt_.kaartFast;
    com.KaartOptie0 = opt_.kaartOptions[0];
    com.KaartOptie1 = opt_.kaartOptions[1];
    com.KaartOptie2 = opt_.kaartOptions[2];
    com.KaartOptie4 = opt_.kaartOptions[3];
    com.DinamoAntwoordTijd = opt_.dinamoAnswerMs;
}

template <class Sim, class... Args> std::pair<std::shared_ptr<void>, std::string> Start(Args... a) {
    auto sim = std::make_shared<Sim>(a...);
    std::string path = sim->DevicePath();
    return {std::move(sim), std::move(path)};
}

int Session::Open() {
    platform::SetHost(&host_);
    std::string port = opt_.port;
    if (opt_.simulator) {
        std::pair<std::shared_ptr<void>, std::string> started;
        const std::string s = system_.name;
        if (s == "selectrix") started = Start<sim::SelectrixSim>();
        if (s == "marklin") started = Start<sim::MarklinSim>();
        if (s == "lenz") started = Start<sim::LenzSim>();
        if (s == "kaart") started = Start<sim::KaartSim>();
        if (s == "intellibox") started = Start<sim::IntelliboxSim>(sim::IBMode::Mixed, 2400u);
        if (s == "dinamo") started = Start<sim::DinamoSim>();
        simulator_ = std::move(started.first);
        port = started.second;
    }
    com_ = std::make_unique<TMivoCom>();
    com_->SetDigitaalSysteem(system_.number);
    ApplySettings();
    InstallHandlers();
    com_->SetPort(port);
    if (opt_.baud != 0) com_->SetBaudRate(*BaudRate(opt_.baud));
    com_->OpenPort();
    return kDone;
}

bool Session::Close() {
    if (!com_) return true;
    TMivoCom& com = *com_;
    if (com.Connected()) {
        // What is still held back goes out first, within bounds.
        const platform::Deadline limit = platform::Deadline::After(2000);
        if (system_.number == command_station::dsMarklin)
            while (com.MarklinAchtergehouden && !com.MarklinAchtergehouden->empty() &&
                   !limit.Reached() && com.SysteemAan)
                if (!com.MarklinVerstuurAchtergehouden(true)) platform::Sleep(5);
        if (system_.number == command_station::dsIntellibox) com.IBStuurAchtergehouden();
        if (system_.number == command_station::dsLenz)
            ServeUntil(1000, [&] { return !com.LenzRij || com.LenzRij->empty(); });
    }
    // The close switches off what the component switched on; a close that
    // fails is reported here, not left to the destructor.
    bool closed = true;
    const int errorsBefore = host_.errors;
    try {
        com.ClosePort();
    } catch (const serial::EComPort& e) {
        std::cerr << "quorrin-cli: closing the port: serial port error " << e.PortErrorCode()
                  << ": " << e.what() << std::endl;
        closed = false;
    } catch (const std::exception& e) {
        std::cerr << "quorrin-cli: closing the port: " << e.what() << std::endl;
        closed = false;
    }
    if (host_.errors > errorsBefore) closed = false;
    com_.reset();
    simulator_.reset();
    platform::MainQueue().Serve();
    platform::SetHost(nullptr);
    return closed;
}

void Session::ServeUntil(uint32_t ms, const std::function<bool()>& done) {
    const platform::Deadline deadline = platform::Deadline::After(ms);
    while (!done() && !deadline.Reached() && !Stopping()) {
        platform::MainQueue().WaitForWork(
            static_cast<uint32_t>(std::min<uint64_t>(deadline.Remaining(), 50)));
        platform::MainQueue().Serve();
        if (com_ && system_.number == command_station::dsLenz) com_->LenzZend({});
    }
}

int Session::Execute(const Request& req) {
    if (req.name == "ports") {
        std::vector<std::string> ports;
        serial::ListSerialPorts(ports);
        std::string text;
        for (const std::string& p : ports)
            text += (text.empty() ? "" : "\n") + p;
        Result({{"command", "ports"}, {"ports", ports}}, text);
        return kDone;
    }
    // Wrong use is refused before the port is opened: nothing reaches the line.
    if (const std::string why = WrongUse(req); !why.empty()) return Fail(kWrongUse, req.name, why);
    if (!com_) {
        const int opened = Open();
        if (opened != kDone) return opened;
    }
    TMivoCom& com = *com_;
    const int shownBefore = host_.shown;
    auto refused = [&] { return host_.shown > shownBefore; };
    // Every command but the probe needs an initialised interface (the
    // Intellibox's rate, the serial card's configuration, the DINAMO's link).
    if (req.name != "probe" && !initialised_) {
        if (!com.InitSysteem())
            return Fail(kNoAnswer, req.name,
                        com.LaatsteFout.empty() ? "the interface did not answer" : com.LaatsteFout);
        // The Lenz queue counts the power broadcasts it awaits by the
        // interface's version (two from 3.0, four before). Not knowing it, a
        // power-on to a 3.x interface would stay unfinished, and what is
        // queued behind it (the version request itself) would not go out.
        if (system_.number == command_station::dsLenz && req.name != "version" &&
            com.GetLenzVersie() <= 0.0)
            return Fail(kNoAnswer, req.name, "the interface did not answer");
        initialised_ = true;
    }
    if (req.name == "probe") return Probe();
    if (req.name == "power") return Power(req);
    if (req.name == "loco") return Loco(req);
    if (req.name == "feedback") return Feedback(req);
    if (req.name == "watch") return Watch(req);
    if (req.name == "write") {
        com.SelectrixFunctieDecoder(static_cast<uint8_t>(req.address),
                                    static_cast<uint8_t>(req.value));
        if (refused()) return kWrongUse;
        Result({{"command", "write"}, {"address", req.address}, {"value", req.value}},
               "write " + std::to_string(req.address) + " " + std::to_string(req.value));
        return kDone;
    }
    if (req.name == "version") {
        // The request goes out behind what is still queued: let that finish
        // first (within bounds), or the answer's wait would run out meanwhile.
        if (system_.number == command_station::dsLenz)
            ServeUntil(1000, [&] { return !com.LenzRij || com.LenzRij->empty(); });
        const double v = com.GetLenzVersie();
        if (refused()) return kWrongUse;
        if (v <= 0.0) return Fail(kNoAnswer, "version", "the interface did not answer");
        Result({{"command", "version"}, {"version", v}}, "version " + VersionText(v));
        return kDone;
    }
    return Fail(kWrongUse, req.name, "unknown command");
}

int Session::Probe() {
    TMivoCom& com = *com_;
    const bool ok = com.InitSysteem() && com.GetVerbindingOke();
    initialised_ = initialised_ || ok;
    if (!ok)
        return Fail(kNoAnswer, "probe",
                    com.LaatsteFout.empty() ? "the interface did not answer" : com.LaatsteFout);
    json result{{"command", "probe"}, {"system", system_.name}, {"ok", true}};
    std::string text = std::string(system_.name) + ": the interface answers";
    if (system_.number == command_station::dsLenz) {
        result["version"] = com.LenzVersie;
        text += " (version " + VersionText(com.LenzVersie) + ")";
    }
    Result(result, text);
    return kDone;
}

// What the interface says where it can be asked (the Selectrix central
// unit's register 127); elsewhere what this program last commanded. The
// command is named beside the answer when the two differ.
int Session::PowerState() {
    TMivoCom& com = *com_;
    const bool stop = com.GetSysteemNoodstop();
    const bool commanded = com.SysteemAan;
    json result{{"command", "power"}, {"emergency_stop", stop}};
    if (!system_.readsPower) {
        result["state"] = PowerTextOf(commanded);
        result["source"] = "commanded";
        Result(result, std::string("power ") + PowerTextOf(commanded) +
                           (stop ? " (emergency stop)" : "") + " (as this program switched it)");
        return kDone;
    }
    // A silent unit reads as stopped: tell the two apart.
    if (stop && !com.GetVerbindingOke())
        return Fail(kNoAnswer, "power", "the interface did not answer");
    const bool on = !stop;
    result["state"] = PowerTextOf(on);
    result["source"] = "interface";
    std::string text = "power " + PowerTextOf(on);
    if (on != commanded) {
        result["commanded"] = PowerTextOf(commanded);
        text += std::string(" (this program ") +
                (commanded ? "switched it on)" : "did not switch it on)");
    }
    Result(result, text);
    return kDone;
}

int Session::Power(const Request& req) {
    TMivoCom& com = *com_;
    if (req.powerWhat == "on") {
        if (!com.ZetSysteemAan()) return Fail(kNoAnswer, "power", "the interface refused power on");
    } else if (req.powerWhat == "off") {
        com.ZetSysteemUit();
    } else {
        return PowerState();
    }
    Result({{"command", "power"}, {"state", PowerTextOf(com.SysteemAan)}},
           "power " + PowerTextOf(com.SysteemAan));
    return kDone;
}


std::string Session::WrongUse(const Request& req) const {
    const std::string name = system_.name;
    auto outOfRange = [&](const char* what, int value, int min, int max) {
        return std::string(what) + " " + std::to_string(value) + " is out of range for " + name +
               " (" + RangeText(min, max) + ")";
    };
    // The central unit's own addresses (Selectrix 112..127, 127 the track power).
    auto systemAddress = [&](int address) {
        return system_.systemFrom > 0 && address >= system_.systemFrom;
    };
    const std::string systemText =
        " is one of the central unit's own addresses (" +
        RangeText(system_.systemFrom, 127) + ", 127 is the track power)";
    if (req.name == "loco") {
        if (system_.locoMax < 0) return "not available for " + name;
        if (req.address < 0 || req.address > system_.locoMax)
            return outOfRange("address", req.address, 0, system_.locoMax);
        if (systemAddress(req.address) && !req.systemAddress)
            return "address " + std::to_string(req.address) + systemText +
                   ": give --system-address to drive it on purpose";
        for (const std::string& option : req.given) {
            if (option == "address" || option == "--speed") continue;
            const std::string carried = std::string(" ") + system_.locoOptions + " ";
            if (carried.find(" " + option + " ") == std::string::npos)
            {
                std::string takes = "--speed 0.." + std::to_string(system_.speedMax);
                for (const std::string& o : Words(system_.locoOptions))
                    takes += ", " + o;
                return option + " is not carried by " + name + " (its loco takes " + takes + ")";
            }
        }
        const bool speedGiven =
            std::find(req.given.begin(), req.given.end(), "--speed") != req.given.end();
        if (req.changeDirection && speedGiven)
            return "--change-direction is instead of --speed: give one of them";
        if (!req.changeDirection && !speedGiven) return "--speed is required";
        if (speedGiven && (req.speed < 0 || req.speed > system_.speedMax))
            return outOfRange("speed", req.speed, 0, system_.speedMax);
    }
    if (req.name == "write" && systemAddress(req.address) && !req.systemAddress)
        return "address " + std::to_string(req.address) + systemText +
               ": give --system-address to write it on purpose";
    if (req.name == "feedback") {
        if (system_.feedbackMax < 0) return name + " reports feedback by itself: use watch";
        if (systemAddress(req.address) && req.address <= 127)
            return "address " + std::to_string(req.address) + systemText +
                   ": not read (" + name + " reads " +
                   RangeText(system_.feedbackMin, system_.feedbackMax) + ")";
        if (req.address < system_.feedbackMin || req.address > system_.feedbackMax)
            return outOfRange("address", req.address, system_.feedbackMin, system_.feedbackMax);
    }
    if (req.name == "watch" && system_.number != command_station::dsDinamo &&
        system_.number != command_station::dsLenz)
        return name + " sends no reports by itself (lenz and dinamo do)";
    return {};
}

int Session::Loco(const Request& req) {
    std::string sent;
    // Märklin's speed code 15 changes the direction.
    const int speed = req.changeDirection ? 15 : req.speed;
    com_->StuurLoc(static_cast<uint16_t>(req.address), static_cast<uint8_t>(speed), req.light,
                   !req.backward, req.functions, static_cast<uint8_t>(req.lenzSteps),
                   static_cast<uint8_t>(req.ibSteps), req.ibOld, sent);
    std::vector<int> bytes;
    std::string text;
    for (unsigned char c : sent) {
        bytes.push_back(c);
        text += " " + Hex(c);
    }
    json result{{"command", "loco"}, {"address", req.address}, {"sent", bytes}};
    if (req.changeDirection)
        result["change_direction"] = true;
    else
        result["speed"] = req.speed;
    Result(result, "loco " + std::to_string(req.address) +
                       (req.changeDirection ? " change direction"
                                            : " speed " + std::to_string(req.speed)) +
                       (text.empty() ? "" : ":" + text));
    return kDone;
}

int Session::Feedback(const Request& req) {
    TMivoCom& com = *com_;
    std::string answer;
    feedbackSeen_.clear();
    const int eventsBefore = events_;
    com.GetBezetmelder(static_cast<uint8_t>(req.address), static_cast<uint8_t>(req.request),
                       req.all, req.flag2, answer);
    if (system_.number == command_station::dsLenz) {
        // Two answers (lower and upper nibble) arrive as events.
        ServeUntil(1500, [&] {
            int n = 0;
            for (int m : feedbackSeen_)
                n += m == req.address;
            return n >= 2;
        });
        if (events_ == eventsBefore) return Fail(kNoAnswer, "feedback", "no answer");
        return kDone;
    }
    if (system_.number == command_station::dsIntellibox) {
        // The component sends the sensor request and drops the answer byte;
        // no input states come back, so none are claimed here.
        Result({{"command", "feedback"}, {"request", "sent"}, {"inputs", nullptr}},
               "feedback: sensor request sent; the intellibox path reports no input states");
        return kDone;
    }
    if (answer.empty()) return Fail(kNoAnswer, "feedback", "no answer");
    std::vector<int> bytes;
    std::string text;
    for (unsigned char c : answer) {
        bytes.push_back(c);
        text += " " + Hex(c);
    }
    json result{{"command", "feedback"}, {"address", req.address}, {"bytes", bytes}};
    if (bytes.size() == 1) result["value"] = bytes[0];
    Result(result, "feedback " + std::to_string(req.address) + ":" + text);
    return kDone;
}

// A hung-up line polls readable for good with nothing to read (the port's
// own reader may just have taken what came, so it must stay so a moment).
bool Session::LineHungUp() {
    serial::ComDevice* device = com_->Device();
    for (int look = 0; look < 2; ++look) {
        bool ready = false;
        if (!device || device->WaitReadable(0, ready) != 0) return true;
        if (!ready || com_->PendingInputCount() > 0) return false;
        if (look == 0) platform::Sleep(20);
    }
    return true;
}

int Session::Watch(const Request& req) {
    TMivoCom& com = *com_;
    const bool dinamo = system_.number == command_station::dsDinamo;
    const int eventsBefore = events_;
    const int errorsBefore = host_.errors;
    const bool forever = req.seconds <= 0;
    const platform::Deadline deadline =
        platform::Deadline::After(forever ? 0 : static_cast<uint32_t>(req.seconds * 1000));
    std::string ended = "time";
    for (;;) {
        if (Stopping()) {
            ended = g_outputGone.load() ? "output closed" : "interrupt";
            break;
        }
        if (!forever && deadline.Reached()) break;
        if (!com.Connected() || host_.errors > errorsBefore || LineHungUp())
            return Fail(kPortError, "watch", "the port was closed or the line hung up");
        const uint32_t slice =
            forever ? 100u : static_cast<uint32_t>(std::min<uint64_t>(deadline.Remaining(), 100));
        if (dinamo) {
            com.DinamoCyclus();
            com.DinamoWacht(slice);
        } else {
            platform::MainQueue().WaitForWork(slice);
        }
        platform::MainQueue().Serve();
    }
    Result({{"command", "watch"}, {"events", events_ - eventsBefore}, {"ended", ended}},
           "watch ended (" + ended + "): " + std::to_string(events_ - eventsBefore) + " event(s)");
    return kDone;
}

// Splits a shell line like a shell would for words and double quotes.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

// What parsing one command gave.
enum class Parsed { Command, Help, WrongUse };

// Parses one session command: `req` filled, the help shown, or wrong use
// reported (on standard error, and as a JSON error object with --json).
Parsed ParseCommand(const std::string& line, Request& req, bool jsonErrors) {
    CLI::App app{"session command", "quorrin-cli"};
    AddCommands(app, req);
    std::vector<std::string> args = Words(line);
    const std::string first = args.empty() ? std::string() : args.front();
    std::reverse(args.begin(), args.end()); // CLI11 takes them last first
    auto wrong = [&](const std::string& text) {
        std::cerr << "quorrin-cli: " << text << std::endl;
        if (jsonErrors) PrintJsonError(first, kWrongUse, text);
        return Parsed::WrongUse;
    };
    try {
        bool known = true;
        if (!first.empty() && first[0] != '-') {
            try {
                known = app.get_subcommand_ptr(first) != nullptr;
            } catch (const CLI::OptionNotFound&) {
                known = false;
            }
        }
        if (!known)
            return wrong(first + ": unknown command (ports, probe, power, loco, feedback, write, "
                                 "version, watch; --help lists them)");
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        Print(app.help());
        return Parsed::Help;
    } catch (const CLI::ParseError& e) {
        return wrong(line + ": " + e.what());
    }
    return Parsed::Command;
}

// Runs the `do` commands, or the shell's lines from standard input; a stop
// (signal, closed output) ends the session before its next command.
int RunSession(Session& session, const std::vector<std::string>& lines, bool fromStdin,
               bool json) {
    int status = kDone;
    auto one = [&](const std::string& raw) -> int {
        const std::string line = WithoutCr(raw);
        if (line.find_first_not_of(" \t") == std::string::npos) return kDone;
        Request req;
        switch (ParseCommand(line, req, json)) {
        case Parsed::Help:
            return kDone;
        case Parsed::WrongUse:
            return kWrongUse;
        case Parsed::Command:
            break;
        }
        return session.Execute(req);
    };
    if (!fromStdin) {
        for (const std::string& line : lines) {
            if (Stopping()) break;
            status = one(line);
            if (status != kDone) break;
        }
        return Stopping() ? StopStatus() : status;
    }
    const bool prompt = isatty(STDIN_FILENO) != 0;
    LineReader reader;
    std::string line;
    for (;;) {
        if (prompt) std::cerr << "quorrin> " << std::flush;
        if (!reader.Next(line)) break;
        if (Stopping()) break;
        status = one(line);
        // A person at the prompt goes on after a failed command; a script stops.
        if (status != kDone && !prompt) break;
        if (Stopping()) break;
    }
    return Stopping() ? StopStatus() : status;
}

} // namespace

int Run(int argc, char** argv) {
    platform::InitTranslation();
    serial::InitSerialLayer();

    Options opt;
    Request req;
    CLI::App app{"quorrin-cli: one model-railway command station from the shell", "quorrin-cli"};
    app.footer("Exit status: 0 done, 1 wrong use, 2 the interface did not answer or was not "
               "found, 3 a serial-port error (its code and text on standard error; a failed close "
               "too), 130 Ctrl-C (SIGINT), 129 SIGHUP, 143 SIGTERM, 141 standard output closed. "
               "A signal or a closed output ends the run after the port is closed in order, so "
               "the power the run switched on goes off; no later command runs.\n"
               "Texts of the component go to standard error, results to standard output.");
    std::vector<std::string> systemNames;
    for (const SystemInfo& s : kSystems)
        systemNames.emplace_back(s.name);
    app.add_option("--system", opt.system, "the command station")
        ->capture_default_str()
        ->check(CLI::IsMember(systemNames));
    auto* port = app.add_option("--port", opt.port,
                                "the port as the port list shows it (ttyUSB0) or a path");
    auto* simulator = app.add_flag("--simulator", opt.simulator,
                                   "use the system's built-in simulator instead of a port");
    port->excludes(simulator);
    app.add_option("--baud", opt.baud,
                   "line rate, where the system allows another than its own (default: the "
                   "system's rate)")
        ->check(kNumber)
        ->check([](const std::string& v) {
            try {
                return BaudRate(std::stol(v)) ? std::string() : "not a supported rate: " + v;
            } catch (const std::exception&) {
                return "not a number: " + v;
            }
        });
    app.add_flag("--json", opt.json, "one JSON object per result or event on standard output");
    app.add_option("--lenz-log", opt.lenzLog,
                   "Lenz log categories on standard error: names (received, ok, feedback, "
                   "emergency, allon, version, handstop, hand, undefined, loco, turnout, sent, "
                   "numbers, errors, all) separated by commas, or a mask such as 0x2000")
        ->check([](const std::string& v) {
            return LenzMask(v) ? std::string() : "unknown Lenz log category in " + v;
        });
    auto* host = app.add_option_group("host settings", "settings the component leaves to us");
    host->add_option("--lenz-reply-ms", opt.lenzReplyMs,
                     "Lenz: reply time-out in ms (0: resend "
                     "after a ms)")
        ->capture_default_str()
        ->check(kNumber);
    host->add_option("--lenz-skip", opt.lenzSkip,
                     "Lenz: 1 drops an unanswered command after the reply time, 0 resends it")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(0, 1));
    host->add_option("--lenz-quiet-ms", opt.lenzQuietMs,
                     "Lenz: ms of quiet line before each command (0..255)")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(0, 255));
    host->add_flag("--ib-fixed", opt.ibFixed,
                   "Intellibox: try only the --ib-baud rate instead of scanning all rates");
    host->add_option("--ib-baud", opt.ibBaud,
                     "Intellibox: the rate to run at (0: the rate the port has)")
        ->capture_default_str()
        ->check(kNumber)
        ->check([](const std::string& v) {
            try {
                return std::stol(v) == 0 || BaudRate(std::stol(v)) ? std::string()
                                                                   : "not a supported rate: " + v;
            } catch (const std::exception&) {
                return "not a number: " + v;
            }
        });
    host->add_flag("--ib-binary", opt.ibBinary, "Intellibox: binary locomotive commands");
    host->add_option("--marklin-loco-pause", opt.marklinLocPause,
                     "Märklin: ms after a locomotive command and after power off")
        ->capture_default_str()
        ->check(kNumber);
    host->add_option("--marklin-stop-pause", opt.marklinStopPause,
                     "Märklin: second gap in ms after power off")
        ->capture_default_str()
        ->check(kNumber);
    host->add_option("--marklin-byte-pause", opt.marklinBytePause,
                     "Märklin: ms between two transmissions")
        ->capture_default_str()
        ->check(kNumber);
    host->add_flag("--marklin-fast", opt.marklinFast, "Märklin: fast mode");
    host->add_flag("--kaart-fast", opt.kaartFast, "serial card: move to 19200 baud");
    for (size_t i = 0; i < 4; ++i) {
        const int bit = i == 3 ? 4 : static_cast<int>(i);
        host->add_option("--kaart-option" + std::to_string(bit), opt.kaartOptions[i],
                         "serial card: configuration option " + std::to_string(bit))
            ->capture_default_str();
    }
    host->add_option("--dinamo-answer-ms", opt.dinamoAnswerMs,
                     "DINAMO: answer time in ms before a frame goes again")
        ->capture_default_str()
        ->check(kNumber);

    AddCommands(app, req);
    std::vector<std::string> doLines;
    auto* doCmd = app.add_subcommand("do", "run the given commands in one session, in order");
    doCmd->add_option("commands", doLines, "commands, each one argument (\"power on\")")
        ->required();
    doCmd->callback([&] { req.name = "do"; });
    app.add_subcommand("shell", "read commands from standard input, one per line")->callback([&] {
        req.name = "shell";
    });

    // Before anything is parsed, --json is known only by its word; wrong use
    // then still gives one JSON error object.
    const bool jsonWanted =
        std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string(a) == "--json"; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "quorrin-cli: " << e.what() << "\n\n" << app.help();
        if (jsonWanted) PrintJsonError({}, kWrongUse, e.what());
        return kWrongUse;
    }
    if (req.name != "ports" && !opt.simulator && opt.port.empty()) {
        std::cerr << "quorrin-cli: give --port NAME or --simulator\n\n" << app.help();
        if (opt.json) PrintJsonError({}, kWrongUse, "give --port NAME or --simulator");
        return kWrongUse;
    }

    InstallSignalHandlers();
    const SystemInfo& system = *FindSystem(opt.system);
    int status = kDone;
    try {
        Session session(opt, system);
        if (req.name == "do") {
            status = RunSession(session, doLines, false, opt.json);
        } else if (req.name == "shell") {
            status = RunSession(session, {}, true, opt.json);
        } else {
            status = session.Execute(req);
            if (Stopping()) status = StopStatus();
        }
        // A close that failed may have left the power on: no success then.
        if (!session.Close() && status == kDone) status = kPortError;
    } catch (const serial::EComPort& e) {
        std::cerr << "quorrin-cli: serial port error " << e.PortErrorCode() << ": " << e.what()
                  << std::endl;
        if (opt.json)
            Print(Dump({{"ok", false},
                        {"status", kPortError},
                        {"port_error", e.PortErrorCode()},
                        {"error", e.what()}}));
        status = kPortError;
    }
    // A signal during the close still ends the run as that signal's.
    if (Stopping() && status == kDone) status = StopStatus();
    return status;
}

} // namespace cli
