#include "engine/worker/WorkerPool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "dorvex/image/FailureText.h"
#include "image/encoders/ImageEncoder.h"
#include "dorvex/platform/FileDescriptor.h"
#include "platform/WorkFolder.h"

extern char** environ;

namespace dorvex::WorkerPool {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using WorkerProtocol::JobKind;
using WorkerProtocol::Message;

namespace {

using Clock = std::chrono::steady_clock;

// The descriptor a worker finds its socket on.
constexpr int workerSocket = 3;

// A bound on each worker's address space: three quarters of the machine's memory, at least 4 GiB
// (thread stacks and libraries take address space that is never memory).
std::uint64_t addressSpaceBound() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t memory = pages > 0 && pageSize > 0 ? std::uint64_t(pages) * std::uint64_t(pageSize) : 0;
    return std::max<std::uint64_t>(memory / 4 * 3, std::uint64_t(4) << 30);
}

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

// Why no worker could be started: "无法启动解码进程：<cause>".
std::string cannotStart(const std::string& cause) { return i18nf("无法启动解码进程：{}", cause); }

// One worker process, seen from the engine: its socket, its folder, its process.
class Worker {
public:
    explicit Worker(const fs::path& program) : folder_("dorvex-worker-") {
        std::error_code error;
        folder_.create(error);
        if (error) throw std::runtime_error(cannotStart(error.message()));
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            throw std::runtime_error(cannotStart(errorText(errno)));
        }
        socket_ = FileDescriptor(pair[0]);
        FileDescriptor theirs(pair[1]);
        // Above the worker's own number, so that the dup2 below always makes an inheritable copy.
        FileDescriptor high(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, 10));
        if (!high) throw std::runtime_error(cannotStart(errorText(errno)));
        spawn(program, high.get());
    }

    ~Worker() {
        socket_.reset();  // the worker reads the end of its socket and ends
        end(2s);
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    int socket() const { return socket_.get(); }
    const fs::path& folder() const { return folder_.path(); }
    WorkerProtocol::FrameReader reader;

    // True when an idle worker is still there: it says nothing between jobs, so anything to read
    // (the end of its socket, above all) means it is gone or broken.
    bool isAlive() const {
        pollfd check{socket_.get(), POLLIN, 0};
        return ::poll(&check, 1, 0) == 0;
    }

    // Ends the process, letting it exit by itself for `grace` first, reaps it, and tells how it
    // ended as a job's failure text.
    std::string_view end(std::chrono::milliseconds grace) {
        if (pid_ <= 0) return exitedText;
        int status = 0;
        const auto deadline = Clock::now() + grace;
        pid_t reaped = 0;
        while ((reaped = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        if (reaped == 0) {
            ::kill(pid_, SIGKILL);
            while ((reaped = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
            }
            pid_ = -1;
            return silentText;
        }
        pid_ = -1;
        if (reaped < 0) return exitedText;
        if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGKILL ? killedText : crashedText;
        return exitedText;
    }

private:
    void spawn(const fs::path& program, int socket) {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
        ::posix_spawn_file_actions_adddup2(&actions, socket, workerSocket);
        ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        // Nothing a library prints may reach our standard output (the command line's JSON).
        ::posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
        // Nothing else of ours: a descriptor this process was given without close-on-exec (a
        // shell's redirection, say) would be a way out of the worker's sandbox.
        ::posix_spawn_file_actions_addclosefrom_np(&actions, workerSocket + 1);
        // A process group of its own: the terminal's Ctrl+C is ours to handle (as a cancellation),
        // not the worker's to die of. Signals at their defaults, none blocked.
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attributes, &none);
        ::posix_spawnattr_setsigdefault(&attributes, &all);
        ::posix_spawnattr_setpgroup(&attributes, 0);
        ::posix_spawnattr_setflags(&attributes,
                                   POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

        std::vector<std::string> environment;
        for (char** variable = environ; variable && *variable; ++variable) {
            if (std::strncmp(*variable, "TMPDIR=", 7) != 0) environment.emplace_back(*variable);
        }
        environment.push_back("TMPDIR=" + folder_.path().string());
        std::vector<char*> envp;
        for (std::string& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string name = program.string();
        std::string socketArgument = "--socket=" + std::to_string(workerSocket);
        std::string boundArgument = "--address-space=" + std::to_string(addressSpaceBound());
        char* argv[] = {name.data(), socketArgument.data(), boundArgument.data(), nullptr};

        const int error = ::posix_spawn(&pid_, name.c_str(), &actions, &attributes, argv, envp.data());
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            pid_ = -1;
            throw std::runtime_error(i18nf("无法启动解码进程：{}：{}", name, errorText(error)));
        }
    }

    WorkFolder folder_;
    FileDescriptor socket_;
    pid_t pid_ = -1;
};

struct Pool {
    std::mutex lock;
    std::vector<std::unique_ptr<Worker>> idle;
    std::optional<fs::path> program;  // for tests
    std::optional<std::chrono::milliseconds> silenceLimit;  // for tests
    std::atomic<std::uint64_t> lastId{0};
    std::once_flag sandboxNoted;
};

void stopAtExit() { stop(); }

Pool& pool() {
    // Never destroyed: jobs may still end during exit. Its idle workers end with the process's
    // exit handlers, so that their folders go too.
    static Pool* const shared = [] {
        std::atexit(stopAtExit);
        return new Pool;
    }();
    return *shared;
}

std::unique_ptr<Worker> acquire() {
    Pool& p = pool();
    std::vector<std::unique_ptr<Worker>> gone;  // ended outside the lock
    std::optional<fs::path> path;
    {
        std::lock_guard guard(p.lock);
        while (!p.idle.empty()) {
            std::unique_ptr<Worker> worker = std::move(p.idle.back());
            p.idle.pop_back();
            if (worker->isAlive()) return worker;
            gone.push_back(std::move(worker));
        }
        path = p.program;
    }
    if (!path) path = program();
    if (!path) throw std::runtime_error(cannotStart(i18n("找不到程序的资源文件夹")));
    return std::make_unique<Worker>(*path);
}

void release(std::unique_ptr<Worker> worker) {
    Pool& p = pool();
    std::lock_guard guard(p.lock);
    p.idle.push_back(std::move(worker));
}

// What a worker's sandbox lacks, said once per process on the standard error.
void noteSandbox(const Message& ready) {
    std::call_once(pool().sandboxNoted, [&] {
        const Message missing = ready.value("missing", Message::array());
        if (!missing.is_array() || missing.empty()) return;
        std::string text;
        for (const Message& line : missing) {
            if (!line.is_string()) continue;
            text += (text.empty() ? "" : "; ") + line.get<std::string>();
        }
        std::fprintf(stderr, "dorvex: worker sandbox incomplete: %s\n", text.c_str());
    });
}

// A failed result with `text`, a message that is shown as it is.
CompressionResult failed(std::string text) {
    CompressionResult result;
    result.status = CompressionResult::Failed{std::move(text)};
    return result;
}

// One request and the messages that answer it. `handle` gets each message but "ready" and
// returns true for the one that ends the request. The worker goes back to the pool only after a
// conversation that ended as the protocol says.
class Conversation {
public:
    Conversation(std::unique_ptr<Worker> worker, std::chrono::milliseconds silenceLimit, CancelQuery isCancelled)
        : worker_(std::move(worker)), limit_(pool().silenceLimit.value_or(silenceLimit)),
          isCancelled_(std::move(isCancelled)) {}

    ~Conversation() {
        if (worker_ && usable_) release(std::move(worker_));
    }

    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // A longer or shorter silence limit from now on (a job that knows its size).
    void setSilenceLimit(std::chrono::milliseconds limit) {
        if (!pool().silenceLimit) limit_ = limit;
    }

    Worker& worker() { return *worker_; }

    // The text the request failed with; nothing when `handle` accepted an ending message.
    template <typename Handle>
    std::optional<std::string> exchange(const Message& request, std::uint64_t id, Handle handle) {
        if (!WorkerProtocol::send(worker_->socket(), request)) return broken(i18n(worker_->end(2s).data()));
        bool cancelSent = false;
        auto deadline = Clock::now() + limit_;
        while (true) {
            if (!cancelSent && isCancelled_ && isCancelled_()) {
                WorkerProtocol::send(worker_->socket(), Message{{"cancel", id}});
                cancelSent = true;
                deadline = std::min(deadline, Clock::now() + cancelGrace);
            }
            Message message;
            WorkerProtocol::FrameReader::Status status;
            try {
                status = worker_->reader.next(worker_->socket(), message);
                if (status == WorkerProtocol::FrameReader::Status::message) {
                    deadline = Clock::now() + limit_;
                    if (message.contains("ready")) {
                        noteSandbox(message.at("ready"));
                        continue;
                    }
                    if (handle(message)) return std::nullopt;
                    continue;
                }
            } catch (const std::exception&) {  // ProtocolError, or a message that decoded wrong
                worker_->end(0ms);
                return broken(i18n((cancelSent ? cancelledText : garbledText).data()));
            }
            if (status == WorkerProtocol::FrameReader::Status::closed) {
                const std::string_view how = worker_->end(2s);
                return broken(i18n((cancelSent ? cancelledText : how).data()));
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                worker_->end(0ms);
                return broken(i18n((cancelSent ? cancelledText : silentText).data()));
            }
            pollfd readable{worker_->socket(), POLLIN, 0};
            const auto wait = std::min<Clock::duration>(deadline - now, 100ms);
            ::poll(&readable, 1, int(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        }
    }

private:
    static constexpr std::chrono::seconds cancelGrace{10};

    std::string broken(std::string_view text) {
        usable_ = false;
        return std::string(text);
    }

    std::unique_ptr<Worker> worker_;
    std::chrono::milliseconds limit_;
    CancelQuery isCancelled_;
    bool usable_ = true;
};

// How long a job's worker may say nothing: until the source is read, five minutes; then, for an
// image, the time one encode may take and a minute (an encoder that hangs is ended by its own
// limit first); for a PDF (which says nothing until its result) five minutes and half a minute a
// megabyte; for a video, whose passes report progress, five minutes.
constexpr std::chrono::milliseconds firstSilence = 5min;

std::chrono::milliseconds pdfSilence(const fs::path& source) {
    std::error_code error;
    const auto bytes = fs::file_size(source, error);
    return firstSilence + (error ? 0ms : std::chrono::milliseconds(std::int64_t(bytes / 1'000'000) * 30'000));
}

}  // namespace

std::optional<fs::path> program() {
    const std::optional<fs::path> resources = resourceFolder();
    if (!resources) return std::nullopt;
    return resources->parent_path().parent_path() / "libexec" / "dorvex-worker";
}

CompressionResult run(JobKind kind, const fs::path& source, const CompressionOptions& options, const Toolchain& tools,
                      const EventHandler& onEvent, const CancelQuery& isCancelled,
                      const OutputPlanner::Handoff& place) {
    std::unique_ptr<Worker> worker;
    try {
        worker = acquire();
    } catch (const std::exception& error) {
        return failed(error.what());
    }
    const std::uint64_t id = ++pool().lastId;
    Conversation conversation(std::move(worker), kind == JobKind::pdf ? pdfSilence(source) : firstSilence,
                              isCancelled);
    std::optional<Message> ending;
    const auto handle = [&](Message& message) {
        if (message.contains("event")) {
            const CompressionEvent event = WorkerProtocol::decodeEvent(message.at("event"));
            if (const auto* started = std::get_if<CompressionEvent::Started>(&event.value); started && kind == JobKind::image) {
                conversation.setSilenceLimit(std::max<std::chrono::milliseconds>(
                    firstSilence, encodeTimeLimit(started->sourcePixelSize) + 1min));
            }
            try {
                if (onEvent) onEvent(event);
            } catch (...) {  // an observer's failure is not the job's
            }
            return false;
        }
        if (!message.contains("result")) throw WorkerProtocol::ProtocolError("an unexpected message");
        ending = std::move(message);
        return true;
    };
    const WorkerProtocol::JobRequest request{id, kind, source, options, tools};
    if (const auto failure = conversation.exchange(WorkerProtocol::encode(request), id, handle)) return failed(*failure);

    CompressionResult result;
    try {
        result = WorkerProtocol::decodeResult(ending->at("result"));
    } catch (const std::exception&) {
        conversation.worker().end(0ms);
        return failed(i18n(garbledText.data()));
    }
    if (!result.isSuccess()) return result;
    // The output stands at the hand-off name, in the worker's folder: a regular file, never a
    // link the worker may have put there.
    const fs::path handed = conversation.worker().folder() / WorkerProtocol::handoffName;
    struct stat status {};
    if (!ending->value("handoff", false) || ::lstat(handed.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        result.status = CompressionResult::Failed{i18n(garbledText.data())};
        return result;
    }
    try {
        place(handed, result);
    } catch (...) {
        result.status = FailureText::current(source);
    }
    std::error_code ignored;
    fs::remove(handed, ignored);
    return result;
}

namespace {

// A request a worker answers with one message under `key` (a thumbnail, the versions), decoded by
// `decode`; the failure's text when there is no answer. Throws nothing.
template <typename Decode>
auto ask(const char* key, Message request, Decode decode)
    -> std::variant<decltype(decode(std::declval<const Message&>())), std::string> {
    try {
        const std::uint64_t id = ++pool().lastId;
        request[key] = id;
        Conversation conversation(acquire(), 2min, nullptr);
        std::optional<decltype(decode(std::declval<const Message&>()))> answer;
        const auto handle = [&](const Message& message) {
            if (!message.contains(key)) throw WorkerProtocol::ProtocolError("an unexpected message");
            answer = decode(message);
            return true;
        };
        if (auto failure = conversation.exchange(request, id, handle)) return *failure;
        return std::move(*answer);
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
}

}  // namespace

std::optional<Thumbnail> thumbnail(const fs::path& file, int maxSide) {
    auto made = ask("thumbnail", Message{{"source", file.native()}, {"maxSide", maxSide}},
                    WorkerProtocol::decodeThumbnail);
    return made.index() == 0 ? std::get<0>(std::move(made)) : std::nullopt;
}

std::vector<LibraryVersions::Library> libraries() {
    auto found = ask("libraries", Message::object(), WorkerProtocol::decodeLibraries);
    if (found.index() == 0) return std::get<0>(std::move(found));
    std::vector<LibraryVersions::Library> unknown;
    for (const char* name : {"libvips", "libheif", "FFmpeg", "qpdf"}) {
        unknown.push_back({name, std::get<std::string>(found), {}, {}});
    }
    return unknown;
}

void stop() {
    std::vector<std::unique_ptr<Worker>> ending;
    {
        std::lock_guard guard(pool().lock);
        ending.swap(pool().idle);
    }
    ending.clear();  // each closes its socket and waits for its worker
}

namespace Testing {

void useProgram(std::optional<fs::path> path) {
    stop();
    std::lock_guard guard(pool().lock);
    pool().program = std::move(path);
}

void setSilenceLimit(std::optional<std::chrono::milliseconds> limit) { pool().silenceLimit = limit; }

}  // namespace Testing

}  // namespace dorvex::WorkerPool
