#pragma once
// What the tests of process and thread lifetime look at: this process's threads and children, and
// whether another process has ended, read from /proc.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace dorvex::testing {

// The threads of this process, by their names ("dorvex-worker", …), one entry per thread.
inline std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/self/task", error)) {
        std::string name = contents(task.path() / "comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    return names;
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z' …) and the parent's pid; state 0 when
// the process is gone.
struct ProcessState {
    char state = 0;
    long parent = 0;
};

inline ProcessState processState(const std::string& pid) {
    const std::string stat = contents("/proc/" + pid + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) return {};
    return ProcessState{stat[close + 2], std::stol(stat.substr(close + 4))};
}

// Whether process `pid` has ended (gone, or a zombie left for whoever adopted it), asked for up
// to a second.
inline bool hasEnded(const std::string& pid) {
    for (int i = 0; i < 100; ++i) {
        const char state = processState(pid).state;
        if (state == 0 || state == 'Z') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// How many live processes are children of this one (zombies not counted).
inline int runningChildCount() {
    int count = 0;
    const long self = long(::getpid());
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const ProcessState process = processState(name);
        if (process.parent == self && process.state != 'Z' && process.state != 0) ++count;
    }
    return count;
}

// True when this process has no child at all, running or unreaped.
inline bool hasNoChild() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

}  // namespace dorvex::testing
