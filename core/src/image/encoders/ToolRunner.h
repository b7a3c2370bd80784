#pragma once
// ToolRunner: runs one external encoder as a child process, in a process group of its own, and
// owns it until it has been reaped. Standard error goes to a pipe of which the last 64 KB are
// kept; standard output goes to /dev/null (or to the same pipe, for version lines); standard input
// is /dev/null; the environment and the working folder are inherited; the umask is 077, so what
// the child writes is its owner's only. The child cannot outlive us: it gets SIGKILL when the
// thread that started it ends (which happens only when the process dies, since that thread waits
// for it). A run ends early when its job is cancelled or its time limit passes: the group gets
// SIGTERM, then SIGKILL after half a second. Safe to call from several threads at once.

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dorvex/model/Cancellation.h"

namespace dorvex {

// A child that could not be started: the file is missing, not executable or not a program, or
// the system is out of processes or descriptors. what() is "cannot launch <path>: <reason>".
struct ToolLaunchError : std::runtime_error {
    ToolLaunchError(const std::string& executablePath, int errorCode);

    std::string executable;
    int errorNumber;  // the errno value
};

// A run whose job was cancelled while the child was running; the child has been ended.
// what() is "已取消", the text of every cancelled job.
struct ToolCancelled : std::runtime_error {
    ToolCancelled();
};

// A child that was still running when its time limit passed; it has been ended.
// what() is "编码器超时：<file name> 在 <n> 分钟内未完成" (seconds, "秒", or milliseconds, "毫秒",
// for a limit that is not a whole number of minutes).
struct ToolTimeoutError : std::runtime_error {
    ToolTimeoutError(const std::string& executablePath, std::chrono::milliseconds limit);

    std::string executable;
};

namespace ToolRunner {

// How much of a child's output is kept: the last 64 KB (a tool's complaint comes at the end).
// A cut that falls inside a UTF-8 sequence drops that sequence's remaining bytes.
inline constexpr std::size_t outputTailLimit = 64 * 1024;

// How long a cancelled or timed-out child has between SIGTERM and SIGKILL.
inline constexpr std::chrono::milliseconds terminationGrace{500};

struct Result {
    // The exit status (0…255); a child ended by a signal reports 128 + the signal's number,
    // as a shell does (SIGKILL gives 137).
    int status = 0;
    // The tail of standard error decoded as UTF-8 (ill-formed bytes become U+FFFD), trimmed of
    // white space and line breaks at both ends.
    std::string stderrText;
    // The signal that ended the child (SIGSEGV: 11), or 0 when it exited by itself.
    int signal = 0;

    bool operator==(const Result&) const = default;
};

// Runs `executable` (a path, not searched on PATH) with `arguments` passed unchanged after it.
// A non-zero status is returned, not thrown; each encoder decides what it means. Once the child
// has exited, what its pipe holds is read and the run ends, even when a process it left behind
// still holds the pipe; what is left of its process group is then killed. `isCancelled` is asked
// every 50 ms while the child runs. Throws ToolLaunchError when the child cannot be started,
// ToolCancelled when the job was cancelled while it ran and ToolTimeoutError when it was still
// running after `timeLimit` (none: no limit).
Result run(const std::string& executable, const std::vector<std::string>& arguments,
           const CancelQuery& isCancelled = nullptr,
           std::optional<std::chrono::milliseconds> timeLimit = std::nullopt);

// Runs like run(), but with standard output and standard error both on one pipe, and returns
// the tail of the raw bytes read from it; the exit status is not looked at. Used to read version
// lines. Throws ToolLaunchError when the child cannot be started and ToolTimeoutError when it has
// not ended within `timeLimit`.
std::string combinedOutput(const std::string& executable, const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeLimit);

// The signal's abbreviation without "SIG" ("SEGV", "KILL"), or its number for one without a name.
std::string signalName(int signal);

}  // namespace ToolRunner
}  // namespace dorvex
