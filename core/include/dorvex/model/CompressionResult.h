#pragma once
// CompressionResult: the outcome of one file — written, skipped by a rule, or failed with the
// text the user sees — with sizes, quality, pixel sizes, the byte-limit verdict and warnings.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/PerceptualScore.h"
#include "dorvex/model/PixelSize.h"
#include "dorvex/model/SearchStopReason.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

struct SkipReason {
    enum Value : std::uint8_t { noSavings, lossySource, multiPage, encrypted, tooManyColors };

    constexpr SkipReason(Value v) : value(v) {}  // NOLINT(google-explicit-constructor)
    constexpr operator Value() const { return value; }  // NOLINT(google-explicit-constructor)

    static std::span<const SkipReason> allCases();
    static std::optional<SkipReason> fromRawValue(std::string_view raw);
    // "no_savings", "lossy_source", "multi_page", "encrypted", "too_many_colors"
    std::string_view rawValue() const;
    std::string_view text() const;      // what a result row shows for it

    Value value;
};

// The text of a job that ran out of memory (its process's bound, or the machine's).
// As written; the result carries it in the user's language.
inline constexpr std::string_view outOfMemoryText = i18nMark("内存不足，已跳过此文件");

struct CompressionResult {
    struct Success {
        bool operator==(const Success&) const = default;
    };
    struct Skipped {
        SkipReason reason;
        bool operator==(const Skipped&) const = default;
    };
    struct Failed {
        std::string message;  // user-facing: the file's name, the cause and what to do
        // The words of the tool or library that failed (exit status, standard error, paths),
        // shown apart from the message; may be empty.
        std::string detail = {};
        bool operator==(const Failed&) const = default;
    };
    using Status = std::variant<Success, Skipped, Failed>;

    Status status = Failed{};
    std::optional<OutputFormat> format;        // the format actually used
    std::optional<std::filesystem::path> output;  // none when nothing was written
    std::int64_t sourceBytes = 0;
    std::int64_t outputBytes = 0;  // for a no-savings skip: what the encode would have weighed
    std::optional<int> quality;    // none for formats without a quality
    PixelSize pixelSize;
    PixelSize sourcePixelSize;
    std::optional<bool> maxSizeMet;  // none when no limit search took place
    std::optional<SearchStopReason> stopReason;
    int encodeCount = 0;
    std::vector<std::string> warnings;  // in the order they arose
    std::optional<VideoCodec> videoCodec;  // videos only
    std::optional<double> duration;        // seconds; videos only
    std::optional<int> pageCount;          // PDFs only
    std::optional<int> pdfResolution;      // PDFs only
    // Written pictures only, unless scoring is turned off (CompressionOptions::perceptualScore).
    std::optional<PerceptualScore> perceptual;

    bool operator==(const CompressionResult&) const = default;

    // 1 − output ÷ source; 0 when the source size is 0 or less; negative when the output grew.
    double savedFraction() const;

    bool isSuccess() const { return std::holds_alternative<Success>(status); }
    const Skipped* skipped() const { return std::get_if<Skipped>(&status); }
    const Failed* failed() const { return std::get_if<Failed>(&status); }
};

}  // namespace dorvex
