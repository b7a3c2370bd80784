#include "Reporter.h"

#include <cerrno>
#include <filesystem>

#include <fmt/format.h>

#include "dorvex/text/Format.h"
#include "dorvex/model/JsonCoding.h"
#include "dorvex/image/SizeTargetSearch.h"
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
    }
    return j;
}

}  // namespace

Reporter::Reporter(Mode mode, std::FILE* out, bool liveProgress) : mode_(mode), out_(out), live_(liveProgress) {}

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
        savedBytes_ += result.sourceBytes - result.outputBytes;
        sourceBytes_ += result.sourceBytes;
    }
    clearLive();
    const std::string line =
        mode_ == Mode::json ? jsonLine(source, result, attempts) : textLine(source, options, result);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    drawLive();
    flushAndWatch();
}

bool Reporter::outputLost() const { return outputLost_.load(); }

void Reporter::flushAndWatch() {
    if (std::fflush(out_) != 0 && errno == EPIPE) outputLost_.store(true);
}

void Reporter::tick() {
    std::lock_guard guard(lock_);
    drawLive();
}

void Reporter::summary(int count, int ignored) {
    std::lock_guard guard(lock_);
    clearLive();
    if (mode_ == Mode::json) return;
    std::vector<std::string> parts{fmt::format("{} 张", count), fmt::format("已完成 {}", finished_)};
    if (sourceBytes_ >= 1) parts.push_back(Format::totalSaved(savedBytes_, sourceBytes_));
    if (ignored > 0) parts.push_back(fmt::format("已忽略 {} 个不支持的文件", ignored));
    std::fputs(fmt::format("{}\n", fmt::join(parts, " · ")).c_str(), out_);
    flushAndWatch();
}

std::string Reporter::textLine(const std::string& source, const CompressionOptions& options,
                               const CompressionResult& result) {
    const char* mark = result.isSuccess() ? "✓" : result.skipped() ? "–" : "✗";
    // Failure texts may carry an encoder's standard error: an excerpt, on one line.
    std::string line = fmt::format("{} {}  {}", mark, fileName(source), terminalText(Format::statusLine(result)));
    for (const auto& tag : Format::tags(result, options)) line += "  [" + tag.text + "]";
    if (result.isSuccess()) line += "  " + Format::change(result).text;
    if (result.isSuccess() && result.output) line += "  → " + terminalText(result.output->string(), 4096);
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
    json::Json list = json::Json::array();
    for (const auto& event : attempts) list.push_back(attemptJson(event));
    j["attempts"] = std::move(list);
    // Invalid UTF-8 in a file name is replaced rather than refused.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void Reporter::clearLive() {
    if (!live_ || !liveShown_) return;
    std::fputs("\r\x1b[2K", out_);
    liveShown_ = false;
}

void Reporter::drawLive() {
    if (!live_ || mode_ == Mode::json) return;
    clearLive();
    if (running_.empty()) return;
    std::vector<std::string> parts;
    for (const auto& [id, job] : running_) {
        parts.push_back(job.name + " " + Format::runningStatus(job.attempt, job.quality, job.progress));
    }
    std::string line = fmt::format("{}", fmt::join(parts, " | "));
    if (line.size() > 160) {
        std::size_t cut = 157;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;  // whole characters
        line = line.substr(0, cut) + "...";
    }
    std::fputs(line.c_str(), out_);
    liveShown_ = true;
    flushAndWatch();
}

}  // namespace dorvex::cli
