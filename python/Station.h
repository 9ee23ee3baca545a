// The command station as the Python module drives it: the component on one
// port (or a simulator of its own), initialised before its first command,
// its events kept as plain records until the caller's thread picks them up,
// and the orderly close that switches off the power it switched on.
//
// Nothing here touches Python: the bindings release the interpreter lock
// around every call, and every call takes the module's component lock, so
// threads that share a station (or the process-wide main-thread queue the
// port delivers through) take their turns.
#pragma once

#include "command_station/MivoComm.h"
#include "frontend/HostSettings.h"
#include "frontend/Systems.h"
#include "platform/Host.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace pyquorrin {

// The interface did not answer (quorrin.NoAnswer).
class NoAnswerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The component refused or reported something with one of its messages
// (quorrin.Error).
class ComponentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A wait saw a pending signal; the Python exception is already set.
class Interrupted : public std::exception {
  public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Asked every 100 ms at most inside waits: true when a signal is pending.
using InterruptCheck = std::function<bool()>;

// Serialises every use of the component and of the main-thread queue.
std::mutex& ComponentLock();

// Message boxes become records, taken after each call; the queue is served
// whenever the component lets window messages through.
class ModuleHost : public platform::HostServices {
  public:
    void ShowMessage(const std::string& text) override { Add(platform::MessageKind::Plain, text); }
    void ShowError(const std::string& text) override { Add(platform::MessageKind::Error, text); }
    bool ShowErrorOkCancel(const std::string& text) override {
        Add(platform::MessageKind::ErrorOkCancel, text);
        return false;
    }
    // Serves the queue; inside an InterruptScope it also asks the scope's
    // check (every 100 ms at most) and throws Interrupted when a signal is
    // pending, which cuts into the component's own waits that let window
    // messages through (the Lenz version, the card's start-up, Märklin's CTS).
    void ProcessMessages() override;
    // The same check alone, in the waits that let no window messages through
    // (the Intellibox rate scan).
    void CheckInterrupt() override;
    void ReportException(std::exception_ptr error) override {
        Add(platform::MessageKind::Error, platform::ExceptionText(error));
    }
    std::vector<std::pair<platform::MessageKind, std::string>> Take();

  private:
    void Add(platform::MessageKind kind, const std::string& text);
    std::mutex mutex_;
    std::vector<std::pair<platform::MessageKind, std::string>> messages_;
};

ModuleHost& Host();

// While one lives, ProcessMessages on this thread asks `check`.
class InterruptScope {
  public:
    explicit InterruptScope(InterruptCheck check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

  private:
    InterruptCheck check_;
    InterruptScope* outer_;
    friend class ModuleHost;
};

// One event, in the form the module hands out: a kind and named values.
using FieldValue = std::variant<long long, bool, double, std::string>;
struct EventRecord {
    std::string kind;
    std::vector<std::pair<std::string, FieldValue>> fields;
};

// The port's rate and the host settings (defaults as quorrin-cli has them).
struct Settings {
    long baud = 0; // 0: the system's own rate
    frontend::HostSettings host;
};

struct LocoCommand {
    int address = 0;
    int speed = 0;
    bool light = false;
    bool forward = true;
    std::array<bool, 4> functions{};
    int lenzSteps = 3;
    int ibSteps = 14;
    bool ibOld = false;
    bool changeDirection = false;
    bool systemAddress = false;
    // Options the caller set away from their default, by keyword.
    std::vector<std::string> given;
};

struct PowerState {
    bool on = false;
    bool emergencyStop = false;
    bool emergencyStopKnown = true;
    bool fromInterface = false; // false: as this station last switched it
    bool commanded = false;
};

class Station {
  public:
    // Opens the port (`port` a device path, a port-list name or
    // rfc2217://host:port), or a simulator of the system's own when
    // `simulator` is set.
    Station(const frontend::SystemInfo& system, const Settings& settings, const std::string& port,
            bool simulator);
    // Closes when still open; a failure is lost here (Close() reports it).
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    const frontend::SystemInfo& System() const { return system_; }
    bool IsOpen() const { return com_ != nullptr; }
    const std::string& PortName() const { return portName_; }

    // Lets what is still held back go out (bounded), then closes the port.
    // Raises the close's failure after everything is released. Nothing
    // when already closed.
    // After an interrupt the queues are not waited for (the power-off still
    // goes out first).
    void Close(bool interrupted = false);

    bool Probe();
    void PowerOn();
    // track: the track off where power off does less (Lenz 21 80).
    void PowerOff(bool track = false);
    PowerState Power();
    // The bytes the component put on the line.
    std::string Loco(const LocoCommand& command);
    // The input bytes read; nullopt where the system sends the request only.
    std::optional<std::string> Feedback(int address, int request, bool all, bool flag2,
                                        const InterruptCheck& interrupted);
    void Write(int address, int value, bool systemAddress);
    double Version(const InterruptCheck& interrupted);
    // Serves the line for `ms` (forever for a negative value), returning
    // early once an event is kept when `untilEvent`.
    void Serve(long long ms, bool untilEvent, const InterruptCheck& interrupted);

    std::deque<EventRecord> TakeEvents();
    bool HasEvents();

  private:
    command_station::TMivoCom& Com(); // raises when closed
    void Initialise();
    void InstallHandlers();
    void Keep(EventRecord event);
    void ServeSlice(uint32_t ms);
    void CheckLine();
    void RaiseMessages();
    void CloseLocked(bool interrupted = false);
    // Serves until `done`, `ms` passed or a signal; true when done.
    bool ServeUntil(uint32_t ms, const std::function<bool()>& done,
                    const InterruptCheck& interrupted);

    const frontend::SystemInfo& system_;
    Settings settings_;
    std::string portName_;
    std::shared_ptr<void> simulator_;
    std::unique_ptr<command_station::TMivoCom> com_;
    bool initialised_ = false;
    std::mutex eventsMutex_;
    std::deque<EventRecord> events_;
    // Lenz feedback answers seen while a read waits for both halves.
    struct Nibble {
        int module;
        bool upper;
        int inputs;
    };
    std::vector<Nibble> lenzNibbles_;
    bool collectNibbles_ = false; // only while a read waits
};

// Whether the component still has commands queued or held back for its
// line. Replace with the component's own "anything still pending?" once
// its links offer one; until then this is the only place that looks.
bool StillQueued(const command_station::TMivoCom& com);

} // namespace pyquorrin
