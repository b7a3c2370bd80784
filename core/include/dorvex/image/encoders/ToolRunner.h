#pragma once
// ToolRunner: runs one external encoder as a child process and blocks until it has exited.
// Standard error goes to a pipe that is read to its end before the wait; standard output goes to
// /dev/null; standard input, the environment and the working folder are inherited. A running
// child is never killed and no time limit is set. Safe to call from several threads at once.

#include <stdexcept>
#include <string>
#include <vector>

namespace dorvex {

// A child that could not be started: the file is missing, not executable or not a program, or
// the system is out of processes or descriptors. what() is "cannot launch <path>: <reason>".
struct ToolLaunchError : std::runtime_error {
    ToolLaunchError(const std::string& executablePath, int errorCode);

    std::string executable;
    int errorNumber;  // the errno value
};

namespace ToolRunner {

struct Result {
    // The exit status (0…255); a child ended by a signal reports 128 + the signal's number,
    // as a shell does (SIGKILL gives 137).
    int status = 0;
    // Standard error decoded as UTF-8 (ill-formed bytes become U+FFFD), trimmed of white space
    // and line breaks at both ends.
    std::string stderrText;

    bool operator==(const Result&) const = default;
};

// Runs `executable` (a path, not searched on PATH) with `arguments` passed unchanged after it.
// A non-zero status is returned, not thrown; each encoder decides what it means.
// Throws ToolLaunchError when the child cannot be started.
Result run(const std::string& executable, const std::vector<std::string>& arguments);

// Runs like run(), but with standard output and standard error both on one pipe, and returns
// the raw bytes read from it; the exit status is not looked at. Used to read version lines.
// Throws ToolLaunchError when the child cannot be started.
std::string combinedOutput(const std::string& executable, const std::vector<std::string>& arguments);

}  // namespace ToolRunner
}  // namespace dorvex
