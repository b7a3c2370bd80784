// The texts that show results: sizes, savings, durations, limits, locations and a result's line.

#include "dorvex/text/Format.h"

#include <gtest/gtest.h>

#include <limits>

using namespace dorvex;

namespace {

CompressionResult success(std::int64_t source, std::int64_t output, PixelSize size = {4000, 3000}) {
    CompressionResult r;
    r.status = CompressionResult::Success{};
    r.sourceBytes = source;
    r.outputBytes = output;
    r.pixelSize = r.sourcePixelSize = size;
    return r;
}

}  // namespace

TEST(Format, Numbers) {
    struct BytesCase {
        std::int64_t n;
        const char* text;
    };
    for (const auto& c : std::initializer_list<BytesCase>{{0, "0 B"},         {999, "999 B"},
                                                          {-5, "-5 B"},       {1000, "1.0 KB"},
                                                          {999999, "1000.0 KB"}, {1500000, "1.50 MB"},
                                                          {-2500, "-2.5 KB"}, {3210000000, "3.21 GB"}}) {
        EXPECT_EQ(Format::bytes(c.n), c.text) << c.n;
    }
    EXPECT_EQ(Format::savings(0.423), "节省 42%");
    EXPECT_EQ(Format::savings(-0.1), "增大 10%");
    EXPECT_EQ(Format::savings(0.005), "节省 1%");
    EXPECT_EQ(Format::savings(std::numeric_limits<double>::infinity()), "节省 0%");
    EXPECT_EQ(Format::totalSaved(600, 1000), "共节省 600 B（60%）");
    EXPECT_EQ(Format::totalSaved(-1500, 10000), "共增大 1.5 KB（15%）");
    EXPECT_EQ(Format::totalSaved(5, 0), "共节省 5 B（0%）");
    EXPECT_EQ(Format::duration(83), "1:23");
    EXPECT_EQ(Format::duration(3725), "1:02:05");
    EXPECT_EQ(Format::duration(59.5), "1:00");
    EXPECT_EQ(Format::levelName(3.4), "平衡");
    EXPECT_EQ(Format::fileCount(3, true), "3 张");
    EXPECT_EQ(Format::fileCount(1, false), "1 个文件");
}

TEST(Format, OptionsSummaries) {
    CompressionOptions o;
    o.keepDimensions = true;
    EXPECT_EQ(Format::maxSize(o), "不限体积");
    o.maxBytes = 200000;
    EXPECT_EQ(Format::maxSize(o), "≤ 200.0 KB · 保持尺寸");
    o.videoMaxBytes = 5000000;
    o.keepDimensions = false;
    EXPECT_EQ(Format::maxSize(o), "≤ 200.0 KB · 视频 ≤ 5.00 MB");

    EXPECT_EQ(Format::saveLocation(SaveLocation::sourceFolder("-min"), ""), "原目录 · -min");
    EXPECT_EQ(Format::saveLocation(SaveLocation::sourceFolder(""), ""), "原目录 · 无后缀");
    EXPECT_EQ(Format::saveLocation(SaveLocation::folder("/home/me/Out", "-min"), "web-"), "Out · web-…-min");
    EXPECT_EQ(Format::saveLocation(SaveLocation::overwrite(), "x"), "覆盖原图");
}

TEST(Format, ResultLines) {
    const CompressionResult image = success(1000000, 420000);
    EXPECT_EQ(Format::statusLine(image), "1.00 MB → 420.0 KB · 4000×3000");
    EXPECT_EQ(Format::change(image), (Format::Change{"-58%", false}));

    CompressionResult scaled = success(1000000, 420000);
    scaled.pixelSize = {2000, 1500};
    EXPECT_EQ(Format::statusLine(scaled), "1.00 MB → 420.0 KB · 4000×3000 → 2000×1500");

    EXPECT_EQ(Format::change(success(1000, 996)), (Format::Change{"+0%", false}));
    EXPECT_EQ(Format::change(success(1000, 1100)), (Format::Change{"+10%", true}));
    EXPECT_EQ(Format::change(success(1000, 500)).text, "-50%");
    EXPECT_EQ(Format::change(success(0, 500)), (Format::Change{"+0%", false}));

    CompressionResult video = success(120000000, 30000000, {1920, 1080});
    video.videoCodec = VideoCodec::hevc;
    video.duration = 83;
    EXPECT_EQ(Format::statusLine(video), "120.00 MB → 30.00 MB · HEVC · 1920×1080 · 1:23");

    CompressionResult pdf = success(2000000, 900000);
    pdf.pageCount = 12;
    EXPECT_EQ(Format::statusLine(pdf), "2.00 MB → 900.0 KB · 12 页");

    CompressionResult skipped;
    skipped.status = CompressionResult::Skipped{SkipReason::encrypted};
    EXPECT_EQ(Format::statusLine(skipped), "PDF 有密码，已跳过");
    CompressionResult failed;
    failed.status = CompressionResult::Failed{"已取消"};
    EXPECT_EQ(Format::statusLine(failed), "已取消");
}

TEST(Format, Tags) {
    CompressionOptions o;
    o.maxBytes = 1000000;
    CompressionResult r = success(3000000, 900000);
    r.maxSizeMet = true;
    EXPECT_EQ(Format::tags(r, o), (std::vector<Format::Tag>{{"≤1.00 MB ✓", Format::TagColor::green}}));
    r.maxSizeMet = false;
    r.pixelSize = {100, 75};
    EXPECT_EQ(Format::tags(r, o), (std::vector<Format::Tag>{{"未达标", Format::TagColor::orange},
                                                           {"缩图", Format::TagColor::blue}}));
    // A video result answers to the video limit, which is not set here.
    r.videoCodec = VideoCodec::h264;
    EXPECT_EQ(Format::tags(r, o), (std::vector<Format::Tag>{{"缩图", Format::TagColor::blue}}));
    // Nothing for results that are not successes.
    r.status = CompressionResult::Failed{"x"};
    EXPECT_TRUE(Format::tags(r, o).empty());
    EXPECT_EQ(Format::stopReason(SearchStopReason::unreachable), "压到最小仍超限");
}

// "缩图" says the user's limit made the picture smaller: never for a video whose encoder only
// rounded an odd side down to even.
TEST(Format, DownscaleTagOnlyForARealDownscale) {
    struct Case {
        const char* name;
        PixelSize source, output;
        bool video;
        bool tagged;
    };
    const Case cases[] = {
        {"video, odd height rounded to even", {640, 465}, {640, 464}, true, false},
        {"video, both sides rounded", {641, 465}, {640, 464}, true, false},
        {"video, scaled down", {1920, 1080}, {1280, 720}, true, true},
        {"video, two pixels narrower", {642, 464}, {640, 464}, true, true},
        {"image, unchanged", {640, 465}, {640, 465}, false, false},
        {"image, one pixel shorter", {640, 465}, {640, 464}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompressionResult r = success(3000, 1000);
        r.sourcePixelSize = c.source;
        r.pixelSize = c.output;
        if (c.video) r.videoCodec = VideoCodec::hevc;
        EXPECT_EQ(Format::downscaled(r), c.tagged);
        EXPECT_EQ(Format::tags(r, CompressionOptions{}).size(), c.tagged ? 1u : 0u);
    }
}

TEST(Format, RowToolTip) {
    const std::filesystem::path source = "/home/u/Pictures/a.png";
    EXPECT_EQ(Format::toolTip(source, nullptr), "文件夹：/home/u/Pictures\n路径：/home/u/Pictures/a.png");
    CompressionResult failed;
    failed.status = CompressionResult::Failed{"编码器 cwebp 无法压缩 a.png（退出码 1）", "cwebp exited 1: bad input"};
    EXPECT_EQ(Format::toolTip(source, &failed),
              "文件夹：/home/u/Pictures\n路径：/home/u/Pictures/a.png\n\n编码器 cwebp 无法压缩 a.png（退出码 1）\n"
              "详情：cwebp exited 1: bad input");
    // A long detail is cut between characters, never inside one.
    failed.status = CompressionResult::Failed{"x", std::string(599, 'e') + "错误"};
    EXPECT_TRUE(Format::toolTip(source, &failed).ends_with("详情：" + std::string(599, 'e') + "…"));
    CompressionResult written = success(3000, 1000);
    written.output = "/home/u/out/a.png";
    written.warnings = {"已将原有的同名文件 a.png 移入回收站"};
    EXPECT_EQ(Format::toolTip(source, &written),
              "文件夹：/home/u/Pictures\n路径：/home/u/Pictures/a.png\n输出：/home/u/out/a.png\n\n"
              "已将原有的同名文件 a.png 移入回收站");
    // A written picture's score comes after its output; a failure's score is never shown.
    written.perceptual = PerceptualScore{2.46, 0.9};
    EXPECT_EQ(Format::toolTip(source, &written),
              "文件夹：/home/u/Pictures\n路径：/home/u/Pictures/a.png\n输出：/home/u/out/a.png\n感知差异 2.5 · 可见\n\n"
              "已将原有的同名文件 a.png 移入回收站");
    failed.perceptual = written.perceptual;
    EXPECT_EQ(Format::toolTip(source, &failed).find("感知差异"), std::string::npos);
}

TEST(Format, RunningStatus) {
    EXPECT_EQ(Format::runningStatus(0, std::nullopt, std::nullopt), "解码中…");
    EXPECT_EQ(Format::runningStatus(1, std::nullopt, std::nullopt), "解码中…");
    EXPECT_EQ(Format::runningStatus(1, 74, std::nullopt), "压缩中");
    EXPECT_EQ(Format::runningStatus(3, 60, std::nullopt), "压缩中 · 第 3 次");
    EXPECT_EQ(Format::runningStatus(1, std::nullopt, 0.459), "压缩中 45%");
    EXPECT_EQ(Format::runningStatus(2, std::nullopt, 1.0), "第 2 次 · 100%");
}
