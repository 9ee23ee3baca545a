#include "cli/Session.h"

#include "cli/Cli.h"
#include "cli/Signals.h"
#include "platform/Tick.h"
#include "serial/CPort.h"

#include <algorithm>

namespace cli {

void Session::InstallHandlers() {
    TMivoCom& com = *com_;
    com.OnAlgTekst = [this](command_station::TAlgAct, const std::string& t) { Text(t); };
    com.OnIBAddTekst = [this](const std::string& t) { Text(t); };
    if (!opt_.lenzLog.empty()) {
        com.SetOnLenzAddTekst([this](const std::string& t) { Text(t); });
        com.LenzLogMasker = *frontend::LenzMask(opt_.lenzLog);
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
        case laWisselFeedback: {
            // A pair of turnouts from the first number on: bit 0 the first,
            // bit 2 the second; a set bit is R, a clear one A.
            const char* first = (d3 & 0x01) ? "R" : "A";
            const char* second = (d3 & 0x04) ? "R" : "A";
            Event({{"event", "turnout"},
                   {"address", d1},
                   {"turnouts", json::array({{{"number", d2}, {"position", first}},
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
            // 61 00 switches everything off; 81 00 stops the locomotives
            // with the track still powered.
            if (d1 == 0x61)
                Event({{"event", "power"}, {"state", "off"}}, "broadcast: track power off");
            else
                Event({{"event", "emergency-stop"}}, "broadcast: emergency stop");
            break;
        case laServiceMode:
            Event({{"event", "service-mode"}}, "broadcast: service mode");
            break;
        case laHandControl:
            Event({{"event", "hand-control"}, {"address", d1}},
                  "loco " + std::to_string(d1) + " taken over by another handset");
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

int Session::Open() {
    platform::SetHost(&host_);
    std::string port = opt_.port;
    if (opt_.simulator) {
        frontend::StartedSimulator started = system_.startSimulator(sim::Wire::InProcess);
        simulator_ = std::move(started.simulator);
        port = started.path;
    }
    com_ = std::make_unique<TMivoCom>();
    com_->SetDigitaalSysteem(system_.number);
    frontend::ApplyHostSettings(*com_, opt_.host);
    InstallHandlers();
    com_->SetTraceObserver(observer_);
    com_->SetPort(port);
    if (opt_.baud != 0) com_->SetBaudRate(*frontend::BaudRate(opt_.baud));
    // The card's own flag: the component moves the card up when the port
    // is asked for 19200 baud at the open.
    if (opt_.host.kaartFast && system_.number == command_station::dsSerieleKaart)
        com_->SetBaudRate(serial::br19200);
    com_->OpenPort();
    return kDone;
}

bool Session::Close() {
    if (!com_) return true;
    TMivoCom& com = *com_;
    // What is still queued or held back goes out first, within bounds.
    if (com.Connected()) {
        com.Drain([] { return Stopping(); });
        if (com.Pending()) {
            unsent_ = true;
            std::cerr << "quorrin-cli: commands still queued or held back were not sent before "
                         "the close"
                      << std::endl;
        }
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
        if (com_) com_->IdleStep();
    }
}

int Session::Execute(const Request& req) {
    if (req.command == Command::Ports) return Ports();
    // Wrong use is refused before the port is opened: nothing reaches the line.
    if (const std::string why = WrongUse(req); !why.empty())
        return Fail(kWrongUse, req.command, why);
    if (!com_) {
        const int opened = Open();
        if (opened != kDone) return opened;
    }
    shownBefore_ = host_.shown;
    // A signal cuts into the interface's start only; whichever way the
    // command ends, the close after it is not cut short.
    struct Uninterruptible {
        bool& on;
        ~Uninterruptible() { on = false; }
    } after{host_.interruptible};
    host_.interruptible = req.command == Command::Probe || !initialised_;
    try {
        return Run(req);
    } catch (const StoppedBySignal&) {
        return StopStatus();
    }
}

int Session::Run(const Request& req) {
    TMivoCom& com = *com_;
    // Every command but the probe needs an initialised interface (the
    // Intellibox's rate, the serial card's configuration, the DINAMO's link).
    if (req.command != Command::Probe && !initialised_) {
        if (!com.InitSysteem())
            return Fail(kNoAnswer, req.command,
                        com.LaatsteFout.empty() ? "the interface did not answer" : com.LaatsteFout);
        // The Lenz queue counts the power broadcasts it awaits by the
        // interface's version (two from 3.0, four before). Not knowing it, a
        // power-on to a 3.x interface would stay unfinished, and what is
        // queued behind it (the version request itself) would not go out.
        if (system_.versioned && req.command != Command::Version && com.GetLenzVersie() <= 0.0)
            return Fail(kNoAnswer, req.command, "the interface did not answer");
        initialised_ = true;
        host_.interruptible = false;
    }
    switch (req.command) {
    case Command::Probe:
        return Probe();
    case Command::Power:
        return Power(req);
    case Command::Loco:
        return Loco(req);
    case Command::Feedback:
        return Feedback(req);
    case Command::Watch:
        return Watch(req);
    case Command::Write:
        return Write(req);
    case Command::Version:
        return Version();
    case Command::None:
    case Command::Ports:
    case Command::Do:
    case Command::Shell:
        break;
    }
    return Fail(kWrongUse, req.command, "not a command of a session");
}

} // namespace cli
