#include "cli/Options.h"

#include "cli/Commands.h"
#include "frontend/Systems.h"

#include <vector>

namespace cli {

using frontend::BaudRate;
using frontend::LenzMask;
using frontend::SystemInfo;
using frontend::Systems;

void AddOptions(CLI::App& app, Options& opt) {
    std::vector<std::string> systemNames;
    for (const SystemInfo& s : Systems())
        systemNames.emplace_back(s.name);
    app.add_option("--system", opt.system, "the command station")
        ->capture_default_str()
        ->check(CLI::IsMember(systemNames));
    auto* port = app.add_option("--port", opt.port,
                                "the port as the port list shows it (ttyUSB0) or a path");
    auto* simulator = app.add_flag("--simulator", opt.simulator,
                                   "use the system's built-in simulator instead of a port (it "
                                   "runs inside the program on the port sim:SYSTEM)");
    port->excludes(simulator);
    auto* baud = app.add_option("--baud", opt.baud,
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
    app.add_flag("--trace", opt.trace,
                 "every message on the line on standard error (with --json as objects on "
                 "standard output): time, direction, bytes, meaning; a summary at the end");
    app.add_option("--trace-file", opt.traceFile,
                   "append every message on the line to this file, one JSON object a line");
    auto* host = app.add_option_group("host settings", "settings the component leaves to us");
    host->add_option("--lenz-reply-ms", opt.host.lenzReplyMs,
                     "Lenz: reply time-out in ms (0: resend "
                     "after a ms)")
        ->capture_default_str()
        ->check(kNumber);
    host->add_option("--lenz-skip", opt.host.lenzSkip,
                     "Lenz: 1 drops an unanswered command after the reply time, 0 resends it")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(0, 1));
    host->add_option("--lenz-quiet-ms", opt.host.lenzQuietMs,
                     "Lenz: ms of quiet line before each command (0..255)")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(0, 255));
    host->add_flag("--ib-fixed", opt.host.ibFixed,
                   "Intellibox: try only the --ib-baud rate instead of scanning all rates");
    host->add_option("--ib-baud", opt.host.ibBaud,
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
    host->add_flag("--ib-binary", opt.host.ibBinary, "Intellibox: binary locomotive commands");
    host->add_option("--marklin-loco-pause", opt.host.marklinLocPause,
                     "Märklin: ms after a locomotive command and after power off")
        ->capture_default_str()
        ->check(kNumber);
    host->add_option("--marklin-stop-pause", opt.host.marklinStopPause,
                     "Märklin: second gap in ms after power off")
        ->capture_default_str()
        ->check(kNumber);
    host->add_option("--marklin-byte-pause", opt.host.marklinBytePause,
                     "Märklin: ms between two transmissions")
        ->capture_default_str()
        ->check(kNumber);
    host->add_flag("--marklin-fast", opt.host.marklinFast, "Märklin: fast mode");
    // The card always starts at 9600 baud; asking for 19200 is what makes
    // its initialisation move it, so the flag picks that rate itself.
    host->add_flag("--kaart-fast", opt.host.kaartFast, "serial card: move to 19200 baud")
        ->excludes(baud);
    for (size_t i = 0; i < 4; ++i) {
        const int bit = i == 3 ? 4 : static_cast<int>(i);
        host->add_option("--kaart-option" + std::to_string(bit), opt.host.kaartOptions[i],
                         "serial card: configuration option " + std::to_string(bit))
            ->capture_default_str();
    }
    host->add_option("--dinamo-answer-ms", opt.host.dinamoAnswerMs,
                     "DINAMO: answer time in ms before a frame goes again")
        ->capture_default_str()
        ->check(kNumber);
}

} // namespace cli
