#pragma once
// Runs the real `dorvex` command in a child process, as a user would, with its own home, XDG and
// temporary folders under a test's root, and measures what it cost: wall time and peak memory.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace dorvex::testing {

struct DorvexOutcome {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
    double seconds = 0;
    long peakMemoryKB = 0;  // the child's largest resident set
};

class DorvexProcess {
public:
    // Starts dorvex with `args`; `environment` entries ("NAME=value") come after the test's own.
    DorvexProcess(const fs::path& root, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment = {})
        : root_(root), started_(std::chrono::steady_clock::now()) {
        for (const char* sub : {"home/.local/share", "home/.config", "tmp"}) fs::create_directories(root / sub);
        std::vector<std::string> env{"HOME=" + (root / "home").string(),
                                     "XDG_DATA_HOME=" + (root / "home/.local/share").string(),
                                     "XDG_CONFIG_HOME=" + (root / "home/.config").string(),
                                     "TMPDIR=" + (root / "tmp").string(), "PATH=" + std::string(::getenv("PATH"))};
        // The sanitizers' settings (suppressions) reach the child as they reach the test.
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
            if (const char* value = ::getenv(name)) env.push_back(std::string(name) + "=" + value);
        }
        env.insert(env.end(), environment.begin(), environment.end());
        std::vector<std::string> argv{DORVEX_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargs, cenv;
        for (auto& a : argv) cargs.push_back(a.data());
        for (auto& e : env) cenv.push_back(e.data());
        cargs.push_back(nullptr);
        cenv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (root / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (root / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawn(&pid_, cargs[0], &actions, nullptr, cargs.data(), cenv.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~DorvexProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    DorvexProcess(const DorvexProcess&) = delete;
    DorvexProcess& operator=(const DorvexProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }

    // Waits for the end; a run still going after `limitSeconds` is killed (status 137).
    DorvexOutcome finish(double limitSeconds = 600) {
        int status = 0;
        rusage usage{};
        for (;;) {
            const pid_t ended = ::wait4(pid_, &status, WNOHANG, &usage);
            if (ended == pid_) break;
            if (elapsed() > limitSeconds) ::kill(pid_, SIGKILL);
            ::usleep(10000);
        }
        pid_ = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), contents(root_ / "out.txt"),
                contents(root_ / "err.txt"), elapsed(), usage.ru_maxrss};
    }

private:
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

    fs::path root_;
    std::chrono::steady_clock::time_point started_;
    pid_t pid_ = -1;
};

}  // namespace dorvex::testing
