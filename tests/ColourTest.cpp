// Colours kept as they were shot: which profiles count as sRGB and which are kept; a Display P3
// photo through every output format, read back with libvips, carries a P3 profile and its P3
// pixels; sRGB and untagged sources take the sRGB path; a HEIC whose colours are given as nclx
// colour information comes out with a P3 profile (an HDR one does not); thumbnails are sRGB.

#include "image/ColourProfile.h"

#include <gtest/gtest.h>

#include <vips/vips8>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "image/ImagePipeline.h"
#include "image/SourceImage.h"
#include "dorvex/image/Thumbnail.h"
#include "image/VipsRuntime.h"
#include "dorvex/image/Toolchain.h"
#include "image/HeifHandles.h"
#include "image/VipsBlob.h"
#include "image/VipsMetadata.h"
#include "image/VipsPicture.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;
using Bytes = ImageMetadata::Bytes;
using vips::VImage;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("ColourTest-"));

const Toolchain& tools() {
    static const Toolchain toolchain = Toolchain::locate(processEnvironment(), fs::path(DORVEX_RESOURCE_DIR) / "bin");
    return toolchain;
}

Bytes fileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes libvipsProfile(const char* name) {
    VipsRuntime::start();
    return blobBytes(VImage::profile_load(name));
}

ColourProfile::Nclx nclx(int primaries, int transfer) {
    const bool p3 = primaries == 12;
    return ColourProfile::Nclx{primaries,
                               transfer,
                               {p3 ? 0.680 : 0.640, p3 ? 0.320 : 0.330},
                               {p3 ? 0.265 : 0.300, p3 ? 0.690 : 0.600},
                               {0.150, 0.060},
                               {0.3127, 0.3290}};
}

Bytes fromNclx(int primaries, int transfer) { return ColourProfile::fromNclx(nclx(primaries, transfer)).value_or(Bytes{}); }

TEST(ColourProfileTest, SRGBFromAnyWriterIsNotKeptAndWideSpacesAre) {
    const fs::path profiles = testMedia("profiles");
    const Bytes p3 = libvipsProfile("p3");
    Bytes cut = p3;
    cut.resize(cut.size() / 2);
    const struct {
        const char* name;
        Bytes profile;
        bool srgb;
        bool kept;
    } cases[] = {
        {"libvips sRGB", libvipsProfile("srgb"), true, false},
        {"Ghostscript sRGB", fileBytes(profiles / "gs-srgb.icc"), true, false},
        {"nclx BT.709 primaries, sRGB transfer", fromNclx(1, 13), true, false},
        {"libvips Display P3", p3, false, true},
        {"nclx Display P3", fromNclx(12, 13), false, true},
        {"nclx BT.709 transfer", fromNclx(1, 1), false, true},
        {"Ghostscript Adobe RGB (1998)", fileBytes(profiles / "gs-a98.icc"), false, true},
        {"Ghostscript ROMM RGB (ProPhoto)", fileBytes(profiles / "gs-rommrgb.icc"), false, true},
        {"Ghostscript scRGB: linear light", fileBytes(profiles / "gs-scrgb.icc"), false, false},
        {"libvips CMYK", libvipsProfile("cmyk"), false, false},
        {"a profile cut in half", cut, false, false},
        {"no profile", Bytes{}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ColourProfile::isSRGB(c.profile), c.srgb);
        EXPECT_EQ(ColourProfile::keepable(c.profile).has_value(), c.kept);
    }
    EXPECT_TRUE(ColourProfile::sameColours(fromNclx(12, 13), p3));
    // HDR, linear and unspecified colours are not described.
    EXPECT_EQ(ColourProfile::fromNclx(nclx(9, 16)), std::nullopt);  // PQ
    EXPECT_EQ(ColourProfile::fromNclx(nclx(9, 18)), std::nullopt);  // HLG
    EXPECT_EQ(ColourProfile::fromNclx(nclx(12, 8)), std::nullopt);  // linear
    EXPECT_EQ(ColourProfile::fromNclx(nclx(2, 13)), std::nullopt);
}

// Mean difference of the colour bands of two RGBA pictures of one size, in 8-bit steps, over
// blocks of 8 × 8 pixels: what a lossy encoder scatters averages out, a change of colours stays.
double meanDifference(const VImage& a, const VImage& b) {
    const auto blocks = [](const VImage& image) {
        return image.extract_band(0, VImage::option()->set("n", 3)).cast(VIPS_FORMAT_FLOAT).shrink(8, 8);
    };
    return (blocks(a) - blocks(b)).abs().avg();
}

// A HEIC of the picture's pixels whose colours are told by nclx colour information only.
void writeNclxHeic(const VImage& rgba, int primaries, int transfer, const fs::path& file) {
    using namespace HeifHandles;
    ASSERT_TRUE(start());
    const Context context(heif_context_alloc());
    heif_encoder* made = nullptr;
    ASSERT_TRUE(ok(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &made)));
    const Encoder encoder(made);
    heif_encoder_set_lossy_quality(encoder.get(), 95);
    heif_image* created = nullptr;
    ASSERT_TRUE(ok(heif_image_create(rgba.width(), rgba.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &created)));
    const Image image(created);
    ASSERT_TRUE(ok(heif_image_add_plane(image.get(), heif_channel_interleaved, rgba.width(), rgba.height(), 8)));
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    const auto* pixels = static_cast<const std::uint8_t*>(rgba.data());
    for (int y = 0; y < rgba.height(); ++y) {
        for (int x = 0; x < rgba.width(); ++x) std::memcpy(plane + y * stride + x * 3, pixels + (y * rgba.width() + x) * 4, 3);
    }
    const NclxProfile colours(heif_nclx_color_profile_alloc());
    heif_nclx_color_profile_set_color_primaries(colours.get(), std::uint16_t(primaries));
    heif_nclx_color_profile_set_transfer_characteristics(colours.get(), std::uint16_t(transfer));
    heif_nclx_color_profile_set_matrix_coefficients(colours.get(), 6);
    colours->full_range_flag = 1;
    heif_image_set_nclx_color_profile(image.get(), colours.get());
    const Options options(heif_encoding_options_alloc());
    options->output_nclx_profile = colours.get();
    options->macOS_compatibility_workaround_no_nclx_profile = 0;  // else no "colr" box is written
    ASSERT_TRUE(ok(heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), nullptr)));
    ASSERT_TRUE(ok(heif_context_write_to_file(context.get(), file.c_str())));
}

class ColourTest : public ::testing::Test {
protected:
    void SetUp() override {
        VipsRuntime::start();
        folder_ = makeTemporaryFolder(TestHome::root(), "job-");
        // A colourful real photo, small for the slower encoders, made Display P3 (lossless PNG,
        // so that the source's P3 pixels are these exactly).
        const VImage photo = VImage::new_from_file(testMedia("images/sunset-lossy.webp").c_str()).resize(0.3);
        srgbPhoto_ = toSRGBA(photo);
        const VImage p3 = photo.icc_transform("p3", VImage::option()
                                                        ->set("input_profile", "srgb")
                                                        ->set("intent", VIPS_INTENT_RELATIVE)
                                                        ->set("depth", 8));
        p3Source_ = folder_ / "p3.png";
        p3.pngsave(p3Source_.c_str());
    }

    CompressionResult run(const fs::path& source, OutputFormat format, MetadataPolicy policy = MetadataPolicy::strip) {
        CompressionOptions o;
        o.format = format;
        o.metadata = policy;
        o.saveLocation = SaveLocation::folder(folder_ / ("out-" + std::to_string(++runs_)));
        return ImagePipeline::run(source, o, tools(), nullptr, nullptr);
    }

    fs::path folder_;
    fs::path p3Source_;
    VImage srgbPhoto_;
    int runs_ = 0;
};

TEST_F(ColourTest, ADisplayP3PhotoKeepsItsProfileAndPixelsInEveryFormat) {
    const Bytes p3 = libvipsProfile("p3");
    SourceImage source(p3Source_);
    ASSERT_TRUE(ColourProfile::sameColours(source.colourProfile, p3));
    EXPECT_EQ(source.metadata.icc, source.colourProfile);  // under strip too
    const VImage p3Pixels = vipsImage(source.render());
    const VImage srgbPixels = toSRGBA(p3Pixels, source.colourProfile);
    ASSERT_GT(meanDifference(p3Pixels, srgbPixels), 2.0);  // the photo tells the spaces apart
    EXPECT_LT(meanDifference(srgbPixels, srgbPhoto_), 1.0);

    for (const OutputFormat format : {OutputFormat::jpeg, OutputFormat::png, OutputFormat::webp, OutputFormat::avif,
                                      OutputFormat::heic, OutputFormat::jxl, OutputFormat::tiff}) {
        SCOPED_TRACE(std::string(format.displayName()));
        const CompressionResult r = run(p3Source_, format);
        ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
        EXPECT_EQ(r.outputBytes, std::int64_t(fs::file_size(*r.output)));
        const VImage out = VImage::new_from_file(r.output->c_str());
        const Bytes profile = blobField(out, VIPS_META_ICC_NAME);
        EXPECT_TRUE(ColourProfile::sameColours(profile, p3));
        const VImage pixels = toRGBA(out);
        const double fromP3 = meanDifference(pixels, p3Pixels);
        EXPECT_LT(fromP3, 1.2);
        EXPECT_LT(fromP3 * 2, meanDifference(pixels, srgbPixels));
    }
}

TEST_F(ColourTest, WhereTheSourceColoursComeFrom) {
    const Bytes p3 = libvipsProfile("p3");
    writeNclxHeic(vipsImage(SourceImage(p3Source_).render()), 12, 13, folder_ / "nclx-p3.heic");
    writeNclxHeic(vipsImage(SourceImage(p3Source_).render()), 9, 16, folder_ / "nclx-pq.heic");
    VImage broken = VImage::new_from_file(testMedia("images/Penguin-Sushi-1.JPG").c_str()).copy();
    const Bytes garbage(600, 0x5a);
    setBlob(broken, VIPS_META_ICC_NAME, garbage);
    broken.jpegsave((folder_ / "broken-profile.jpg").c_str());

    const struct {
        fs::path file;
        bool p3;
    } cases[] = {
        {p3Source_, true},
        {folder_ / "nclx-p3.heic", true},
        {folder_ / "nclx-pq.heic", false},
        {testMedia("images/tmshre_riaphotographs_alpha.png"), false},  // an sRGB profile
        {testMedia("images/conv-Picture_1A_by_freespace.avif"), false},  // nclx BT.709 and sRGB
        {testMedia("images/Dune.jpg"), false},                           // no profile
        {folder_ / "broken-profile.jpg", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        for (const MetadataPolicy policy : {MetadataPolicy::strip, MetadataPolicy::keepAll}) {
            const SourceImage source(c.file, nullptr, policy);
            EXPECT_EQ(ColourProfile::sameColours(source.colourProfile, p3), c.p3);
            EXPECT_EQ(source.colourProfile.empty(), !c.p3);
            if (c.p3) {
                EXPECT_EQ(source.metadata.icc, source.colourProfile);
            }
        }
    }
    // The HEIC's pixels are its P3 ones, and its outputs say so, TIFF's page included.
    SourceImage heic(folder_ / "nclx-p3.heic");
    EXPECT_LT(meanDifference(vipsImage(heic.render()), vipsImage(SourceImage(p3Source_).render())), 2.0);
    for (const OutputFormat format : {OutputFormat::jpeg, OutputFormat::tiff}) {
        SCOPED_TRACE(std::string(format.displayName()));
        const CompressionResult r = run(folder_ / "nclx-p3.heic", format);
        ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
        EXPECT_TRUE(ColourProfile::sameColours(blobField(VImage::new_from_file(r.output->c_str()), VIPS_META_ICC_NAME), p3));
    }
}

TEST_F(ColourTest, AnSRGBSourceCarriesAProfileOnlyWhenMetadataIsKept) {
    for (const MetadataPolicy policy : {MetadataPolicy::strip, MetadataPolicy::keepAll}) {
        SCOPED_TRACE(int(policy));
        const CompressionResult r = run(testMedia("images/tmshre_riaphotographs_alpha.png"), OutputFormat::webp, policy);
        ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
        const Bytes profile = blobField(VImage::new_from_file(r.output->c_str()), VIPS_META_ICC_NAME);
        EXPECT_EQ(profile.empty(), policy == MetadataPolicy::strip);
        if (!profile.empty()) {
            EXPECT_TRUE(ColourProfile::isSRGB(profile));
        }
    }
}

TEST_F(ColourTest, ThumbnailsOfAP3PhotoAreSRGB) {
    const std::optional<Thumbnail> thumbnail = imageThumbnail(p3Source_, 1000);
    ASSERT_TRUE(thumbnail);
    ASSERT_EQ(thumbnail->width, srgbPhoto_.width());
    const VImage shown = VImage::new_from_memory(const_cast<std::uint8_t*>(thumbnail->rgba.data()), thumbnail->rgba.size(),
                                                 thumbnail->width, thumbnail->height, 4, VIPS_FORMAT_UCHAR);
    EXPECT_LT(meanDifference(shown, srgbPhoto_), 1.0);
}

}  // namespace
}  // namespace dorvex
