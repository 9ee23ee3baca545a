#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <cstring>
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

} // namespace

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
    ChildResult result;
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e)
        if (!IsLanguageSetting(*e)) entries.emplace_back(*e);
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string exe = "/proc/self/exe", flag = kChildFlag, child = name;
    char* argv[] = {exe.data(), flag.data(), child.data(), nullptr};

    int out[2];
    if (::pipe(out) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return result;
    }

    // Read to the end first: a child that fills the pipe would otherwise
    // never exit.
    std::string text;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);

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
