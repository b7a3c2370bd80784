// dorvex: compresses files and folders from a terminal with the engine. Parses, builds the jobs,
// runs a few at a time, reports, and maps the outcome to the exit status: 0 when nothing failed,
// 1 when a job failed (or a path could not be read), 2 for bad usage, 128 + the signal when
// interrupted: Ctrl-C (130), SIGTERM (143) and SIGHUP (129) cancel the running jobs, which end as
// "已取消" and leave no partial output; a closed standard output (141) ends the run quietly the
// same way. Whatever the path out, the engine is shut down before the program ends, so no
// encoder, thread or work folder outlives it.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "CommandLine.h"
#include "dorvex/engine/Compressor.h"
#include "dorvex/output/FileCollector.h"
#include "dorvex/output/OutputPlanner.h"
#include "Reporter.h"
#include "StartingOptions.h"
#include "dorvex/image/Toolchain.h"

using namespace dorvex;

namespace {

// The signal that asked the run to end, or 0.
std::atomic<int> interruption{0};

void onInterrupt(int signal) {
    int none = 0;
    interruption.compare_exchange_strong(none, signal);
}

void catchInterruptions() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A reader that went away (dorvex … | head) shows as a failed write instead of killing us
    // with work folders and encoders left behind.
    std::signal(SIGPIPE, SIG_IGN);
}

// A path given on the command line that cannot be looked at: what the user sees for it. Paths
// that exist but are no file or folder, and unsupported files, are counted as ignored instead.
std::optional<std::string> unreadable(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return std::nullopt;
    return fmt::format("cannot read {}: {}", path.string(), std::strerror(errno));
}

// Shuts the engine down when run() is left, by any path: the running jobs' handlers refer to
// run()'s own variables, so no job may outlive them.
struct EngineShutdown {
    EngineShutdown() = default;
    EngineShutdown(const EngineShutdown&) = delete;
    EngineShutdown& operator=(const EngineShutdown&) = delete;
    ~EngineShutdown() { stopped = Compressor::shutdown(); }

    static inline bool stopped = true;  // false when the engine did not stop within its bound
};

void listEncoders(const Toolchain& tools) {
    for (const auto& info : Toolchain::tools) {
        const auto& path = tools.path(info.tool);
        if (!path) {
            std::printf("%-14s %s\n", std::string(info.name).c_str(), Toolchain::missingError(info.tool).what());
            continue;
        }
        // A tool that cannot be started, prints nothing or hangs past the probe's limit.
        const auto version = Toolchain::version(*path);
        std::printf("%-14s %s  %s\n", std::string(info.name).c_str(), path->c_str(), version.value_or("无法运行").c_str());
    }
}

int run(const cli::Flags& flags) {
    const Toolchain tools = Toolchain::locate();
    if (flags.listEncoders) {
        listEncoders(tools);
        if (flags.paths.empty()) return 0;
    }

    const CompressionOptions options = cli::apply(flags, cli::startingOptions(flags.preset));
    try {
        OutputPlanner::validateNaming(options.filenamePrefix, options.saveLocation);
    } catch (const std::exception& error) {
        throw cli::UsageError(error.what());
    }

    for (const std::string& note : Toolchain::ignoredVariables(processEnvironment())) {
        std::fprintf(stderr, "dorvex: %s\n", note.c_str());
    }

    catchInterruptions();
    const bool live = !flags.json && ::isatty(STDOUT_FILENO);
    cli::Reporter reporter(flags.json ? cli::Reporter::Mode::json : cli::Reporter::Mode::text, stdout, live);

    // Each path that cannot be looked at is a failure of its own; the others go on.
    bool anyFailed = false;
    int unreadableCount = 0;
    std::vector<std::filesystem::path> paths;
    for (const auto& path : flags.paths) {
        if (const auto problem = unreadable(path)) {
            CompressionResult result;
            result.status = CompressionResult::Failed{*problem};
            reporter.finished(-1 - unreadableCount++, path, options, result);
            anyFailed = true;
            continue;
        }
        paths.emplace_back(path);
    }
    const FileCollector::Result collected = FileCollector::collect(paths);

    const int jobLimit = flags.jobs.value_or(cli::defaultJobCount());
    std::mutex lock;
    std::condition_variable changed;
    int running = 0;
    std::deque<int> queued;
    for (int i = 0; i < int(collected.files.size()); ++i) queued.push_back(i);
    std::vector<Compressor::Job> started;
    const EngineShutdown shutdownOnExit;

    std::unique_lock guard(lock);
    for (;;) {
        if (reporter.outputLost()) onInterrupt(SIGPIPE);
        if (interruption.load() != 0) {
            queued.clear();
            for (const auto& job : started) job.cancel();
        }
        while (running < jobLimit && !queued.empty()) {
            const int id = queued.front();
            queued.pop_front();
            const std::string source = collected.files[std::size_t(id)].string();
            ++running;
            reporter.started(id, source);
            started.push_back(Compressor::compress(
                source, options, tools, [&reporter, id](const CompressionEvent& e) { reporter.event(id, e); },
                [&, id, source](const CompressionResult& result) {
                    reporter.finished(id, source, options, result);
                    std::lock_guard done(lock);
                    if (result.failed()) anyFailed = true;
                    --running;
                    changed.notify_all();
                }));
        }
        if (running == 0 && queued.empty()) break;
        changed.wait_for(guard, std::chrono::milliseconds(100));
        guard.unlock();
        reporter.tick();
        guard.lock();
    }
    guard.unlock();

    if (reporter.outputLost()) onInterrupt(SIGPIPE);
    if (interruption.load() != SIGPIPE) reporter.summary(int(collected.files.size()) + unreadableCount, collected.ignored);
    if (interruption.load() != 0) return 128 + interruption.load();
    return anyFailed ? 1 : 0;
}

int parseAndRun(int argc, char** argv) {
    try {
        const auto flags = cli::parse(argc, argv);
        if (!flags) return 0;
        return run(*flags);
    } catch (const cli::UsageError& error) {
        std::fprintf(stderr, "dorvex: %s\nRun \"dorvex --help\" for the options.\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dorvex: %s\n", error.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = parseAndRun(argc, argv);
    if (!EngineShutdown::stopped) {
        // A job is still inside a library call: end the process without running static
        // destructors under its feet.
        std::fprintf(stderr, "dorvex: some work did not stop in time\n");
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
