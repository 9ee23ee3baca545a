// How a run of quorrin-cli is stopped from outside: SIGINT, SIGTERM and
// SIGHUP, and a standard output that went away. Either ends the run after
// the port is closed in order; nothing else of the program runs in the
// signal handler.
#pragma once

namespace cli {

// Installs the handlers (without restart, so a blocked read returns) and
// ignores SIGPIPE: a closed output shows as a failed write instead.
void InstallSignalHandlers();
// A signal came, or standard output went away.
bool Stopping();
// The status a stopped run ends with: 128 + the signal, as a shell reports a
// program the signal ended; 141 (SIGPIPE's) when standard output went away.
int StopStatus();
void NoteOutputGone();
bool OutputGone();
// Readable once a signal came (for a poll beside standard input); -1 when
// no pipe could be made.
int WakeDescriptor();

} // namespace cli
