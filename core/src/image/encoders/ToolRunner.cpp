#include "dorvex/image/encoders/ToolRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

#include "dorvex/platform/FileDescriptor.h"
#include "dorvex/platform/TextDecoding.h"

extern char** environ;

namespace dorvex {

ToolLaunchError::ToolLaunchError(const std::string& executablePath, int errorCode)
    : std::runtime_error("cannot launch " + executablePath + ": " +
                         std::generic_category().message(errorCode)),
      executable(executablePath),
      errorNumber(errorCode) {}

namespace ToolRunner {

namespace {

class SpawnFileActions {
public:
    SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

enum class OutputRouting { standardErrorOnly, standardOutputAndError };

struct Child {
    pid_t pid;
    FileDescriptor output;  // the reading end of the child's pipe
};

// Starts the child. Both pipe ends are close-on-exec, so a child that another thread starts at
// the same moment inherits neither; only the copy made onto the child's own descriptor 2 (and 1)
// survives its exec. glibc's posix_spawn reports a failed exec (missing file, no permission, not
// a program) through its return value, so every launch failure surfaces here.
Child spawn(const std::string& executable, const std::vector<std::string>& arguments,
            OutputRouting routing) {
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) throw ToolLaunchError(executable, errno);
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);

    SpawnFileActions actions;
    int error = 0;
    if (routing == OutputRouting::standardErrorOnly) {
        error = ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null",
                                                   O_WRONLY, 0);
    } else {
        error = ::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    }
    if (error == 0)
        error = ::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);
    if (error != 0) throw ToolLaunchError(executable, error);

    // The child starts with no blocked signals and with SIGPIPE at its default, whatever the
    // calling thread or the application has set for itself.
    SpawnAttributes attributes;
    sigset_t noSignals;
    sigset_t defaultSignals;
    ::sigemptyset(&noSignals);
    ::sigemptyset(&defaultSignals);
    ::sigaddset(&defaultSignals, SIGPIPE);
    ::posix_spawnattr_setsigmask(attributes.get(), &noSignals);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaultSignals);
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(arguments.size() + 1);
    argumentStorage.push_back(executable);
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentStorage.size() + 1);
    for (std::string& argument : argumentStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    error = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
                          environ);
    if (error != 0) throw ToolLaunchError(executable, error);
    // Our copy of the writing end must go, or the read below would never see the end.
    writeEnd.reset();
    return Child{pid, std::move(readEnd)};
}

// Reads until every writer has closed the pipe. A read error other than an interruption ends
// the reading early (the child then meets a closed pipe); the wait still follows.
std::string readToEnd(int fd) {
    std::string bytes;
    std::array<char, 65536> buffer{};
    for (;;) {
        ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count > 0) {
            bytes.append(buffer.data(), static_cast<std::size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    return bytes;
}

int waitForExit(pid_t pid) {
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return WEXITSTATUS(waitStatus);
}

// Drains the child's pipe, then reaps it; returns the bytes and the status.
std::pair<std::string, int> collect(Child& child) {
    std::string bytes;
    try {
        bytes = readToEnd(child.output.get());
    } catch (...) {
        child.output.reset();
        waitForExit(child.pid);
        throw;
    }
    child.output.reset();
    return {std::move(bytes), waitForExit(child.pid)};
}

}  // namespace

Result run(const std::string& executable, const std::vector<std::string>& arguments) {
    Child child = spawn(executable, arguments, OutputRouting::standardErrorOnly);
    auto [bytes, status] = collect(child);
    return Result{status, TextDecoding::trimWhitespace(TextDecoding::decodeUTF8(bytes))};
}

std::string combinedOutput(const std::string& executable, const std::vector<std::string>& arguments) {
    Child child = spawn(executable, arguments, OutputRouting::standardOutputAndError);
    return collect(child).first;
}

}  // namespace ToolRunner
}  // namespace dorvex
