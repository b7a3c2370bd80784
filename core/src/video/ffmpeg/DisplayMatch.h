#pragma once
// DisplayMatch: how a source's colours reach the output. SDR is always delivered as BT.709
// (primaries, transfer, matrix, limited range), converted where the source says or implies
// anything else; HDR kept on HEVC stays BT.2020 with its HLG or PQ transfer in 10 bits; HDR going
// to an SDR output is tone-mapped to BT.709. The plan names the output's colour tags, its pixel
// format and the filter chain (libavfilter syntax) from decoded pictures to encoder input.

#include <string>

#include "dorvex/model/PixelSize.h"

namespace dorvex::DisplayMatch {

// Colour description in FFmpeg's names ("bt709", "smpte170m", "bt2020nc", "arib-std-b67", …);
// an empty name means the source does not say.
struct Colours {
    std::string primaries;
    std::string transfer;
    std::string matrix;
    bool fullRange = false;
    bool rgb = false;  // pictures stored as RGB rather than YCbCr
    bool operator==(const Colours&) const = default;
};

enum class Conversion {
    none,            // only size and pixel format change
    toBT709,         // SDR of another description converted to BT.709
    toneMapToBT709,  // HDR delivered as SDR BT.709
    toBT2020,        // HDR kept, primaries or matrix brought to BT.2020
};

struct Plan {
    Conversion conversion = Conversion::none;
    Colours output;           // the tags the output carries
    std::string pixelFormat;  // "yuv420p" or "yuv420p10le"
    std::string filter;       // from decoded pictures of the source to encoder input
    bool operator==(const Plan&) const = default;
};

// What a player assumes where the source is silent: BT.709 primaries and transfer, the BT.709
// matrix for HD pictures (wider than 1024 or taller than 576) and the BT.601 one below that.
Colours assumed(const Colours& source, PixelSize picture);

// The plan for pictures of `picture` size described by `source`, encoded at `output` size.
// `sourceIsHDR`: the source's transfer is HLG or PQ; `keepHDR`: it stays HDR (HEVC output).
Plan plan(const Colours& source, PixelSize picture, PixelSize output, bool sourceIsHDR, bool keepHDR);

}  // namespace dorvex::DisplayMatch
