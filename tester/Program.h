// The tester program's start, run and end, shared by the program file and
// the start-up benchmark.
#pragma once

#include <functional>

namespace tester {

class TFormQuorrin;

// Runs the tester with the program's command line and returns its exit
// code. `onRunning`, when given, is called once the message loop runs with
// the main window shown (the start-up benchmark measures up to there).
int RunQuorrin(int argc, char** argv, const std::function<void(TFormQuorrin&)>& onRunning = {});

} // namespace tester
