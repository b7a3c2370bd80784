// Thumbnails of every kind of input: each image of the corpus upright and shrunk to fit, video
// first frames turned by their display matrix, and nothing (never a throw) for what is no picture.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <vips/vips8>

#include "dorvex/engine/ThumbnailLoader.h"
#include "image/VipsRuntime.h"
#include "image/SourceImage.h"
#include "video/VideoSource.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::PixelSize;
using dorvex::Thumbnail;
namespace ThumbnailLoader = dorvex::ThumbnailLoader;

namespace {

constexpr int side = 96;

// The thumbnail has the bytes its size needs, fits in `side` and keeps `upright`'s shape.
void expectFits(const Thumbnail& thumbnail, PixelSize upright, const std::string& name) {
    EXPECT_EQ(thumbnail.rgba.size(), std::size_t(thumbnail.width) * std::size_t(thumbnail.height) * 4) << name;
    EXPECT_EQ(std::max(thumbnail.width, thumbnail.height), std::min(side, std::max(upright.width, upright.height)))
        << name;
    // Landscape stays landscape, portrait stays portrait: a turned picture fails here.
    EXPECT_EQ(thumbnail.width >= thumbnail.height, upright.width >= upright.height) << name;
    const double ratio = double(thumbnail.width) / thumbnail.height;
    EXPECT_NEAR(ratio, double(upright.width) / upright.height, 2.0 / std::min(thumbnail.width, thumbnail.height))
        << name;
}

TEST(ThumbnailTest, SizeKeepsShapeAndNeverVanishes) {
    struct Case {
        PixelSize size;
        int maxSide;
        PixelSize expected;
    };
    const Case cases[] = {
        {{4000, 3000}, 96, {96, 72}},
        {{3000, 4000}, 96, {72, 96}},
        {{96, 50}, 96, {96, 50}},
        {{10, 8}, 96, {10, 8}},
        {{10, 4000}, 96, {1, 96}},
        {{1001, 1000}, 2, {2, 2}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dorvex::thumbnailSize(c.size, c.maxSide), c.expected) << c.size.description();
    }
}

TEST(ThumbnailTest, EveryCorpusImageIsUprightAndFits) {
    int count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dorvex::testing::testMedia("images"))) {
        const std::string name = entry.path().filename().string();
        const std::optional<Thumbnail> thumbnail = ThumbnailLoader::load(entry.path(), side);
        ASSERT_TRUE(thumbnail.has_value()) << name;
        expectFits(*thumbnail, dorvex::SourceImage(entry.path()).pixelSize, name);
        ++count;
    }
    EXPECT_GE(count, 20);
}

TEST(ThumbnailTest, EveryCorpusVideoShowsItsFirstFrameAsDisplayed) {
    for (const fs::directory_entry& entry : fs::directory_iterator(dorvex::testing::testMedia("videos"))) {
        const std::string name = entry.path().filename().string();
        const std::optional<Thumbnail> thumbnail = ThumbnailLoader::load(entry.path(), side);
        ASSERT_TRUE(thumbnail.has_value()) << name;
        expectFits(*thumbnail, dorvex::VideoSource::load(entry.path()).displaySize(), name);
    }
}

// The rotated clip is the plain one with the matrix [0 1; -1 0]: a quarter turn clockwise, so the
// stored pixel (x, y) is shown at (h − 1 − y, x).
TEST(ThumbnailTest, QuarterTurnMovesEveryPixelClockwise) {
    const auto plain = ThumbnailLoader::load(dorvex::testing::testMedia("videos/realshort.mp4"), side);
    const auto turned = ThumbnailLoader::load(dorvex::testing::testMedia("videos/conv-rot90-realshort.mp4"), side);
    ASSERT_TRUE(plain && turned);
    ASSERT_EQ(turned->width, plain->height);
    ASSERT_EQ(turned->height, plain->width);
    int mismatches = 0;
    for (int y = 0; y < plain->height; ++y) {
        for (int x = 0; x < plain->width; ++x) {
            const std::size_t from = (std::size_t(y) * plain->width + x) * 4;
            const std::size_t to = (std::size_t(x) * turned->width + (plain->height - 1 - y)) * 4;
            mismatches += !std::equal(&plain->rgba[from], &plain->rgba[from + 4], &turned->rgba[to]);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// A large JPEG is decoded at a fraction of its size (libjpeg's own scaling), and still comes out
// upright: stored red left and blue right under orientation 6 show red on top.
TEST(ThumbnailTest, LargeJpegIsShrunkWhileDecoding) {
    dorvex::VipsRuntime::start();
    dorvex::testing::TemporaryFolder folder;
    const fs::path file = folder.path() / "large.jpg";
    const auto half = [](std::vector<double> colour) {
        return (vips::VImage::black(2000, 3000) + colour).cast(VIPS_FORMAT_UCHAR);
    };
    vips::VImage photo = half({255, 0, 0}).join(half({0, 0, 255}), VIPS_DIRECTION_HORIZONTAL).copy(
        vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    photo.set(VIPS_META_ORIENTATION, 6);
    photo.jpegsave(file.c_str());
    const struct {
        int maxSide;
        PixelSize size;
        int shrink;
    } cases[] = {{96, {72, 96}, 8}, {1000, {750, 1000}, 4}, {5000, {3000, 4000}, 1}};
    for (const auto& c : cases) {
        const std::optional<Thumbnail> thumbnail = ThumbnailLoader::load(file, c.maxSide);
        ASSERT_TRUE(thumbnail.has_value()) << c.maxSide;
        EXPECT_EQ(thumbnail->decodeShrink, c.shrink) << c.maxSide;
        EXPECT_EQ((PixelSize{thumbnail->width, thumbnail->height}), c.size) << c.maxSide;
        const auto at = [&](int y) { return &thumbnail->rgba[(std::size_t(y) * thumbnail->width + thumbnail->width / 2) * 4]; };
        EXPECT_GT(at(2)[0], 200) << c.maxSide;
        EXPECT_GT(at(thumbnail->height - 3)[2], 200) << c.maxSide;
    }
}

TEST(ThumbnailTest, WhatIsNoPictureGivesNothing) {
    dorvex::testing::TemporaryFolder folder;
    const fs::path junkImage = folder.path() / "junk.jpg";
    const fs::path junkVideo = folder.path() / "junk.mp4";
    for (const fs::path& junk : {junkImage, junkVideo}) std::ofstream(junk) << "not a picture at all";
    const struct {
        fs::path file;
        int maxSide;
    } cases[] = {
        {dorvex::testing::testMedia("pdfs/d-text.pdf"), side},
        {junkImage, side},
        {junkVideo, side},
        {folder.path() / "missing.png", side},
        {folder.path(), side},
        {dorvex::testing::testMedia("images/city.png"), 0},
        {dorvex::testing::testMedia("videos/realshort.mp4"), 0},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ThumbnailLoader::load(c.file, c.maxSide).has_value()) << c.file << " " << c.maxSide;
    }
}

}  // namespace
