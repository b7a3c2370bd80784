#include "image/ImagePipeline.h"

#include <fmt/format.h>

#include "image/EncodeSession.h"
#include "dorvex/image/FailureText.h"
#include "dorvex/model/FormatProfile.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/model/QualityModel.h"
#include "dorvex/image/SizeTargetSearch.h"
#include "image/SourceImage.h"
#include "image/OutputCheck.h"
#include "image/SearchAhead.h"
#include "image/PerceptualScoring.h"
#include "model/ResultMaking.h"
#include "image/encoders/ToolRunner.h"
#include "dorvex/text/Translation.h"

namespace dorvex::ImagePipeline {

namespace {

using ResultMaking::cancelled;
using ResultMaking::finished;

void send(const EventHandler& onEvent, CompressionEvent event) {
    if (onEvent) onEvent(event);
}

// The steps that may throw; run() turns what they throw into a failed result.
CompressionResult pipeline(const std::filesystem::path& sourcePath, const CompressionOptions& options,
                           const Toolchain& toolchain, const EventHandler& onEvent, const CancelQuery& isCancelled,
                           const OutputPlanner::Handoff& handoff, CompressionResult& result) {
    const int q0 = options.quality();  // throws InvalidLevelError for a level without a quality
    OutputPlanner::validateNaming(options.filenamePrefix, options.saveLocation);

    SourceImage source(sourcePath, isCancelled, options.metadata);
    const std::optional<FileType> sourceType = source.fileType();
    const OutputFormat format = options.format.value_or(OutputFormat::original(sourceType));
    result.format = format;
    result.sourceBytes = source.byteCount;
    result.sourcePixelSize = source.pixelSize;
    result.pixelSize = source.pixelSize;

    send(onEvent, CompressionEvent{CompressionEvent::Started{source.pixelSize}});
    if (isCancelled()) return cancelled(result);

    // Lossless JPEG XL keeps exact pixels, so it only makes sense from a source that has them.
    const bool lossless = options.usesLosslessJXL();
    if (lossless) {
        if (!source.conforms(FileType::jpeg) && !source.isLosslessSource()) {
            return finished(result, CompressionResult::Skipped{SkipReason::lossySource});
        }
        if (source.conforms(FileType::tiff) && source.imageCount >= 2) {
            return finished(result, CompressionResult::Skipped{SkipReason::multiPage});
        }
    }

    const FormatProfile profile = FormatProfile::of(format, lossless);
    EncodeSession session(source, format, encoderFor(toolchain, format, options), isCancelled);
    const bool searches = profile.budget && options.maxBytes;
    if (!searches) session.keepSourcePixels(false);  // one attempt: its encoder runs without them

    // The perceptual score's side of the source: small, and made while the pixels are there.
    const auto scoreReference = options.perceptualScore ? PerceptualScoring::reference(source) : std::nullopt;
    const std::optional<std::int64_t> b0 = session.encode(0, q0, std::nullopt);
    if (!b0) {
        const std::optional<EncodeFailure>& refusal = session.lastFailure();
        // The quantizer cannot keep the level's lowest quality in 256 colours: nothing is wrong
        // with the file, and the source is kept as it is.
        if (refusal && std::holds_alternative<EncodeFailure::QualityTooLow>(refusal->value)) {
            return finished(result, CompressionResult::Skipped{SkipReason::tooManyColors});
        }
        return finished(result, refusal ? FailureText::refused(*refusal, sourcePath)
                                        : FailureText::compressing(sourcePath, i18n("编码失败")));
    }
    send(onEvent, CompressionEvent{CompressionEvent::Attempt{0, q0, std::nullopt, *b0}});
    result.encodeCount = 1;

    int keptIndex = 0;
    std::int64_t keptBytes = *b0;
    std::optional<std::int64_t> searchedLimit;
    const bool sameFormat = sourceType && sourceType->conforms(format.fileType());
    if (profile.budget) {
        result.quality = q0;
        if (searches) {
            searchedLimit = options.maxBytes;
            SizeTargetSearch search{profile.ceiling(q0), profile.floorQuality, *options.maxBytes, q0, *b0,
                                    source.pixelSize, !options.keepDimensions, *profile.budget};
            // An output this large would be no saving: the search need not look further then.
            if (OutputPlanner::isNoSavings(result.sourceBytes, result.sourceBytes, sameFormat, searchedLimit)) {
                search.noSavingsBytes = result.sourceBytes;
            }
            const auto encode = [&](int index, int quality, std::optional<PixelSize> size) {
                std::optional<std::int64_t> bytes;
                try {
                    bytes = session.encode(index, quality, size);
                } catch (const ToolCancelled&) {
                    throw;  // the job ends as cancelled, without reporting the attempt
                } catch (const std::exception&) {
                    bytes = std::nullopt;  // a thrown encode counts as a failed one
                }
                send(onEvent, CompressionEvent{CompressionEvent::Attempt{index, quality, size, bytes}});
                return bytes;
            };
            const SizeTargetSearch::Outcome outcome = SearchAhead::run(search, session, encode, isCancelled);
            if (outcome.stopReason == SizeTargetSearch::StopReason::cancelled) {
                return cancelled(result);
            }
            result.maxSizeMet = outcome.maxSizeMet;
            result.stopReason = outcome.stopReason;
            result.encodeCount = outcome.encodeCount + 1;
            keptIndex = outcome.chosen.index;
            keptBytes = outcome.chosen.bytes;
            result.quality = outcome.chosen.quality;
            result.pixelSize = outcome.chosen.pixelSize.value_or(source.pixelSize);
            if (outcome.stopReason == SizeTargetSearch::StopReason::encodeFailed && session.lastFailure()) {
                result.warnings.push_back(FailureText::refused(*session.lastFailure(), sourcePath).message);
            }
        }
    }
    result.outputBytes = keptBytes;
    // Every attempt is made: the pixels go before the output check decodes the kept one.
    source.releasePixels();

    if (OutputPlanner::isNoSavings(result.sourceBytes, keptBytes, sameFormat, searchedLimit)) {
        return finished(result, CompressionResult::Skipped{SkipReason::noSavings});
    }

    const std::optional<std::filesystem::path> produced = session.output(keptIndex);
    if (!produced) {
        return finished(result, FailureText::compressing(sourcePath, i18nf("找不到第 {} 次尝试的输出", keptIndex)));
    }
    // An encoder's word is not enough: what it wrote must be a picture of the size asked for.
    if (const auto problem = OutputCheck::problem(*produced, result.pixelSize)) {
        const EncodeFailure unusable{EncodeFailure::UnusableOutput{encoderName(session.encoder()), *problem}};
        return finished(result, FailureText::refused(unusable, sourcePath));
    }
    // How different the output looks: advice only, so a picture that cannot be scored has none.
    const std::optional<PerceptualScore> perceptual =
        scoreReference ? PerceptualScoring::score(*scoreReference, *produced, isCancelled) : std::nullopt;
    if (isCancelled()) return cancelled(result);

    handoff(*produced, result);
    result.perceptual = perceptual;  // only once the output stands where it goes
    return finished(result, CompressionResult::Success{});
}

}  // namespace

CompressionResult produce(const std::filesystem::path& source, const CompressionOptions& options,
                          const Toolchain& toolchain, const EventHandler& onEvent, const CancelQuery& isCancelled,
                          const OutputPlanner::Handoff& handoff) {
    CompressionResult result;  // failed with an empty text until a path decides
    const CancelQuery cancelled = isCancelled ? isCancelled : CancelQuery([] { return false; });
    try {
        return pipeline(source, options, toolchain, onEvent, cancelled, handoff, result);
    } catch (...) {
        return finished(result, FailureText::current(source));
    }
}

CompressionResult run(const std::filesystem::path& source, const CompressionOptions& options,
                      const Toolchain& toolchain, const EventHandler& onEvent, const CancelQuery& isCancelled) {
    const auto sourceAsRead = OutputPlanner::SourceIdentity::of(source);
    return produce(source, options, toolchain, onEvent, isCancelled,
                   OutputPlanner::placing(source, options.saveLocation, options.filenamePrefix, sourceAsRead));
}

}  // namespace dorvex::ImagePipeline
