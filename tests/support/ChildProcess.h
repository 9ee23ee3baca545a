// Starting programs from tests and benchmarks: Process runs a program with
// its standard streams inherited, piped to this process or sent to
// /dev/null, and always reaps it (a child still running when the object
// goes is killed).
//
// Child processes of a test program, for what a process does only once (the
// message catalogues are read at start-up): the program starts itself again
// as a named child, which runs its body instead of the tests and prints its
// results, one per line, for the parent test to compare.
//
// A test program with children calls RunChildIfAsked() first thing in main;
// its test files register bodies with a ChildBody object at namespace scope.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

enum class Stdio { Inherit, Pipe, Null };

struct Launch {
    std::vector<std::string> argv; // argv[0] is the program's path
    bool searchPath = false;       // argv[0] is a name looked up in PATH
    Stdio in = Stdio::Inherit, out = Stdio::Inherit, err = Stdio::Inherit;
    // The child's whole environment ("NAME=value" each); none: this one's.
    std::optional<std::vector<std::string>> env = std::nullopt;
};

class Process {
  public:
    explicit Process(const Launch& launch);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0 || waited_; }
    pid_t Pid() const { return pid_; }

    // This process's ends of the piped streams (-1: not piped or closed).
    int In() const { return in_; }
    int Out() const { return out_; }
    int Err() const { return err_; }
    void CloseIn();
    void CloseOut();
    void CloseErr();

    // Writes all of `bytes` to the child's standard input.
    bool Write(const std::string& bytes);
    // Reads the child's standard output to its end (then closes it).
    std::string ReadAll();

    void Signal(int sig) const;
    // The wait status once the child ended (blocks until then).
    int Wait();
    // The wait status once the child ended within `ms`, else none.
    std::optional<int> WaitFor(uint32_t ms);

    // The exit status of a normal end, else -1.
    static int ExitStatus(int waitStatus);

  private:
    pid_t pid_ = -1;
    bool waited_ = false;
    int status_ = 0;
    int in_ = -1, out_ = -1, err_ = -1;
};

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
