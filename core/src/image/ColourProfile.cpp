#include "image/ColourProfile.h"

#include <lcms2.h>
#include <png.h>

#include <array>
#include <cmath>
#include <csetjmp>
#include <memory>
#include <string>
#include <type_traits>

#include "image/HeifHandles.h"

namespace dorvex::ColourProfile {

namespace {

struct ProfileClose {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
struct TransformDelete {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
struct CurveFree {
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
struct MluFree {
    void operator()(cmsMLU* mlu) const { cmsMLUfree(mlu); }
};

using Profile = std::unique_ptr<std::remove_pointer_t<cmsHPROFILE>, ProfileClose>;
using Transform = std::unique_ptr<std::remove_pointer_t<cmsHTRANSFORM>, TransformDelete>;
using Curve = std::unique_ptr<cmsToneCurve, CurveFree>;
using Mlu = std::unique_ptr<cmsMLU, MluFree>;

// How far a colour may move between two profiles that are taken as the same: 2 of 255 steps.
constexpr double sameColourTolerance = 2.0 / 255;

Profile openRGB(const Bytes& bytes) {
    if (bytes.empty()) return nullptr;
    Profile profile(cmsOpenProfileFromMem(bytes.data(), cmsUInt32Number(bytes.size())));
    if (!profile || cmsGetColorSpace(profile.get()) != cmsSigRgbData) return nullptr;
    return profile;
}

Profile sRGB() { return Profile(cmsCreate_sRGBProfile()); }

// RGB (0–1 doubles) from one profile to the other, relative colorimetric, unclipped where the
// profiles allow it.
Transform between(cmsHPROFILE from, cmsHPROFILE to) {
    return Transform(cmsCreateTransform(from, TYPE_RGB_DBL, to, TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC,
                                        cmsFLAGS_NOCACHE));
}

// Whether the transform leaves every colour of the grid where it was.
bool movesNoColour(cmsHTRANSFORM transform) {
    constexpr int steps = 6;
    for (int r = 0; r < steps; ++r) {
        for (int g = 0; g < steps; ++g) {
            for (int b = 0; b < steps; ++b) {
                const std::array<double, 3> in{r / double(steps - 1), g / double(steps - 1), b / double(steps - 1)};
                std::array<double, 3> out{};
                cmsDoTransform(transform, in.data(), out.data(), 1);
                for (std::size_t c = 0; c < 3; ++c) {
                    if (!(std::abs(out[c] - in[c]) <= sameColourTolerance)) return false;  // NaN fails too
                }
            }
        }
    }
    return true;
}

bool sameColours(cmsHPROFILE from, cmsHPROFILE to) {
    const Transform transform = between(from, to);
    return transform && movesNoColour(transform.get());
}

// Whether libpng takes the profile into a PNG's iCCP chunk: it checks the header, the tag table
// and the colour space against the image's, and leaves out (with a warning) a profile that fails.
bool pngEmbeds(const Bytes& bytes) {
    struct Check {
        png_structp png = nullptr;
        png_infop info = nullptr;
        ~Check() { png_destroy_read_struct(&png, &info, nullptr); }
    } check;
    check.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, [](png_structp, png_const_charp) {});
    if (check.png == nullptr) return false;
    check.info = png_create_info_struct(check.png);
    if (check.info == nullptr) return false;
    if (setjmp(png_jmpbuf(check.png)) != 0) return false;
    png_set_IHDR(check.png, check.info, 1, 1, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                 PNG_FILTER_TYPE_BASE);
    png_set_iCCP(check.png, check.info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, bytes.data(), png_uint_32(bytes.size()));
    return png_get_valid(check.png, check.info, PNG_INFO_iCCP) != 0;
}

// Whether the profile's transfer is close to linear: a dark grey (10 % of full scale) lands above
// a quarter of sRGB's scale (a gamma of about 1.3 or less). In 8 bits such a space has too few
// steps for the shadows.
bool nearlyLinear(cmsHTRANSFORM toSRGB) {
    const std::array<double, 3> grey{0.1, 0.1, 0.1};
    std::array<double, 3> out{};
    cmsDoTransform(toSRGB, grey.data(), out.data(), 1);
    return !(out[1] <= 0.25);
}

// The transfer functions of nclx code points, as lcms2's parametric curve of type 4:
// Y = (aX + b)^g for X ≥ d, Y = cX below; type 1 is the pure power Y = X^g.
Curve transferCurve(int transfer) {
    switch (transfer) {
    case 13: {  // IEC 61966-2-1 (sRGB)
        const double parameters[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
        return Curve(cmsBuildParametricToneCurve(nullptr, 4, parameters));
    }
    case 1: case 6: case 14: case 15: {  // BT.709, BT.601, BT.2020 (10 and 12 bits): one curve
        const double parameters[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
        return Curve(cmsBuildParametricToneCurve(nullptr, 4, parameters));
    }
    case 4: case 5: {  // BT.470 M (gamma 2.2) and B/G (gamma 2.8)
        const double parameters[] = {transfer == 4 ? 2.2 : 2.8};
        return Curve(cmsBuildParametricToneCurve(nullptr, 1, parameters));
    }
    default:  // unspecified, linear, PQ, HLG, logarithmic …
        return nullptr;
    }
}

bool plausible(const double (&xy)[2]) { return xy[0] > 0 && xy[0] < 1 && xy[1] > 0 && xy[1] < 1; }

std::optional<Bytes> saved(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0) return std::nullopt;
    Bytes bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) return std::nullopt;
    bytes.resize(size);
    return bytes;
}

}  // namespace

bool sameColours(const Bytes& a, const Bytes& b) {
    const Profile first = openRGB(a);
    const Profile second = openRGB(b);
    return first && second && sameColours(first.get(), second.get());
}

bool isSRGB(const Bytes& profile) {
    const Profile opened = openRGB(profile);
    const Profile srgb = sRGB();
    return opened && srgb && sameColours(opened.get(), srgb.get());
}

std::optional<Bytes> keepable(const Bytes& profile) {
    if (profile.size() > maxKeptBytes) return std::nullopt;
    const Profile opened = openRGB(profile);
    const Profile srgb = sRGB();
    if (!opened || !srgb) return std::nullopt;
    const cmsProfileClassSignature kind = cmsGetDeviceClass(opened.get());
    if (kind != cmsSigDisplayClass && kind != cmsSigInputClass && kind != cmsSigColorSpaceClass) return std::nullopt;
    const Transform toSRGB = between(opened.get(), srgb.get());
    if (!toSRGB || nearlyLinear(toSRGB.get()) || movesNoColour(toSRGB.get())) return std::nullopt;
    if (!pngEmbeds(profile)) return std::nullopt;
    return profile;
}

std::optional<Nclx> heifNclx(const std::filesystem::path& file) {
    using namespace HeifHandles;
    if (!start()) return std::nullopt;
    const Context context(heif_context_alloc());
    if (!context || !ok(heif_context_read_from_file(context.get(), file.c_str(), nullptr))) return std::nullopt;
    heif_image_handle* primary = nullptr;
    if (!ok(heif_context_get_primary_image_handle(context.get(), &primary))) return std::nullopt;
    const Handle handle(primary);
    if (heif_image_handle_get_color_profile_type(handle.get()) != heif_color_profile_type_nclx) return std::nullopt;
    heif_color_profile_nclx* read = nullptr;
    if (!ok(heif_image_handle_get_nclx_color_profile(handle.get(), &read))) return std::nullopt;
    const NclxProfile nclx(read);
    return Nclx{int(nclx->color_primaries),
                int(nclx->transfer_characteristics),
                {nclx->color_primary_red_x, nclx->color_primary_red_y},
                {nclx->color_primary_green_x, nclx->color_primary_green_y},
                {nclx->color_primary_blue_x, nclx->color_primary_blue_y},
                {nclx->color_primary_white_x, nclx->color_primary_white_y}};
}

std::optional<Bytes> fromNclx(const Nclx& nclx) {
    // 0 and 3 are reserved, 2 unspecified.
    if (nclx.primaries == 0 || nclx.primaries == 2 || nclx.primaries == 3) return std::nullopt;
    if (!plausible(nclx.red) || !plausible(nclx.green) || !plausible(nclx.blue) || !plausible(nclx.white)) {
        return std::nullopt;
    }
    const Curve curve = transferCurve(nclx.transfer);
    if (!curve) return std::nullopt;

    const cmsCIExyY white{nclx.white[0], nclx.white[1], 1.0};
    const cmsCIExyYTRIPLE primaries{{nclx.red[0], nclx.red[1], 1.0},
                                    {nclx.green[0], nclx.green[1], 1.0},
                                    {nclx.blue[0], nclx.blue[1], 1.0}};
    cmsToneCurve* const curves[3] = {curve.get(), curve.get(), curve.get()};
    const Profile profile(cmsCreateRGBProfile(&white, &primaries, curves));
    if (!profile) return std::nullopt;
    // Named after its code points, as the HEIF file gave them ("Display P3" is 12 and 13).
    const std::string name = nclx.primaries == 12 && nclx.transfer == 13
                                 ? "Display P3"
                                 : "RGB, colour primaries " + std::to_string(nclx.primaries) + ", transfer " +
                                       std::to_string(nclx.transfer);
    const Mlu description(cmsMLUalloc(nullptr, 1));
    if (!description || !cmsMLUsetASCII(description.get(), "en", "US", name.c_str()) ||
        !cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, description.get())) {
        return std::nullopt;
    }
    return saved(profile.get());
}

}  // namespace dorvex::ColourProfile
