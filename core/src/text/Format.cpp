#include "dorvex/text/Format.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "dorvex/model/Cancellation.h"
#include "dorvex/model/QualityModel.h"
#include "dorvex/text/Translation.h"

namespace dorvex::Format {

std::string decimal(double value, int digits) {
    std::string text = fmt::format("{:.{}f}", value, std::max(digits, 0));
    const std::string_view mark = Translation::decimalMark();
    if (mark != ".") {
        if (const std::size_t point = text.find('.'); point != std::string::npos) text.replace(point, 1, mark);
    }
    return text;
}

std::string bytes(std::int64_t count) {
    if (count > -1000 && count < 1000) return fmt::format("{} B", count);
    const std::string sign = count < 0 ? "-" : "";
    const double magnitude = std::fabs(double(count));
    if (magnitude < 1e6) return sign + decimal(magnitude / 1e3, 1) + " KB";
    if (magnitude < 1e9) return sign + decimal(magnitude / 1e6, 2) + " MB";
    return sign + decimal(magnitude / 1e9, 2) + " GB";
}

std::string savings(double savedFraction) {
    const long long r = std::isfinite(savedFraction) ? std::llround(savedFraction * 100) : 0;
    if (r < 0) return i18nf("增大 {}%", -r);
    return i18nf("节省 {}%", r);
}

std::string totalSaved(std::int64_t savedBytes, std::int64_t sourceBytes) {
    const long long p =
        sourceBytes >= 1 ? std::llround(std::fabs(double(savedBytes)) / double(sourceBytes) * 100) : 0;
    if (savedBytes < 0) return i18nf("共增大 {}（{}%）", bytes(-savedBytes), p);
    return i18nf("共节省 {}（{}%）", bytes(savedBytes), p);
}

std::string fileCount(std::int64_t count, bool allPictures) {
    const auto n = static_cast<unsigned long>(std::max<std::int64_t>(count, 0));
    if (allPictures) return i18npf("{} 张", "{} 张", n, count);
    return i18npf("{} 个文件", "{} 个文件", n, count);
}

std::string duration(double seconds) {
    const long long s = std::isfinite(seconds) ? std::llround(seconds) : 0;
    if (s < 3600) return fmt::format("{}:{:02}", s / 60, s % 60);
    return fmt::format("{}:{:02}:{:02}", s / 3600, (s / 60) % 60, s % 60);
}

std::string levelName(double level) { return std::string(QualityModel::name(level)); }
std::string levelHint(double level) { return std::string(QualityModel::hint(level)); }

std::string maxSize(const CompressionOptions& options) {
    std::vector<std::string> parts;
    if (options.maxBytes) parts.push_back("≤ " + bytes(*options.maxBytes));
    if (options.videoMaxBytes) parts.push_back(i18nf("视频 ≤ {}", bytes(*options.videoMaxBytes)));
    if (parts.empty()) return i18n("不限体积");
    if (options.keepDimensions) parts.push_back(i18n("保持尺寸"));
    std::string text = fmt::format("{}", fmt::join(parts, " · "));
    return text;
}

std::string saveLocation(const SaveLocation& location, const std::string& prefix) {
    const auto naming = [&](const std::string& suffix) {
        if (!prefix.empty()) return prefix + "…" + suffix;
        if (!suffix.empty()) return suffix;
        return std::string(i18n("无后缀"));
    };
    if (const auto* beside = std::get_if<SaveLocation::SourceFolder>(&location.value)) {
        return i18nf("原目录 · {}", naming(beside->suffix));
    }
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&location.value)) {
        return folder->folder.filename().string() + " · " + naming(folder->suffix);
    }
    return i18n("覆盖原图");
}

std::string dimensions(const CompressionResult& r) {
    if (r.pixelSize == r.sourcePixelSize) return r.pixelSize.description();
    return r.sourcePixelSize.description() + " → " + r.pixelSize.description();
}

std::string statusLine(const CompressionResult& r) {
    if (const auto* skipped = r.skipped()) return std::string(skipped->reason.text());
    if (const auto* failed = r.failed()) return failed->message;
    const std::string sizes = bytes(r.sourceBytes) + " → " + bytes(r.outputBytes);
    if (r.videoCodec) {
        return fmt::format("{} · {} · {} · {}", sizes, r.videoCodec->displayName(), dimensions(r),
                           duration(r.duration.value_or(0)));
    }
    if (r.pageCount) {
        return i18npf("{} · {} 页", "{} · {} 页", static_cast<unsigned long>(std::max(*r.pageCount, 0)), sizes,
                      *r.pageCount);
    }
    return sizes + " · " + dimensions(r);
}

std::vector<Tag> tags(const CompressionResult& r, const CompressionOptions& options) {
    std::vector<Tag> found;
    if (!r.isSuccess()) return found;
    const std::optional<std::int64_t> limit = r.videoCodec ? options.videoMaxBytes : options.maxBytes;
    if (r.maxSizeMet && limit) {
        if (*r.maxSizeMet) {
            found.push_back({"≤" + bytes(*limit) + " ✓", TagColor::green});
        } else {
            found.push_back({i18n("未达标"), TagColor::orange});
        }
    }
    if (downscaled(r)) found.push_back({i18n("缩图"), TagColor::blue});
    return found;
}

bool downscaled(const CompressionResult& r) {
    const int slack = r.videoCodec ? 1 : 0;  // a video's odd side, rounded down to even
    return r.pixelSize.width + slack < r.sourcePixelSize.width || r.pixelSize.height + slack < r.sourcePixelSize.height;
}

std::string toolTip(const std::filesystem::path& source, const CompressionResult* result) {
    std::string text = i18nf("文件夹：{}", source.parent_path().string()) + "\n" + i18nf("路径：{}", source.string());
    if (!result) return text;
    if (const auto* failed = result->failed()) {
        text += "\n\n" + failed->message;
        if (!failed->detail.empty()) {
            constexpr std::size_t longest = 600;
            std::string detail = failed->detail;
            if (detail.size() > longest) {
                std::size_t cut = longest;
                while (cut > 0 && (static_cast<unsigned char>(detail[cut]) & 0xC0) == 0x80) --cut;  // whole characters
                detail = detail.substr(0, cut) + "…";
            }
            text += "\n" + i18nf("详情：{}", detail);
        }
        return text;
    }
    if (result->output) text += "\n" + i18nf("输出：{}", result->output->string());
    if (result->isSuccess() && result->perceptual) text += "\n" + perceptual(*result->perceptual);
    if (!result->warnings.empty()) text += "\n";
    for (const std::string& warning : result->warnings) text += "\n" + warning;
    return text;
}

Change change(const CompressionResult& r) {
    long long v = 0;
    if (r.sourceBytes >= 1) v = std::llround((double(r.outputBytes) / double(r.sourceBytes) - 1) * 100);
    const bool grew = r.sourceBytes >= 1 && r.outputBytes > r.sourceBytes;
    return {v == 0 ? std::string("+0%") : fmt::format("{:+}%", v), grew};
}

std::string runningStatus(int attempt, std::optional<int> quality, std::optional<double> progress) {
    if (progress) {
        const int percent = int(*progress * 100);
        if (attempt > 1) return i18nf("第 {} 次 · {}%", attempt, percent);
        return i18nf("压缩中 {}%", percent);
    }
    if (attempt < 1 || !quality) return i18n("解码中…");
    if (attempt > 1) return i18nf("压缩中 · 第 {} 次", attempt);
    return i18n("压缩中");
}

std::string stopReason(SearchStopReason reason) {
    using R = SearchStopReason;
    switch (reason) {
        case R::alreadyMet: return i18n("无需搜索");
        case R::converged: return i18n("找到合适质量");
        case R::roundBudgetExhausted:
        case R::encodeBudgetExhausted: return i18n("已尽力，仍超限");
        case R::unreachable: return i18n("压到最小仍超限");
        case R::cancelled: return cancelledMessage();
        case R::encodeFailed: return i18n("编码失败");
    }
    return {};
}

std::string perceptual(const PerceptualScore& score) {
    return i18nf("感知差异 {} · {}", decimal(score.butteraugli, 1), gradeText(score.grade()));
}

}  // namespace dorvex::Format
