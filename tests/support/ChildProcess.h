// Child processes of a test program, for what a process does only once (the
// message catalogues are read at start-up): the program starts itself again
// as a named child, which runs its body instead of the tests and prints its
// results, one per line, for the parent test to compare.
//
// A test program with children calls RunChildIfAsked() first thing in main;
// its test files register bodies with a ChildBody object at namespace scope.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Registers `body` under `name` for the life of the program.
class ChildBody {
  public:
    using Body = int (*)(int argc, char** argv);
    ChildBody(const char* name, Body body);
};

// With "--child NAME" as the first argument: runs that body and returns its
// exit status (2 for an unknown name). Otherwise nothing: run the tests.
std::optional<int> RunChildIfAsked(int argc, char** argv);

struct ChildResult {
    int exitStatus = -1; // -1: did not start or did not exit normally
    std::vector<std::string> lines;
};

// Starts this program as child `name` and collects what it prints. The
// child's environment is this one without the language settings (LANG,
// LANGUAGE, LC_*), plus `env` ("NAME=value" each).
ChildResult RunChild(const std::string& name, const std::vector<std::string>& env);

} // namespace testsupport
