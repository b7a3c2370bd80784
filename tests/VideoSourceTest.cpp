// Probing videos: what the record holds for real files, and the errors, with their texts, for
// files that are no usable video.

#include "video/VideoSource.h"

#include <gtest/gtest.h>

#include <cmath>

#include "VideoClips.h"

namespace dorvex {
namespace {

using namespace dorvex::testing;

TEST(VideoErrorTest, TextsAreWhatTheUserSees) {
    EXPECT_STREQ(VideoError::unreadable("读取中断").what(), "无法读取这个视频（读取中断）");
    EXPECT_STREQ(VideoError::encodeFailed("编码器无响应").what(), "视频编码失败（编码器无响应）");
    EXPECT_STREQ(VideoError::noVideoTrack().what(), "这个文件没有视频画面");
    EXPECT_STREQ(VideoError::cancelled().what(), "已取消");
    EXPECT_EQ(VideoError::unreadable("a"), VideoError::unreadable("a"));
    EXPECT_FALSE(VideoError::unreadable("a") == VideoError::unreadable("b"));
    EXPECT_FALSE(VideoError::unreadable("a") == VideoError::encodeFailed("a"));
}

TEST(VideoSourceTest, DisplaySizeFollowsTheTransform) {
    struct Case {
        const char* name;
        AffineTransform transform;
        PixelSize natural;  // of 1920×1080
        PixelSize small;    // of 641×359
    };
    const Case cases[] = {
        {"identity", {}, {1920, 1080}, {641, 359}},
        {"quarter turn", {0, 1, -1, 0, 1080, 0}, {1080, 1920}, {359, 641}},
        {"quarter turn back", {0, -1, 1, 0, 0, 1920}, {1080, 1920}, {359, 641}},
        {"half turn", {-1, 0, 0, -1, 1920, 1080}, {1920, 1080}, {641, 359}},
        {"mirrored", {-1, 0, 0, 1, 1920, 0}, {1920, 1080}, {641, 359}},
        {"scaled by half", {0.5, 0, 0, 0.5, 0, 0}, {960, 540}, {321, 180}},
    };
    for (const Case& c : cases) {
        VideoSource source;
        source.naturalSize = {1920, 1080};
        source.transform = c.transform;
        EXPECT_EQ(source.displaySize(), c.natural) << c.name;
        EXPECT_EQ(source.displaySize(PixelSize{641, 359}), c.small) << c.name;
    }
}

TEST(VideoSourceTest, OnlyHLGAndPQAreHDR) {
    const std::pair<std::optional<std::string>, bool> cases[] = {
        {std::nullopt, false}, {"bt709", false}, {"smpte170m", false}, {"iec61966-2-1", false},
        {"bt2020-10", false},  {"arib-std-b67", true}, {"smpte2084", true},
    };
    for (const auto& [transfer, hdr] : cases) {
        VideoSource source;
        source.transferFunction = transfer;
        EXPECT_EQ(source.isHDR(), hdr) << transfer.value_or("none");
    }
}

TEST(VideoSourceTest, ReadsCorpusVideos) {
    struct Case {
        const char* file;
        PixelSize natural;
        PixelSize display;
        double duration;
        double frameRate;
        std::optional<std::string> transfer;
        int channels;
        double sampleRate;
    };
    const Case cases[] = {
        {"birds.mp4", {1280, 720}, {1280, 720}, 1.044, 30, "bt709", 2, 48000},
        {"conv-rot90-realshort.mp4", {320, 240}, {240, 320}, 1.199, 45000.0 / 1499, std::nullopt, 1, 48000},
        {"conv-hlg-birds.mov", {1280, 720}, {1280, 720}, 1.044, 30, "arib-std-b67", 2, 48000},
        {"lebiniou-2021-06-10_12-32-58.mp4", {320, 180}, {320, 180}, 7.167, 30, std::nullopt, 0, 0},
        {"DualDiscs.mov", {640, 465}, {640, 465}, 2.545, 12400.0 / 509, "bt709", 2, 44100},
    };
    for (const Case& c : cases) {
        const VideoSource source = VideoSource::load(corpusVideo(c.file));
        EXPECT_EQ(source.url, corpusVideo(c.file));
        EXPECT_EQ(source.byteCount, std::int64_t(fs::file_size(corpusVideo(c.file)))) << c.file;
        EXPECT_EQ(source.naturalSize, c.natural) << c.file;
        EXPECT_EQ(source.displaySize(), c.display) << c.file;
        EXPECT_NEAR(source.duration, c.duration, 0.002) << c.file;
        EXPECT_NEAR(source.frameRate, c.frameRate, 0.01) << c.file;
        EXPECT_EQ(source.transferFunction, c.transfer) << c.file;
        EXPECT_EQ(source.audioChannels, c.channels) << c.file;
        EXPECT_EQ(source.audioSampleRate, c.sampleRate) << c.file;
        EXPECT_EQ(source.hasAudio(), c.channels > 0) << c.file;
        EXPECT_EQ(source.isHDR(), c.transfer == std::optional<std::string>("arib-std-b67")) << c.file;
    }
}

TEST(VideoSourceTest, QuarterTurnOfAPortraitClip) {
    DORVEX_REQUIRE_FFMPEG_TOOL();
    const VideoSource source = VideoSource::load(portraitClip());
    EXPECT_EQ(source.naturalSize, (PixelSize{320, 240}));
    EXPECT_EQ(source.displaySize(), (PixelSize{240, 320}));
    EXPECT_NE(source.transform, AffineTransform{});
}

TEST(VideoSourceTest, SixChannelsAt96kHzAreReportedAsTheyAre) {
    DORVEX_REQUIRE_FFMPEG_TOOL();
    const VideoSource source = VideoSource::load(surroundClip());
    EXPECT_EQ(source.audioChannels, 6);
    EXPECT_EQ(source.audioSampleRate, 96000);
}

TEST(VideoSourceTest, FilesThatAreNoUsableVideoFailWithTheirTexts) {
    DORVEX_REQUIRE_FFMPEG_TOOL();
    const fs::path folder = makeTemporaryFolder(executableFolder(), "VideoSourceTest-");

    // Cut in the middle with the index at the end: nothing can be read.
    const fs::path indexAtEnd = clip("index-at-end.mp4",
                                     "-f lavfi -i testsrc=s=320x240:r=30:d=1 -c:v libx264 -preset veryfast -pix_fmt yuv420p");
    const std::string data = contents(indexAtEnd);
    put(folder / "truncated.mp4", data.substr(0, data.size() / 2));
    put(folder / "text.mp4", "this is no video at all\n");
    put(folder / "empty.mov", "");

    // A picture in an audio file is cover art, not video.
    const fs::path cover = clip("cover.m4a",
                                "-f lavfi -i sine=f=440:r=44100:d=1 -f lavfi -i color=c=red:s=64x64:d=1 -frames:v 1 "
                                "-map 0 -map 1 -c:a aac -c:v png -disposition:v:0 attached_pic");

    struct Case {
        fs::path file;
        std::string text;
    };
    const Case cases[] = {
        {folder / "truncated.mp4", "无法读取这个视频（格式不受支持或受版权保护）"},
        {folder / "text.mp4", "无法读取这个视频（格式不受支持或受版权保护）"},
        {folder / "empty.mov", "无法读取这个视频（格式不受支持或受版权保护）"},
        {folder / "missing.mp4", "无法读取这个视频（No such file or directory）"},
        {audioOnlyClip(), "这个文件没有视频画面"},
        {cover, "这个文件没有视频画面"},
    };
    for (const Case& c : cases) {
        try {
            VideoSource::load(c.file);
            ADD_FAILURE() << c.file << " loaded";
        } catch (const VideoError& error) {
            EXPECT_EQ(std::string(error.what()), c.text) << c.file;
        }
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace dorvex
