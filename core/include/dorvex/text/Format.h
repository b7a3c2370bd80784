#pragma once
// Format: the texts that show results to the user — sizes, savings, durations, level names,
// limits and save locations, and the parts of a result's line (status, tags, the change in
// size). Pure functions over engine records, shared by the command line and the application.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"

namespace dorvex::Format {

// The texts are in the user's language once translation is on (text/Translation.h), numbers with
// the user's decimal mark; none of them is for machines to read.

// `value` with `digits` fraction digits and the user's decimal mark: "0.8", "1,50" (de_DE).
std::string decimal(double value, int digits);
// "999 B", "1.0 KB", "1000.0 KB", "1.50 MB", "2.00 GB" (decimal units; "-" for negatives).
std::string bytes(std::int64_t count);
// "节省 42%", "增大 10%"; "节省 0%" when not finite.
std::string savings(double savedFraction);
// "共节省 600 B（60%）", "共增大 …".
std::string totalSaved(std::int64_t savedBytes, std::int64_t sourceBytes);
// A number of files with its counter word: "3 张" when every one is a picture ("3 pictures"),
// "3 个文件" when a video or a PDF is among them ("1 file", "3 files").
std::string fileCount(std::int64_t count, bool allPictures);
// "1:23", "1:02:05".
std::string duration(double seconds);
std::string levelName(double level);
std::string levelHint(double level);
// "≤ 200.0 KB · 视频 ≤ 5.00 MB · 保持尺寸", "不限体积".
std::string maxSize(const CompressionOptions& options);
// "原目录 · -min", "out · web-…-min", "覆盖原图".
std::string saveLocation(const SaveLocation& location, const std::string& prefix);

// "4000×3000", or "4000×3000 → 2000×1500" when the output was downscaled.
std::string dimensions(const CompressionResult& result);
// The one-line status of a finished result: the skip reason's text, the failure message, or the
// sizes with the pixel size (image), codec, size and duration (video) or page count (PDF).
std::string statusLine(const CompressionResult& result);

enum class TagColor { green, orange, blue };
struct Tag {
    std::string text;
    TagColor color;
    bool operator==(const Tag&) const = default;
};
// For successful results: "≤1.00 MB ✓" / "未达标" against the job's own limit, then "缩图" when
// the output was downscaled.
std::vector<Tag> tags(const CompressionResult& result, const CompressionOptions& options);

// Whether the output has fewer pixels on a side than its source. A video's encoder needs even
// sides, so a video one pixel short on an odd side (640×465 written as 640×464) was not
// downscaled; an image's size is kept exactly unless it was.
bool downscaled(const CompressionResult& result);

// The tooltip of a listed file: its folder and its full path, then for a failure its message and
// its detail (a long detail cut at 600 bytes), else a finished job's output, the perceptual score
// of a written picture that has one, and the warnings. `result` is null until the job finished.
std::string toolTip(const std::filesystem::path& source, const CompressionResult* result);

// The change in size of a successful result, "%+.0f%%" ("-58%", "+10%", never "-0%"), and
// whether it is good news (not larger than the source).
struct Change {
    std::string text;
    bool grew;
    bool operator==(const Change&) const = default;
};
Change change(const CompressionResult& result);

// The status of a running job: "解码中…" before its first encode, "压缩中 · 第 3 次" during a
// search, "压缩中 45%" or "第 2 次 · 45%" while a video pass reports progress. `attempt` counts
// encodes from 1; `progress` is 0…1.
std::string runningStatus(int attempt, std::optional<int> quality, std::optional<double> progress);

// "感知差异 0.8 · 难以察觉": the max-norm to one decimal and its grade.
std::string perceptual(const PerceptualScore& score);

// Why a byte-limit search stopped, as the compare view's information bar says it.
std::string stopReason(SearchStopReason reason);

}  // namespace dorvex::Format
