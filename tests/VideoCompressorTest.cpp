// The video rate model (pure) and whole video jobs: no limit, a met limit, a limit reached by the
// search, an unreachable one, the no-savings rule, rotated sources, and the ways a job fails.

#include "video/VideoCompressor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "dorvex/output/OutputPlanner.h"
#include "dorvex/model/QualityModel.h"
#include "VideoClips.h"
#include "video/VideoEncoder.h"
#include "video/VideoProfile.h"
#include "video/VideoSettings.h"
#include "video/VideoSource.h"

namespace dorvex {
namespace {

using namespace dorvex::testing;
using StopReason = SearchStopReason;

// The encodes of the ordinary search: the first, the qualities and the bit rates.
constexpr int searchBudget = 1 + VideoProfile::maxQualityAttempts + VideoProfile::maxBitrateAttempts;

[[maybe_unused]] auto* const home = ::testing::AddGlobalTestEnvironment(new TestHome("VideoCompressorTest-"));

// ---- the rate model --------------------------------------------------------------------------

TEST(VideoProfileTest, QualityOfALevel) {
    const std::pair<double, double> cases[] = {{1, 0.72}, {3, 0.60}, {6, 0.42}, {12, 0.06}, {13, 0.05}, {20, 0.05}, {-10, 1.0}};
    for (const auto& [level, quality] : cases) EXPECT_NEAR(VideoProfile::quality(level), quality, 1e-12) << level;
}

TEST(VideoProfileTest, KeyFrameIntervalIsTenSecondsOfFrames) {
    const std::pair<double, int> cases[] = {
        {30, 300}, {29.97, 300}, {12400.0 / 509, 240}, {0.3, 10}, {0, 300}, {-5, 300},
        {std::numeric_limits<double>::quiet_NaN(), 300}, {std::numeric_limits<double>::infinity(), 300},
        {1e12, std::numeric_limits<int>::max()},
    };
    for (const auto& [rate, frames] : cases) EXPECT_EQ(VideoProfile::keyFrameInterval(rate), frames) << rate;
}

TEST(VideoProfileTest, BitrateFromABudget) {
    EXPECT_EQ(VideoProfile::bitrate(100'000'000, 0, true), 50000);
    EXPECT_EQ(VideoProfile::bitrate(100'000'000, -1, false), 50000);
    EXPECT_EQ(VideoProfile::bitrate(10'000'000, 100, true), 608000);
    EXPECT_EQ(VideoProfile::bitrate(10'000'000, 100, false), 736000);
    EXPECT_EQ(VideoProfile::bitrate(1000, 100, true), 50000);
    EXPECT_EQ(VideoProfile::bitrate(std::numeric_limits<std::int64_t>::max(), 0.001, false), 4'000'000'000);
}

TEST(VideoProfileTest, BestEffortLowersTheAudioThenTheFrameRateThenThePicture) {
    // 47 s of 720p at 30 fps. 220 000 bytes fill 34 451 bit/s; the ordinary search's smallest
    // picture, 426×240 at 30 fps, costs 30 672.
    const VideoProfile::BestEffortSource card{{1280, 720}, 30, 47, 128000, VideoCodec::hevc, false};
    using Plan = VideoProfile::BestEffort;
    const struct {
        const char* what;
        VideoProfile::BestEffortSource source;
        std::int64_t limit;
        double ratio;
        std::optional<Plan> expected;
    } cases[] = {
        {"64 kbit/s of audio leave the picture room", card, 700'000, 1, Plan{64000, std::nullopt, {518, 292}, 45617}},
        {"the lowest audio, half the frames", card, 220'000, 1, Plan{12000, 15.0, {514, 290}, 22451}},
        {"an encoder twice over its target: a smaller picture", card, 220'000, 2, Plan{12000, 15.0, {364, 204}, 11225}},
        {"nothing fits: every floor", card, 100'000, 1, Plan{12000, 15.0, {256, 144}, 4000}},
        {"kept dimensions, no audio: only frames go, at most to 12 fps",
         {{320, 240}, 60, 10, 0, VideoCodec::hevc, true}, 20'000, 1, Plan{std::nullopt, 15.0, {320, 240}, 14720}},
        {"a slow source keeps its rate", {{320, 240}, 10, 10, 0, VideoCodec::hevc, false}, 5'000, 1,
         Plan{std::nullopt, std::nullopt, {230, 172}, 4000}},
        {"no duration", {{320, 240}, 30, 0, 128000, VideoCodec::hevc, false}, 5'000, 1, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(VideoProfile::bestEffort(c.source, c.limit, c.ratio), c.expected) << c.what;

    // How far a pass was from its target: 32 000 bit/s of video for 64 000 asked, or none measured.
    EXPECT_DOUBLE_EQ(VideoProfile::rateRatio(200'000, 10, 128000, 64000), 0.5);
    EXPECT_DOUBLE_EQ(VideoProfile::rateRatio(100'000, 10, 128000, 64000), 0.5);

    // The lowered track: mono below 48 kbit/s, 16 kHz at 16 kbit/s or less, never above the standard.
    EXPECT_EQ(VideoSettings::audioShape(2, 48000, 64000), (VideoSettings::AudioShape{2, 48000, 64000}));
    EXPECT_EQ(VideoSettings::audioShape(2, 44100, 32000), (VideoSettings::AudioShape{1, 44100, 32000}));
    EXPECT_EQ(VideoSettings::audioShape(6, 48000, 12000), (VideoSettings::AudioShape{1, 16000, 12000}));
    EXPECT_EQ(VideoSettings::audioShape(1, 8000, 64000), VideoSettings::audioShape(1, 8000));
}

TEST(VideoProfileTest, ScaledSizeKeepsEvenSidesAndAShortSideOf240) {
    struct Case {
        PixelSize size;
        std::int64_t bitrate;
        double frameRate;
        VideoCodec codec;
        PixelSize expected;
    };
    const Case cases[] = {
        {{1920, 1080}, 100'000'000, 30, VideoCodec::hevc, {1920, 1080}},  // the rate carries the frame
        {{1920, 1080}, 1, 30, VideoCodec::hevc, {426, 240}},              // at the floor
        {{1080, 1920}, 1, 30, VideoCodec::h264, {240, 426}},
        {{320, 240}, 1, 30, VideoCodec::hevc, {320, 240}},                // already at or below the floor
        {{200, 100}, 1, 30, VideoCodec::hevc, {200, 100}},
        {{1920, 1080}, 155520, 0, VideoCodec::hevc, {960, 540}},  // 30 fps assumed: a quarter of the pixels
        {{1920, 1080}, 233280, 30, VideoCodec::h264, {960, 540}},
        {{1920, 1080}, 155520, 60, VideoCodec::hevc, {678, 380}},
    };
    for (const Case& c : cases) {
        const PixelSize scaled = VideoProfile::scaledSize(c.size, c.bitrate, c.frameRate, c.codec);
        EXPECT_EQ(scaled, c.expected) << c.size.description() << " at " << c.bitrate;
        if (scaled != c.size) {
            EXPECT_EQ(scaled.width % 2, 0);
            EXPECT_EQ(scaled.height % 2, 0);
        }
    }
}

TEST(VideoProfileTest, NextQuality) {
    using Samples = std::vector<VideoProfile::QualitySample>;
    const std::int64_t limit = 1'000'000;
    struct Case {
        const char* name;
        Samples samples;
        std::int64_t limit;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"one sample over: slope 5", {{0.6, 2 * limit}}, limit, 0.45},
        {"first quality at 0.3 goes to the bit rates", {{0.3, 2 * limit}}, limit, std::nullopt},
        {"best fit within 10 % of the limit", {{0.6, 2 * limit}, {0.45, 950'000}}, limit, std::nullopt},
        {"between a fit and an over", {{0.6, 2 * limit}, {0.45, limit / 2}}, limit, 0.52},
        {"no grid point left between them", {{0.6, 2 * limit}, {0.59, limit / 2}}, limit, std::nullopt},
        {"nothing over the limit", {{0.5, limit / 2}}, limit, std::nullopt},
        {"two over, none fits: the last two make the line", {{0.6, 4 * limit}, {0.45, 2 * limit}}, limit, 0.3},
        {"a limit under one byte", {{0.6, 2}}, 0, std::nullopt},
        {"no samples", {}, limit, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<double> next = VideoProfile::nextQuality(c.samples, c.limit);
        EXPECT_EQ(next.has_value(), c.expected.has_value()) << c.name;
        if (next && c.expected) {
            EXPECT_NEAR(*next, *c.expected, 1e-9) << c.name;
        }
    }
}

// ---- whole jobs ------------------------------------------------------------------------------

class VideoCompressorTest : public ::testing::Test {
protected:
    void SetUp() override {
        DORVEX_REQUIRE_FFMPEG_TOOL();
        folder_ = makeTemporaryFolder(TestHome::root(), "job-");
        temporary_ = folder_ / "tmp";
        fs::create_directories(temporary_);
        ::setenv("TMPDIR", temporary_.c_str(), 1);
    }
    void TearDown() override {
        if (folder_.empty()) return;
        // Whatever happened, the job's own temporary folder is gone.
        EXPECT_EQ(leftoversIn(temporary_), std::vector<std::string>{});
        ::unsetenv("TMPDIR");
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // A copy of `clip` in the test's folder, so that outputs land beside it.
    fs::path source(const fs::path& clipFile, const std::string& name) {
        const fs::path copy = folder_ / "in" / name;
        fs::create_directories(copy.parent_path());
        fs::copy_file(clipFile, copy);
        return copy;
    }

    CompressionResult compress(const fs::path& file, CompressionOptions options, bool cancelled = false) {
        events_.clear();
        return VideoCompressor::compress(
            file, options,
            [this](const CompressionEvent& event) {
                std::lock_guard guard(lock_);
                events_.push_back(event);
            },
            [cancelled] { return cancelled; });
    }

    std::vector<CompressionEvent::VideoAttempt> attempts() const {
        std::vector<CompressionEvent::VideoAttempt> found;
        for (const CompressionEvent& event : events_) {
            if (const auto* attempt = std::get_if<CompressionEvent::VideoAttempt>(&event.value)) found.push_back(*attempt);
        }
        return found;
    }

    // The size of a first encode of `file` at the level's quality.
    std::int64_t firstEncodeBytes(const fs::path& file, const CompressionOptions& options) {
        const VideoSource probed = VideoSource::load(file);
        return VideoEncoder::encode(probed,
                                    {options.videoCodec, VideoRate::quality(VideoProfile::quality(options.level)), probed.naturalSize},
                                    folder_ / "probe.mp4", 60, 0.25, nullptr, nullptr);
    }

    fs::path folder_, temporary_;
    std::mutex lock_;
    std::vector<CompressionEvent> events_;
};

TEST_F(VideoCompressorTest, WithoutALimitOneEncodeIsWrittenBesideTheSource) {
    const fs::path file = source(motionClip(), "motion.mp4");
    CompressionOptions options;
    options.level = 3;
    const CompressionResult result = compress(file, options);

    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.format, OutputFormat::mp4);
    EXPECT_EQ(result.videoCodec, VideoCodec::hevc);
    EXPECT_EQ(result.output, folder_ / "in" / "motion-min.mp4");
    EXPECT_EQ(result.sourceBytes, std::int64_t(fs::file_size(file)));
    EXPECT_EQ(result.outputBytes, std::int64_t(fs::file_size(*result.output)));
    EXPECT_LT(result.outputBytes, result.sourceBytes);
    EXPECT_EQ(result.encodeCount, 1);
    EXPECT_EQ(result.maxSizeMet, std::nullopt);
    EXPECT_EQ(result.stopReason, std::nullopt);
    EXPECT_EQ(result.pixelSize, (PixelSize{320, 240}));
    EXPECT_EQ(result.sourcePixelSize, (PixelSize{320, 240}));
    ASSERT_TRUE(result.duration);
    EXPECT_NEAR(*result.duration, 2.0, 0.05);
    EXPECT_EQ(result.quality, std::nullopt);
    EXPECT_TRUE(OutputPlanner::isOptimized(*result.output));

    // Events: started first, progress of encode 0 growing, then the one attempt.
    ASSERT_FALSE(events_.empty());
    EXPECT_EQ(events_.front(), (CompressionEvent{CompressionEvent::Started{{320, 240}}}));
    double lastFraction = -1;
    for (const CompressionEvent& event : events_) {
        if (const auto* progress = std::get_if<CompressionEvent::Progress>(&event.value)) {
            EXPECT_EQ(progress->index, 0);
            EXPECT_GT(progress->fraction, lastFraction);
            lastFraction = progress->fraction;
        }
    }
    EXPECT_EQ(lastFraction, 1.0);
    const auto made = attempts();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0], (CompressionEvent::VideoAttempt{0, VideoRate::quality(VideoProfile::quality(3)), std::nullopt,
                                                     result.outputBytes}));
    EXPECT_TRUE(std::holds_alternative<CompressionEvent::VideoAttempt>(events_.back().value));
}

TEST_F(VideoCompressorTest, AFirstEncodeUnderTheLimitIsKept) {
    const fs::path file = source(motionClip(), "motion.mp4");
    CompressionOptions options;
    options.videoMaxBytes = std::int64_t(fs::file_size(file));
    const CompressionResult result = compress(file, options);
    ASSERT_TRUE(result.isSuccess());
    EXPECT_EQ(result.encodeCount, 1);
    EXPECT_EQ(result.maxSizeMet, true);
    EXPECT_EQ(result.stopReason, StopReason::alreadyMet);
}

TEST_F(VideoCompressorTest, TheSearchMeetsAReachableLimit) {
    const fs::path file = source(motionClip(), "motion.mp4");
    CompressionOptions options;
    options.level = 2;
    options.videoMaxBytes = firstEncodeBytes(file, options) / 3;
    const CompressionResult result = compress(file, options);
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.maxSizeMet, true);
    EXPECT_EQ(result.stopReason, StopReason::converged);
    EXPECT_LE(result.outputBytes, *options.videoMaxBytes);
    EXPECT_EQ(result.outputBytes, std::int64_t(fs::file_size(*result.output)));
    EXPECT_GE(result.encodeCount, 2);
    EXPECT_LE(result.encodeCount, searchBudget + VideoProfile::maxBestEffortAttempts);
    const auto made = attempts();
    ASSERT_EQ(int(made.size()), result.encodeCount);
    for (int i = 0; i < int(made.size()); ++i) EXPECT_EQ(made[std::size_t(i)].index, i);
}

TEST_F(VideoCompressorTest, AudioThatAloneExceedsTheLimitIsLowered) {
    // 5.6 s of mono speech: 128 kbit/s of AAC alone is about 90 KB, over a 60 KB limit.
    const fs::path file = source(corpusVideo("mimetype-mov.mov"), "speech.mov");
    CompressionOptions options;
    options.videoMaxBytes = 60000;
    const CompressionResult result = compress(file, options);
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.maxSizeMet, true);
    EXPECT_EQ(result.stopReason, StopReason::converged);
    EXPECT_LE(result.outputBytes, *options.videoMaxBytes);

    // Every attempt of the search as before, then the lowered ones, reported with their rate.
    const auto made = attempts();
    ASSERT_EQ(int(made.size()), result.encodeCount);
    const auto lowered = std::find_if(made.begin(), made.end(), [](const auto& a) { return a.audioBitrate.has_value(); });
    ASSERT_NE(lowered, made.end());
    ASSERT_GE(lowered - made.begin(), 2);
    EXPECT_TRUE(std::holds_alternative<VideoRate::Bitrate>(std::prev(lowered)->rate.value));
    EXPECT_LE(made.end() - lowered, VideoProfile::maxBestEffortAttempts);
    for (auto a = lowered; a != made.end(); ++a) EXPECT_LT(a->audioBitrate.value_or(128000), 128000);
    EXPECT_TRUE(VideoSource::load(*result.output).hasAudio());
}

TEST_F(VideoCompressorTest, AnUnreachableLimitWithKeptDimensionsWritesTheSmallest) {
    const fs::path file = source(motionClip(), "motion.mp4");
    CompressionOptions options;
    options.keepDimensions = true;
    options.videoMaxBytes = 2000;
    const CompressionResult result = compress(file, options);
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.maxSizeMet, false);
    EXPECT_EQ(result.stopReason, StopReason::unreachable);
    EXPECT_GT(result.outputBytes, 2000);
    EXPECT_LE(result.encodeCount, searchBudget + VideoProfile::maxBestEffortAttempts);
    std::int64_t smallest = std::numeric_limits<std::int64_t>::max();
    for (const auto& attempt : attempts()) {
        EXPECT_EQ(attempt.pixelSize, std::nullopt);  // never below the natural size
        ASSERT_TRUE(attempt.bytes);
        smallest = std::min(smallest, *attempt.bytes);
    }
    EXPECT_EQ(result.outputBytes, smallest);
    EXPECT_EQ(result.pixelSize, (PixelSize{320, 240}));
}

TEST_F(VideoCompressorTest, AnUnreachableLimitKeepsTheNearestOfTheBestEffort) {
    // A test card with six channels of audio, 2 s: at the standard audio the ordinary search
    // cannot come near 6 000 bytes; lower audio, fewer frames and fewer pixels come nearer.
    const fs::path file = source(clip("card-surround.mp4",
                                      "-f lavfi -i testsrc2=s=480x270:r=30:d=2 -f lavfi -i sine=f=440:r=48000:d=2 "
                                      "-filter_complex '[1:a]pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[a]' -map 0:v "
                                      "-map '[a]' -c:v libx264 -preset veryfast -crf 12 -pix_fmt yuv420p -c:a aac"),
                                 "card.mp4");
    CompressionOptions options;
    options.videoMaxBytes = 6000;
    const CompressionResult result = compress(file, options);
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.maxSizeMet, false);
    EXPECT_EQ(result.stopReason, StopReason::unreachable);

    const auto made = attempts();
    ASSERT_EQ(int(made.size()), result.encodeCount);
    EXPECT_LE(result.encodeCount, searchBudget + VideoProfile::maxBestEffortAttempts);
    std::int64_t nearest = std::numeric_limits<std::int64_t>::max(), ordinaryNearest = nearest;
    bool framesDropped = false;
    for (const auto& attempt : made) {
        ASSERT_TRUE(attempt.bytes);
        EXPECT_GT(*attempt.bytes, *options.videoMaxBytes);
        nearest = std::min(nearest, *attempt.bytes);
        if (!attempt.audioBitrate) ordinaryNearest = std::min(ordinaryNearest, *attempt.bytes);
        framesDropped = framesDropped || attempt.frameRate;
    }
    EXPECT_EQ(result.outputBytes, nearest);
    EXPECT_LT(nearest, ordinaryNearest);  // the best effort came nearer than the search
    EXPECT_TRUE(framesDropped);
    // The file kept is the attempt reported: its audio and frame rate.
    const auto kept = std::find_if(made.begin(), made.end(), [&](const auto& a) { return a.bytes == result.outputBytes; });
    ASSERT_NE(kept, made.end());
    const VideoSource written = VideoSource::load(*result.output);
    EXPECT_EQ(written.audioChannels, kept->audioBitrate && *kept->audioBitrate < 48000 ? 1 : 2);
    EXPECT_NEAR(written.frameRate, kept->frameRate.value_or(30), 0.01);
}

TEST_F(VideoCompressorTest, ARotatedSourceReportsSizesAsShown) {
    const fs::path landscape = clip("landscape-large.mp4",
                                    "-f lavfi -i testsrc2=s=640x360:r=30:d=1 -c:v libx264 -preset veryfast -crf 6 -pix_fmt yuv420p");
    const fs::path file = source(clip("portrait-large.mp4", "-i '" + landscape.string() + "' -c copy -metadata:s:v:0 rotate=90"),
                                 "portrait.mp4");
    CompressionOptions options;
    options.level = 6;  // quality 0.42: the quality search has little room, the bit rates take over
    options.videoMaxBytes = 6000;
    const CompressionResult result = compress(file, options);
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.sourcePixelSize, (PixelSize{360, 640}));
    bool sawScaled = false;
    for (const auto& attempt : attempts()) {
        if (!attempt.pixelSize) continue;
        sawScaled = true;
        EXPECT_LT(attempt.pixelSize->width, attempt.pixelSize->height);
    }
    EXPECT_TRUE(sawScaled);
    // Stored sideways as the source was, reported upright.
    const FileFacts written = inspect(*result.output);
    ASSERT_TRUE(written.video);
    EXPECT_GT(written.video->width, written.video->height);
    EXPECT_EQ(result.pixelSize, (PixelSize{written.video->height, written.video->width}));
    EXPECT_TRUE(written.video->rotation);
}

// 4:2:0 output has even sides: an odd source loses a row and a column, and says so.
TEST_F(VideoCompressorTest, AnOddSizedSourceReportsTheSizeWritten) {
    const fs::path file = source(clip("odd-sized.mp4", "-f lavfi -i testsrc2=s=322x242:r=30:d=1 -vf format=yuv444p,crop=321:241:0:0 "
                                                 "-c:v libx264 -preset veryfast -crf 0"),
                                 "odd.mp4");
    const CompressionResult result = compress(file, CompressionOptions{});
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.sourcePixelSize, (PixelSize{321, 241}));
    const FileFacts written = inspect(*result.output);
    ASSERT_TRUE(written.video);
    EXPECT_EQ(result.pixelSize, (PixelSize{written.video->width, written.video->height}));
    EXPECT_EQ(result.pixelSize, (PixelSize{320, 240}));
}

TEST_F(VideoCompressorTest, AnOutputThatIsNotSmallerIsNotWritten) {
    const fs::path file = source(clip("tiny.mp4", "-f lavfi -i testsrc2=s=320x240:r=30:d=1 -c:v libx264 -preset veryfast "
                                                  "-crf 51 -pix_fmt yuv420p"),
                                 "tiny.mp4");
    CompressionOptions options;
    options.level = 1;
    const CompressionResult result = compress(file, options);
    ASSERT_NE(result.skipped(), nullptr) << (result.failed() ? result.failed()->message : "written");
    EXPECT_EQ(result.skipped()->reason, SkipReason::noSavings);
    EXPECT_EQ(result.output, std::nullopt);
    EXPECT_GE(result.outputBytes, result.sourceBytes);
    EXPECT_EQ(namesIn(folder_ / "in"), std::vector<std::string>{"tiny.mp4"});
}

TEST_F(VideoCompressorTest, JobsThatFailSayWhy) {
    const fs::path file = source(motionClip(), "motion.mov");
    const fs::path audio = source(audioOnlyClip(), "tone.mp4");

    CompressionOptions plain;
    CompressionOptions badPrefix;
    badPrefix.filenamePrefix = "a/b";
    CompressionOptions badLevel;
    badLevel.level = std::numeric_limits<double>::quiet_NaN();

    struct Case {
        const char* name;
        fs::path file;
        CompressionOptions options;
        bool cancelled;
        std::string text;
    };
    const Case cases[] = {
        {"cancelled", file, plain, true, "已取消"},
        {"audio only", audio, plain, false, "无法压缩 tone.mp4：文件中没有视频画面"},
        {"missing", folder_ / "in" / "missing.mp4", plain, false, "找不到 missing.mp4：文件已被移动、改名或删除"},
        {"prefix with a slash", file, badPrefix, false, OutputPlanner::NamingError::invalidCharacters().what()},
        {"unusable level", file, badLevel, false, InvalidLevelError(badLevel.level).what()},
    };
    for (const Case& c : cases) {
        const CompressionResult result = compress(c.file, c.options, c.cancelled);
        ASSERT_NE(result.failed(), nullptr) << c.name;
        EXPECT_EQ(result.failed()->message, c.text) << c.name;
        EXPECT_EQ(result.output, std::nullopt) << c.name;
        EXPECT_EQ(result.encodeCount, 0) << c.name;
        EXPECT_TRUE(attempts().empty()) << c.name;
    }
    EXPECT_EQ(namesIn(folder_ / "in"), (std::vector<std::string>{"motion.mov", "tone.mp4"}));
}

}  // namespace
}  // namespace dorvex
