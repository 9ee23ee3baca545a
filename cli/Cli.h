// quorrin-cli: one command station from the shell. The program parses its
// options, opens the port (or a built-in simulator on an in-process line) for the
// chosen system, runs one command or a session of them on the component and
// closes the port, so the component switches off the power it switched on.
//
// Exit status: 0 done, 1 wrong use, 2 the interface did not answer or was
// not found, 3 an error of the serial layer (a failed close included), and
// 128 + the signal when SIGINT (130), SIGHUP (129) or SIGTERM (143) ended the
// run, 141 when standard output went away (a closed pipe). Both still close
// the port in order first, so the power the run switched on goes off.
#pragma once

namespace cli {

enum ExitStatus : int {
    kDone = 0,
    kWrongUse = 1,
    kNoAnswer = 2,
    kPortError = 3,
    kOutputClosed = 141,
};

int Run(int argc, char** argv);

} // namespace cli
