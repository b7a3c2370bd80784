#pragma once
// PerceptualScoring: butteraugli (libjxl) between a job's source picture and the output it wrote.
// Both sides are 8-bit pixel values taken as they are stored, with no colour conversion: the
// source picture as decoded for the encoders, the output as its file holds it. Both are made
// opaque over white and, when the output has more than maxScoredPixels, reduced alike to that
// many with the same resampling, so that a large photo costs a bounded time and memory.
// The score is advice: nothing here throws, and what cannot be scored has no score.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "dorvex/model/Cancellation.h"
#include "dorvex/model/PerceptualScore.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex {
class SourceImage;
}

namespace dorvex::PerceptualScoring {

// The most pixels compared, about 610 × 410 for a 3:2 photo: butteraugli takes some 230 bytes
// and 0.6 µs of one processor a pixel, several times what encoding a JPEG does, so a larger
// picture is compared as a viewer sees it at this size (some 60 MB and 0.15 s).
inline constexpr std::int64_t maxScoredPixels = 250'000;

// The size a picture of `size` is compared at: itself within maxScoredPixels, otherwise reduced,
// keeping its proportions, to at most that many pixels (at least one a side).
PixelSize scoredSize(PixelSize size);

// The source's side of the comparison: its picture opaque, as RGB, at scoredSize(its size).
struct Reference {
    PixelSize size;
    std::vector<std::uint8_t> rgb;  // size.width × size.height × 3 bytes, rows top to bottom

    bool operator==(const Reference&) const = default;
};

// Made from the source's decoded picture, so before the first encode, which may let go of it
// (a few MB at most). Nothing when the picture is gone, has a side under 8 pixels (butteraugli's
// smallest) or libvips fails.
std::optional<Reference> reference(SourceImage& source);

// Decodes `output` and scores it against `reference`, which is first reduced to the output's
// scored size when a byte limit made the output smaller than its source. Nothing when the output
// does not decode, is larger than the source or under 8 pixels a side, when `isCancelled`
// answers true before the comparison, or when butteraugli fails.
std::optional<PerceptualScore> score(const Reference& reference, const std::filesystem::path& output,
                                     const CancelQuery& isCancelled = nullptr);

}  // namespace dorvex::PerceptualScoring
