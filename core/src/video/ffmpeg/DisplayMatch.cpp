#include "video/ffmpeg/DisplayMatch.h"

#include <fmt/format.h>

#include "video/ffmpeg/FFmpegSupport.h"
#include "video/VideoSource.h"

namespace dorvex::DisplayMatch {

namespace {

// zscale takes the colour codes (ITU-T H.273 numbers, the same as FFmpeg's enumerations), which
// also reach descriptions that it has no name for. -1 for a name FFmpeg does not know.
int primariesCode(const std::string& name) { return av_color_primaries_from_name(name.c_str()); }
int transferCode(const std::string& name) { return av_color_transfer_from_name(name.c_str()); }
int matrixCode(const std::string& name) { return av_color_space_from_name(name.c_str()); }

// Transfer names whose curve is BT.709's.
bool isBT709Curve(const std::string& transfer) {
    return transfer == "bt709" || transfer == "smpte170m" || transfer == "bt2020-10" || transfer == "bt2020-12";
}

std::string inputOptions(const Colours& c) {
    return fmt::format("pin={}:tin={}:min={}:rin={}", primariesCode(c.primaries), transferCode(c.transfer),
                       c.rgb ? 0 : matrixCode(c.matrix), c.fullRange ? "full" : "limited");
}

std::string resize(PixelSize output) { return fmt::format("w={}:h={}", output.width, output.height); }

// zscale takes 4:2:0 and 4:2:2 pictures with even sides only; a source with an odd side loses its
// last row or column first.
constexpr const char* evenSides = "crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0,";

}  // namespace

Colours assumed(const Colours& source, PixelSize picture) {
    Colours c = source;
    if (c.primaries.empty()) c.primaries = "bt709";
    if (c.transfer.empty()) c.transfer = "bt709";
    if (c.rgb) {
        c.matrix = "gbr";
    } else if (c.matrix.empty()) {
        c.matrix = (picture.width > 1024 || picture.height > 576) ? "bt709" : "smpte170m";
    }
    return c;
}

Plan plan(const Colours& source, PixelSize picture, PixelSize output, bool sourceIsHDR, bool keepHDR) {
    const Colours in = assumed(source, picture);
    Plan p;
    if (keepHDR) {
        p.pixelFormat = "yuv420p10le";
        p.output = Colours{"bt2020", in.transfer == transferPQ ? transferPQ : transferHLG, "bt2020nc", false, false};
        const bool bt2020 = in.primaries == "bt2020" && (source.matrix.empty() || in.matrix == "bt2020nc");
        if (bt2020 && !in.rgb && !in.fullRange) {
            p.filter = fmt::format("scale={}:flags=bicubic,format={}", resize(output), p.pixelFormat);
        } else {
            p.conversion = Conversion::toBT2020;
            p.filter = fmt::format("{}zscale={}:filter=bicubic:{}:p=2020:t={}:m=2020_ncl:r=limited,format={}", evenSides, resize(output),
                                   inputOptions(in), transferCode(p.output.transfer), p.pixelFormat);
        }
        return p;
    }

    p.pixelFormat = "yuv420p";
    p.output = Colours{"bt709", "bt709", "bt709", false, false};
    if (sourceIsHDR) {
        // Linear light at a 100 cd/m² reference white, gamut to BT.709, Möbius's curve (linear up
        // to the usual picture levels, highlights rolled off; Hable's curve darkened whole
        // pictures by a third), then the BT.709 transfer and matrix.
        p.conversion = Conversion::toneMapToBT709;
        p.filter = fmt::format(
            "{}zscale={}:filter=bicubic:{}:t=linear:npl=100,format=gbrpf32le,zscale=p=709,"
            "tonemap=tonemap=mobius:desat=0,zscale=t=709:m=709:r=limited,format={}",
            evenSides, resize(output), inputOptions(in), p.pixelFormat);
        return p;
    }
    const bool bt709 = in.primaries == "bt709" && isBT709Curve(in.transfer) && in.matrix == "bt709" && !in.rgb &&
                       !in.fullRange;
    if (bt709) {
        p.filter = fmt::format("scale={}:flags=bicubic,format={}", resize(output), p.pixelFormat);
    } else {
        p.conversion = Conversion::toBT709;
        p.filter = fmt::format("{}zscale={}:filter=bicubic:{}:p=709:t=709:m=709:r=limited,format={}", evenSides, resize(output),
                               inputOptions(in), p.pixelFormat);
    }
    return p;
}

}  // namespace dorvex::DisplayMatch
