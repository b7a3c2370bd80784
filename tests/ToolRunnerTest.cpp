// Running a child: exit status and trimmed standard error, the plumbing (arguments, /dev/null,
// inherited folder and environment), launch failures, signals, a large standard error, and many
// runs at once without descriptors leaking into the parent or into other children.

#include "dorvex/image/encoders/ToolRunner.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::ToolLaunchError;
using dorvex::ToolRunner::Result;
using dorvex::ToolRunner::run;

namespace {

using dorvex::testing::TemporaryFolder;

std::string writeScript(const fs::path& file, const std::string& body,
                        fs::perms permissions = fs::perms(0755)) {
    std::ofstream(file, std::ios::binary) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(file, permissions);
    return file.string();
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

TEST(ToolRunner, ReadsAStandardErrorLargerThanThePipeWithoutBlocking) {
    TemporaryFolder folder;
    std::string tool = writeScript(folder.path() / "chatty",
                                   "head -c 3000000 /dev/zero | tr '\\0' x >&2; exit 7");
    Result result = run(tool, {});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.stderrText.size(), 3000000u);
    EXPECT_EQ(result.stderrText.find_first_not_of('x'), std::string::npos);
}

TEST(ToolRunner, ChildEndedByASignalReports128PlusTheSignal) {
    TemporaryFolder folder;
    const std::pair<const char*, int> cases[] = {{"KILL", 128 + 9}, {"TERM", 128 + 15}, {"SEGV", 128 + 11}};
    for (const auto& [signal, status] : cases) {
        std::string tool = writeScript(folder.path() / signal,
                                       std::string("echo dying >&2; kill -") + signal + " $$");
        EXPECT_EQ(run(tool, {}), (Result{status, "dying"})) << signal;
    }
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
        EXPECT_THROW(dorvex::ToolRunner::combinedOutput(path, {}), ToolLaunchError) << path;
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
