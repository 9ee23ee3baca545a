#include "cli/Cli.h"

#include "command_station/LenzLog.h"
#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "serial/ComSettings.h"
#include "serial/PortList.h"
#include "sim/DinamoSim.h"
#include "sim/IntelliboxSim.h"
#include "sim/KaartSim.h"
#include "sim/LenzSim.h"
#include "sim/MarklinSim.h"
#include "sim/SelectrixSim.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) {
    g_interrupted.store(true);
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
};

// Selectrix and Märklin put the speed into the command byte unmasked: a
// larger value spills into the direction, light and function bits, so those
// are allowed up to 255 and said so in --help.
constexpr std::array<SystemInfo, 6> kSystems{{
    {"selectrix", command_station::dsSelectrix, 127, 255, 0, 127},
    {"marklin", command_station::dsMarklin, 255, 255, 1, 31},
    {"lenz", command_station::dsLenz, 9999, 127, 1, 128},
    {"kaart", command_station::dsSerieleKaart, -1, -1, 0, 127},
    {"intellibox", command_station::dsIntellibox, 10239, 127, 0, 255},
    {"dinamo", command_station::dsDinamo, -1, -1, 0, -1},
}};

const SystemInfo* FindSystem(const std::string& name) {
    for (const SystemInfo& s : kSystems)
        if (name == s.name) return &s;
    return nullptr;
}

std::optional<serial::TBaudRate> BaudRate(long rate) {
    const serial::TBaudRate r = serial::BaudRateOfValue(rate);
    if (r == serial::brCustom) return std::nullopt;
    return r;
}

// Lenz log categories by name; a mask may be given as a number too.
std::optional<uint16_t> LenzMask(const std::string& text) {
    uint16_t mask = 0;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (part.empty()) continue;
        bool found = false;
        for (const auto& [name, bits] : command_station::kLenzLogCategories)
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
    double seconds = 0;
};

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
        "loco", "drive a locomotive (selectrix 0..127, marklin 0..255, lenz 0..9999, "
                "intellibox 0..10239)");
    loco->add_option("address", req.address, "locomotive address")->required();
    loco->add_option("--speed", req.speed,
                     "speed step; selectrix and marklin pass it on unmasked (0..255: a "
                     "larger step than 31 or 15 spills into the other bits), lenz and "
                     "intellibox 0..127 (the intellibox keeps it to --ib-steps)")
        ->required();
    loco->add_flag("--light", req.light, "light on");
    loco->add_flag("--backward", req.backward, "drive backward");
    for (int i = 0; i < 4; ++i)
        loco->add_flag("--f" + std::to_string(i + 1), req.functions[static_cast<size_t>(i)],
                       "function " + std::to_string(i + 1) + " on");
    loco->add_option("--lenz-steps", req.lenzSteps,
                     "Lenz step mode: 1..3 old form 14/27/28 steps, 4 128 steps, 5..8 with "
                     "the step mode byte")
        ->capture_default_str()
        ->check(CLI::Range(1, 8));
    loco->add_option("--ib-steps", req.ibSteps, "Intellibox speed steps (14, 15, 27, 28, 31)")
        ->capture_default_str()
        ->check(CLI::IsMember({14, 15, 27, 28, 31}));
    loco->add_flag("--ib-old", req.ibOld, "Intellibox: the old two-byte command");
    loco->callback(named("loco"));
    auto* feedback = app.add_subcommand(
        "feedback", "read a feedback address (selectrix 0..127, marklin module 1..31, lenz "
                    "module 1..128, kaart module 0..127; intellibox: sends the sensor request only, "
                    "its answer is not read out)");
    feedback->add_option("address", req.address, "address or module")->required();
    feedback->add_option("--request", req.request, "serial card: the request value (0..255)")
        ->check(CLI::Range(0, 255));
    feedback->add_flag("--all", req.all, "Märklin: read modules 1 up to this one");
    feedback->add_flag("--flag2", req.flag2, "serial card: the second flag");
    feedback->callback(named("feedback"));
    auto* write = app.add_subcommand("write", "write a value to a Selectrix function decoder");
    write->add_option("address", req.address, "address 0..127")
        ->required()
        ->check(CLI::Range(0, 127));
    write->add_option("value", req.value, "value 0..255")->required()->check(CLI::Range(0, 255));
    write->callback(named("write"));
    app.add_subcommand("version", "the Lenz interface's version")->callback(named("version"));
    auto* watch = app.add_subcommand(
        "watch", "print Lenz broadcasts and DINAMO reports as they arrive until the time is "
                 "up or Ctrl-C");
    watch->add_option("--seconds", req.seconds, "stop after this many seconds (0: never)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 86400.0));
    watch->callback(named("watch"));
    app.require_subcommand(1, 1);
}

// ---------------------------------------------------------------- the session

class Session {
  public:
    Session(const Options& options, const SystemInfo& system) : opt_(options), system_(system) {}

    ~Session() {
        try {
            Close();
        } catch (const std::exception& e) {
            std::cerr << "quorrin-cli: closing the port: " << e.what() << std::endl;
        }
    }

    // Opens the port (starting the simulator first); status kDone or the failure.
    int Open();
    int Execute(const Request& req);
    // Lets due held-back commands out (bounded), then closes the port.
    void Close();

  private:
    void Result(json object, const std::string& text) {
        if (opt_.json) {
            std::cout << object.dump() << std::endl;
        } else {
            std::cout << text << std::endl;
        }
    }
    void Text(const std::string& text) { std::cerr << text << std::endl; }
    int Fail(int status, const std::string& command, const std::string& text) {
        std::cerr << "quorrin-cli: " << command << ": " << text << std::endl;
        if (opt_.json)
            std::cout << json{{"command", command},
                              {"ok", false},
                              {"status", status},
                              {"error", text}}
                             .dump()
                      << std::endl;
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
    int Probe();
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
    double version_ = 0.0; // the Lenz interface's version as last reported
};

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
                               double d4) {
        using namespace command_station;
        switch (a) {
        case laBezetmelder:
            feedbackSeen_.push_back(d1);
            Event({{"event", "feedback"}, {"module", d1}, {"upper", d2 == 2}, {"inputs", d3}},
                  "feedback module " + std::to_string(d1) + (d2 == 2 ? " upper" : " lower") +
                      " inputs " + Hex(d3));
            break;
        case laWisselFeedback:
            Event({{"event", "turnout"}, {"address", d1}, {"type", d2}, {"state", d3}},
                  "turnout " + std::to_string(d1) + " type " + std::to_string(d2) + " state " +
                      Hex(d3));
            break;
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
            version_ = d4;
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

void Session::Close() {
    if (!com_) return;
    TMivoCom& com = *com_;
    // What is still queued or held back goes out first, within bounds.
    if (com.Connected()) com.Drain([] { return g_interrupted.load(); });
    com_.reset(); // closes the port: the component switches off what it switched on
    simulator_.reset();
    platform::MainQueue().Serve();
    platform::SetHost(nullptr);
}

void Session::ServeUntil(uint32_t ms, const std::function<bool()>& done) {
    const platform::Deadline deadline = platform::Deadline::After(ms);
    while (!done() && !deadline.Reached() && !g_interrupted.load()) {
        platform::MainQueue().WaitForWork(
            static_cast<uint32_t>(std::min<uint64_t>(deadline.Remaining(), 50)));
        platform::MainQueue().Serve();
        if (com_) com_->IdleStep();
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
            ServeUntil(1000, [&] { return !com.Pending(); });
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
        result["version"] = version_;
        text += " (version " + VersionText(version_) + ")";
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
        const bool stop = com.GetSysteemNoodstop();
        Result({{"command", "power"},
                {"state", PowerTextOf(com.SysteemAan)},
                {"emergency_stop", stop}},
               std::string("power ") + PowerTextOf(com.SysteemAan) +
                   (stop ? " (emergency stop)" : ""));
        return kDone;
    }
    Result({{"command", "power"}, {"state", PowerTextOf(com.SysteemAan)}},
           "power " + PowerTextOf(com.SysteemAan));
    return kDone;
}

std::string RangeText(int min, int max) {
    return std::to_string(min) + ".." + std::to_string(max);
}

int Session::Loco(const Request& req) {
    if (system_.locoMax < 0)
        return Fail(kWrongUse, "loco", std::string("not available for ") + system_.name);
    if (req.address < 0 || req.address > system_.locoMax)
        return Fail(kWrongUse, "loco",
                    "address " + std::to_string(req.address) + " is out of range for " +
                        system_.name + " (" + RangeText(0, system_.locoMax) + ")");
    if (req.speed < 0 || req.speed > system_.speedMax)
        return Fail(kWrongUse, "loco",
                    "speed " + std::to_string(req.speed) + " is out of range for " + system_.name +
                        " (" + RangeText(0, system_.speedMax) + ")");
    std::string sent;
    com_->StuurLoc(static_cast<uint16_t>(req.address), static_cast<uint8_t>(req.speed), req.light,
                   !req.backward, req.functions, static_cast<uint8_t>(req.lenzSteps),
                   static_cast<uint8_t>(req.ibSteps), req.ibOld, sent);
    std::vector<int> bytes;
    std::string text;
    for (unsigned char c : sent) {
        bytes.push_back(c);
        text += " " + Hex(c);
    }
    Result({{"command", "loco"}, {"address", req.address}, {"speed", req.speed}, {"sent", bytes}},
           "loco " + std::to_string(req.address) + " speed " + std::to_string(req.speed) +
               (text.empty() ? "" : ":" + text));
    return kDone;
}

int Session::Feedback(const Request& req) {
    TMivoCom& com = *com_;
    if (system_.feedbackMax < 0)
        return Fail(kWrongUse, "feedback",
                    std::string(system_.name) + " reports feedback by itself: use watch");
    if (req.address < system_.feedbackMin || req.address > system_.feedbackMax)
        return Fail(kWrongUse, "feedback",
                    "address " + std::to_string(req.address) + " is out of range for " +
                        system_.name + " (" + RangeText(system_.feedbackMin, system_.feedbackMax) +
                        ")");
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
    if (!dinamo && system_.number != command_station::dsLenz)
        return Fail(kWrongUse, "watch",
                    std::string(system_.name) + " sends no reports by itself (lenz and dinamo do)");
    const int eventsBefore = events_;
    const int errorsBefore = host_.errors;
    const bool forever = req.seconds <= 0;
    const platform::Deadline deadline =
        platform::Deadline::After(forever ? 0 : static_cast<uint32_t>(req.seconds * 1000));
    std::string ended = "time";
    for (;;) {
        if (g_interrupted.load()) {
            ended = "interrupt";
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
    g_interrupted.store(false);
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

// Parses one session command; kDone and `req` filled, or kWrongUse.
int ParseCommand(const std::string& line, Request& req) {
    CLI::App app{"session command", "quorrin-cli"};
    AddCommands(app, req);
    std::vector<std::string> args = Words(line);
    const std::string first = args.empty() ? std::string() : args.front();
    std::reverse(args.begin(), args.end()); // CLI11 takes them last first
    try {
        bool known = true;
        if (!first.empty() && first[0] != '-') {
            try {
                known = app.get_subcommand_ptr(first) != nullptr;
            } catch (const CLI::OptionNotFound&) {
                known = false;
            }
        }
        if (!known) {
            std::cerr << "quorrin-cli: " << first
                      << ": unknown command (ports, probe, power, loco, feedback, write, version, "
                         "watch; --help lists them)"
                      << std::endl;
            return kWrongUse;
        }
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kInterrupted; // nothing to run
    } catch (const CLI::ParseError& e) {
        std::cerr << "quorrin-cli: " << line << ": " << e.what() << std::endl;
        return kWrongUse;
    }
    return kDone;
}

int RunSession(Session& session, const std::vector<std::string>& lines, bool fromStdin) {
    int status = kDone;
    auto one = [&](const std::string& line) -> int {
        if (line.find_first_not_of(" \t\r") == std::string::npos) return kDone;
        Request req;
        int parsed = ParseCommand(line, req);
        if (parsed == kInterrupted) return kDone;
        if (parsed != kDone) return parsed;
        return session.Execute(req);
    };
    if (!fromStdin) {
        for (const std::string& line : lines) {
            status = one(line);
            if (status != kDone || g_interrupted.load()) break;
        }
        return g_interrupted.load() && status == kDone ? kInterrupted : status;
    }
    const bool prompt = isatty(STDIN_FILENO) != 0;
    std::string line;
    for (;;) {
        if (prompt) std::cerr << "quorrin> " << std::flush;
        if (!std::getline(std::cin, line)) break;
        status = one(line);
        // A person at the prompt goes on after a failed command; a script stops.
        if (status != kDone && !prompt) break;
        if (g_interrupted.load()) break;
    }
    return status;
}

} // namespace

int Run(int argc, char** argv) {
    platform::InitTranslation();
    serial::InitSerialLayer();

    Options opt;
    Request req;
    CLI::App app{"quorrin-cli: one model-railway command station from the shell", "quorrin-cli"};
    app.footer("Exit status: 0 done, 1 wrong use, 2 the interface did not answer or was not "
               "found, 3 a serial-port error (its code and text on standard error), 130 a "
               "command broken off by Ctrl-C (watch ends normally on it).\n"
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
        ->capture_default_str();
    host->add_option("--lenz-skip", opt.lenzSkip,
                     "Lenz: 1 drops an unanswered command after the reply time, 0 resends it")
        ->capture_default_str()
        ->check(CLI::Range(0, 1));
    host->add_option("--lenz-quiet-ms", opt.lenzQuietMs,
                     "Lenz: ms of quiet line before each command (0..255)")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    host->add_flag("--ib-fixed", opt.ibFixed,
                   "Intellibox: try only the --ib-baud rate instead of scanning all rates");
    host->add_option("--ib-baud", opt.ibBaud,
                     "Intellibox: the rate to run at (0: the rate the port has)")
        ->capture_default_str()
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
        ->capture_default_str();
    host->add_option("--marklin-stop-pause", opt.marklinStopPause,
                     "Märklin: second gap in ms after power off")
        ->capture_default_str();
    host->add_option("--marklin-byte-pause", opt.marklinBytePause,
                     "Märklin: ms between two transmissions")
        ->capture_default_str();
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
        ->capture_default_str();

    AddCommands(app, req);
    std::vector<std::string> doLines;
    auto* doCmd = app.add_subcommand("do", "run the given commands in one session, in order");
    doCmd->add_option("commands", doLines, "commands, each one argument (\"power on\")")
        ->required();
    doCmd->callback([&] { req.name = "do"; });
    app.add_subcommand("shell", "read commands from standard input, one per line")->callback([&] {
        req.name = "shell";
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "quorrin-cli: " << e.what() << "\n\n" << app.help();
        return kWrongUse;
    }
    if (req.name != "ports" && !opt.simulator && opt.port.empty()) {
        std::cerr << "quorrin-cli: give --port NAME or --simulator\n\n" << app.help();
        return kWrongUse;
    }

    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const SystemInfo& system = *FindSystem(opt.system);
    int status = kDone;
    try {
        Session session(opt, system);
        if (req.name == "do") {
            status = RunSession(session, doLines, false);
        } else if (req.name == "shell") {
            status = RunSession(session, {}, true);
        } else {
            status = session.Execute(req);
            if (status == kDone && g_interrupted.load() && req.name != "watch")
                status = kInterrupted;
        }
    } catch (const serial::EComPort& e) {
        std::cerr << "quorrin-cli: serial port error " << e.PortErrorCode() << ": " << e.what()
                  << std::endl;
        if (opt.json)
            std::cout << json{{"ok", false},
                              {"status", kPortError},
                              {"port_error", e.PortErrorCode()},
                              {"error", e.what()}}
                             .dump()
                      << std::endl;
        status = kPortError;
    }
    return status;
}

} // namespace cli
