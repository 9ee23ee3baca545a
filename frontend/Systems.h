// The systems the front ends drive and what each one offers: its number for
// the component, the ranges of its commands, which options reach its line.
#pragma once

#include "serial/ComTypes.h"
#include "sim/Wire.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace frontend {

// How a system's feedback read comes back.
enum class FeedbackAnswer : uint8_t {
    Bytes,       // the read's own answer bytes
    Events,      // broadcasts that arrive after the request (Lenz: two nibbles)
    RequestOnly, // the request goes out, no input states are read back
    Module,      // one module's 16 inputs (ReadFeedbackModule)
    None,        // the system reports feedback by itself (watch)
};

// A simulator started for --simulator (or simulator=True): kept alive by
// the pointer, reached at the device path (the port name of an in-process
// line, e.g. "sim:selectrix", or a pseudo-terminal's slave).
struct StartedSimulator {
    std::shared_ptr<void> simulator;
    std::string path;
};

// How the tester's window drives the system.
struct PanelInfo {
    const char* title; // in the window's title (English; translated)
    // The locomotive sliders' top speed, and the step modes the panels pass.
    int speedMax;
    uint8_t lenzSteps;
    uint8_t ibSteps;
    // Circles of one feedback module (8 or 16).
    int feedbackInputs;
    // The Selectrix function decoder and decoder programmer panels.
    bool selectrixPanels;
};

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
    FeedbackAnswer feedback;
    // Sends reports of its own that `watch` prints (Lenz broadcasts, DINAMO).
    bool reports;
    // The host runs the link by cycling it (DINAMO: a frame out, one back).
    bool cycled;
    // Has a version the session asks before its first command (Lenz).
    bool versioned;
    StartedSimulator (*startSimulator)(sim::Wire wire);
    PanelInfo panel;
    // `power off --track` switches the track off where power off does less
    // (Lenz: power off is the emergency stop).
    bool trackOff = false;
};

const std::array<SystemInfo, 6>& Systems();
const SystemInfo* FindSystem(const std::string& name);
// The names of the table, separated by ", ".
std::string SystemNames();
// Whether the system carries a loco option ("--f1") onto its line.
bool Carries(const SystemInfo& system, const std::string& option);
// The serial layer's rate for a number of bits per second.
std::optional<serial::TBaudRate> BaudRate(long rate);
// A Lenz log mask from category names separated by commas, or numbers.
std::optional<uint16_t> LenzMask(const std::string& text);

} // namespace frontend
