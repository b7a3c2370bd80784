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
#include <span>
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

    // One encode the search asks for: a quality at a pixel size (none: the source size).
    struct Request {
        int quality = 0;
        std::optional<PixelSize> pixelSize;
        bool operator==(const Request&) const = default;
    };

    // An encode the search was answered: what it asked for and the bytes (none: it failed).
    struct Answer {
        Request request;
        std::optional<std::int64_t> bytes;
        bool operator==(const Answer&) const = default;
    };

    int ceilingQuality;
    int floorQuality;
    std::int64_t maxBytes;
    int initialQuality;
    std::int64_t initialBytes;
    std::optional<PixelSize> basePixelSize;  // none forbids downscaling
    bool allowDownscale;
    SearchBudget budget;
    // The output size at which the caller keeps its source instead (a same-format output that
    // saves nothing), or none. A fit of at least this size in the round the search ends in ends
    // the search at once: every attempt that could still replace it is a higher quality at the
    // same pixel size, which the search takes to be no smaller.
    std::optional<std::int64_t> noSavingsBytes = std::nullopt;

    // Runs the search synchronously, one encode at a time, indices 1, 2, 3 … Never throws for
    // its own reasons (an exception from `encode` or `isCancelled` passes through).
    Outcome run(const EncodeFunction& encode, const CancelQuery& isCancelled) const;

    // The encode the search asks for after being answered `answers` (in the order it asked), or
    // none when it ends there instead. The search is replayed: the same answers give the same
    // requests, as long as nothing is cancelled.
    std::optional<Request> nextRequest(std::span<const std::optional<std::int64_t>> answers) const;

    // The encodes the search is likely to ask for once the one in flight is answered, the most
    // likely first: its size is estimated on the log-linear curve through the answers at the same
    // pixel size (with `slope`, in log bytes per quality step, where only one is known), and the
    // search is replayed over sizes spread around that estimate. The likeliest request after a
    // fit and the likeliest after a miss come first, the likelier side first. Empty when nothing
    // at that pixel size is known yet.
    std::vector<Request> likelyNext(std::span<const Answer> answered, const Request& inFlight,
                                    double slope = 0.03) const;

    // The quality predicted to give `target` log bytes after shifting every sample's log size by
    // `shift`: piecewise-linear between neighbouring samples, within floor…ceiling.
    static int reproject(std::vector<std::pair<int, double>> samples, double shift, double target,
                         int floor, int ceiling);
};

}  // namespace dorvex
