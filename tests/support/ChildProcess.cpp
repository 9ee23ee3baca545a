#include "tests/support/ChildProcess.h"

#include "platform/Tick.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

constexpr const char* kChildFlag = "--child";

std::map<std::string, ChildBody::Body>& Bodies() {
    static std::map<std::string, ChildBody::Body> bodies;
    return bodies;
}

bool IsLanguageSetting(const std::string& entry) {
    return entry.rfind("LANG=", 0) == 0 || entry.rfind("LANGUAGE=", 0) == 0 ||
           entry.rfind("LC_", 0) == 0;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
    std::vector<char*> p;
    for (std::string& w : words)
        p.push_back(w.data());
    p.push_back(nullptr);
    return p;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Sets up child stream `target` as asked; `ours` gets this process's end of
// a pipe. False when a pipe could not be made.
bool Arrange(posix_spawn_file_actions_t& actions, Stdio how, int target, int& ours,
             std::vector<int>& theirs) {
    if (how == Stdio::Null) {
        posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                         target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
        return true;
    }
    if (how != Stdio::Pipe) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const bool reads = target == STDIN_FILENO;
    ours = reads ? fds[1] : fds[0];
    const int child = reads ? fds[0] : fds[1];
    theirs.push_back(child);
    posix_spawn_file_actions_adddup2(&actions, child, target);
    return true;
}

} // namespace

Process::Process(const Launch& launch) {
    std::vector<std::string> args = launch.argv;
    if (args.empty()) return;
    std::vector<std::string> env;
    if (launch.env)
        env = *launch.env;
    else
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
    std::vector<char*> argv = Pointers(args), envp = Pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<int> theirs;
    const bool arranged = Arrange(actions, launch.in, STDIN_FILENO, in_, theirs) &&
                          Arrange(actions, launch.out, STDOUT_FILENO, out_, theirs) &&
                          Arrange(actions, launch.err, STDERR_FILENO, err_, theirs);
    pid_t pid = -1;
    const int spawned =
        !arranged ? EMFILE
        : launch.searchPath
            ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data())
            : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int& fd : theirs)
        CloseFd(fd);
    if (spawned != 0) {
        CloseIn();
        CloseOut();
        CloseErr();
        return;
    }
    pid_ = pid;
}

Process::~Process() {
    CloseIn();
    CloseOut();
    CloseErr();
    if (pid_ > 0 && !waited_) {
        ::kill(pid_, SIGKILL);
        Wait();
    }
}

void Process::CloseIn() {
    CloseFd(in_);
}
void Process::CloseOut() {
    CloseFd(out_);
}
void Process::CloseErr() {
    CloseFd(err_);
}

bool Process::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string Process::ReadAll() {
    std::string text;
    char buf[4096];
    while (out_ >= 0) {
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            CloseOut();
    }
    return text;
}

void Process::Signal(int sig) const {
    if (pid_ > 0 && !waited_) ::kill(pid_, sig);
}

int Process::Wait() {
    if (waited_ || pid_ <= 0) return status_;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status_, 0);
    } while (r < 0 && errno == EINTR);
    waited_ = true;
    return status_;
}

std::optional<int> Process::WaitFor(uint32_t ms) {
    if (waited_ || pid_ <= 0) return status_;
    const auto deadline = platform::Deadline::After(ms);
    for (;;) {
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            waited_ = true;
            return status_;
        }
        if (deadline.Reached()) return std::nullopt;
        platform::Sleep(10);
    }
}

int Process::ExitStatus(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

ChildBody::ChildBody(const char* name, Body body) {
    Bodies()[name] = body;
}

std::optional<int> RunChildIfAsked(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], kChildFlag) != 0) return std::nullopt;
    const auto found = Bodies().find(argv[2]);
    if (found == Bodies().end()) return 2;
    return found->second(argc, argv);
}

ChildResult RunChild(const std::string& name, const std::vector<std::string>& env) {
    Launch launch{{"/proc/self/exe", kChildFlag, name}};
    launch.out = Stdio::Pipe;
    launch.env.emplace();
    for (char** e = environ; *e; ++e)
        if (!IsLanguageSetting(*e)) launch.env->emplace_back(*e);
    launch.env->insert(launch.env->end(), env.begin(), env.end());

    ChildResult result;
    Process child(launch);
    if (!child.Started()) return result;
    // Read to the end first: a child that fills the pipe would otherwise
    // never exit.
    const std::string text = child.ReadAll();
    result.exitStatus = Process::ExitStatus(child.Wait());

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

} // namespace testsupport
