#include "Station.h"

#include "platform/Tick.h"
#include "serial/ComDevice.h"
#include "serial/ComTypes.h"

#include <algorithm>
#include <sstream>

namespace pyquorrin {

using command_station::TMivoCom;
using frontend::Carries;

namespace {

// The port layer's code for a failed read: what a hung-up line is.
constexpr int kReadFailed = 3;
constexpr uint32_t kSliceMs = 100;
// How often a wait inside the component asks whether Ctrl-C was pressed.
constexpr uint32_t kAskEveryMs = 25;
// Events kept for a caller that does not take them.
constexpr size_t kKeptEvents = 10000;

std::string Range(int min, int max) {
    return std::to_string(min) + ".." + std::to_string(max);
}

std::string OutOfRange(const std::string& what, int value, int min, int max,
                       const std::string& system) {
    return what + " " + std::to_string(value) + " is out of range for " + system + " (" +
           Range(min, max) + ")";
}

// The thread that serves the main-thread queue is the one inside a call:
// work the component hands to "the main thread" from it then runs at once.
// Called with the component lock held.
void TakeMainThread() {
    if (!platform::IsMainThread()) platform::SetMainThread();
}

} // namespace

std::mutex& ComponentLock() {
    static std::mutex lock;
    return lock;
}

ModuleHost& Host() {
    static ModuleHost host;
    return host;
}

namespace {
thread_local InterruptScope* activeScope = nullptr;
thread_local uint32_t lastAskedAt = 0;
} // namespace

InterruptScope::InterruptScope(InterruptCheck check)
    : check_(std::move(check)), outer_(activeScope) {
    activeScope = this;
    lastAskedAt = platform::GetTickCount();
}

InterruptScope::~InterruptScope() {
    activeScope = outer_;
}

void ModuleHost::ProcessMessages() {
    platform::MainQueue().Serve();
    CheckInterrupt();
}

void ModuleHost::CheckInterrupt() {
    InterruptScope* scope = activeScope;
    if (!scope || !scope->check_) return;
    const uint32_t now = platform::GetTickCount();
    if (now - lastAskedAt < kAskEveryMs) return;
    lastAskedAt = now;
    if (scope->check_()) throw Interrupted();
}

void ModuleHost::Add(platform::MessageKind kind, const std::string& text) {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(kind, text);
}

std::vector<std::pair<platform::MessageKind, std::string>> ModuleHost::Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(messages_, {});
}

bool StillQueued(const TMivoCom& com) {
    return com.Pending();
}

Station::Station(const frontend::SystemInfo& system, const Settings& settings,
                 const std::string& port, bool simulator)
    : system_(system), settings_(settings), portName_(port) {
    std::lock_guard lock(ComponentLock());
    TakeMainThread();
    platform::SetHost(&Host());
    Host().Take();
    if (simulator) {
        frontend::StartedSimulator started = system_.startSimulator(sim::Wire::InProcess);
        simulator_ = std::move(started.simulator);
        portName_ = started.path;
    }
    auto com = std::make_unique<TMivoCom>();
    com->SetDigitaalSysteem(system_.number);
    com_ = std::move(com);
    frontend::ApplyHostSettings(*com_, settings_.host);
    InstallHandlers();
    try {
        com_->SetPort(portName_);
        if (settings_.baud != 0) com_->SetBaudRate(*frontend::BaudRate(settings_.baud));
        com_->OpenPort();
    } catch (...) {
        com_.reset();
        simulator_.reset();
        throw;
    }
    RaiseMessages();
}

Station::~Station() {
    try {
        Close();
    } catch (const std::exception&) {
        // Close() is where a caller hears of a failed close.
    }
}

TMivoCom& Station::Com() {
    if (!com_) throw std::invalid_argument("the command station is closed");
    return *com_;
}

void Station::Keep(EventRecord event) {
    std::lock_guard lock(eventsMutex_);
    // Nobody reading them must not mean memory without end: the oldest go.
    if (events_.size() >= kKeptEvents) events_.pop_front();
    events_.push_back(std::move(event));
}

std::deque<EventRecord> Station::TakeEvents() {
    std::lock_guard lock(eventsMutex_);
    return std::exchange(events_, {});
}

bool Station::HasEvents() {
    std::lock_guard lock(eventsMutex_);
    return !events_.empty();
}

void Station::InstallHandlers() {
    using namespace command_station;
    TMivoCom& com = *com_;
    com.OnLenzDoeIets = [this](TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3, double) {
        using L = long long;
        switch (a) {
        case laBezetmelder:
            if (collectNibbles_) lenzNibbles_.push_back({d1, d2 == 2, d3});
            Keep({"feedback", {{"module", L{d1}}, {"upper", d2 == 2}, {"inputs", L{d3}}}});
            break;
        case laWisselFeedback:
            // A pair of turnouts from the first number on: bit 0 the first,
            // bit 2 the second; a set bit is R, a clear one A.
            Keep({"turnout",
                  {{"address", L{d1}},
                   {"first", L{d2}},
                   {"first_position", std::string((d3 & 0x01) ? "R" : "A")},
                   {"second", L{d2} + 1},
                   {"second_position", std::string((d3 & 0x04) ? "R" : "A")},
                   {"state", L{d3}}}});
            break;
        case laLoc:
        case laLocV3:
            Keep({"loco", {{"address", L{d1}}, {"data", L{d2}}, {"functions", L{d3}}}});
            break;
        case laNoodstop: // 61 00 everything off, 81 00 emergency stop
            if (d1 == 0x61)
                Keep({"power", {{"state", std::string("off")}}});
            else
                Keep({"emergency-stop", {}});
            break;
        case laServiceMode:
            Keep({"service-mode", {}});
            break;
        case laHandControl:
            Keep({"hand-control", {{"address", L{d1}}}});
            break;
        case laAllesAan:
            Keep({"power", {{"state", std::string("on")}}});
            break;
        case laVersie: // the answer of version() and probe(), their result
            break;
        }
    };
    com.OnIBDoeIets = [this](TIBAktie a, uint16_t d1, uint16_t d2, uint16_t, uint16_t) {
        static constexpr const char* kNames[] = {
            "feedback",       "loco",           "turnout",        "power-off", "power-on",
            "short-external", "short-loco-bus", "short-internal", "overheated"};
        Keep({kNames[a],
              {{"data1", static_cast<long long>(d1)}, {"data2", static_cast<long long>(d2)}}});
    };
    com.OnDinDoeIets = [this](TDinAktie a, uint16_t d1, uint16_t d2, uint16_t, uint16_t) {
        static constexpr const char* kNames[] = {"feedback", "magnet", "block"};
        Keep({kNames[a],
              {{"address", static_cast<long long>(d1)}, {"value", static_cast<long long>(d2)}}});
    };
    // What the line itself reports: break, ring and line errors. The modem
    // lines are read with the port (a pseudo-terminal shows them all on at
    // every open, which is no news).
    auto line = [this](const char* what) { Keep({"line", {{"what", std::string(what)}}}); };
    com.OnBreak = [line](serial::TCustomComPort*) { line("break"); };
    com.OnRing = [line](serial::TCustomComPort*) { line("ring"); };
    com.OnError = [this](serial::TCustomComPort*, serial::TComErrors errors) {
        static constexpr const char* kNames[] = {"frame", "parity", "overrun", "break",
                                                 "io",    "mode",   "rx-over", "tx-full"};
        std::string names;
        for (uint8_t e = 0; e < 8; ++e)
            if (errors.Contains(static_cast<serial::TComError>(e)))
                names += (names.empty() ? "" : ",") + std::string(kNames[e]);
        Keep({"line", {{"what", std::string("error")}, {"errors", names}}});
    };
}

void Station::RaiseMessages() {
    std::string plain, error;
    for (auto& [kind, text] : Host().Take()) {
        std::string& into = kind == platform::MessageKind::Plain ? plain : error;
        into += (into.empty() ? "" : "; ") + text;
    }
    if (!error.empty()) throw ComponentError(error);
    if (!plain.empty()) throw std::invalid_argument(plain);
}

void Station::Initialise() {
    if (initialised_) return;
    TMivoCom& com = Com();
    if (!com.InitSysteem())
        throw NoAnswerError(com.LaatsteFout.empty() ? "the interface did not answer"
                                                    : com.LaatsteFout);
    // The Lenz queue counts the power broadcasts it awaits by the
    // interface's version, so the version comes before anything else.
    if (system_.versioned && com.GetLenzVersie() <= 0.0)
        throw NoAnswerError("the interface did not answer");
    initialised_ = true;
}

void Station::ServeSlice(uint32_t ms) {
    TMivoCom& com = *com_;
    if (system_.cycled) {
        com.DinamoCyclus();
        com.DinamoWacht(ms);
    } else {
        platform::MainQueue().WaitForWork(ms);
    }
    platform::MainQueue().Serve();
    com.IdleStep();
}

// A hung-up line (the peer went away) polls readable for good with nothing
// to read; the port's own reader may just have taken what came, so it must
// stay so a moment.
void Station::CheckLine() {
    TMivoCom& com = *com_;
    serial::ComDevice* device = com.Device();
    if (!com.Connected() || !device) throw serial::EComPort(kReadFailed, -1, "the port was closed");
    for (int look = 0; look < 2; ++look) {
        bool ready = false;
        if (device->WaitReadable(0, ready) != 0)
            throw serial::EComPort(kReadFailed, -1, "the line hung up");
        if (!ready || com.PendingInputCount() > 0) return;
        if (look == 0) platform::Sleep(20);
    }
    throw serial::EComPort(kReadFailed, -1, "the line hung up");
}

bool Station::ServeUntil(uint32_t ms, const std::function<bool()>& done,
                         const InterruptCheck& interrupted) {
    const platform::Deadline deadline = platform::Deadline::After(ms);
    while (!done()) {
        if (deadline.Reached()) return false;
        if (interrupted && interrupted()) throw Interrupted();
        ServeSlice(static_cast<uint32_t>(std::min<uint64_t>(deadline.Remaining(), kSliceMs)));
    }
    return true;
}

void Station::Close(bool interrupted) {
    std::unique_lock lock(ComponentLock());
    CloseLocked(interrupted);
}

void Station::CloseLocked(bool interrupted) {
    if (!com_) return;
    TakeMainThread();
    TMivoCom& com = *com_;
    std::exception_ptr failure;
    try {
        if (com.Connected()) {
            // What is still queued or held back goes out first, within bounds.
            if (interrupted)
                com.Drain([] { return true; });
            else
                com.Drain();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // The close switches off what the component switched on.
    Host().Take();
    try {
        com.ClosePort();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    std::string shown;
    for (auto& [kind, text] : Host().Take())
        if (kind != platform::MessageKind::Plain) shown += (shown.empty() ? "" : "; ") + text;
    com_.reset();
    simulator_.reset();
    platform::MainQueue().Serve();
    if (failure) std::rethrow_exception(failure);
    if (!shown.empty()) throw ComponentError("closing the port: " + shown);
}

bool Station::Probe() {
    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    TMivoCom& com = Com();
    const bool ok = com.InitSysteem() && com.GetVerbindingOke();
    initialised_ = initialised_ || ok;
    RaiseMessages();
    return ok;
}

void Station::PowerOn() {
    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    Initialise();
    const bool on = Com().ZetSysteemAan();
    RaiseMessages();
    if (!on) throw NoAnswerError("the interface refused power on");
}

void Station::PowerOff(bool track) {
    if (track && !system_.trackOff)
        throw std::invalid_argument(std::string("track=True is not carried by ") + system_.name +
                                    " (its power off switches the track off)");
    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    Initialise();
    if (track)
        Com().TrackPowerOff();
    else
        Com().ZetSysteemUit();
    RaiseMessages();
}

PowerState Station::Power() {
    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    Initialise();
    TMivoCom& com = Com();
    PowerState state;
    Host().Take();
    state.emergencyStop = com.GetSysteemNoodstop();
    // A system that cannot tell says so with a message: then unknown.
    for (const auto& [kind, text] : Host().Take())
        if (kind == platform::MessageKind::Plain) state.emergencyStopKnown = false;
    state.commanded = com.SysteemAan;
    if (!system_.readsPower) {
        state.on = state.commanded;
    } else {
        // A silent unit reads as stopped: tell the two apart.
        if (state.emergencyStopKnown && state.emergencyStop && !com.GetVerbindingOke())
            throw NoAnswerError("the interface did not answer");
        state.on = !state.emergencyStop;
        state.fromInterface = true;
    }
    RaiseMessages();
    return state;
}

std::string Station::Loco(const LocoCommand& c) {
    const std::string name = system_.name;
    if (system_.locoMax < 0) throw std::invalid_argument("loco is not available for " + name);
    if (c.address < 0 || c.address > system_.locoMax)
        throw std::invalid_argument(OutOfRange("address", c.address, 0, system_.locoMax, name));
    if (system_.systemFrom > 0 && c.address >= system_.systemFrom && !c.systemAddress)
        throw std::invalid_argument("address " + std::to_string(c.address) +
                                    " is one of the central unit's own addresses (" +
                                    Range(system_.systemFrom, 127) +
                                    "): give system_address=True to drive it on purpose");
    for (const std::string& option : c.given) {
        if (!Carries(system_, option))
            throw std::invalid_argument(option + " is not carried by " + name);
    }
    if (c.changeDirection && c.speed != 0)
        throw std::invalid_argument("change_direction is instead of a speed: give one of them");
    if (c.speed < 0 || c.speed > system_.speedMax)
        throw std::invalid_argument(OutOfRange("speed", c.speed, 0, system_.speedMax, name));
    if (c.lenzSteps < 1 || c.lenzSteps > 8)
        throw std::invalid_argument(OutOfRange("lenz_steps", c.lenzSteps, 1, 8, name));
    static constexpr int kIbSteps[] = {14, 15, 27, 28, 31};
    if (std::find(std::begin(kIbSteps), std::end(kIbSteps), c.ibSteps) == std::end(kIbSteps))
        throw std::invalid_argument("ib_steps " + std::to_string(c.ibSteps) +
                                    " is not one of 14, 15, 27, 28, 31");

    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    Initialise();
    std::string sent;
    // Märklin's speed code 15 changes the direction.
    const int speed = c.changeDirection ? 15 : c.speed;
    Com().StuurLoc(static_cast<uint16_t>(c.address), static_cast<uint8_t>(speed), c.light,
                   c.forward, c.functions, static_cast<uint8_t>(c.lenzSteps),
                   static_cast<uint8_t>(c.ibSteps), c.ibOld, sent);
    RaiseMessages();
    return sent;
}

std::optional<std::string> Station::Feedback(int address, int request, bool all, bool flag2,
                                             const InterruptCheck& interrupted) {
    const std::string name = system_.name;
    if (system_.feedback == frontend::FeedbackAnswer::None)
        throw std::invalid_argument(name + " reports feedback by itself: use events()");
    if (system_.systemFrom > 0 && address >= system_.systemFrom && address <= 127)
        throw std::invalid_argument(
            "address " + std::to_string(address) + " is one of the central unit's own addresses (" +
            Range(system_.systemFrom, 127) + "): not read (" + name + " reads " +
            Range(system_.feedbackMin, system_.feedbackMax) + ")");
    if (address < system_.feedbackMin || address > system_.feedbackMax)
        throw std::invalid_argument(
            OutOfRange("address", address, system_.feedbackMin, system_.feedbackMax, name));
    if (request < 0 || request > 255)
        throw std::invalid_argument(OutOfRange("request", request, 0, 255, name));

    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    Initialise();
    TMivoCom& com = Com();
    std::string answer;
    lenzNibbles_.clear();
    collectNibbles_ = system_.feedback == frontend::FeedbackAnswer::Events;
    struct StopCollecting {
        bool& flag;
        ~StopCollecting() { flag = false; }
    } stop{collectNibbles_};
    if (system_.feedback == frontend::FeedbackAnswer::Module) {
        uint16_t inputs = 0;
        int code = com.ReadFeedbackModule(static_cast<uint8_t>(address), inputs);
        RaiseMessages();
        if (code < 0) throw NoAnswerError("no answer");
        if (code > 0)
            throw NoAnswerError("the interface refused the read (reply code " +
                                std::to_string(code) + ")");
        return std::string{static_cast<char>(inputs >> 8), static_cast<char>(inputs & 0xFF)};
    }
    com.GetBezetmelder(static_cast<uint8_t>(address), static_cast<uint8_t>(request), all, flag2,
                       answer);
    RaiseMessages();
    switch (system_.feedback) {
    case frontend::FeedbackAnswer::Events: {
        // The two halves of the module's inputs arrive as broadcasts.
        int lower = -1, upper = -1;
        ServeUntil(
            1500,
            [&] {
                for (const Nibble& n : lenzNibbles_)
                    if (n.module == address) (n.upper ? upper : lower) = n.inputs & 0x0F;
                return lower >= 0 && upper >= 0;
            },
            interrupted);
        if (lower < 0 || upper < 0) throw NoAnswerError("no answer");
        return std::string(1, static_cast<char>(lower | (upper << 4)));
    }
    case frontend::FeedbackAnswer::RequestOnly:
        // The component sends the sensor request and drops the answer byte.
        return std::nullopt;
    case frontend::FeedbackAnswer::Bytes:
    case frontend::FeedbackAnswer::Module:
    case frontend::FeedbackAnswer::None:
        break;
    }
    if (answer.empty()) throw NoAnswerError("no answer");
    return answer;
}

void Station::Write(int address, int value, bool systemAddress) {
    if (system_.number != command_station::dsSelectrix)
        throw std::invalid_argument(std::string("write is for selectrix only, not ") +
                                    system_.name);
    if (address < 0 || address > 127)
        throw std::invalid_argument(OutOfRange("address", address, 0, 127, system_.name));
    if (value < 0 || value > 255)
        throw std::invalid_argument(OutOfRange("value", value, 0, 255, system_.name));
    if (address >= system_.systemFrom && !systemAddress)
        throw std::invalid_argument("address " + std::to_string(address) +
                                    " is one of the central unit's own addresses (" +
                                    Range(system_.systemFrom, 127) +
                                    ", 127 is the track power): give system_address=True to "
                                    "write it on purpose");
    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    Initialise();
    Com().SelectrixFunctieDecoder(static_cast<uint8_t>(address), static_cast<uint8_t>(value));
    RaiseMessages();
}

double Station::Version(const InterruptCheck& interrupted) {
    if (!system_.versioned)
        throw std::invalid_argument(std::string("version is for lenz only, not ") + system_.name);
    std::unique_lock lock(ComponentLock());
    TakeMainThread();
    TMivoCom& com = Com();
    if (!initialised_) {
        if (!com.InitSysteem()) throw NoAnswerError("the interface did not answer");
        initialised_ = true;
    }
    // The request goes out behind what is still queued: let that finish
    // first (within bounds), or the answer's wait would run out meanwhile.
    ServeUntil(
        1000, [&] { return !StillQueued(com); }, interrupted);
    const double v = com.GetLenzVersie();
    RaiseMessages();
    if (v <= 0.0) throw NoAnswerError("the interface did not answer");
    return v;
}

void Station::Serve(long long ms, bool untilEvent, const InterruptCheck& interrupted) {
    const bool forever = ms < 0;
    const platform::Deadline deadline =
        platform::Deadline::After(forever ? 0 : static_cast<uint32_t>(std::min(ms, 0x7FFFFFFFLL)));
    for (;;) {
        if (untilEvent && HasEvents()) return;
        if (!forever && deadline.Reached()) return;
        if (interrupted && interrupted()) throw Interrupted();
        std::unique_lock lock(ComponentLock());
        TakeMainThread();
        Initialise();
        CheckLine();
        const uint32_t slice =
            forever ? kSliceMs
                    : static_cast<uint32_t>(std::min<uint64_t>(deadline.Remaining(), kSliceMs));
        ServeSlice(slice);
        RaiseMessages();
    }
}

} // namespace pyquorrin
