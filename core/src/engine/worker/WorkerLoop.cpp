#include "engine/worker/WorkerLoop.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "image/ImagePipeline.h"
#include "pdf/PDFCompressor.h"
#include "dorvex/text/Translation.h"
#include "video/VideoCompressor.h"
#include "engine/LibraryVersionsHere.h"
#include "engine/ThumbnailLoading.h"
#include "engine/worker/WorkerProtocol.h"
#include "platform/Sandbox.h"

namespace dorvex::WorkerLoop {

namespace fs = std::filesystem;
using namespace WorkerProtocol;

namespace {

// `--name=value` as a number; nullopt when absent or not a number.
std::optional<std::uint64_t> numberOption(int argc, char** argv, std::string_view name) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument.size() <= name.size() + 1 || argument.substr(0, name.size()) != name ||
            argument[name.size()] != '=') {
            continue;
        }
        const std::string_view digits = argument.substr(name.size() + 1);
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc() && end == digits.data() + digits.size()) return number;
    }
    return std::nullopt;
}

class Server {
public:
    Server(int socket, fs::path folder, BeforeJob beforeJob)
        : socket_(socket), folder_(std::move(folder)), beforeJob_(std::move(beforeJob)) {}

    bool say(const Message& message) {
        std::lock_guard guard(sending_);
        return send(socket_, message);
    }

    // Reads until the engine closes the socket.
    void serve() {
        while (true) {
            std::optional<Message> message;
            try {
                message = receive(socket_);
            } catch (const ProtocolError&) {
                message.reset();
            }
            if (!message) break;
            if (message->contains("cancel")) {
                if (message->value("cancel", std::uint64_t(0)) == running_.load()) cancelled_ = true;
                continue;
            }
            if (job_.joinable()) job_.join();  // the engine sends one job at a time
            cancelled_ = false;
            try {
                if (message->contains("libraries")) {
                    job_ = std::thread([this] { say(encode(LibraryVersions::here())); });
                } else if (message->contains("thumbnail")) {
                    const fs::path source = message->at("source").get<std::string>();
                    const int maxSide = message->at("maxSide").get<int>();
                    job_ = std::thread([this, source, maxSide] { thumbnail(source, maxSide); });
                } else {
                    const JobRequest request = decodeJob(*message);
                    running_ = request.id;
                    job_ = std::thread([this, request] { run(request); });
                }
            } catch (const std::exception&) {
                break;  // an engine that speaks otherwise: nothing sensible to do but end
            }
        }
        // The engine is gone (or broke off): a job still running is of no use to anybody, and
        // may be hung. Its encoders die with this process.
        if (job_.joinable()) ::_exit(0);
    }

private:
    void run(const JobRequest& request) {
        if (beforeJob_) beforeJob_(request.source);
        const fs::path handoffFile = folder_ / handoffName;
        std::error_code ignored;
        fs::remove(handoffFile, ignored);
        bool handedOff = false;
        const OutputPlanner::Handoff handoff = [&](const fs::path& produced, CompressionResult&) {
            fs::rename(produced, handoffFile);  // the same file system: both are in this folder
            handedOff = true;
        };
        const EventHandler onEvent = [this](const CompressionEvent& event) { say(Message{{"event", encode(event)}}); };
        const CancelQuery isCancelled = [this] { return cancelled_.load(); };
        CompressionResult result;
        switch (request.kind) {
            case JobKind::image:
                result = ImagePipeline::produce(request.source, request.options, request.tools, onEvent, isCancelled,
                                                handoff);
                break;
            case JobKind::pdf:
                result = PDFCompressor::produce(request.source, request.options, isCancelled, handoff);
                break;
            case JobKind::video:
                result = VideoCompressor::produce(request.source, request.options, onEvent, isCancelled, handoff);
                break;
        }
        say(Message{{"result", encode(result)}, {"handoff", handedOff && result.isSuccess()}});
    }

    void thumbnail(const fs::path& source, int maxSide) {
        if (beforeJob_) beforeJob_(source);
        say(encode(ThumbnailLoading::here(source, maxSide)));
    }

    const int socket_;
    const fs::path folder_;
    const BeforeJob beforeJob_;
    std::mutex sending_;  // a video job's events come from its encode threads too
    std::atomic<std::uint64_t> running_{0};
    std::atomic<bool> cancelled_{false};
    std::thread job_;
};

// Raises the chance that the kernel's out-of-memory killer picks a worker rather than the app.
void preferredForOutOfMemoryKill() {
    std::ofstream("/proc/self/oom_score_adj") << 500;
}

}  // namespace

int main(int argc, char** argv, const BeforeJob& beforeJob) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::optional<std::uint64_t> socket = numberOption(argc, argv, "--socket");
    if (!socket || *socket > 1024 || ::fcntl(int(*socket), F_GETFD) < 0) return 2;
    std::error_code error;
    const fs::path folder = fs::temp_directory_path(error);
    if (error) return 2;

    preferredForOutOfMemoryKill();
    // The failure texts a job sends back are in the user's language; the catalogue is read now,
    // before the sandbox closes the file system.
    Translation::useUserLanguage();
    Sandbox::Rules rules;
    rules.writableFolders = {folder};
    rules.writableFiles = {"/dev/null"};
    if (const auto bytes = numberOption(argc, argv, "--address-space"); bytes && *bytes > 0) {
        rules.addressSpaceBytes = *bytes;
        // Every thread's malloc arena reserves address space; a few arenas keep the bound for data.
        ::mallopt(M_ARENA_MAX, 4);
    }
    const Sandbox::Report report = Sandbox::enter(rules);

    Server server(int(*socket), folder, beforeJob);
    if (!server.say(Message{{"ready", {{"applied", report.applied}, {"missing", report.missing}}}})) return 0;
    server.serve();
    return 0;
}

}  // namespace dorvex::WorkerLoop
