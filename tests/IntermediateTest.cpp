// The intermediate files the encoders read: the PNG (alpha kept, no metadata), the PPM composited
// over white with its exact bytes, and the per-session cache that writes each (size, format) once.

#include <gtest/gtest.h>

#include <vips/vips8>

#include <stdlib.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/SourceImage.h"
#include "dorvex/image/ToolError.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "image/encoders/EncodeInputs.h"
#include "image/encoders/Intermediate.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::EncodeInputs;
using dorvex::Picture;
using dorvex::PixelSize;
using dorvex::SourceImage;
using dorvex::ToolError;
using vips::VImage;

namespace {

using TempDir = dorvex::testing::TemporaryFolder;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A picture of one row holding the given RGBA pixels.
Picture rowPicture(const std::vector<std::array<unsigned char, 4>>& pixels) {
    std::vector<unsigned char> bytes;
    for (const auto& pixel : pixels) bytes.insert(bytes.end(), pixel.begin(), pixel.end());
    VImage image = VImage::new_from_memory(bytes.data(), bytes.size(), int(pixels.size()), 1, 4, VIPS_FORMAT_UCHAR)
                       .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
                       .copy_memory();
    return dorvex::makePicture(image);
}

// A 40 × 20 PNG: an opaque red square (10..29 × 5..14) on a fully transparent background.
fs::path squareOnTransparency(const TempDir& temp) {
    VImage image = (VImage::black(40, 20, VImage::option()->set("bands", 4)) + std::vector<double>{0, 0, 0, 0})
                       .cast(VIPS_FORMAT_UCHAR)
                       .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    image.draw_rect({255, 0, 0, 255}, 10, 5, 20, 10, VImage::option()->set("fill", true));
    const fs::path file = temp / "square.png";
    image.pngsave(file.c_str());
    return file;
}

class IntermediateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dorvex::VipsRuntime::start(); }
    TempDir temp;
};

// ---- PPM ------------------------------------------------------------------------------------

TEST_F(IntermediateTest, PpmHeaderAndSizeAreExact) {
    VImage image = (VImage::black(3, 2, VImage::option()->set("bands", 4)) + std::vector<double>{1, 2, 3, 255})
                       .cast(VIPS_FORMAT_UCHAR)
                       .copy_memory();
    const fs::path file = temp / "out.ppm";
    dorvex::Intermediate::writePPM(dorvex::makePicture(image), file);
    std::string expected = "P6\n3 2\n255\n";
    for (int pixel = 0; pixel < 6; ++pixel) expected += "\1\2\3";
    EXPECT_EQ(readFile(file), expected);
}

TEST_F(IntermediateTest, PpmCompositesOverWhite) {
    struct Case {
        unsigned char colour, alpha, expected;
    };
    // p = round(c·a/255), byte = min(255, p + 255 − a).
    const std::vector<Case> cases = {
        {0, 0, 255},     {200, 0, 255},  // transparent: white whatever the colour
        {17, 255, 17},   {0, 255, 0},     {255, 255, 255},  // opaque: the colour itself
        {200, 128, 227},  // p = round(100.39) = 100
        {0, 128, 127},    {255, 1, 255},  {100, 51, 224},  // p = 20 exactly
        {1, 254, 2},      // p = round(0.996) = 1
        {128, 64, 223},   // p = round(32.13) = 32
        {90, 170, 145},   // p = round(60) = 60
    };
    std::vector<std::array<unsigned char, 4>> pixels;
    for (const Case& c : cases) {
        // The three channels get different colours to catch a channel mix-up.
        pixels.push_back({c.colour, static_cast<unsigned char>(255 - c.colour), c.colour, c.alpha});
    }
    const fs::path file = temp / "row.ppm";
    dorvex::Intermediate::writePPM(rowPicture(pixels), file);

    const std::string header = "P6\n" + std::to_string(cases.size()) + " 1\n255\n";
    const std::string bytes = readFile(file);
    ASSERT_EQ(bytes.size(), header.size() + 3 * cases.size());
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    auto over = [](unsigned colour, unsigned alpha) {
        const unsigned premultiplied = (colour * alpha * 2 + 255) / 510;  // round half up
        return std::min(255u, premultiplied + 255 - alpha);
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("colour " + std::to_string(cases[i].colour) + ", alpha " + std::to_string(cases[i].alpha));
        const auto* pixel = reinterpret_cast<const unsigned char*>(bytes.data() + header.size() + 3 * i);
        EXPECT_EQ(pixel[0], cases[i].expected);
        EXPECT_EQ(pixel[1], over(255u - cases[i].colour, cases[i].alpha));
        EXPECT_EQ(pixel[2], cases[i].expected);
    }
}

TEST_F(IntermediateTest, PpmReplacesALongerFile) {
    const fs::path file = temp / "out.ppm";
    std::ofstream(file) << std::string(10000, 'x');
    dorvex::Intermediate::writePPM(rowPicture({{{9, 8, 7, 255}}}), file);
    EXPECT_EQ(readFile(file), std::string("P6\n1 1\n255\n\x09\x08\x07"));
}

// ---- PNG ------------------------------------------------------------------------------------

TEST_F(IntermediateTest, PngKeepsPixelsAndTransparencyAndDropsMetadata) {
    // A source with an ICC profile and alpha: the intermediate holds the converted pixels only.
    const fs::path original = dorvex::testing::testMedia("images/tmshre_riaphotographs_alpha.png");
    SourceImage source(original);
    const Picture picture = source.render();
    const fs::path file = temp / "out.png";
    dorvex::Intermediate::writePNG(picture, file);

    VImage written = VImage::new_from_file(file.c_str());
    EXPECT_EQ(written.bands(), 4);
    EXPECT_EQ(written.format(), VIPS_FORMAT_UCHAR);
    EXPECT_EQ(written.get_typeof(VIPS_META_ICC_NAME), 0u);
    EXPECT_EQ(written.get_typeof(VIPS_META_EXIF_NAME), 0u);
    EXPECT_EQ(written.get_typeof(VIPS_META_XMP_NAME), 0u);
    EXPECT_EQ((written - dorvex::vipsImage(picture)).abs().max(), 0.0);
    EXPECT_EQ((written[3] - VImage::new_from_file(original.c_str())[3]).abs().max(), 0.0);
    EXPECT_LT(written[3].min(), 16.0);
}

// 1000 × 800 pixels span three slices of rows; every row must land in its place.
TEST_F(IntermediateTest, PpmOfALargePictureHoldsEveryRow) {
    const VImage xy = VImage::xyz(1000, 800);
    const VImage image = VImage::bandjoin({xy[0] % 256, xy[1] % 256, (xy[0] + xy[1]) % 256})
                             .bandjoin_const({255})
                             .cast(VIPS_FORMAT_UCHAR)
                             .copy_memory();
    const fs::path file = temp / "large.ppm";
    dorvex::Intermediate::writePPM(dorvex::makePicture(image), file);
    const VImage written = VImage::new_from_file(file.c_str());
    ASSERT_EQ(written.width(), 1000);
    ASSERT_EQ(written.height(), 800);
    EXPECT_EQ((written - image.extract_band(0, VImage::option()->set("n", 3))).abs().max(), 0.0);
}

TEST_F(IntermediateTest, UnwritablePathsFailWithTheirPath) {
    const Picture picture = rowPicture({{{1, 2, 3, 255}}});
    std::ofstream(temp / "file") << "a file, not a folder";
    for (const fs::path& file : {temp / "file" / "out", temp / "missing" / "out", temp.path()}) {
        SCOPED_TRACE(file.string());
        for (auto write : {&dorvex::Intermediate::writePNG, &dorvex::Intermediate::writePPM}) {
            try {
                write(picture, file);
                ADD_FAILURE() << "written";
            } catch (const ToolError& error) {
                EXPECT_EQ(error.kind, ToolError::Kind::writeFailed);
                EXPECT_EQ(std::string(error.what()), "cannot write " + file.string());
            }
        }
    }
}

// ---- EncodeInputs ---------------------------------------------------------------------------

TEST_F(IntermediateTest, TransparentBackgroundIsWhiteInPpmAndKeptInPng) {
    SourceImage source(squareOnTransparency(temp));
    fs::create_directory(temp / "work");
    EncodeInputs inputs(source, temp / "work");

    VImage ppm = VImage::new_from_file(inputs.ppm().c_str());
    ASSERT_EQ(ppm.bands(), 3);
    EXPECT_EQ(ppm.getpoint(0, 0), (std::vector<double>{255, 255, 255}));
    EXPECT_EQ(ppm.getpoint(15, 10), (std::vector<double>{255, 0, 0}));

    VImage png = VImage::new_from_file(inputs.png().c_str());
    ASSERT_EQ(png.bands(), 4);
    EXPECT_EQ(png.getpoint(0, 0)[3], 0.0);
    EXPECT_EQ(png.getpoint(15, 10), (std::vector<double>{255, 0, 0, 255}));
}

TEST_F(IntermediateTest, EachSizeAndFormatIsWrittenOnce) {
    SourceImage source(squareOnTransparency(temp));
    fs::create_directory(temp / "work");
    EncodeInputs inputs(source, temp / "work");
    EXPECT_EQ(&inputs.source(), &source);

    const fs::path png = inputs.png();
    EXPECT_EQ(png, temp / "work" / "src-40x20.png");
    const fs::path ppm = inputs.ppm();
    EXPECT_EQ(ppm, temp / "work" / "src-40x20.ppm");
    const fs::path small = inputs.png(PixelSize{20, 10});
    EXPECT_EQ(small, temp / "work" / "src-20x10.png");
    EXPECT_EQ(VImage::new_from_file(small.c_str()).width(), 20);

    // Mark the files: asking again, with or without the size, must not write them again.
    for (const fs::path& file : {png, ppm, small}) std::ofstream(file) << "marker";
    EXPECT_EQ(inputs.png(), png);
    EXPECT_EQ(inputs.png(source.pixelSize), png);
    EXPECT_EQ(inputs.ppm(PixelSize{40, 20}), ppm);
    EXPECT_EQ(inputs.png(PixelSize{20, 10}), small);
    for (const fs::path& file : {png, ppm, small}) EXPECT_EQ(readFile(file), "marker") << file;
}

TEST_F(IntermediateTest, IntermediatesAreUpright) {
    VImage tagged = (VImage::black(40, 20, VImage::option()->set("bands", 3)) + std::vector<double>{0, 128, 0})
                        .cast(VIPS_FORMAT_UCHAR)
                        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    tagged.set("orientation", 6);
    tagged.jpegsave((temp / "o6.jpg").c_str());
    SourceImage source(temp / "o6.jpg");
    EncodeInputs inputs(source, temp.path());

    for (const fs::path& file : {inputs.png(), inputs.ppm()}) {
        SCOPED_TRACE(file.string());
        EXPECT_EQ(file.filename(), file.extension() == ".png" ? "src-20x40.png" : "src-20x40.ppm");
        VImage written = VImage::new_from_file(file.c_str());
        EXPECT_EQ(written.width(), 20);
        EXPECT_EQ(written.height(), 40);
    }
}

TEST_F(IntermediateTest, FailuresAreNotRemembered) {
    SourceImage source(squareOnTransparency(temp));
    EncodeInputs inputs(source, temp / "work");  // not created yet

    EXPECT_THROW(inputs.png(), ToolError);
    EXPECT_THROW(inputs.ppm(), ToolError);
    try {
        inputs.png(PixelSize{0, 20});
        ADD_FAILURE() << "rendered";
    } catch (const ToolError& error) {
        EXPECT_EQ(error.kind, ToolError::Kind::renderFailed);
    }

    fs::create_directory(temp / "work");
    EXPECT_TRUE(fs::is_regular_file(inputs.png()));
    EXPECT_TRUE(fs::is_regular_file(inputs.ppm()));
}

}  // namespace
