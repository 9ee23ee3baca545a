// One handler per command of a session.
#include "cli/Cli.h"
#include "cli/Session.h"
#include "cli/Signals.h"
#include "platform/Tick.h"
#include "serial/ComDevice.h"
#include "serial/PortList.h"

#include <algorithm>

namespace cli {

int Session::Ports() {
    std::vector<std::string> ports;
    serial::ListSerialPorts(ports);
    std::string text;
    for (const std::string& p : ports)
        text += (text.empty() ? "" : "\n") + p;
    Result({{"command", "ports"}, {"ports", ports}}, text);
    return kDone;
}

int Session::Write(const Request& req) {
    com_->SelectrixFunctieDecoder(static_cast<uint8_t>(req.address),
                                  static_cast<uint8_t>(req.value));
    if (Refused()) return kWrongUse;
    Result({{"command", "write"}, {"address", req.address}, {"value", req.value}},
           "write " + std::to_string(req.address) + " " + std::to_string(req.value));
    return kDone;
}

int Session::Version() {
    TMivoCom& com = *com_;
    // The request goes out behind what is still queued: let that finish
    // first (within bounds), or the answer's wait would run out meanwhile.
    ServeUntil(1000, [&] { return !com.Pending(); });
    const double v = com.GetLenzVersie();
    if (Refused()) return kWrongUse;
    if (v <= 0.0) return Fail(kNoAnswer, "version", "the interface did not answer");
    Result({{"command", "version"}, {"version", v}}, "version " + VersionText(v));
    return kDone;
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
    if (system_.versioned) {
        result["version"] = version_;
        text += " (version " + VersionText(version_) + ")";
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
    } else if (req.powerWhat == "off" && req.track) {
        com.TrackPowerOff();
    } else if (req.powerWhat == "off") {
        com.ZetSysteemUit();
    } else {
        return PowerState();
    }
    json result{{"command", "power"}, {"state", PowerTextOf(com.SysteemAan)}};
    if (req.track) result["track"] = true;
    Result(result, "power " + PowerTextOf(com.SysteemAan) + (req.track ? " (track)" : ""));
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
    const std::string systemText = " is one of the central unit's own addresses (" +
                                   RangeText(system_.systemFrom, 127) + ", 127 is the track power)";
    if (req.command == Command::Loco) {
        if (system_.locoMax < 0) return "not available for " + name;
        if (req.address < 0 || req.address > system_.locoMax)
            return outOfRange("address", req.address, 0, system_.locoMax);
        if (systemAddress(req.address) && !req.systemAddress)
            return "address " + std::to_string(req.address) + systemText +
                   ": give --system-address to drive it on purpose";
        for (const std::string& option : req.given) {
            if (option == "address" || option == "--speed") continue;
            if (!frontend::Carries(system_, option)) {
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
    if (req.command == Command::Write && systemAddress(req.address) && !req.systemAddress)
        return "address " + std::to_string(req.address) + systemText +
               ": give --system-address to write it on purpose";
    if (req.command == Command::Power && req.track) {
        if (req.powerWhat != "off") return "--track goes with power off";
        if (!system_.trackOff)
            return "--track is not carried by " + name + " (its power off switches the track off)";
    }
    if (req.command == Command::Feedback) {
        if (system_.feedback == FeedbackAnswer::None)
            return name + " reports feedback by itself: use watch";
        if (systemAddress(req.address) && req.address <= 127)
            return "address " + std::to_string(req.address) + systemText + ": not read (" + name +
                   " reads " + RangeText(system_.feedbackMin, system_.feedbackMax) + ")";
        if (req.address < system_.feedbackMin || req.address > system_.feedbackMax)
            return outOfRange("address", req.address, system_.feedbackMin, system_.feedbackMax);
    }
    if (req.command == Command::Watch && !system_.reports)
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
    // Held back or queued: it goes out when the interface lets it (before a
    // later power-off, at the latest at the close).
    const bool queued = com_->Pending();
    if (queued) result["queued"] = true;
    if (req.changeDirection)
        result["change_direction"] = true;
    else
        result["speed"] = req.speed;
    Result(result,
           "loco " + std::to_string(req.address) +
               (req.changeDirection ? " change direction" : " speed " + std::to_string(req.speed)) +
               (text.empty() ? "" : ":" + text) + (queued ? " (queued)" : ""));
    return kDone;
}

int Session::Feedback(const Request& req) {
    TMivoCom& com = *com_;
    std::string answer;
    feedbackSeen_.clear();
    const int eventsBefore = events_;
    com.GetBezetmelder(static_cast<uint8_t>(req.address), static_cast<uint8_t>(req.request),
                       req.all, req.flag2, answer);
    if (system_.feedback == FeedbackAnswer::Events) {
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
    if (system_.feedback == FeedbackAnswer::Module) return FeedbackModule(req);
    if (system_.feedback == FeedbackAnswer::RequestOnly) {
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

// One module's 16 inputs, input 1 first.
int Session::FeedbackModule(const Request& req) {
    uint16_t inputs = 0;
    int code = com_->ReadFeedbackModule(static_cast<uint8_t>(req.address), inputs);
    if (code < 0) return Fail(kNoAnswer, "feedback", "no answer");
    if (code > 0)
        return Fail(kNoAnswer, "feedback",
                    "the interface refused the read (reply code " + std::to_string(code) + ")");
    std::vector<int> on;
    std::string bits;
    for (int i = 1; i <= 16; ++i) {
        bool set = (inputs >> (16 - i)) & 1;
        if (set) on.push_back(i);
        bits += set ? '1' : '0';
    }
    Result({{"command", "feedback"},
            {"address", req.address},
            {"bytes", {inputs >> 8, inputs & 0xFF}},
            {"inputs", on}},
           "feedback " + std::to_string(req.address) + ": " + Hex(inputs >> 8) + " " +
               Hex(inputs & 0xFF) + " (inputs 1..16 " + bits + ")");
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
    const bool cycled = system_.cycled;
    const int eventsBefore = events_;
    const int errorsBefore = host_.errors;
    const bool forever = req.seconds <= 0;
    const platform::Deadline deadline =
        platform::Deadline::After(forever ? 0 : static_cast<uint32_t>(req.seconds * 1000));
    std::string ended = "time";
    for (;;) {
        if (Stopping()) {
            ended = OutputGone() ? "output closed" : "interrupt";
            break;
        }
        if (!forever && deadline.Reached()) break;
        if (!com.Connected() || host_.errors > errorsBefore || LineHungUp())
            return Fail(kPortError, "watch", "the port was closed or the line hung up");
        const uint32_t slice =
            forever ? 100u : static_cast<uint32_t>(std::min<uint64_t>(deadline.Remaining(), 100));
        if (cycled) {
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

} // namespace cli
