// Probing and decoding source images, and rendering them at other sizes: the corpus formats,
// orientation, colour conversion to 8-bit sRGB RGBA, exact-size resampling, and the refusal of
// files that are not images we read, damaged, truncated or too large.

#include <gtest/gtest.h>

#include <vips/vips8>

#include <stdlib.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "image/SourceImage.h"
#include "dorvex/image/ToolError.h"
#include "image/encoders/ToolRunner.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::Picture;
using dorvex::PixelSize;
using dorvex::SourceImage;
using dorvex::ToolError;
using vips::VImage;

namespace {

fs::path corpus(const std::string& name) { return dorvex::testing::testMedia("images") / name; }

using TempDir = dorvex::testing::TemporaryFolder;

std::vector<char> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& file, const std::vector<char>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<double> pixelAt(const Picture& picture, int x, int y) {
    VImage image = dorvex::vipsImage(picture);
    return image.getpoint(x, y);
}

// A width × height image of one colour; `values` gives the bands.
VImage solid(int width, int height, const std::vector<double>& values, VipsBandFormat format,
             VipsInterpretation interpretation) {
    const int bands = int(values.size());
    return (VImage::black(width, height, VImage::option()->set("bands", bands)) + values)
        .cast(format)
        .copy(VImage::option()->set("interpretation", interpretation));
}

// Four 20 × 10 quadrants: top-left red, top-right green, bottom-left blue, bottom-right white.
VImage quadrants() {
    auto block = [](std::vector<double> rgb) {
        return solid(20, 10, rgb, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB);
    };
    VImage top = block({255, 0, 0}).join(block({0, 255, 0}), VIPS_DIRECTION_HORIZONTAL);
    VImage bottom = block({0, 0, 255}).join(block({255, 255, 255}), VIPS_DIRECTION_HORIZONTAL);
    return top.join(bottom, VIPS_DIRECTION_VERTICAL);
}

void expectNear(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t band = 0; band < actual.size(); ++band) {
        EXPECT_NEAR(actual[band], expected[band], tolerance) << "band " << band;
    }
}

void expectRGBA8(const Picture& picture) {
    const VImage& image = dorvex::vipsImage(picture);
    EXPECT_EQ(image.bands(), 4);
    EXPECT_EQ(image.format(), VIPS_FORMAT_UCHAR);
    EXPECT_EQ(image.interpretation(), VIPS_INTERPRETATION_sRGB);
}

class SourceImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dorvex::VipsRuntime::start(); }
    TempDir temp;
};

// ---- probing the corpus ---------------------------------------------------------------------

struct CorpusCase {
    const char* file;
    const char* typeIdentifier;
    PixelSize pixelSize;  // upright
    int orientation;
    int imageCount;
    bool jpeg, png, lossless;
};

TEST_F(SourceImageTest, ProbesEachCorpusFormat) {
    const std::vector<CorpusCase> cases = {
        {"Dune.jpg", "public.jpeg", {1680, 1050}, 1, 1, true, false, false},
        {"Penguin-Sushi-1.JPG", "public.jpeg", {512, 512}, 1, 1, true, false, false},  // no tag
        {"has-lens-info.jpg", "public.jpeg", {102, 205}, 6, 1, true, false, false},
        {"orientation_8.jpg", "public.jpeg", {50, 70}, 8, 1, true, false, false},
        {"snake.tiff", "public.jpeg", {600, 450}, 1, 1, true, false, false},  // JPEG named .tiff
        {"docdiff-screenshot-format-tty-xterm-en.png", "public.png", {460, 188}, 1, 1, false, true, true},
        {"tmshre_riaphotographs_alpha.png", "public.png", {500, 500}, 1, 1, false, true, true},  // sRGB profile, alpha
        {"sunset-lossy.webp", "org.webmproject.webp", {1024, 1024}, 1, 1, false, false, false},
        {"conv-Picture_1A_by_freespace.avif", "public.avif", {1365, 1074}, 1, 1, false, false, false},
        {"kimageformats-rotated180_left-to-right.avif", "public.avif", {480, 160}, 1, 1, false, false, false},
        {"conv-friends_by_Aitzol_Berasategi.heic", "public.heic", {2056, 3088}, 1, 1, false, false, false},
        {"kimageformats-rgb.heif", "public.heic", {128, 128}, 1, 1, false, false, false},
        {"sdl2-sample.jxl", "public.jpeg-xl", {23, 42}, 1, 1, false, false, false},
        {"kimageformats-rgba.jxl", "public.jpeg-xl", {1024, 1024}, 1, 1, false, false, false},
        {"kodim07-lzw.tif", "public.tiff", {768, 512}, 1, 1, false, false, true},
        // Three directories: two pages and a reduced-resolution image between them.
        {"leptonica-multipage.tiff", "public.tiff", {165, 67}, 1, 3, false, false, true},
        {"pygame_icon.icns", "com.apple.icns", {256, 256}, 1, 7, false, false, true},
        {"etmlogo.icns", "com.apple.icns", {512, 512}, 1, 6, false, false, true},
        {"webcamoid.icns", "com.apple.icns", {256, 256}, 1, 5, false, false, true},
        // Only run-length planes with their masks (16, 32 and 48 pixels square).
        {"pyzo-py.icns", "com.apple.icns", {48, 48}, 1, 3, false, false, true},
    };
    for (const CorpusCase& c : cases) {
        SCOPED_TRACE(c.file);
        SourceImage source(corpus(c.file));
        EXPECT_EQ(source.path, corpus(c.file));
        EXPECT_EQ(source.typeIdentifier, c.typeIdentifier);
        ASSERT_TRUE(source.fileType().has_value());
        EXPECT_EQ(source.fileType()->identifier, c.typeIdentifier);
        EXPECT_EQ(source.byteCount, std::int64_t(fs::file_size(corpus(c.file))));
        EXPECT_EQ(source.pixelSize, c.pixelSize);
        EXPECT_EQ(source.orientation, c.orientation);
        EXPECT_EQ(source.imageCount, c.imageCount);
        EXPECT_EQ(source.isJPEG(), c.jpeg);
        EXPECT_EQ(source.isPNG(), c.png);
        EXPECT_EQ(source.isLosslessSource(), c.lossless);
        EXPECT_TRUE(source.conforms(dorvex::FileType::image));
        EXPECT_FALSE(source.conforms(dorvex::FileType::movie));
        const Picture picture = source.render();
        EXPECT_EQ(picture.size(), c.pixelSize);
        expectRGBA8(picture);
    }
}

TEST_F(SourceImageTest, MultiPageTiffDecodesOnlyItsFirstPage) {
    // Four 6 × 4 pages of different greys, stacked as one tall image and saved page by page.
    VImage pages = solid(6, 4, {10}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_B_W);
    for (double grey : {90.0, 170.0, 250.0}) {
        pages = pages.join(solid(6, 4, {grey}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_B_W), VIPS_DIRECTION_VERTICAL);
    }
    const fs::path file = temp / "pages.tif";
    pages.tiffsave(file.c_str(), VImage::option()->set("page_height", 4));

    SourceImage source(file);
    EXPECT_EQ(source.imageCount, 4);
    EXPECT_EQ(source.pixelSize, (PixelSize{6, 4}));
    expectNear(pixelAt(source.render(), 3, 3), {10, 10, 10, 255}, 0);
}

// ---- orientation ----------------------------------------------------------------------------

TEST_F(SourceImageTest, EveryOrientationTagComesOutUpright) {
    // A 3 × 2 picture whose pixels are all different; D(x, y) is where each displayed pixel comes
    // from in the stored picture (TIFF/EXIF orientation semantics, W = 3, H = 2).
    constexpr int W = 3, H = 2;
    auto stored = [](int x, int y) { return std::vector<double>{10.0 + 40 * x, 20.0 + 100 * y, 7, 255}; };
    struct Case {
        int orientation;
        std::function<std::array<int, 2>(int, int)> from;
    };
    const std::vector<Case> cases = {
        {1, [](int x, int y) { return std::array{x, y}; }},
        {2, [](int x, int y) { return std::array{W - 1 - x, y}; }},
        {3, [](int x, int y) { return std::array{W - 1 - x, H - 1 - y}; }},
        {4, [](int x, int y) { return std::array{x, H - 1 - y}; }},
        {5, [](int x, int y) { return std::array{y, x}; }},
        {6, [](int x, int y) { return std::array{y, H - 1 - x}; }},
        {7, [](int x, int y) { return std::array{W - 1 - y, H - 1 - x}; }},
        {8, [](int x, int y) { return std::array{W - 1 - y, x}; }},
    };
    VImage image = VImage::black(W, H, VImage::option()->set("bands", 4));
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) image.draw_rect(stored(x, y), x, y, 1, 1);
    }
    image = image.cast(VIPS_FORMAT_UCHAR).copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));

    for (const Case& c : cases) {
        SCOPED_TRACE("orientation " + std::to_string(c.orientation));
        VImage tagged = image.copy();
        tagged.set("orientation", c.orientation);
        const fs::path file = temp / ("o" + std::to_string(c.orientation) + ".tif");
        tagged.tiffsave(file.c_str());

        SourceImage source(file);
        EXPECT_EQ(source.orientation, c.orientation);
        const bool turned = c.orientation >= 5;
        ASSERT_EQ(source.pixelSize, (turned ? PixelSize{H, W} : PixelSize{W, H}));
        const Picture picture = source.render();
        for (int y = 0; y < source.pixelSize.height; ++y) {
            for (int x = 0; x < source.pixelSize.width; ++x) {
                const auto [sx, sy] = c.from(x, y);
                EXPECT_EQ(pixelAt(picture, x, y), stored(sx, sy)) << "at " << x << "," << y;
            }
        }
    }
}

TEST_F(SourceImageTest, JpegTaggedSixIsTurnedClockwise) {
    VImage tagged = quadrants().copy();
    tagged.set("orientation", 6);
    const fs::path file = temp / "o6.jpg";
    tagged.jpegsave(file.c_str(), VImage::option()->set("Q", 95));

    SourceImage source(file);
    EXPECT_EQ(source.orientation, 6);
    EXPECT_EQ(source.pixelSize, (PixelSize{20, 40}));
    const Picture picture = source.render();
    // A quarter turn clockwise puts the stored bottom-left (blue) at the top left and the stored
    // top-left (red) at the top right.
    expectNear(pixelAt(picture, 3, 3), {0, 0, 255, 255}, 12);
    expectNear(pixelAt(picture, 16, 3), {255, 0, 0, 255}, 12);
    expectNear(pixelAt(picture, 3, 36), {255, 255, 255, 255}, 12);
    expectNear(pixelAt(picture, 16, 36), {0, 255, 0, 255}, 12);
}

TEST_F(SourceImageTest, PngWithExifOrientationIsTurned) {
    // libvips writes a PNG's eXIf chunk only from EXIF data it already has: borrow a JPEG's.
    VImage tagged = quadrants().copy();
    tagged.set("orientation", 6);
    const fs::path jpeg = temp / "donor.jpg";
    tagged.jpegsave(jpeg.c_str());
    VImage withExif = VImage::new_from_file(jpeg.c_str());
    ASSERT_NE(withExif.get_typeof(VIPS_META_EXIF_NAME), 0u);
    size_t exifSize = 0;
    const void* exif = withExif.get_blob(VIPS_META_EXIF_NAME, &exifSize);
    VImage png = quadrants().copy();
    vips_image_set_blob_copy(png.get_image(), VIPS_META_EXIF_NAME, exif, exifSize);
    png.set("orientation", 6);
    const fs::path file = temp / "o6.png";
    png.pngsave(file.c_str());

    SourceImage source(file);
    EXPECT_EQ(source.orientation, 6);
    EXPECT_EQ(source.pixelSize, (PixelSize{20, 40}));
    expectNear(pixelAt(source.render(), 3, 3), {0, 0, 255, 255}, 0);
}

TEST_F(SourceImageTest, CorpusOrientedJpegsMatchLibvipsAutorotation) {
    for (const char* name : {"orientation_8.jpg", "has-lens-info.jpg"}) {
        SCOPED_TRACE(name);
        SourceImage source(corpus(name));
        VImage reference = VImage::new_from_file(corpus(name).c_str()).autorot();
        VImage decoded = dorvex::vipsImage(source.render());
        ASSERT_EQ(decoded.width(), reference.width());
        ASSERT_EQ(decoded.height(), reference.height());
        EXPECT_LE((decoded.extract_band(0, VImage::option()->set("n", 3)) - reference).abs().max(), 1.0);
    }
}

// ---- colour conversion ----------------------------------------------------------------------

struct ColourCase {
    const char* name;
    std::function<fs::path(const TempDir&)> make;
    std::array<int, 2> at;
    std::vector<double> expected;  // RGBA
    double tolerance;
};

TEST_F(SourceImageTest, ConvertsEveryLayoutTo8BitSRGBWithAlpha) {
    const std::vector<ColourCase> cases = {
        {"8-bit RGBA keeps its values",
         [](const TempDir& t) {
             const fs::path f = t / "rgba.png";
             solid(4, 4, {10, 20, 30, 40}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB).pngsave(f.c_str());
             return f;
         },
         {1, 1}, {10, 20, 30, 40}, 0},
        {"16-bit RGB",
         [](const TempDir& t) {
             const fs::path f = t / "rgb16.png";
             solid(4, 4, {65535, 32768, 0}, VIPS_FORMAT_USHORT, VIPS_INTERPRETATION_RGB16).pngsave(f.c_str());
             return f;
         },
         {1, 1}, {255, 128, 0, 255}, 1},
        {"16-bit grey with alpha",
         [](const TempDir& t) {
             const fs::path f = t / "grey16a.png";
             solid(4, 4, {32896, 32896}, VIPS_FORMAT_USHORT, VIPS_INTERPRETATION_GREY16).pngsave(f.c_str());
             return f;
         },
         {1, 1}, {128, 128, 128, 128}, 1},
        {"8-bit grey",
         [](const TempDir& t) {
             const fs::path f = t / "grey.png";
             solid(4, 4, {100}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_B_W).pngsave(f.c_str());
             return f;
         },
         {1, 1}, {100, 100, 100, 255}, 1},
        {"1-bit",
         [](const TempDir& t) {
             const fs::path f = t / "bilevel.png";
             solid(4, 4, {0}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_B_W)
                 .join(solid(4, 4, {255}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_B_W), VIPS_DIRECTION_HORIZONTAL)
                 .pngsave(f.c_str(), VImage::option()->set("bitdepth", 1));
             return f;
         },
         {6, 1}, {255, 255, 255, 255}, 0},
        {"palette",
         [](const TempDir& t) {
             const fs::path f = t / "palette.png";
             solid(4, 4, {200, 30, 60}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB)
                 .join(solid(4, 4, {0, 0, 255}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB), VIPS_DIRECTION_HORIZONTAL)
                 .pngsave(f.c_str(), VImage::option()->set("palette", true));
             return f;
         },
         {1, 1}, {200, 30, 60, 255}, 3},
        {"CMYK without a profile",
         [](const TempDir& t) {
             const fs::path f = t / "cmyk.jpg";
             solid(8, 8, {0, 255, 255, 0}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_CMYK)
                 .jpegsave(f.c_str(), VImage::option()->set("Q", 100)->set("strip", true));
             return f;
         },
         {3, 3}, {235, 30, 35, 255}, 40},
        {"CMYK with a profile",
         [](const TempDir& t) {
             const fs::path f = t / "cmyk-icc.jpg";
             solid(8, 8, {255, 0, 0}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB)
                 .icc_transform("cmyk")
                 .jpegsave(f.c_str(), VImage::option()->set("Q", 100));
             return f;
         },
         {3, 3}, {240, 20, 20, 255}, 40},
        {"Display P3 tagged, kept",
         [](const TempDir& t) {
             const fs::path f = t / "p3.png";
             VImage image = solid(4, 4, {200, 100, 50}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB).copy();
             VipsBlob* profile = VImage::profile_load("p3");
             const VipsArea* area = reinterpret_cast<const VipsArea*>(profile);
             vips_image_set_blob_copy(image.get_image(), VIPS_META_ICC_NAME, area->data, area->length);
             vips_area_unref(reinterpret_cast<VipsArea*>(profile));
             image.pngsave(f.c_str());
             return f;
         },
         // The pixels stay in Display P3, whose profile the source keeps for its outputs.
         {1, 1}, {200, 100, 50, 255}, 0},
    };
    for (const ColourCase& c : cases) {
        SCOPED_TRACE(c.name);
        SourceImage source(c.make(temp));
        const Picture picture = source.render();
        expectRGBA8(picture);
        expectNear(pixelAt(picture, c.at[0], c.at[1]), c.expected, c.tolerance);
    }
}

TEST_F(SourceImageTest, CorpusGreySourcesStayGreyAndKeepTheirAlpha) {
    {
        SCOPED_TRACE("1-bit CCITT TIFF: only black and white");
        VImage picture = dorvex::vipsImage(SourceImage(corpus("bw-gopher_ccittGroup4.tiff")).render());
        VImage colour = picture.extract_band(0, VImage::option()->set("n", 3));
        EXPECT_EQ(((colour == 0) | (colour == 255)).min(), 255.0);
        EXPECT_EQ(picture.extract_band(3).min(), 255.0);
    }
    {
        SCOPED_TRACE("grey + alpha TIFF with a grey profile");
        VImage picture = dorvex::vipsImage(SourceImage(corpus("leptonica-multipage.tiff")).render());
        VImage stored = VImage::new_from_file(corpus("leptonica-multipage.tiff").c_str());
        EXPECT_LE((picture[0] - picture[1]).abs().max(), 1.0);
        EXPECT_LE((picture[1] - picture[2]).abs().max(), 1.0);
        EXPECT_EQ((picture[3] - stored[1]).abs().max(), 0.0);
    }
}

// ---- rendering ------------------------------------------------------------------------------

TEST_F(SourceImageTest, RendersExactlyTheAskedSize) {
    const fs::path file = temp / "quadrants.png";
    quadrants().pngsave(file.c_str());
    SourceImage source(file);
    const std::vector<PixelSize> sizes = {{1, 1}, {20, 10}, {7, 13}, {41, 3}, {80, 40}, {123, 77}, {3, 200}};
    for (const PixelSize size : sizes) {
        SCOPED_TRACE(size.description());
        const Picture picture = source.render(size);
        EXPECT_EQ(picture.size(), size);
        expectRGBA8(picture);
    }
}

TEST_F(SourceImageTest, ADifferentAspectRatioStretchesWithoutCropOrBorder) {
    const fs::path file = temp / "quadrants.png";
    quadrants().pngsave(file.c_str());
    SourceImage source(file);
    const Picture picture = source.render(PixelSize{20, 40});  // from 40 × 20
    ASSERT_EQ(picture.size(), (PixelSize{20, 40}));
    expectNear(pixelAt(picture, 1, 1), {255, 0, 0, 255}, 8);
    expectNear(pixelAt(picture, 18, 1), {0, 255, 0, 255}, 8);
    expectNear(pixelAt(picture, 1, 38), {0, 0, 255, 255}, 8);
    expectNear(pixelAt(picture, 18, 38), {255, 255, 255, 255}, 8);
}

TEST_F(SourceImageTest, ResamplingDoesNotDarkenEdgesAgainstTransparency) {
    // An opaque white square on transparent black: straight-alpha resampling would mix the black
    // of the transparent pixels into the square's edge.
    VImage image = solid(40, 40, {0, 0, 0, 0}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_sRGB).copy();
    image.draw_rect({255, 255, 255, 255}, 10, 10, 20, 20, VImage::option()->set("fill", true));
    const fs::path file = temp / "square.png";
    image.pngsave(file.c_str());

    SourceImage source(file);
    VImage small = dorvex::vipsImage(source.render(PixelSize{13, 13}));
    VImage visible = small[3] >= 8;
    VImage colour = small.extract_band(0, VImage::option()->set("n", 3)).bandmean();
    // Where a pixel shows at all, it is white; elsewhere count it as white too.
    EXPECT_GE(visible.ifthenelse(colour, 255).min(), 245.0);
    EXPECT_EQ(small[3].min(), 0.0);  // the transparent surroundings stay transparent
}

TEST_F(SourceImageTest, RenderingsAreKeptBySize) {
    const fs::path file = temp / "quadrants.png";
    quadrants().pngsave(file.c_str());
    SourceImage source(file);

    const Picture full = source.render();
    EXPECT_EQ(&source.render(source.pixelSize).storage(), &full.storage());
    const Picture half = source.render(PixelSize{20, 10});
    EXPECT_EQ(&source.render(PixelSize{20, 10}).storage(), &half.storage());
    EXPECT_NE(&half.storage(), &full.storage());
}

TEST_F(SourceImageTest, PicturesDoNotNeedTheFileAnyMore) {
    const fs::path file = temp / "quadrants.png";
    quadrants().pngsave(file.c_str());
    SourceImage source(file);
    fs::remove(file);
    const Picture picture = source.render(PixelSize{10, 10});
    expectNear(pixelAt(picture, 1, 1), {255, 0, 0, 255}, 8);
    expectNear(pixelAt(source.render(), 39, 19), {255, 255, 255, 255}, 0);
}

TEST_F(SourceImageTest, RefusesSizesItCannotRender) {
    const fs::path file = temp / "quadrants.png";
    quadrants().pngsave(file.c_str());
    SourceImage source(file);
    for (const PixelSize size : {PixelSize{0, 10}, PixelSize{10, 0}, PixelSize{-3, 5}, PixelSize{70000, 1},
                                 PixelSize{20000, 20000}}) {
        SCOPED_TRACE(size.description());
        try {
            source.render(size);
            ADD_FAILURE() << "rendered";
        } catch (const ToolError& error) {
            EXPECT_EQ(error.kind, ToolError::Kind::renderFailed);
            EXPECT_EQ(error.what(), "cannot render " + size.description());
        }
    }
}

// ---- files we refuse ------------------------------------------------------------------------

std::uint32_t crc32(const std::vector<char>& bytes, std::size_t from) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        crc ^= static_cast<unsigned char>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendBigEndian(std::vector<char>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(char((value >> shift) & 0xFF));
}

// A PNG signature and header chunk claiming the given size, and nothing else: tiny on disk.
std::vector<char> pngHeaderClaiming(std::uint32_t width, std::uint32_t height) {
    std::vector<char> bytes = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1A', '\n'};
    appendBigEndian(bytes, 13);
    const std::size_t chunk = bytes.size();
    for (char c : std::string("IHDR")) bytes.push_back(c);
    appendBigEndian(bytes, width);
    appendBigEndian(bytes, height);
    for (char c : {8, 6, 0, 0, 0}) bytes.push_back(c);  // 8-bit RGBA, no interlace
    appendBigEndian(bytes, crc32(bytes, chunk));
    return bytes;
}

TEST_F(SourceImageTest, TextNamedJpgCannotBeDecoded) {
    const fs::path file = temp / "notes.jpg";
    std::ofstream(file) << "just some text, not a picture\n";
    try {
        SourceImage source(file);
        FAIL() << "decoded";
    } catch (const ToolError& error) {
        EXPECT_EQ(error.kind, ToolError::Kind::unreadable);
        EXPECT_EQ(error.file, file);
        EXPECT_TRUE(std::string(error.what()).starts_with("文件已损坏或格式不受支持（")) << error.what();
        EXPECT_NE(error.detail.find("signature"), std::string::npos);  // the row's tooltip says why
    }
}

TEST_F(SourceImageTest, RefusesDamagedUnsupportedAndOversizedFiles) {
    auto truncated = [](const char* name, double fraction) {
        return [=](const TempDir& t) {
            std::vector<char> bytes = readBytes(corpus(name));
            bytes.resize(std::size_t(double(bytes.size()) * fraction));
            const fs::path f = t / (std::string("cut-") + name);
            writeBytes(f, bytes);
            return f;
        };
    };
    // The data ends early but the end-of-image marker follows: libjpeg would fill the rest grey.
    auto endMarked = [](const char* name, double fraction) {
        return [=](const TempDir& t) {
            std::vector<char> bytes = readBytes(corpus(name));
            bytes.resize(std::size_t(double(bytes.size()) * fraction));
            bytes.insert(bytes.end(), {char(0xFF), char(0xD9)});
            const fs::path f = t / (std::string("ended-") + name);
            writeBytes(f, bytes);
            return f;
        };
    };
    static constexpr char sof0[] = {char(0xFF), char(0xC0)};
    struct Case {
        const char* name;
        std::function<fs::path(const TempDir&)> make;
    };
    const std::vector<Case> cases = {
        {"empty file", [](const TempDir& t) { writeBytes(t / "empty.png", {}); return t / "empty.png"; }},
        {"missing file", [](const TempDir& t) { return t / "missing.jpg"; }},
        {"folder", [](const TempDir& t) { fs::create_directory(t / "folder.jpg"); return t / "folder.jpg"; }},
        {"truncated baseline JPEG", truncated("Dune.jpg", 0.6)},
        {"truncated progressive JPEG", truncated("IMG-20191006-WA0002.jpg", 0.6)},
        {"baseline JPEG cut early, end marker kept", endMarked("Dune.jpg", 0.6)},
        {"progressive JPEG cut early, end marker kept", endMarked("IMG-20191006-WA0002.jpg", 0.6)},
        {"JPEG header patched to 16000 × 16000", [](const TempDir& t) {
             std::vector<char> bytes = readBytes(corpus("Penguin-Sushi-1.JPG"));
             const auto frame = std::search(bytes.begin(), bytes.end(), std::begin(sof0), std::end(sof0));
             EXPECT_NE(frame, bytes.end());
             for (const std::size_t at : {5u, 7u}) {  // height, then width, big-endian
                 frame[std::ptrdiff_t(at)] = char(16000 >> 8);
                 frame[std::ptrdiff_t(at) + 1] = char(16000 & 0xFF);
             }
             writeBytes(t / "patched.jpg", bytes);
             return t / "patched.jpg";
         }},
        {"truncated PNG", truncated("city.png", 0.6)},
        {"PNG cut just before its end", truncated("Arc-Colors-Transparent-Wallpaper.png", 0.98)},
        {"truncated WebP", truncated("sunset-lossy.webp", 0.6)},
        {"truncated AVIF", truncated("conv-Picture_1A_by_freespace.avif", 0.6)},
        {"truncated TIFF", truncated("kodim07-lzw.tif", 0.6)},
        {"truncated ICNS", truncated("pygame_icon.icns", 0.5)},
        {"ICNS magic over junk",
         [](const TempDir& t) {
             writeBytes(t / "junk.icns", {'i', 'c', 'n', 's', '\0', '\0', '\1', '\0', 'x', 'y'});
             return t / "junk.icns";
         }},
        {"GIF, not an input format",
         [](const TempDir& t) {
             quadrants().gifsave((t / "quadrants.gif").c_str());
             return t / "quadrants.gif";
         }},
        {"PPM named .png",
         [](const TempDir& t) {
             quadrants().ppmsave((t / "ppm.png").c_str());
             return t / "ppm.png";
         }},
        {"PNG header claiming 100000 × 100000",
         [](const TempDir& t) {
             writeBytes(t / "huge.png", pngHeaderClaiming(100000, 100000));
             return t / "huge.png";
         }},
        {"valid 16400 × 16400 TIFF of a few KiB",
         [](const TempDir& t) {
             VImage::black(16400, 16400)
                 .tiffsave((t / "bomb.tif").c_str(), VImage::option()
                                                         ->set("tile", true)
                                                         ->set("bitdepth", 1)
                                                         ->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_CCITTFAX4));
             return t / "bomb.tif";
         }},
        {"valid PNG wider than 65535",
         [](const TempDir& t) {
             solid(70000, 2, {0}, VIPS_FORMAT_UCHAR, VIPS_INTERPRETATION_B_W).pngsave((t / "wide.png").c_str());
             return t / "wide.png";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = c.make(temp);
        try {
            SourceImage source(file);
            ADD_FAILURE() << "decoded as " << source.pixelSize.description();
        } catch (const ToolError& error) {
            const bool missing = std::string_view(c.name) == "missing file";
            // A whole picture past the limits is too large; a header libvips refuses is damaged.
            const bool oversized = std::string_view(c.name).starts_with("valid");
            EXPECT_EQ(error.kind, missing     ? ToolError::Kind::inaccessible
                                  : oversized ? ToolError::Kind::tooLarge
                                              : ToolError::Kind::unreadable);
            EXPECT_TRUE(std::string(error.what()).starts_with(missing ? "文件已不存在" : "文件已损坏或格式不受支持"))
                << error.what();
        }
    }
}

// Camera files often carry stray bytes before a marker: libjpeg warns, and the picture is whole.
TEST_F(SourceImageTest, AJpegWithStrayBytesBeforeAMarkerStillDecodes) {
    std::vector<char> bytes = readBytes(corpus("Penguin-Sushi-1.JPG"));
    static constexpr char startOfScan[] = {char(0xFF), char(0xDA)};
    const auto scan = std::search(bytes.begin(), bytes.end(), std::begin(startOfScan), std::end(startOfScan));
    ASSERT_NE(scan, bytes.end());
    bytes.insert(scan, {'x', 'y', 'z'});  // "3 extraneous bytes before marker 0xda"
    writeBytes(temp / "stray.jpg", bytes);
    const SourceImage source(temp / "stray.jpg");
    EXPECT_EQ(source.pixelSize, (PixelSize{512, 512}));
}

// A long decode ends soon after its job is cancelled, instead of running to its end.
TEST_F(SourceImageTest, ACancelledDecodeEndsEarly) {
    const fs::path big = temp / "big.png";
    VImage::black(8000, 8000).pngsave(big.c_str());
    std::atomic<int> asked{0};
    EXPECT_THROW(SourceImage(big, [&] { return ++asked > 3; }), dorvex::ToolCancelled);
    EXPECT_LT(asked.load(), 1000);  // it was asked while decoding, not only at the end
}

}  // namespace
