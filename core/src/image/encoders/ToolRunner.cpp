#include "image/encoders/ToolRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "dorvex/platform/FileDescriptor.h"
#include "platform/TextDecoding.h"
#include "dorvex/text/Translation.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__)
#define DORVEX_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DORVEX_THREAD_SANITIZER 1
#endif
#endif

namespace dorvex {

ToolLaunchError::ToolLaunchError(const std::string& executablePath, int errorCode)
    : std::runtime_error("cannot launch " + executablePath + ": " +
                         std::generic_category().message(errorCode)),
      executable(executablePath),
      errorNumber(errorCode) {}

ToolCancelled::ToolCancelled() : std::runtime_error(cancelledMessage()) {}

namespace {

// "3 分钟", "5 秒", "250 毫秒": the largest unit that states `limit` exactly.
std::string durationText(std::chrono::milliseconds limit) {
    using namespace std::chrono;
    if (limit.count() != 0 && limit % minutes(1) == milliseconds(0)) {
        const auto count = duration_cast<minutes>(limit).count();
        return i18npf("{} 分钟", "{} 分钟", static_cast<unsigned long>(count), count);
    }
    if (limit % seconds(1) == milliseconds(0)) {
        const auto count = duration_cast<seconds>(limit).count();
        return i18npf("{} 秒", "{} 秒", static_cast<unsigned long>(count), count);
    }
    return i18npf("{} 毫秒", "{} 毫秒", static_cast<unsigned long>(limit.count()), limit.count());
}

}  // namespace

ToolTimeoutError::ToolTimeoutError(const std::string& executablePath, std::chrono::milliseconds limit)
    : std::runtime_error(i18nf("编码器超时：{} 在 {}内未完成", std::filesystem::path(executablePath).filename().string(),
                               durationText(limit))),
      executable(executablePath) {}

namespace ToolRunner {

namespace {

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

// Everything the child needs, prepared before it exists: between the clone and the exec it
// shares our memory and may allocate nothing, take no lock and touch no shared state.
struct Launch {
    const char* executable;
    char* const* argv;
    char* const* environment;
    int output;        // the writing end of the output pipe
    bool combined;     // standard output on the pipe as well, instead of /dev/null
    int failureReport; // close-on-exec: a failed exec writes its errno here
    pid_t parent;
};

// The kernel's own sigaction record (the same layout on x86-64 and AArch64); only the handler is
// ever set, to the default, with every other field zero.
struct KernelSignalAction {
    std::uintptr_t handler = 0;
    unsigned long flags = 0;
    std::uintptr_t restorer = 0;
    std::uint64_t mask = 0;
};
constexpr std::uintptr_t defaultHandler = 0;
constexpr std::uintptr_t ignoreHandler = 1;
constexpr long signalSetSize = sizeof(std::uint64_t);
constexpr int lastSignal = 64;

// Puts `fd` on `target` for the exec (dup3 cannot copy a descriptor onto itself: its
// close-on-exec flag is cleared instead).
__attribute__((no_sanitize("address", "thread", "undefined"))) bool moveTo(int fd, int target) {
    if (fd == target) return ::syscall(SYS_fcntl, fd, F_SETFD, 0) == 0;
    return ::syscall(SYS_dup3, fd, target, 0) >= 0;
}

__attribute__((no_sanitize("address", "thread", "undefined"))) bool openNullDevice(int flags, int target) {
    const long fd = ::syscall(SYS_openat, AT_FDCWD, "/dev/null", flags);
    if (fd < 0) return false;
    const bool moved = moveTo(int(fd), target);
    if (fd != target) ::syscall(SYS_close, fd);
    return moved;
}

// The child, from the clone to the exec. Raw system calls only: a sanitizer's or the C library's
// wrappers would touch state shared with the parent. Signals are blocked on entry (the parent
// blocked them before the clone); handlers are reset to the default before they are unblocked,
// so no handler of ours ever runs here, and SIGPIPE is at its default whatever we set for
// ourselves. The child dies with the thread that started it (PR_SET_PDEATHSIG): that thread
// waits for it in run() or combinedOutput(), so the signal comes only when we are gone (a crash,
// SIGKILL). A parent that died before the prctl is seen in getppid().
__attribute__((no_sanitize("address", "thread", "undefined"))) int startChild(void* argument) {
    const Launch& launch = *static_cast<const Launch*>(argument);
    for (int signal = 1; signal <= lastSignal; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP) continue;
        KernelSignalAction current;
        if (::syscall(SYS_rt_sigaction, signal, nullptr, &current, signalSetSize) != 0) continue;
        if (current.handler == defaultHandler || (current.handler == ignoreHandler && signal != SIGPIPE)) continue;
        const KernelSignalAction reset;
        ::syscall(SYS_rt_sigaction, signal, &reset, nullptr, signalSetSize);
    }
    bool ready = ::syscall(SYS_setpgid, 0, 0) == 0 && ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) == 0;
    if (::syscall(SYS_getppid) != launch.parent) ::syscall(SYS_exit_group, 127);
    // What the encoder writes into the work folder is for our eyes only.
    ::syscall(SYS_umask, 077);
    ready = ready && moveTo(launch.output, STDERR_FILENO) &&
            (launch.combined ? moveTo(launch.output, STDOUT_FILENO) : openNullDevice(O_WRONLY, STDOUT_FILENO)) &&
            openNullDevice(O_RDONLY, STDIN_FILENO);
    const std::uint64_t noSignals = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &noSignals, nullptr, signalSetSize);
    if (ready) ::syscall(SYS_execve, launch.executable, launch.argv, launch.environment);
    const int error = errno;
    ::syscall(SYS_write, launch.failureReport, &error, sizeof error);
    ::syscall(SYS_exit_group, 127);
    return 127;
}

// Blocks every signal of the calling thread (the C library's own included) while it lives: the
// child starts on our memory and must not run a handler of ours before it has reset them.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        const std::uint64_t all = ~std::uint64_t{0};
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &saved_, signalSetSize);
    }
    ~AllSignalsBlocked() { ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &saved_, nullptr, signalSetSize); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    std::uint64_t saved_ = 0;
};

// Starts the child. Both pipe ends are close-on-exec, so a child that another thread starts at
// the same moment inherits neither; only the copy made onto the child's own descriptor 2 (and 1)
// survives its exec. The child is cloned sharing our memory and we wait until it has called exec
// (CLONE_VFORK, as posix_spawn does, which cannot set the parent-death signal); a failed exec
// (missing file, no permission, not a program) reports its errno through a close-on-exec pipe,
// which an exec that succeeds closes empty, so every launch failure surfaces here and is told
// from a tool exiting 127. The child gets a process group of its own, so that cancelling reaches
// whatever it starts in turn; being outside the terminal's foreground group, it reads standard
// input from /dev/null (a read from the terminal would stop it).
Child spawn(const std::string& executable, const std::vector<std::string>& arguments,
            OutputRouting routing) {
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) throw ToolLaunchError(executable, errno);
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    // The parent reads without blocking, so that it can watch the child between reads.
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) throw ToolLaunchError(executable, errno);
    FileDescriptor reportRead(ends[0]);
    FileDescriptor reportWrite(ends[1]);

    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(arguments.size() + 1);
    argumentStorage.push_back(executable);
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentStorage.size() + 1);
    for (std::string& argument : argumentStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const std::vector<char*> environment = childEnvironment();

    const Launch launch{executable.c_str(), argv.data(), environment.data(), writeEnd.get(),
                        routing == OutputRouting::standardOutputAndError, reportWrite.get(), ::getpid()};
    pid_t pid = -1;
#ifdef DORVEX_THREAD_SANITIZER
    {
        // ThreadSanitizer's clone() treats every clone as a fork and resets its own state in the
        // child, which a child sharing our memory would reset for us too: there, it is a fork.
        const AllSignalsBlocked blocked;
        pid = ::fork();
        if (pid == 0) startChild(const_cast<Launch*>(&launch));
    }
#else
    {
        // The child's stack until its exec: it calls nothing but the kernel.
        constexpr std::size_t stackWords = 64 * 1024 / sizeof(std::max_align_t);
        const auto stack = std::make_unique_for_overwrite<std::max_align_t[]>(stackWords);
        const AllSignalsBlocked blocked;
        pid = ::clone(startChild, stack.get() + stackWords, CLONE_VM | CLONE_VFORK | SIGCHLD, const_cast<Launch*>(&launch));
    }
#endif
    if (pid < 0) throw ToolLaunchError(executable, errno);
    // Our copies of the writing ends must go, or the pipes would never report their end.
    writeEnd.reset();
    reportWrite.reset();
    int execError = 0;
    ssize_t got = -1;
    while ((got = ::read(reportRead.get(), &execError, sizeof execError)) < 0 && errno == EINTR) {}
    if (got == ssize_t(sizeof execError)) {
        int ignored = 0;
        while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {}
        throw ToolLaunchError(executable, execError);
    }
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
           const CancelQuery& isCancelled, std::optional<std::chrono::milliseconds> timeLimit) {
    Child child = spawn(executable, arguments, OutputRouting::standardErrorOnly);
    std::optional<Clock::time_point> deadline;
    if (timeLimit) deadline = Clock::now() + *timeLimit;
    Collected collected = collect(child, isCancelled, deadline);
    if (collected.ending == Ending::cancelled) throw ToolCancelled();
    if (collected.ending == Ending::timedOut) throw ToolTimeoutError(executable, *timeLimit);
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
