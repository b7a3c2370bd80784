#include "dorvex/image/encoders/ToolRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "dorvex/platform/FileDescriptor.h"
#include "dorvex/platform/TextDecoding.h"

extern char** environ;

namespace dorvex {

ToolLaunchError::ToolLaunchError(const std::string& executablePath, int errorCode)
    : std::runtime_error("cannot launch " + executablePath + ": " +
                         std::generic_category().message(errorCode)),
      executable(executablePath),
      errorNumber(errorCode) {}

ToolCancelled::ToolCancelled() : std::runtime_error(std::string(cancelledText)) {}

ToolTimeoutError::ToolTimeoutError(const std::string& executablePath, std::chrono::milliseconds limit)
    : std::runtime_error(executablePath + " did not finish within " + std::to_string(limit.count()) + " ms"),
      executable(executablePath) {}

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

using Clock = std::chrono::steady_clock;

// How often a running child is looked at: its pipe is polled this long at most between checks of
// its exit, the job's cancellation and the time limit.
constexpr std::chrono::milliseconds pollInterval{50};

enum class OutputRouting { standardErrorOnly, standardOutputAndError };

// A started child and the reading end of its pipe. The child leads a process group of its own
// (its pid is the group's id). Until reap() the Child owns it: going without a reap kills the
// whole group and reaps the child, so no path leaves a process or a zombie behind.
class Child {
public:
    Child(pid_t pid, FileDescriptor output)
        : pid_(pid), output_(std::move(output)), ended_(int(::syscall(SYS_pidfd_open, pid, 0))) {}
    ~Child() {
        if (pid_ <= 0) return;
        signalGroup(SIGKILL);
        int ignored = 0;
        while (::waitpid(pid_, &ignored, 0) < 0 && errno == EINTR) {}
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int output() const { return output_.get(); }
    // A descriptor that polls readable once the child has ended (a pidfd); -1 where the kernel
    // has none, and the child is then looked at on a timer.
    int endedDescriptor() const { return ended_.get(); }
    void closeOutput() { output_.reset(); }

    // Sends `signal` to every process of the child's group. Until the child is reaped its pid
    // stays taken (a zombie holds it), so the group's id cannot name anyone else.
    void signalGroup(int signal) const { ::kill(-pid_, signal); }

    // Whether the child has ended, without reaping it.
    bool hasEnded() const {
        siginfo_t info{};
        while (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
            if (errno != EINTR) return true;  // reaped by someone else: reap() reports it
        }
        return info.si_pid != 0;
    }

    // Waits for the child's end and returns its wait status; the Child owns nothing afterwards.
    int reap() {
        int waitStatus = 0;
        const pid_t pid = std::exchange(pid_, -1);
        while (::waitpid(pid, &waitStatus, 0) < 0) {
            if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
        }
        return waitStatus;
    }

private:
    pid_t pid_;
    FileDescriptor output_;
    FileDescriptor ended_;
};

// The environment a child starts with: ours, with OMP_WAIT_POLICY=passive unless it is set. The
// engine runs several encoders at once, and pngquant's OpenMP threads otherwise spin on a
// processor between its parallel loops: on small screenshots that more than doubled its CPU time
// and took the processor from the other jobs. How idle threads wait changes no output byte.
std::vector<char*> childEnvironment() {
    static constexpr std::string_view waitPolicy = "OMP_WAIT_POLICY=";
    static char passive[] = "OMP_WAIT_POLICY=passive";
    std::vector<char*> entries;
    bool policySet = false;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        policySet = policySet || std::string_view(*entry).starts_with(waitPolicy);
        entries.push_back(*entry);
    }
    if (!policySet) entries.push_back(passive);
    entries.push_back(nullptr);
    return entries;
}

// Starts the child. Both pipe ends are close-on-exec, so a child that another thread starts at
// the same moment inherits neither; only the copy made onto the child's own descriptor 2 (and 1)
// survives its exec. glibc's posix_spawn reports a failed exec (missing file, no permission, not
// a program) through its return value, so every launch failure surfaces here. The child gets a
// process group of its own, so that cancelling reaches whatever it starts in turn; being outside
// the terminal's foreground group, it reads standard input from /dev/null (a read from the
// terminal would stop it).
Child spawn(const std::string& executable, const std::vector<std::string>& arguments,
            OutputRouting routing) {
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) throw ToolLaunchError(executable, errno);
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    // The parent reads without blocking, so that it can watch the child between reads.
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);

    SpawnFileActions actions;
    int error = ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (error == 0) {
        error = routing == OutputRouting::standardErrorOnly
                    ? ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0)
                    : ::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
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
    ::posix_spawnattr_setpgroup(attributes.get(), 0);
    ::posix_spawnattr_setflags(attributes.get(),
                               POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(arguments.size() + 1);
    argumentStorage.push_back(executable);
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentStorage.size() + 1);
    for (std::string& argument : argumentStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<char*> environment = childEnvironment();
    pid_t pid = -1;
    error = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
                          environment.data());
    if (error != 0) throw ToolLaunchError(executable, error);
    // Our copy of the writing end must go, or the pipe would never report its end.
    writeEnd.reset();
    return Child(pid, std::move(readEnd));
}

// The last `limit` bytes of everything appended.
class Tail {
public:
    explicit Tail(std::size_t limit) : limit_(limit) {}

    void append(const char* data, std::size_t count) {
        bytes_.append(data, count);
        // Trimmed in batches, so that a long output costs no more than a copy per `limit` bytes.
        if (bytes_.size() >= 2 * limit_) cut();
    }

    std::string take() {
        cut();
        if (cutSome_) {
            // A cut inside a UTF-8 sequence leaves up to three continuation bytes at the front.
            std::size_t skip = 0;
            while (skip < 3 && skip < bytes_.size() && (static_cast<unsigned char>(bytes_[skip]) & 0xC0) == 0x80)
                ++skip;
            bytes_.erase(0, skip);
        }
        return std::move(bytes_);
    }

private:
    void cut() {
        if (bytes_.size() <= limit_) return;
        bytes_.erase(0, bytes_.size() - limit_);
        cutSome_ = true;
    }

    std::string bytes_;
    std::size_t limit_;
    bool cutSome_ = false;
};

// The reading side of the child's pipe.
class Output {
public:
    explicit Output(int fd) : fd_(fd), tail_(outputTailLimit) {}

    bool isOpen() const { return open_; }

    // Reads what the pipe holds now, without waiting. The pipe counts as closed once every writer
    // has closed it, or after a read error (a writer then meets a closed pipe). The reads of one
    // call are bounded, so that a child writing without pause is still watched.
    void readAvailable() {
        std::array<char, 65536> buffer;
        for (int reads = 0; open_ && reads < 64; ++reads) {
            const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
            if (count > 0) {
                tail_.append(buffer.data(), static_cast<std::size_t>(count));
            } else if (count == 0) {
                open_ = false;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            } else if (errno != EINTR) {
                open_ = false;
            }
        }
    }

    // Waits up to `limit` for the pipe to have something (or to close) or for `ended` (-1:
    // nothing) to poll readable, and reads what the pipe has; with neither, just waits.
    void await(std::chrono::microseconds limit, int ended) {
        if (!open_ && ended < 0) {
            std::this_thread::sleep_for(limit);
            return;
        }
        std::array<pollfd, 2> entries{pollfd{open_ ? fd_ : -1, POLLIN, 0}, pollfd{ended, POLLIN, 0}};
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(limit);
        if (::poll(entries.data(), entries.size(), int(milliseconds.count())) > 0 && entries[0].revents != 0) {
            readAvailable();
        }
    }

    std::string take() { return tail_.take(); }

private:
    int fd_;
    Tail tail_;
    bool open_ = true;
};

// Watches the running child, draining its pipe, until it ends (true) or `giveUp` answers true
// (false), waking when the pipe has something, when the child ends, and every pollInterval.
// Without a pidfd, once the pipe has closed the child is looked at after 0.1, 0.2, 0.4 … ms, at
// most pollInterval apart: a tool usually exits right after closing its output.
template <typename GiveUp>
bool watch(const Child& child, Output& output, GiveUp giveUp) {
    std::chrono::microseconds pause{100};
    for (;;) {
        if (child.hasEnded()) return true;
        if (giveUp()) return false;
        if (output.isOpen() || child.endedDescriptor() >= 0) {
            output.await(pollInterval, child.endedDescriptor());
        } else {
            output.await(pause, -1);
            pause = std::min<std::chrono::microseconds>(pause * 2, pollInterval);
        }
    }
}

enum class Ending { exited, cancelled, timedOut };

struct Collected {
    std::string bytes;
    int waitStatus = 0;
    Ending ending = Ending::exited;
};

// Waits for the child while reading its output. A cancellation or an expired deadline ends the
// child's group: SIGTERM, then SIGKILL when the child has not ended within the grace. Whatever is
// left in the group after the child's end (a process it started and left running, which may hold
// the pipe) is killed; what the pipe holds at that moment is the last of the output.
Collected collect(Child& child, const CancelQuery& isCancelled, std::optional<Clock::time_point> deadline) {
    Output output(child.output());
    Ending ending = Ending::exited;
    const bool ended = watch(child, output, [&] {
        if (isCancelled && isCancelled()) ending = Ending::cancelled;
        else if (deadline && Clock::now() >= *deadline) ending = Ending::timedOut;
        return ending != Ending::exited;
    });
    if (!ended) {
        child.signalGroup(SIGTERM);
        const Clock::time_point graceEnd = Clock::now() + terminationGrace;
        watch(child, output, [&] { return Clock::now() >= graceEnd; });
    }
    child.signalGroup(SIGKILL);
    output.readAvailable();
    child.closeOutput();
    const int waitStatus = child.reap();
    return Collected{output.take(), waitStatus, ending};
}

}  // namespace

Result run(const std::string& executable, const std::vector<std::string>& arguments,
           const CancelQuery& isCancelled) {
    Child child = spawn(executable, arguments, OutputRouting::standardErrorOnly);
    Collected collected = collect(child, isCancelled, std::nullopt);
    if (collected.ending == Ending::cancelled) throw ToolCancelled();
    const int waitStatus = collected.waitStatus;
    const int signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
    return Result{signal != 0 ? 128 + signal : WEXITSTATUS(waitStatus),
                  TextDecoding::trimWhitespace(TextDecoding::decodeUTF8(collected.bytes)), signal};
}

std::string combinedOutput(const std::string& executable, const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeLimit) {
    Child child = spawn(executable, arguments, OutputRouting::standardOutputAndError);
    Collected collected = collect(child, nullptr, Clock::now() + timeLimit);
    if (collected.ending == Ending::timedOut) throw ToolTimeoutError(executable, timeLimit);
    return std::move(collected.bytes);
}

std::string signalName(int signal) {
    if (const char* name = ::sigabbrev_np(signal)) return name;
    return std::to_string(signal);
}

}  // namespace ToolRunner
}  // namespace dorvex
