#include "cli/Cli.h"

#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Script.h"
#include "cli/Session.h"
#include "cli/Signals.h"
#include "frontend/LineTrace.h"
#include "frontend/Systems.h"
#include "platform/Translate.h"
#include "serial/CPort.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>

namespace cli {

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
    AddOptions(app, opt);
    AddCommands(app, req);
    std::vector<std::string> doLines;
    auto* doCmd = app.add_subcommand("do", "run the given commands in one session, in order");
    doCmd->add_option("commands", doLines, "commands, each one argument (\"power on\")")
        ->required();
    doCmd->callback([&] { req.command = Command::Do; });
    app.add_subcommand("shell", "read commands from standard input, one per line")->callback([&] {
        req.command = Command::Shell;
    });

    // Before anything is parsed, --json is known only by its word; wrong use
    // then still gives one JSON error object.
    const bool jsonWanted = std::any_of(argv + 1, argv + argc,
                                        [](const char* a) { return std::string(a) == "--json"; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "quorrin-cli: " << e.what() << "\n\n" << app.help();
        if (jsonWanted) PrintJsonError({}, kWrongUse, e.what());
        return kWrongUse;
    }
    if (req.command != Command::Ports && !opt.simulator && opt.port.empty()) {
        std::cerr << "quorrin-cli: give --port NAME or --simulator\n\n" << app.help();
        if (opt.json) PrintJsonError({}, kWrongUse, "give --port NAME or --simulator");
        return kWrongUse;
    }

    // A trace file that cannot be written is refused before the port opens:
    // no run goes half-traced.
    std::unique_ptr<frontend::LineTrace> trace;
    if (opt.trace || !opt.traceFile.empty()) {
        int fd = -1;
        if (!opt.traceFile.empty()) {
            std::string why;
            fd = frontend::OpenTraceFile(opt.traceFile, why);
            if (fd < 0) {
                const std::string text = "trace file " + opt.traceFile + ": " + why;
                std::cerr << "quorrin-cli: " << text << std::endl;
                if (opt.json) PrintJsonError({}, kWrongUse, text);
                return kWrongUse;
            }
        }
        trace = std::make_unique<frontend::LineTrace>(opt.system, opt.trace, opt.json, fd,
                                                      opt.traceFile);
        trace->printLine = Print;
        trace->onFileFailure = [](const std::string& text) {
            std::cerr << "quorrin-cli: " << text << std::endl;
        };
    }

    InstallSignalHandlers();
    const frontend::SystemInfo& system = *frontend::FindSystem(opt.system);
    int status = kDone;
    try {
        Session session(opt, system);
        session.SetTraceObserver(trace.get());
        if (req.command == Command::Do) {
            status = RunSession(session, doLines, false, opt.json);
        } else if (req.command == Command::Shell) {
            status = RunSession(session, {}, true, opt.json);
        } else {
            status = session.Execute(req);
            if (Stopping()) status = StopStatus();
        }
        // A close that failed may have left the power on: no success then.
        if (!session.Close() && status == kDone) status = kPortError;
        if (session.Unsent() && status == kDone) status = kNoAnswer;
    } catch (const serial::EComPort& e) {
        std::cerr << "quorrin-cli: serial port error " << e.PortErrorCode() << ": " << e.what()
                  << std::endl;
        if (opt.json)
            Print(Dump({{"ok", false},
                        {"status", kPortError},
                        {"port_error", e.PortErrorCode()},
                        {"error", e.what()}}));
        status = kPortError;
    } catch (const std::exception& e) {
        // What the machine refused besides the port (a simulator that could
        // not get its pseudo-terminal, no file handles left).
        std::cerr << "quorrin-cli: " << e.what() << std::endl;
        if (opt.json) Print(Dump({{"ok", false}, {"status", kPortError}, {"error", e.what()}}));
        status = kPortError;
    }
    if (trace) trace->Finish();
    // A signal during the close still ends the run as that signal's.
    if (Stopping() && status == kDone) status = StopStatus();
    return status;
}

} // namespace cli
