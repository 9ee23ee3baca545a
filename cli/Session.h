// One session of quorrin-cli: the component on one port (or a built-in
// simulator), the commands run on it in order, and its orderly close, which
// switches off the power the session switched on.
#pragma once

#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Signals.h"
#include "command_station/MivoComm.h"
#include "frontend/Systems.h"
#include "platform/Host.h"

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace cli {

using command_station::TMivoCom;
using frontend::FeedbackAnswer;
using frontend::SystemInfo;

// Thrown out of one of the component's waits once a signal came (see
// ConsoleHost::interruptible).
struct StoppedBySignal {};

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
    // While the interface is being started (the Intellibox's rate scan takes
    // seconds), a signal cuts into the component's waits; the orderly close
    // after it is never cut short.
    void CheckInterrupt() override {
        if (interruptible && Stopping()) throw StoppedBySignal{};
    }
    bool interruptible = false;
    int shown = 0;
    int errors = 0;
};

class Session {
  public:
    Session(const Options& options, const SystemInfo& system) : opt_(options), system_(system) {}

    ~Session() { Close(); }

    // Opens the port (starting the simulator first); status kDone or the failure.
    int Open();
    int Execute(const Request& req);
    const Options& Settings() const { return opt_; }
    // Watches the port from its open on (kept by the caller beyond the session).
    void SetTraceObserver(serial::TraceObserver* observer) { observer_ = observer; }
    // Lets due held-back commands out (bounded), then closes the port. False
    // when the close failed (the power-off may not have reached the line);
    // the failure is on standard error.
    bool Close();
    // The close found commands still queued or held back that did not go out.
    bool Unsent() const { return unsent_; }

  private:
    void Result(json object, const std::string& text) { Print(opt_.json ? Dump(object) : text); }
    void Text(const std::string& text) { std::cerr << text << std::endl; }
    int Fail(int status, Command command, const std::string& text) {
        return Fail(status, CommandName(command), text);
    }
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
    // Execute's work, once the port is open.
    int Run(const Request& req);
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
    int FeedbackModule(const Request& req);
    int Watch(const Request& req);
    int Write(const Request& req);
    int Version();
    int Ports();
    bool LineHungUp();

    const Options& opt_;
    const SystemInfo& system_;
    ConsoleHost host_;
    std::shared_ptr<void> simulator_;
    std::unique_ptr<TMivoCom> com_;
    bool initialised_ = false;
    bool unsent_ = false;
    int shownBefore_ = 0; // messages shown before the command began
    // The component refused the command with one of its messages.
    bool Refused() const { return host_.shown > shownBefore_; }
    int events_ = 0;
    std::vector<int> feedbackSeen_;
    serial::TraceObserver* observer_ = nullptr;
    double version_ = 0.0; // the Lenz interface's version as last reported
};

} // namespace cli
