#pragma once
// What the lifetime tests look at in /proc: this process's threads, children and their children,
// and whether another process has ended.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace dorvex::testing {

// The names of this process's threads ("dorvex-worker", …).
inline std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        const std::string name = contents(task.path() / "comm");
        names.push_back(name.substr(0, name.find('\n')));
    }
    return names;
}

// The state letter ('S', 'Z' …, 0 when gone) and the parent of process `pid`.
inline std::pair<char, long> processState(const std::string& pid) {
    const std::string stat = contents("/proc/" + pid + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) return {0, 0};
    return {stat[close + 2], std::stol(stat.substr(close + 4))};
}

// Whether process `pid` has ended (gone, or a zombie left to whoever adopted it), within a second.
inline bool hasEnded(const std::string& pid) {
    for (int i = 0; i < 100 && processState(pid).first != 0 && processState(pid).first != 'Z'; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return processState(pid).first == 0 || processState(pid).first == 'Z';
}

// How many children of this process are running (zombies not counted).
inline int runningChildCount() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto [state, parent] = processState(name);
        if (parent == long(::getpid()) && state != 'Z' && state != 0) ++count;
    }
    return count;
}

// How many children of this process's children are running: what its workers run.
inline int runningGrandchildCount() {
    std::vector<long> children;
    std::vector<std::pair<char, long>> states;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        names.push_back(name);
        states.push_back(processState(name));
        if (states.back().second == long(::getpid())) children.push_back(std::stol(name));
    }
    int count = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto [state, parent] = states[i];
        if (state != 'Z' && state != 0 && std::find(children.begin(), children.end(), parent) != children.end()) ++count;
    }
    return count;
}

// True when this process has no child at all, running or unreaped.
inline bool hasNoChild() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

}  // namespace dorvex::testing
