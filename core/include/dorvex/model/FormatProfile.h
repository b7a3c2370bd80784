#pragma once
// FormatProfile and SearchBudget: per output format, the quality window that the byte-limit
// search may use, how much effort it may spend — or that the format has no quality at all and
// ignores byte limits — and where its encoder's own quality scale meets the level scale. These
// numbers are the engine's tuning; the search itself lives in SizeTargetSearch.

#include <optional>

#include "dorvex/model/OutputFormat.h"

namespace dorvex {

struct SearchBudget {
    int maxEncodes;               // encodes of the whole search (the caller's first one not counted)
    int maxExtraEncodesPerRound;  // encodes within one pixel size
    int maxDownscaleRounds;       // rounds at reduced sizes after the full-size round
    double acceptRatio;           // a fit at or above this fraction of the limit ends the search
    double minimumSide = 16;      // downscaling never makes the shorter side smaller than this

    bool operator==(const SearchBudget&) const = default;

    static const SearchBudget standard;  // 16 / 6 / 3 / 0.97
    static const SearchBudget slow;      // 8 / 4 / 2 / 0.9: for encoders whose one encode is expensive
};

struct FormatProfile {
    int floorQuality;
    int maxQuality;
    std::optional<SearchBudget> budget;  // none: no quality to search; byte limits are ignored

    bool operator==(const FormatProfile&) const = default;

    // The lossless flag only matters for jxl.
    static FormatProfile of(OutputFormat format, bool jxlLossless);

    // The search never raises quality above what the level asked for, nor above maxQuality.
    int ceiling(int quality) const { return quality < maxQuality ? quality : maxQuality; }

    // The quality to hand the format's encoder for a nominal quality (the level scale's, which
    // the search and the results speak): chosen so that one level looks about the same in every
    // lossy format, with JPEG as the reference (bench/quality-calibration). Piecewise linear
    // through measured points, rounded; nominal qualities outside 0…100 count as the nearest end.
    // Formats without such points (JPEG, PNG, the ones without a quality) take it unchanged.
    static int encoderQuality(OutputFormat format, int nominal);
};

}  // namespace dorvex
