#pragma once
// Reporter: what `dorvex` prints. A line per finished file (the result's status line, tags,
// change in size and warnings) or, with --json, one JSON object per file — only failures when
// quiet; on a terminal, a live line cut to its width with the count of finished files, the time
// left and what each running job is doing; and the closing summary of the outcomes. All output
// goes through one lock, so jobs finishing on several threads never interleave their lines.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "JobPlan.h"

namespace dorvex::cli {

class Reporter {
public:
    enum class Mode { text, json };
    // Whether a written picture's text line ends with its perceptual score (--score).
    enum class ScoreText { hidden, shown };

    // Lines and objects go to `out`; the live line to `live` (a terminal) when given.
    Reporter(Mode mode, std::FILE* out, std::FILE* live, bool quiet, ScoreText score = ScoreText::hidden);

    // How many files the run has, for the live line's count and its estimate of the time left.
    void expect(int files);
    // A job has started (id: its place in the list of files).
    void started(int id, const std::string& source);
    // An event of a running job; attempts are kept for the JSON object.
    void event(int id, const CompressionEvent& event);
    // A job has finished: prints its line or object.
    void finished(int id, const std::string& source, const CompressionOptions& options,
                  const CompressionResult& result);
    // Redraws the live line (called on a timer by the main loop; no-op without live progress).
    void tick();
    // Prints the summary line (text mode, not quiet): "5 个文件 · 成功 3 · 已跳过 1 · 失败 1 ·
    // 共节省 … · 已忽略 1 个不支持的文件". Files are counted in "张" when `allPictures`, in "个文件"
    // otherwise; files of `count` that never finished were cancelled.
    void summary(int count, bool allPictures, int ignored);
    // --dry-run: a planned job ("· SOURCE → DESTINATION", or "✗ SOURCE  <clash>"), a path passed
    // over ("– PATH  不支持，忽略"), and the summary ("… · 将压缩 2 · 试运行，未写入任何文件"). With
    // --json each is an object with "status" "planned" (and "output"), "failed" or "ignored".
    void planned(const PlannedJob& job);
    void passedOver(const std::filesystem::path& path);
    void dryRunSummary(int count, bool allPictures, int ignored);
    // True once a write failed because nobody reads our output any more (a closed pipe).
    bool outputLost() const;

    // The JSON object of one finished file, as --json prints it; a scored picture's has
    // "perceptual": {"butteraugli", "pnorm3"}, to three decimals.
    static std::string jsonLine(const std::string& source, const CompressionResult& result,
                                const std::vector<CompressionEvent>& attempts);
    // The text line of one finished file.
    static std::string textLine(const std::string& source, const CompressionOptions& options,
                                const CompressionResult& result, ScoreText score = ScoreText::hidden);

    // The live line for the state given, fitted to `width` columns: "3/40 · 预计剩余 1:05 · a.jpg
    // 压缩中 · 第 2 次 | b.mp4 第 1 次 · 45%". The estimate needs one finished file.
    static std::string liveLine(int finished, int total, std::optional<double> secondsLeft,
                                const std::vector<std::string>& jobs, std::size_t width);

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
    void print(const std::string& line);

    Mode mode_;
    std::FILE* out_;
    std::FILE* live_;
    bool quiet_;
    ScoreText score_;
    std::mutex lock_;
    std::map<int, Running> running_;
    int expected_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int finished_ = 0;
    int succeeded_ = 0;
    int skipped_ = 0;
    int failed_ = 0;
    int cancelled_ = 0;
    int clashes_ = 0;  // planned jobs that may not run (dry run)
    std::int64_t savedBytes_ = 0;
    std::int64_t sourceBytes_ = 0;
    bool liveShown_ = false;
    std::atomic<bool> outputLost_{false};

    void flushAndWatch();
};

}  // namespace dorvex::cli
