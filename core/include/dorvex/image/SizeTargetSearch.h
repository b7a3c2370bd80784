#pragma once
// SizeTargetSearch: for one image and one byte limit, finds the highest encoder quality whose
// output fits, with as few encodes as possible, and falls back to smaller pixel sizes when no
// quality fits at full size. It knows nothing of files or encoders: it is handed an encode
// function and a cancellation query, and it answers which attempt to keep and why it stopped.
//
// Sizes are searched on the natural logarithm of the byte count (encoded size grows roughly
// exponentially with quality): a descending probe by slope estimate, then Illinois regula falsi
// between a fitting and a too-large quality, bisection when the slope is flat or progress stalls,
// and, when a whole round finds nothing that fits, a smaller size predicted from the round's
// smallest output, searched upward first.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "dorvex/model/FormatProfile.h"
#include "dorvex/model/PixelSize.h"
#include "dorvex/model/SearchStopReason.h"

namespace dorvex {

struct SizeTargetSearch {
    using StopReason = SearchStopReason;

    struct Attempt {
        int index = 0;                       // the encode number handed to the encode function
        int quality = 0;
        std::optional<PixelSize> pixelSize;  // none: the source size
        std::int64_t bytes = 0;
        int round = 0;                       // 0: source size; 1, 2, …: successive downscales
        bool operator==(const Attempt&) const = default;
    };

    struct Outcome {
        Attempt chosen;
        std::vector<Attempt> attempts;  // every successful encode of the search, in order
        int encodeCount = 0;            // encodes made by the search, failed ones included
        StopReason stopReason = StopReason::alreadyMet;
        bool maxSizeMet = false;
        bool operator==(const Outcome&) const = default;
    };

    // (attempt index, quality, pixel size or none for the source size) → bytes, or none on failure.
    using EncodeFunction =
        std::function<std::optional<std::int64_t>(int index, int quality, std::optional<PixelSize> pixelSize)>;
    using CancelQuery = std::function<bool()>;

    int ceilingQuality;
    int floorQuality;
    std::int64_t maxBytes;
    int initialQuality;
    std::int64_t initialBytes;
    std::optional<PixelSize> basePixelSize;  // none forbids downscaling
    bool allowDownscale;
    SearchBudget budget;

    // Runs the search synchronously, one encode at a time, indices 1, 2, 3 … Never throws for
    // its own reasons (an exception from `encode` or `isCancelled` passes through).
    Outcome run(const EncodeFunction& encode, const CancelQuery& isCancelled) const;

    // The quality predicted to give `target` log bytes after shifting every sample's log size by
    // `shift`: piecewise-linear between neighbouring samples, within floor…ceiling.
    static int reproject(std::vector<std::pair<int, double>> samples, double shift, double target,
                         int floor, int ceiling);
};

}  // namespace dorvex
