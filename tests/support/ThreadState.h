// What the kernel shows about a thread of this process: which system call it
// sits blocked in. Lets a test act once another thread really waits, instead
// of sleeping and hoping it does by then.
#pragma once

#include "platform/Tick.h"

#include <fstream>
#include <initializer_list>
#include <string>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace testsupport {

inline pid_t CurrentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Waits, looking every millisecond, until thread `tid` is blocked in one of
// the system calls `calls`; with `firstArg` >= 0 the call's first argument
// (a descriptor, say) must be that value. False when `ms` passed first.
inline bool WaitUntilBlockedIn(pid_t tid, std::initializer_list<long> calls, long firstArg = -1,
                               uint32_t ms = 5000) {
    const auto deadline = platform::Deadline::After(ms);
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    for (;;) {
        // "running" while the thread runs; else the call's number and
        // arguments, the arguments in hexadecimal.
        std::ifstream file(path);
        long number = -1;
        std::string arg;
        if (file >> number >> arg) {
            for (long call : calls)
                if (number == call && (firstArg < 0 || std::stol(arg, nullptr, 16) == firstArg))
                    return true;
        }
        if (deadline.Reached()) return false;
        platform::Sleep(1);
    }
}

} // namespace testsupport
