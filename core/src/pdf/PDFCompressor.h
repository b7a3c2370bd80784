#pragma once
// PDFCompressor: makes a PDF smaller with one pass of the image filter, puts the source's own
// version back for every page whose images got heavier (outline items and links keep leading to
// the pages they led to), and hands the result to the output planner unless it saves nothing.
// Documents with a password are skipped. One call is one synchronous job that never throws and
// sends no events; everything it makes lives in its own "dorvex-pdf-<UUID>" folder in the
// temporary folder, which is gone when the call returns.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "dorvex/model/Cancellation.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/output/OutputPlanner.h"
#include "pdf/PDFProfile.h"

class QPDF;

namespace dorvex::PDFCompressor {

using CancelQuery = std::function<bool()>;

using dorvex::cancelledText;
inline constexpr std::string_view workFolderPrefix = "dorvex-pdf-";
inline constexpr std::string_view filteredFileName = "filtered.pdf";
inline constexpr std::string_view mergedFileName = "merged.pdf";

// Rewrites `source` into `filtered` with the settings; false when it stopped because `isCancelled`
// said so; throws when it fails. The compressor's own pass is PDFImageFilter::apply.
using FilterPass = std::function<bool(const std::filesystem::path& source, const std::filesystem::path& filtered,
                                      const PDFProfile::FilterSettings& settings, const CancelQuery& isCancelled)>;

// Compresses one PDF with the job's level, save location and file-name prefix. The result has
// format pdf, the source's size and page count, the JPEG quality and resolution used, one encode
// once the filtered file exists, and the size of the file that was (or would have been) written.
// Fails with the naming error, SourceFile's texts for a source that cannot be opened ("没有读取权限",
// "文件已不存在") or is no readable PDF ("文件已损坏或格式不受支持（<qpdf's words>）"),
// "cannot write <file>" when the filtered or merged file cannot be made, "压缩后的 PDF 无法读回，已保留原文件
// （<qpdf's words or the pages found>）" when the output does not open again without repair as all
// the source's pages, not even once written again without object streams, the planner's text when
// the output cannot be placed, and "已取消" when `isCancelled` answers true before filtering, during
// or after it, or before the output is written. Skips documents with a password (encrypted) and
// outputs that are not smaller than a non-empty source (noSavings).
CompressionResult compress(const std::filesystem::path& source, const CompressionOptions& options,
                           const std::function<bool()>& isCancelled);

// The same with another filter pass (tests, benchmarks).
CompressionResult compress(const std::filesystem::path& source, const CompressionOptions& options,
                           const std::function<bool()>& isCancelled, const FilterPass& filter);

// compress() up to the output, which goes to `handoff` instead of being placed (see
// ImagePipeline::produce).
CompressionResult produce(const std::filesystem::path& source, const CompressionOptions& options,
                          const std::function<bool()>& isCancelled, const OutputPlanner::Handoff& handoff);
CompressionResult produce(const std::filesystem::path& source, const CompressionOptions& options,
                          const std::function<bool()>& isCancelled, const FilterPass& filter,
                          const OutputPlanner::Handoff& handoff);

// Puts the pages of `source` at `pageIndices` (0-based) in place of the same pages of `target`.
// Every reference in `target` to a replaced page — outline items, named destinations, link
// annotations, the open action, the structure tree — leads to the page that took its place, and
// the explicit link destinations of the restored pages lead to the target's pages with the index
// they had in the source. Widgets of form fields stay the target's own. False, with `target`
// possibly half changed, when the page counts differ, an index names no page, or qpdf fails.
bool restore(const std::vector<int>& pageIndices, QPDF& source, QPDF& target);

// The size of a file in bytes; 0 when it cannot be read.
std::int64_t fileSize(const std::filesystem::path& file);

}  // namespace dorvex::PDFCompressor
