// Running a child: exit status and trimmed standard error, the plumbing (arguments, /dev/null,
// inherited folder and environment), launch failures, signals, a large standard error, and many
// runs at once without descriptors leaking into the parent or into other children; ending a
// child early (cancellation, time limit) together with what it started, and not waiting for a
// process that the child left holding its pipe; the child's end with the process that ran it.

#include "image/encoders/ToolRunner.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "dorvex/image/Toolchain.h"
#include "ProcessChecks.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::ToolLaunchError;
using dorvex::ToolRunner::Result;
using dorvex::ToolRunner::run;

namespace {

using dorvex::testing::TemporaryFolder;
using dorvex::testing::hasEnded;
using dorvex::testing::hasNoChild;

std::string writeScript(const fs::path& file, const std::string& body,
                        fs::perms permissions = fs::perms(0755)) {
    std::ofstream(file, std::ios::binary) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(file, permissions);
    return file.string();
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The pid a test tool wrote to "<tool>.pid".
std::string pidWrittenBy(const std::string& tool) {
    return std::to_string(std::stol(dorvex::testing::contents(tool + ".pid")));
}

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

}  // namespace

TEST(ToolRunner, ReturnsTheStatusAndTheTrimmedDecodedStandardError) {
    TemporaryFolder folder;
    const std::tuple<const char*, int, const char*> cases[] = {
        {R"(printf '  bad input\n' >&2; exit 1)", 1, "bad input"},
        {R"(exit 0)", 0, ""},
        {R"(exit 255)", 255, ""},
        {R"(printf '\n\t first\n\n second \r\n\n' >&2; exit 4)", 4, "first\n\n second"},
        {R"(echo 'to standard output'; echo 'to standard error' >&2)", 0, "to standard error"},
        {R"(printf 'a\377b\340\200c' >&2)", 0, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c"},
        {R"(printf '\342\200\203\302\240x y\343\200\200\n' >&2)", 0, "x y"},  // Unicode spaces
        {R"(printf '\345\216\213\347\274\251' >&2; exit 3)", 3, "压缩"},
    };
    int index = 0;
    for (const auto& [body, status, text] : cases) {
        std::string tool = writeScript(folder.path() / ("tool" + std::to_string(index++)), body);
        EXPECT_EQ(run(tool, {}), (Result{status, text})) << body;
    }
}

TEST(ToolRunner, PassesTheArgumentsUnchanged) {
    TemporaryFolder folder;
    std::string tool = writeScript(folder.path() / "echo-arguments",
                                   R"(for a in "$@"; do printf '[%s]' "$a" >&2; done)");
    EXPECT_EQ(run(tool, {"-quality", "80", "a b", "", "*", "$HOME", "ü"}).stderrText,
              "[-quality][80][a b][][*][$HOME][ü]");
    EXPECT_EQ(run(tool, {}).stderrText, "");
}

TEST(ToolRunner, StandardOutputGoesToTheNullDevice) {
    TemporaryFolder folder;
    // Read before any redirection: the shell itself moves its descriptor 1 while one is in force.
    std::string tool = writeScript(folder.path() / "where-output-goes",
                                   R"sh(target=$(readlink /proc/$$/fd/1); echo "$target" >&2)sh");
    EXPECT_EQ(run(tool, {}), (Result{0, "/dev/null"}));
}

TEST(ToolRunner, ChildInheritsWorkingFolderAndEnvironment) {
    TemporaryFolder folder;
    std::string tool = writeScript(folder.path() / "context",
                                   R"sh(printf '%s|%s' "$(pwd -P)" "$DORVEX_RUNNER_TEST_PROBE" >&2)sh");
    ASSERT_EQ(::setenv("DORVEX_RUNNER_TEST_PROBE", "inherited value", 1), 0);
    Result result = run(tool, {});
    ::unsetenv("DORVEX_RUNNER_TEST_PROBE");
    EXPECT_EQ(result.stderrText, fs::canonical(fs::current_path()).string() + "|inherited value");
}

// OpenMP tools wait passively between parallel loops unless the user chose otherwise.
TEST(ToolRunner, ChildWaitsPassivelyUnlessTheUserChoseAPolicy) {
    TemporaryFolder folder;
    std::string tool = writeScript(folder.path() / "policy", R"sh(printf '%s' "$OMP_WAIT_POLICY" >&2)sh");
    const char* const before = std::getenv("OMP_WAIT_POLICY");
    const std::string saved = before != nullptr ? before : "";
    const std::pair<const char*, const char*> cases[] = {{nullptr, "passive"}, {"active", "active"}};
    for (const auto& [chosen, seen] : cases) {
        if (chosen != nullptr) ::setenv("OMP_WAIT_POLICY", chosen, 1);
        else ::unsetenv("OMP_WAIT_POLICY");
        EXPECT_EQ(run(tool, {}).stderrText, seen);
    }
    if (before != nullptr) ::setenv("OMP_WAIT_POLICY", saved.c_str(), 1);
    else ::unsetenv("OMP_WAIT_POLICY");
}

// 10 MB of lines of "é" and a last line: only the last 64 KB are kept, the cut (which falls inside
// a two-byte sequence here) leaves no stray byte, and the end survives.
TEST(ToolRunner, KeepsOnlyTheTailOfALargeStandardError) {
    TemporaryFolder folder;
    std::string tool = writeScript(folder.path() / "chatty",
                                   "yes 'éééééééééé' | head -c 10000000 >&2; echo ' the end' >&2; exit 7");
    Result result = run(tool, {});
    EXPECT_EQ(result.status, 7);
    EXPECT_LE(result.stderrText.size(), dorvex::ToolRunner::outputTailLimit);
    EXPECT_GE(result.stderrText.size(), dorvex::ToolRunner::outputTailLimit - 9);
    EXPECT_TRUE(result.stderrText.ends_with("é the end"));
    EXPECT_EQ(result.stderrText.find("\xEF\xBF\xBD"), std::string::npos);  // no U+FFFD from the cut
}

TEST(ToolRunner, ChildEndedByASignalReports128PlusTheSignal) {
    TemporaryFolder folder;
    const std::pair<const char*, int> cases[] = {{"KILL", 9}, {"TERM", 15}, {"SEGV", 11}};
    for (const auto& [signal, number] : cases) {
        std::string tool = writeScript(folder.path() / signal,
                                       std::string("echo dying >&2; kill -") + signal + " $$");
        EXPECT_EQ(run(tool, {}), (Result{128 + number, "dying", number})) << signal;
        EXPECT_EQ(dorvex::ToolRunner::signalName(number), signal);
    }
    // An exit status of 139 is not a signal.
    EXPECT_EQ(run(writeScript(folder.path() / "exit139", "exit 139"), {}), (Result{139, "", 0}));
}

TEST(ToolRunner, ThrowsWhenTheChildCannotBeStartedAndLeaksNothing) {
    TemporaryFolder folder;
    std::string plain = writeScript(folder.path() / "not-executable", "exit 0", fs::perms(0644));
    std::string garbage = (folder.path() / "not-a-program").string();
    std::ofstream(garbage, std::ios::binary) << "\x01\x02 no interpreter line";
    fs::permissions(garbage, fs::perms(0755));
    const std::string cases[] = {(folder.path() / "missing").string(), plain, garbage,
                                 folder.path().string(), ""};

    std::size_t before = openDescriptorCount();
    for (const std::string& path : cases) {
        try {
            run(path, {"argument"});
            ADD_FAILURE() << "no error for " << path;
        } catch (const ToolLaunchError& error) {
            EXPECT_EQ(error.executable, path);
            EXPECT_NE(error.errorNumber, 0);
            EXPECT_TRUE(std::string(error.what()).starts_with("cannot launch " + path + ": "))
                << error.what();
        }
        EXPECT_THROW(dorvex::ToolRunner::combinedOutput(path, {}, std::chrono::seconds(5)), ToolLaunchError) << path;
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

// Each child lists its shell's descriptors. Besides the pipe of its own standard error (which the
// shell also puts on descriptor 1 while redirecting), any pipe there must be one this process
// passes on anyway; a pipe of a run on another thread would be a leak (and would hold that run's
// reader open until this child ends).
TEST(ToolRunner, ManyRunsAtOnceGetTheirOwnResultsAndNoOtherRunsPipes) {
    TemporaryFolder folder;
    std::string tool = writeScript(folder.path() / "report", R"sh(ls -l /proc/$$/fd >&2
printf 'run %s' "$1" >&2
exit $(($1 % 200)))sh");

    // Pipes this process already lets its children inherit (from whoever started the tests).
    std::set<std::string> inherited;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        int flags = ::fcntl(fd, F_GETFD);
        std::error_code error;
        fs::path target = fs::read_symlink(entry.path(), error);
        if (flags >= 0 && !(flags & FD_CLOEXEC) && !error) inherited.insert(target.string());
    }

    std::size_t before = openDescriptorCount();
    constexpr int threadCount = 8;
    constexpr int runsPerThread = 20;
    std::vector<std::vector<Result>> results(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < runsPerThread; ++i)
                results[t].push_back(run(tool, {std::to_string(t * runsPerThread + i)}));
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(openDescriptorCount(), before);

    for (int t = 0; t < threadCount; ++t) {
        ASSERT_EQ(results[t].size(), std::size_t(runsPerThread));
        for (int i = 0; i < runsPerThread; ++i) {
            int number = t * runsPerThread + i;
            const Result& result = results[t][i];
            EXPECT_EQ(result.status, number % 200);
            std::istringstream lines(result.stderrText);
            std::string line;
            std::string last;
            std::string ownPipe;
            std::vector<std::string> pipes;
            while (std::getline(lines, line)) {
                last = line;
                std::size_t arrow = line.find(" -> pipe:");
                if (arrow == std::string::npos) continue;
                std::string target = line.substr(arrow + 4);
                if (line.substr(0, arrow).ends_with(" 2")) ownPipe = target;
                pipes.push_back(target);
            }
            EXPECT_FALSE(ownPipe.empty()) << result.stderrText;
            for (const std::string& target : pipes)
                EXPECT_TRUE(target == ownPipe || inherited.contains(target))
                    << "run " << number << " holds " << target << "\n" << result.stderrText;
            EXPECT_EQ(last, "run " + std::to_string(number));
        }
    }
}

// The tool starts a grandchild and writes its pid to "pid" beside itself. A cancellation ends both
// within a second: on SIGTERM, or by SIGKILL after the grace when the group ignores SIGTERM.
TEST(ToolRunner, CancellingEndsTheChildAndWhatItStarted) {
    TemporaryFolder folder;
    const std::pair<const char*, const char*> cases[] = {
        {"sleeper", "sleep 60 & echo $! > \"$0.pid\"; wait"},
        {"stubborn", "trap '' TERM; sleep 60 & echo $! > \"$0.pid\"; wait; wait"},
    };
    for (const auto& [name, body] : cases) {
        const std::string tool = writeScript(folder.path() / name, body);
        const Clock::time_point start = Clock::now();
        const dorvex::CancelQuery cancelLater = [&] { return secondsSince(start) > 0.3; };
        EXPECT_THROW(run(tool, {}, cancelLater), dorvex::ToolCancelled) << name;
        EXPECT_LT(secondsSince(start), 1.3) << name;
        EXPECT_TRUE(hasNoChild()) << name;
        EXPECT_TRUE(hasEnded(pidWrittenBy(tool))) << name;
    }
}

// A child that exits at once but leaves a process holding its standard error open: the run ends
// with the child, keeps what was written, and the stray process is ended.
TEST(ToolRunner, DoesNotWaitForAProcessTheChildLeftHoldingThePipe) {
    TemporaryFolder folder;
    const std::string tool = writeScript(folder.path() / "leaver",
                                         "sleep 30 & echo $! > \"$0.pid\"; echo 'left behind' >&2; exit 3");
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(run(tool, {}), (Result{3, "left behind", 0}));
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_TRUE(hasNoChild());
    EXPECT_TRUE(hasEnded(pidWrittenBy(tool)));
}

// The version probe gives a hanging tool five seconds, then ends it and reports no version, as
// for a tool that cannot run.
TEST(ToolRunner, AVersionProbeThatHangsEndsAfterItsTimeLimit) {
    TemporaryFolder folder;
    const std::string tool = writeScript(folder.path() / "cjxl", "echo 'cjxl v0.7.0'; exec sleep 60");
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(dorvex::Toolchain::version(tool), std::nullopt);
    EXPECT_GT(secondsSince(start), 4.9);
    EXPECT_LT(secondsSince(start), 6.0);
    EXPECT_TRUE(hasNoChild());
}

// A hung encoder is ended at its time limit (here a tiny one), together with what it started, and
// the run ends as timed out, with a text that names the tool and the limit.
TEST(ToolRunner, AnEncoderPastItsTimeLimitIsEndedWithWhatItStarted) {
    TemporaryFolder folder;
    const std::string tool = writeScript(folder.path() / "cjpeg", "sleep 600 & echo $! > \"$0.part\"; mv \"$0.part\" \"$0.pid\"; wait");
    EXPECT_THROW(run(tool, {}, nullptr, std::chrono::milliseconds(1500)), dorvex::ToolTimeoutError);
    EXPECT_TRUE(hasNoChild());
    // What the tool started is gone too (unless it was ended before it could start anything).
    EXPECT_TRUE(!fs::exists(tool + ".pid") || hasEnded(pidWrittenBy(tool)));
    EXPECT_STREQ(dorvex::ToolTimeoutError(tool, std::chrono::minutes(12)).what(), "编码器超时：cjpeg 在 12 分钟内未完成");
}

// The process running an encoder dies (SIGKILL, as after a crash or an out-of-memory kill): the
// encoder, which would otherwise run on unwatched, is killed with it.
TEST(ToolRunner, AnEncoderDiesWithTheProcessThatRanIt) {
    TemporaryFolder folder;
    const std::string tool = writeScript(folder.path() / "hung", "echo $$ > \"$0.part\"; mv \"$0.part\" \"$0.pid\"; exec sleep 600");
    const pid_t runner = ::fork();
    ASSERT_GE(runner, 0);
    if (runner == 0) {
        try {
            run(tool, {});
        } catch (...) {}
        ::_exit(0);
    }
    for (int i = 0; i < 1000 && !fs::exists(tool + ".pid"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(runner, SIGKILL);
    int status = 0;
    ::waitpid(runner, &status, 0);
    ASSERT_TRUE(fs::exists(tool + ".pid"));
    const std::string encoder = pidWrittenBy(tool);
    const bool ended = hasEnded(encoder);
    if (!ended) ::kill(std::stoi(encoder), SIGKILL);
    EXPECT_TRUE(ended);
}
