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

#include <algorithm>
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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "CommandLine.h"
#include "Inventory.h"
#include "JobPlan.h"
#include "Reporter.h"
#include "StartingOptions.h"
#include "dorvex/engine/Compressor.h"
#include "dorvex/image/FailureText.h"
#include "dorvex/image/Toolchain.h"
#include "dorvex/model/SourceFile.h"
#include "dorvex/output/FileCollector.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/text/Format.h"
#include "dorvex/text/Translation.h"

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
std::optional<CompressionResult::Failed> unreadable(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return std::nullopt;
    return FailureText::unopenable(path, SourceFile::problemText(errno));
}

// Shuts the engine down when run() is left, by any path: the running jobs' handlers refer to
// run()'s own variables, so no job may outlive them.
struct EngineShutdown {
    EngineShutdown() = default;
    EngineShutdown(const EngineShutdown&) = delete;
    EngineShutdown& operator=(const EngineShutdown&) = delete;
    ~EngineShutdown() { outcome = Compressor::shutdown(); }

    // stopped is false when the engine did not stop within its bound; the flush failures are
    // those of outputs written after the batch's own flush (a run left early).
    static inline Compressor::ShutdownOutcome outcome;
};

// The paths to compress: those on the command line, then those listed by --files-from.
std::vector<std::string> givenPaths(const cli::Flags& flags) {
    std::vector<std::string> paths = flags.paths;
    if (!flags.filesFrom) return paths;
    const bool standardInput = *flags.filesFrom == "-";
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(
        standardInput ? nullptr : std::fopen(flags.filesFrom->c_str(), "rb"), &std::fclose);
    std::FILE* const list = standardInput ? stdin : opened.get();
    if (list == nullptr) throw std::runtime_error(i18nf("cannot read {}: {}", *flags.filesFrom, std::strerror(errno)));
    std::vector<std::string> listed = cli::readNames(list, flags.nullSeparated ? '\0' : '\n');
    if (std::ferror(list) != 0) {
        throw std::runtime_error(i18nf("cannot read {}: {}", *flags.filesFrom, std::strerror(errno)));
    }
    paths.insert(paths.end(), std::make_move_iterator(listed.begin()), std::make_move_iterator(listed.end()));
    return paths;
}

// Whether every file of the run is a picture (the summary counts pictures, else files).
bool allPictures(const std::vector<cli::PlannedJob>& jobs) {
    return std::none_of(jobs.begin(), jobs.end(), [](const cli::PlannedJob& job) {
        const OutputFormat kind = OutputFormat::original(FileType::fromPath(job.source.string()));
        return kind.isVideo() || kind.isPDF();
    });
}

// The options jobs start from, for the help.
std::string describeDefaults() {
    try {
        const CompressionOptions start = cli::startingOptions(std::nullopt, StoreAccess::readOnly);
        return i18nf("Jobs start from the selected preset: level {} ({}), {}, {}, {}.\n", start.level,
                     Format::levelName(start.level),
                     start.format ? std::string(start.format->displayName()) : i18n("the source's format"),
                     Format::maxSize(start), Format::saveLocation(start.saveLocation, start.filenamePrefix));
    } catch (const std::exception&) {
        return {};
    }
}

int run(const cli::Flags& flags) {
    // JSON is the same under every locale: its messages are the source texts, in the workers too.
    if (flags.json) Translation::useSourceLanguage();
    const Toolchain tools = Toolchain::locate();
    if (flags.version) std::printf("dorvex %s\n", cli::programVersion().c_str());
    if (flags.listEncoders || flags.version) {
        const std::string inventory = flags.json ? cli::inventoryJson(tools) : cli::inventoryText(tools);
        std::fputs(inventory.c_str(), stdout);
        if (flags.paths.empty() && !flags.filesFrom) return 0;
    }

    // A dry run only reads: it must not create, carry over or move aside a settings or presets file.
    const StoreAccess access = flags.dryRun ? StoreAccess::readOnly : StoreAccess::readWrite;
    const CompressionOptions options = cli::apply(flags, cli::startingOptions(flags.preset, access));
    try {
        OutputPlanner::validateNaming(options.filenamePrefix, options.saveLocation);
    } catch (const std::exception& error) {
        throw cli::UsageError(error.what());
    }

    for (const std::string& note : Toolchain::ignoredVariables(processEnvironment())) {
        std::fprintf(stderr, "dorvex: %s\n", note.c_str());
    }

    // Read before Ctrl-C is caught: while the list is read there is nothing to clean up.
    const std::vector<std::string> given = givenPaths(flags);
    catchInterruptions();
    // The live line goes to the terminal, wherever the results go.
    std::FILE* live = ::isatty(STDERR_FILENO) && !flags.dryRun ? stderr : nullptr;
    using ScoreText = cli::Reporter::ScoreText;
    cli::Reporter reporter(flags.json ? cli::Reporter::Mode::json : cli::Reporter::Mode::text, stdout, live,
                           flags.quiet, flags.score ? ScoreText::shown : ScoreText::hidden);

    // Each path or folder that cannot be looked at is a failure of its own; the others go on.
    bool anyFailed = false;
    int unreadableCount = 0;
    const auto failAlone = [&](const std::string& path, CompressionResult::Failed problem) {
        CompressionResult result;
        result.status = std::move(problem);
        reporter.finished(-1 - unreadableCount++, path, options, result);
        anyFailed = true;
    };
    std::vector<std::filesystem::path> paths;
    for (const auto& path : given) {
        if (const auto problem = unreadable(path)) {
            failAlone(path, *problem);
        } else {
            paths.emplace_back(path);
        }
    }
    const FileCollector::Result collected = FileCollector::collect(paths);
    for (const auto& folder : collected.unreadable) failAlone(folder.folder.string(), {folder.reason, {}});
    const std::vector<cli::PlannedJob> jobs = cli::plan(collected.files, paths, options, flags.keepStructure);
    const int count = int(jobs.size()) + unreadableCount;

    if (flags.dryRun) {
        for (const auto& job : jobs) reporter.planned(job);
        for (const auto& path : collected.passedOver) reporter.passedOver(path);
        reporter.dryRunSummary(count, allPictures(jobs), collected.ignored);
        const bool clashes = std::any_of(jobs.begin(), jobs.end(), [](const auto& job) { return job.clash.has_value(); });
        return anyFailed || clashes ? 1 : 0;
    }

    const int jobLimit = flags.jobs.value_or(cli::defaultJobCount());
    std::mutex lock;
    std::condition_variable changed;
    int running = 0;
    std::deque<int> queued;
    for (int i = 0; i < int(jobs.size()); ++i) queued.push_back(i);
    std::vector<Compressor::Job> started;
    reporter.expect(count);
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
            const cli::PlannedJob& job = jobs[std::size_t(id)];
            const std::string source = job.source.string();
            if (job.clash) {
                // Another file of this run takes that destination: failing beats replacing it.
                CompressionResult result;
                result.status = CompressionResult::Failed{*job.clash, {}};
                reporter.finished(id, source, job.options, result);
                anyFailed = true;
                continue;
            }
            ++running;
            reporter.started(id, source);
            started.push_back(Compressor::compress(
                source, job.options, tools, [&reporter, id](const CompressionEvent& e) { reporter.event(id, e); },
                [&, id, source](const CompressionResult& result) {
                    reporter.finished(id, source, jobs[std::size_t(id)].options, result);
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

    // New outputs are not flushed one by one: they are on disk before the run says it is done.
    const std::vector<std::string> unflushed = Compressor::finishBatch();
    if (reporter.outputLost()) onInterrupt(SIGPIPE);
    if (interruption.load() != SIGPIPE) reporter.summary(count, allPictures(jobs), collected.ignored);
    for (const std::string& failure : unflushed) std::fprintf(stderr, "dorvex: %s\n", failure.c_str());
    if (!unflushed.empty()) anyFailed = true;
    if (interruption.load() != 0) return 128 + interruption.load();
    return anyFailed ? 1 : 0;
}

int parseAndRun(int argc, char** argv) {
    try {
        const auto flags = cli::parse(argc, argv, describeDefaults);
        if (!flags) return 0;
        return run(*flags);
    } catch (const cli::UsageError& error) {
        std::fprintf(stderr, "dorvex: %s\n%s\n", error.what(), i18n("Run \"dorvex --help\" for the options."));
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dorvex: %s\n", error.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Translation::useUserLanguage();
    int status = parseAndRun(argc, argv);
    for (const std::string& failure : EngineShutdown::outcome.flushFailures) {
        std::fprintf(stderr, "dorvex: %s\n", failure.c_str());
        if (status == 0) status = 1;
    }
    if (!EngineShutdown::outcome.stopped) {
        // A job is still inside a library call: end the process without running static
        // destructors under its feet.
        std::fprintf(stderr, "dorvex: %s\n", i18n("some work did not stop in time"));
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
