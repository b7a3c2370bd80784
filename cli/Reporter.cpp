#include "Reporter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>

#include <fmt/format.h>

#include "dorvex/model/Cancellation.h"
#include "dorvex/text/Format.h"
#include "dorvex/text/RunProgress.h"
#include "dorvex/model/JsonCoding.h"
#include "dorvex/image/SizeTargetSearch.h"
#include "dorvex/text/Translation.h"
#include "TerminalText.h"

namespace dorvex::cli {

namespace {

std::string fileName(const std::string& path) { return terminalText(std::filesystem::path(path).filename().string()); }

json::Json rateJson(const VideoRate& rate) {
    if (const auto* q = std::get_if<VideoRate::Quality>(&rate.value)) return {{"quality", q->value}};
    return {{"bitrate", std::get<VideoRate::Bitrate>(rate.value).bitsPerSecond}};
}

json::Json attemptJson(const CompressionEvent& event) {
    json::Json j = json::Json::object();
    if (const auto* a = std::get_if<CompressionEvent::Attempt>(&event.value)) {
        j["index"] = a->index;
        j["quality"] = a->quality;
        if (a->pixelSize) j["pixelSize"] = *a->pixelSize;
        if (a->bytes) j["bytes"] = *a->bytes;
    } else if (const auto* v = std::get_if<CompressionEvent::VideoAttempt>(&event.value)) {
        j["index"] = v->index;
        j["rate"] = rateJson(v->rate);
        if (v->pixelSize) j["pixelSize"] = *v->pixelSize;
        if (v->bytes) j["bytes"] = *v->bytes;
        if (v->audioBitrate) j["audioBitrate"] = *v->audioBitrate;
        if (v->frameRate) j["frameRate"] = *v->frameRate;
    }
    return j;
}

// A JSON object on one line; invalid UTF-8 in a file name is replaced rather than refused.
std::string oneLine(const json::Json& j) { return j.dump(-1, ' ', false, json::Json::error_handler_t::replace); }

// The form of a count for i18npf (counts are never negative; a negative one is taken as 0).
unsigned long plural(int count) { return static_cast<unsigned long>(std::max(count, 0)); }

// "已忽略 3 个不支持的文件".
std::string ignoredCount(int ignored) {
    return i18npf("已忽略 {} 个不支持的文件", "已忽略 {} 个不支持的文件", plural(ignored), ignored);
}

// The terminal's width now (it may have been resized since the last line); 80 when unknown.
std::size_t terminalWidth(std::FILE* terminal) {
    winsize size{};
    if (::ioctl(::fileno(terminal), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

Reporter::Reporter(Mode mode, std::FILE* out, std::FILE* live, bool quiet, ScoreText score)
    : mode_(mode), out_(out), live_(quiet ? nullptr : live), quiet_(quiet), score_(score) {}

void Reporter::expect(int files) {
    std::lock_guard guard(lock_);
    expected_ = files;
    start_ = std::chrono::steady_clock::now();
}

void Reporter::started(int id, const std::string& source) {
    std::lock_guard guard(lock_);
    running_[id].name = fileName(source);
    drawLive();
}

void Reporter::event(int id, const CompressionEvent& event) {
    std::lock_guard guard(lock_);
    auto it = running_.find(id);
    if (it == running_.end()) return;
    Running& job = it->second;
    if (const auto* a = std::get_if<CompressionEvent::Attempt>(&event.value)) {
        job.attempt = a->index + 1, job.quality = a->quality, job.progress.reset();
        job.attempts.push_back(event);
    } else if (const auto* p = std::get_if<CompressionEvent::Progress>(&event.value)) {
        job.attempt = p->index + 1, job.quality.reset(), job.progress = p->fraction;
    } else if (std::holds_alternative<CompressionEvent::VideoAttempt>(event.value)) {
        job.attempts.push_back(event);
    }
}

void Reporter::finished(int id, const std::string& source, const CompressionOptions& options,
                        const CompressionResult& result) {
    std::lock_guard guard(lock_);
    std::vector<CompressionEvent> attempts;
    if (auto it = running_.find(id); it != running_.end()) {
        attempts = std::move(it->second.attempts);
        running_.erase(it);
    }
    ++finished_;
    if (result.isSuccess()) {
        ++succeeded_;
        savedBytes_ += result.sourceBytes - result.outputBytes;
        sourceBytes_ += result.sourceBytes;
    } else if (result.skipped()) {
        ++skipped_;
    } else if (isCancellation(result.failed()->message)) {
        ++cancelled_;
    } else {
        ++failed_;
    }
    if (!quiet_ || result.failed()) {
        print(mode_ == Mode::json ? jsonLine(source, result, attempts) : textLine(source, options, result, score_));
    }
    drawLive();
}

void Reporter::print(const std::string& line) {
    clearLive();
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    flushAndWatch();
}

void Reporter::planned(const PlannedJob& job) {
    std::lock_guard guard(lock_);
    if (job.clash) ++clashes_;
    if (quiet_ && !job.clash) return;
    if (mode_ == Mode::json) {
        json::Json j{{"source", job.source.string()}};
        if (job.clash) {
            j["status"] = "failed", j["message"] = *job.clash;
        } else {
            j["status"] = "planned", j["output"] = job.destination.string();
        }
        print(oneLine(j));
    } else if (job.clash) {
        print(fmt::format("✗ {}  {}", terminalText(job.source.string(), 4096), terminalText(*job.clash, 8192)));
    } else {
        print(fmt::format("· {} → {}", terminalText(job.source.string(), 4096), terminalText(job.destination.string(), 4096)));
    }
}

void Reporter::passedOver(const std::filesystem::path& path) {
    std::lock_guard guard(lock_);
    if (quiet_) return;
    if (mode_ == Mode::json) {
        const json::Json j{{"source", path.string()}, {"status", "ignored"}};
        print(oneLine(j));
    } else {
        print(fmt::format("– {}  {}", terminalText(path.string(), 4096), i18n("不支持，忽略")));
    }
}

void Reporter::dryRunSummary(int count, bool allPictures, int ignored) {
    std::lock_guard guard(lock_);
    if (mode_ == Mode::json || quiet_) return;
    std::vector<std::string> parts{Format::fileCount(count, allPictures)};
    const int toCompress = count - clashes_ - finished_;
    parts.push_back(i18npf("将压缩 {}", "将压缩 {}", plural(toCompress), toCompress));
    if (clashes_ > 0) parts.push_back(i18npf("重名 {}", "重名 {}", plural(clashes_), clashes_));
    if (finished_ > 0) parts.push_back(i18npf("无法读取 {}", "无法读取 {}", plural(finished_), finished_));
    if (ignored > 0) parts.push_back(ignoredCount(ignored));
    parts.push_back(i18n("试运行，未写入任何文件"));
    print(fmt::format("{}", fmt::join(parts, " · ")));
}

bool Reporter::outputLost() const { return outputLost_.load(); }

void Reporter::flushAndWatch() {
    if (std::fflush(out_) != 0 && errno == EPIPE) outputLost_.store(true);
}

void Reporter::tick() {
    std::lock_guard guard(lock_);
    drawLive();
}

void Reporter::summary(int count, bool allPictures, int ignored) {
    std::lock_guard guard(lock_);
    clearLive();
    if (mode_ == Mode::json || quiet_) return;
    std::vector<std::string> parts{Format::fileCount(count, allPictures),
                                   i18npf("成功 {}", "成功 {}", plural(succeeded_), succeeded_)};
    const int cancelled = cancelled_ + std::max(count - finished_, 0);  // those never finished too
    if (skipped_ > 0) parts.push_back(i18npf("已跳过 {}", "已跳过 {}", plural(skipped_), skipped_));
    if (failed_ > 0) parts.push_back(i18npf("失败 {}", "失败 {}", plural(failed_), failed_));
    if (cancelled > 0) parts.push_back(i18npf("已取消 {}", "已取消 {}", plural(cancelled), cancelled));
    if (sourceBytes_ >= 1) parts.push_back(Format::totalSaved(savedBytes_, sourceBytes_));
    if (ignored > 0) parts.push_back(ignoredCount(ignored));
    print(fmt::format("{}", fmt::join(parts, " · ")));
}

std::string Reporter::textLine(const std::string& source, const CompressionOptions& options,
                               const CompressionResult& result, ScoreText score) {
    const char* mark = result.isSuccess() ? "✓" : result.skipped() ? "–" : "✗";
    // Failure texts may carry an encoder's standard error: an excerpt, on one line.
    std::string line = fmt::format("{} {}  {}", mark, fileName(source), terminalText(Format::statusLine(result)));
    for (const auto& tag : Format::tags(result, options)) line += "  [" + tag.text + "]";
    if (result.isSuccess()) line += "  " + Format::change(result).text;
    if (result.isSuccess() && result.perceptual && score == ScoreText::shown) {
        line += "  " + Format::perceptual(*result.perceptual);
    }
    if (result.isSuccess() && result.output) line += "  → " + terminalText(result.output->string(), 4096);
    if (const auto* failed = result.failed(); failed && !failed->detail.empty()) {
        line += "\n    " + terminalText(failed->detail);
    }
    for (const auto& warning : result.warnings) line += "\n    ! " + terminalText(warning);
    return line;
}

std::string Reporter::jsonLine(const std::string& source, const CompressionResult& r,
                               const std::vector<CompressionEvent>& attempts) {
    json::Json j = json::Json::object();
    j["source"] = source;
    if (r.isSuccess()) {
        j["status"] = "success";
    } else if (const auto* skipped = r.skipped()) {
        j["status"] = "skipped";
        j["skipReason"] = skipped->reason.rawValue();
    } else {
        j["status"] = "failed";
        j["message"] = r.failed()->message;
        j["detail"] = r.failed()->detail;
    }
    if (r.format) j["format"] = r.format->rawValue();
    if (r.output) j["output"] = r.output->string();
    j["sourceBytes"] = r.sourceBytes;
    j["outputBytes"] = r.outputBytes;
    if (r.quality) j["quality"] = *r.quality;
    j["pixelSize"] = r.pixelSize;
    j["sourcePixelSize"] = r.sourcePixelSize;
    if (r.maxSizeMet) j["maxSizeMet"] = *r.maxSizeMet;
    if (r.stopReason) j["stopReason"] = rawValue(*r.stopReason);
    j["encodeCount"] = r.encodeCount;
    j["warnings"] = r.warnings;
    if (r.videoCodec) j["videoCodec"] = r.videoCodec->rawValue();
    if (r.duration) j["duration"] = *r.duration;
    if (r.pageCount) j["pageCount"] = *r.pageCount;
    if (r.pdfResolution) j["pdfResolution"] = *r.pdfResolution;
    if (r.perceptual) {
        const auto rounded = [](double value) { return std::round(value * 1000) / 1000; };
        j["perceptual"] = {{"butteraugli", rounded(r.perceptual->butteraugli)},
                           {"pnorm3", rounded(r.perceptual->pnorm3)}};
    }
    json::Json list = json::Json::array();
    for (const auto& event : attempts) list.push_back(attemptJson(event));
    j["attempts"] = std::move(list);
    return oneLine(j);
}

std::string Reporter::liveLine(int finished, int total, std::optional<double> secondsLeft,
                               const std::vector<std::string>& jobs, std::size_t width) {
    std::string line = RunProgress::text(finished, total, secondsLeft);
    if (!jobs.empty()) line += fmt::format(" · {}", fmt::join(jobs, " | "));
    return fitToWidth(line, width);
}

void Reporter::clearLive() {
    if (!live_ || !liveShown_) return;
    std::fputs("\r\x1b[2K", live_);
    std::fflush(live_);
    liveShown_ = false;
}

void Reporter::drawLive() {
    if (!live_ || running_.empty()) {
        clearLive();
        return;
    }
    std::vector<std::string> jobs;
    for (const auto& [id, job] : running_) {
        jobs.push_back(job.name + " " + Format::runningStatus(job.attempt, job.quality, job.progress));
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::optional<double> secondsLeft = RunProgress::secondsLeft(elapsed, finished_, expected_);
    // One column short of the width, so that the cursor never wraps onto a row of its own.
    const std::size_t width = terminalWidth(live_);
    const std::string line = liveLine(finished_, expected_, secondsLeft, jobs, width > 1 ? width - 1 : 1);
    std::fputs(("\r\x1b[2K" + line).c_str(), live_);
    std::fflush(live_);
    liveShown_ = true;
}

}  // namespace dorvex::cli
