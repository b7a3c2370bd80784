#pragma once
// Reporter: what `dorvex` prints. A line per finished file (the result's status line, tags,
// change in size and warnings) or, with --json, one JSON object per file; on a terminal, a live
// line showing what each running job is doing; and the closing summary. All output goes through
// one lock, so jobs finishing on several threads never interleave their lines.

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"

namespace dorvex::cli {

class Reporter {
public:
    enum class Mode { text, json };

    Reporter(Mode mode, std::FILE* out, bool liveProgress);

    // A job has started (id: its place in the list of files).
    void started(int id, const std::string& source);
    // An event of a running job; attempts are kept for the JSON object.
    void event(int id, const CompressionEvent& event);
    // A job has finished: prints its line or object.
    void finished(int id, const std::string& source, const CompressionOptions& options,
                  const CompressionResult& result);
    // Redraws the live line (called on a timer by the main loop; no-op without live progress).
    void tick();
    // Prints the summary line (text mode): "3 张 · 已完成 3 · 共节省 … · 已忽略 1 个不支持的文件".
    void summary(int count, int ignored);
    // True once a write failed because nobody reads our output any more (a closed pipe).
    bool outputLost() const;

    // The JSON object of one finished file, as --json prints it.
    static std::string jsonLine(const std::string& source, const CompressionResult& result,
                                const std::vector<CompressionEvent>& attempts);
    // The text line of one finished file.
    static std::string textLine(const std::string& source, const CompressionOptions& options,
                                const CompressionResult& result);

private:
    struct Running {
        std::string name;
        int attempt = 0;
        std::optional<int> quality;
        std::optional<double> progress;
        std::vector<CompressionEvent> attempts;
    };

    void clearLive();
    void drawLive();

    Mode mode_;
    std::FILE* out_;
    bool live_;
    std::mutex lock_;
    std::map<int, Running> running_;
    int finished_ = 0;
    std::int64_t savedBytes_ = 0;
    std::int64_t sourceBytes_ = 0;
    bool liveShown_ = false;
    std::atomic<bool> outputLost_{false};

    void flushAndWatch();
};

}  // namespace dorvex::cli
