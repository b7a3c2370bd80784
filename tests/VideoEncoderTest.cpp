// One encode pass, read back from the written file: codec, profile, pixel format, colour tags,
// rotation, audio layout and rate, the container; colours that survive a conversion; progress;
// cancellation and stalls that leave no file and no thread behind; the rate-factor table.

#include "video/VideoEncoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "VideoClips.h"
#include "video/ffmpeg/DisplayMatch.h"
#include "video/VideoProfile.h"
#include "video/VideoSettings.h"

namespace dorvex {
namespace {

using namespace dorvex::testing;

class VideoEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        DORVEX_REQUIRE_FFMPEG_TOOL();
        folder_ = makeTemporaryFolder(executableFolder(), "VideoEncoderTest-");
    }
    void TearDown() override {
        std::error_code ignored;
        if (!folder_.empty()) fs::remove_all(folder_, ignored);
    }

    // Encodes `file` at its own size (or `size`) and returns the output's path.
    fs::path encode(const fs::path& file, VideoCodec codec, const std::string& outputName,
                    std::optional<PixelSize> size = std::nullopt, VideoRate rate = VideoRate::quality(0.6)) {
        const VideoSource source = VideoSource::load(file);
        const fs::path output = folder_ / outputName;
        const std::int64_t bytes = VideoEncoder::encode(source, {codec, rate, size.value_or(source.naturalSize)}, output, 60,
                                                        0.25, nullptr, nullptr);
        EXPECT_EQ(bytes, std::int64_t(fs::file_size(output)));
        return output;
    }

    fs::path folder_;
};

// The threads of this process, as the kernel lists them. A thread is started first: the
// sanitizers start a helper thread of their own along with the first one.
std::size_t threadCount() {
    std::thread([] {}).join();
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
    return count;
}

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return std::uint32_t(a) | (std::uint32_t(b) << 8) | (std::uint32_t(c) << 16) | (std::uint32_t(d) << 24);
}

TEST_F(VideoEncoderTest, WritesWhatWasAskedAndKeepsWhatMatters) {
    struct Case {
        const char* name;
        fs::path source;
        VideoCodec codec;
        const char* output;
        // expected video
        const char* codecName;
        const char* profile;
        const char* pixelFormat;
        const char* primaries;
        const char* transfer;
        const char* matrix;
        std::uint32_t tag;
        std::optional<double> rotation;
        // expected audio (0 channels: none)
        int channels;
        int sampleRate;
        const char* brand;
    };
    const Case cases[] = {
        {"bars to HEVC in MP4", barsClip(), VideoCodec::hevc, "bars.mp4", "hevc", "Main", "yuv420p", "bt709", "bt709",
         "bt709", fourcc('h', 'v', 'c', '1'), std::nullopt, 2, 44100, "isom"},
        {"bars to H.264, MP4 in capitals", barsClip(), VideoCodec::h264, "BARS.MP4", "h264", "High", "yuv420p", "bt709",
         "bt709", "bt709", fourcc('a', 'v', 'c', '1'), std::nullopt, 2, 44100, "isom"},
        {"portrait keeps its turn", portraitClip(), VideoCodec::hevc, "portrait.mov", "hevc", "Main", "yuv420p", "bt709",
         "bt709", "bt709", fourcc('h', 'v', 'c', '1'), inspect(portraitClip()).video->rotation, 1, 48000, "qt  "},
        {"HLG stays HDR on HEVC", hlgClip(), VideoCodec::hevc, "hlg-hevc.mov", "hevc", "Main 10", "yuv420p10le", "bt2020",
         "arib-std-b67", "bt2020nc", fourcc('h', 'v', 'c', '1'), std::nullopt, 2, 48000, "qt  "},
        {"HLG to H.264 becomes BT.709", hlgClip(), VideoCodec::h264, "hlg-h264.mp4", "h264", "High", "yuv420p", "bt709",
         "bt709", "bt709", fourcc('a', 'v', 'c', '1'), std::nullopt, 2, 48000, "isom"},
        {"no audio stays silent", silentClip(), VideoCodec::hevc, "silent.mp4", "hevc", "Main", "yuv420p", "bt709", "bt709",
         "bt709", fourcc('h', 'v', 'c', '1'), std::nullopt, 0, 0, "isom"},
        {"six channels at 96 kHz become stereo at 48 kHz", surroundClip(), VideoCodec::h264, "surround.mov", "h264", "High",
         "yuv420p", "bt709", "bt709", "bt709", fourcc('a', 'v', 'c', '1'), std::nullopt, 2, 48000, "qt  "},
        {"full-range motion JPEG", corpusVideo("anim-1.mov"), VideoCodec::hevc, "anim.mov", "hevc", "Main", "yuv420p",
         "bt709", "bt709", "bt709", fourcc('h', 'v', 'c', '1'), std::nullopt, 0, 0, "qt  "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FileFacts facts = inspect(encode(c.source, c.codec, c.output));
        ASSERT_TRUE(facts.video);
        const VideoFacts& v = *facts.video;
        EXPECT_EQ(v.codec, c.codecName);
        EXPECT_EQ(v.profile, c.profile);
        EXPECT_EQ(v.pixelFormat, c.pixelFormat);
        EXPECT_EQ(v.primaries, c.primaries);
        EXPECT_EQ(v.transfer, c.transfer);
        EXPECT_EQ(v.matrix, c.matrix);
        EXPECT_EQ(v.range, "tv");
        EXPECT_EQ(v.tag, c.tag);
        EXPECT_EQ(v.rotation.has_value(), c.rotation.has_value());
        if (v.rotation && c.rotation) {
            EXPECT_NEAR(*v.rotation, *c.rotation, 0.01);
        }
        EXPECT_EQ(facts.majorBrand, c.brand);
        EXPECT_EQ(facts.audio.has_value(), c.channels > 0);
        if (facts.audio && c.channels > 0) {
            EXPECT_EQ(facts.audio->codec, "aac");
            EXPECT_EQ(facts.audio->channels, c.channels);
            EXPECT_EQ(facts.audio->sampleRate, c.sampleRate);
        }
        const VideoSource source = VideoSource::load(c.source);
        EXPECT_NEAR(facts.duration, source.duration, 0.1);
    }
}

TEST_F(VideoEncoderTest, TheIndexComesFirst) {
    const fs::path output = encode(barsClip(), VideoCodec::hevc, "faststart.mp4");
    const std::int64_t moov = boxOffset(output, "moov"), mdat = boxOffset(output, "mdat");
    ASSERT_GE(moov, 0);
    ASSERT_GE(mdat, 0);
    EXPECT_LT(moov, mdat);
}

TEST_F(VideoEncoderTest, MasteringDisplayAndContentLightCarryOver) {
    const fs::path output = encode(pqClip(), VideoCodec::hevc, "pq.mp4");
    const FileFacts facts = inspect(output);
    ASSERT_TRUE(facts.video);
    EXPECT_EQ(facts.video->transfer, "smpte2084");
    EXPECT_EQ(facts.video->profile, "Main 10");
    bool sawMastering = false, sawLight = false;
    decodeFrames(output, [&](const AVFrame& frame) {
        if (const AVFrameSideData* data = av_frame_get_side_data(&frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
            const auto* mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(data->data);
            sawMastering = mastering->has_luminance && std::lround(av_q2d(mastering->max_luminance)) == 1000;
        }
        if (const AVFrameSideData* data = av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
            const auto* light = reinterpret_cast<const AVContentLightMetadata*>(data->data);
            sawLight = light->MaxCLL == 1000 && light->MaxFALL == 400;
        }
        return false;
    });
    EXPECT_TRUE(sawMastering);
    EXPECT_TRUE(sawLight);
}

TEST_F(VideoEncoderTest, ColoursSurviveTheConversionToBT709) {
    // A BT.601-matrix source and a full-range JPEG-matrix one: each output, read with its own
    // tags, shows the colours that the source shows with its own.
    struct Case {
        const char* name;
        fs::path source;
        int frame;
    };
    const Case cases[] = {{"BT.601 matrix", matrix601Clip(), 5}, {"full range", corpusVideo("anim-1.mov"), 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path output = encode(c.source, VideoCodec::h264, "colours.mp4", std::nullopt, VideoRate::quality(0.9));
        const auto before = meanColour(c.source, c.frame), after = meanColour(output, c.frame);
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_NEAR(after[std::size_t(channel)], before[std::size_t(channel)], 3.0) << "channel " << channel;
        }
    }
}

TEST_F(VideoEncoderTest, HDRToH264LooksLikeTheSameSceneInSDR) {
    // The corpus's HLG clip was made from its SDR one; tone-mapped back it must not come out
    // noticeably darker or paler than that.
    const fs::path output = encode(corpusVideo("conv-hlg-birds.mov"), VideoCodec::h264, "tonemapped.mp4");
    const auto sdr = meanColour(corpusVideo("birds.mp4"), 10), mapped = meanColour(output, 10);
    for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(mapped[std::size_t(channel)], sdr[std::size_t(channel)], 16.0) << "channel " << channel;
    }
}

TEST_F(VideoEncoderTest, ScalesToTheAskedSizeWithEvenSides) {
    struct Case {
        PixelSize asked;
        PixelSize written;
    };
    for (const Case& c : {Case{{160, 120}, {160, 120}}, Case{{241, 181}, {240, 180}}}) {
        const FileFacts facts = inspect(encode(barsClip(), VideoCodec::hevc, "scaled.mp4", c.asked));
        ASSERT_TRUE(facts.video);
        EXPECT_EQ((PixelSize{facts.video->width, facts.video->height}), c.written) << c.asked.description();
    }
    // An odd-height source (640×465) is written with even sides.
    const FileFacts odd = inspect(encode(corpusVideo("DualDiscs.mov"), VideoCodec::h264, "odd.mp4"));
    ASSERT_TRUE(odd.video);
    EXPECT_EQ((PixelSize{odd.video->width, odd.video->height}), (PixelSize{640, 464}));
}

TEST_F(VideoEncoderTest, AHigherRateGivesALargerFile) {
    const auto bytes = [&](VideoRate rate) { return fs::file_size(encode(motionClip(), VideoCodec::hevc, "rate.mp4", std::nullopt, rate)); };
    EXPECT_LT(bytes(VideoRate::quality(0.3)), bytes(VideoRate::quality(0.7)));
    EXPECT_LT(bytes(VideoRate::bitrate(100000)), bytes(VideoRate::bitrate(1000000)));
}

TEST_F(VideoEncoderTest, ProgressGrowsByWholePercentsAndEndsWithOne) {
    const VideoSource source = VideoSource::load(barsClip());
    std::mutex lock;
    std::vector<double> reports;
    VideoEncoder::encode(source, {VideoCodec::hevc, VideoRate::quality(0.5), source.naturalSize}, folder_ / "progress.mp4", 60,
                         0.25,
                         [&](double fraction) {
                             std::lock_guard guard(lock);
                             reports.push_back(fraction);
                         },
                         nullptr);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_LE(reports.size(), 101u);
    EXPECT_EQ(reports.back(), 1.0);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GT(int(reports[i] * 100), int(reports[i - 1] * 100)) << "report " << i;
    }
}

TEST_F(VideoEncoderTest, CancellationIsAskedWhileProgressIsBeingReported) {
    // The watchdog asks for cancellation every tick, from its own thread, while the video pump
    // may be inside the progress callback: neither may wait for the other to return.
    const VideoSource source = VideoSource::load(barsClip());
    std::atomic<int> queries{0};
    std::atomic<int> overlapped{-1};
    VideoEncoder::encode(source, {VideoCodec::h264, VideoRate::quality(0.6), source.naturalSize}, folder_ / "overlap.mp4", 60,
                         0.01,
                         [&](double) {
                             if (overlapped >= 0) return;
                             const int before = queries;
                             const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                             while (queries == before && std::chrono::steady_clock::now() < deadline) {
                                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
                             }
                             overlapped = queries > before ? 1 : 0;
                         },
                         [&] {
                             ++queries;
                             return false;
                         });
    EXPECT_EQ(overlapped, 1);
}

TEST_F(VideoEncoderTest, CancellingMidPassEndsQuicklyAndLeavesNoFile) {
    const VideoSource source = VideoSource::load(longClip());
    const fs::path output = folder_ / "cancelled.mp4";
    std::atomic<bool> cancel{false};
    std::atomic<std::int64_t> cancelledAt{0};
    const auto now = [] { return std::chrono::steady_clock::now().time_since_epoch().count(); };
    const std::size_t threadsBefore = threadCount();
    try {
        VideoEncoder::encode(source, {VideoCodec::hevc, VideoRate::quality(0.6), source.naturalSize}, output, 60, 0.25,
                             [&](double fraction) {
                                 if (fraction >= 0.1 && !cancel.exchange(true)) cancelledAt = now();
                             },
                             [&] { return cancel.load(); });
        FAIL() << "the pass was not cancelled";
    } catch (const VideoError& error) {
        EXPECT_EQ(error, VideoError::cancelled());
    }
    const auto took = std::chrono::steady_clock::duration(now() - cancelledAt.load());
    // The pass answers within a watchdog tick; the bound leaves room for slow test machines.
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(threadCount(), threadsBefore) << "a thread of the pass outlived it";
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(VideoEncoderTest, CancelledBeforeTheStartWritesNothing) {
    const VideoSource source = VideoSource::load(barsClip());
    const fs::path output = folder_ / "never.mp4";
    EXPECT_THROW(VideoEncoder::encode(source, {VideoCodec::h264, VideoRate::quality(0.6), source.naturalSize}, output, 60,
                                      0.25, nullptr, [] { return true; }),
                 VideoError);
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(VideoEncoderTest, AStallFailsThePassAndLeavesNoFile) {
    // With no stall allowed at all, the first tick finds the pumps still at work.
    const VideoSource source = VideoSource::load(longClip());
    const fs::path output = folder_ / "stalled.mp4";
    const std::size_t threadsBefore = threadCount();
    try {
        VideoEncoder::encode(source, {VideoCodec::hevc, VideoRate::quality(0.6), source.naturalSize}, output, 0, 0.01, nullptr,
                             nullptr);
        FAIL() << "the pass did not stall";
    } catch (const VideoError& error) {
        EXPECT_STREQ(error.what(), "视频编码失败（编码器无响应）");
    }
    EXPECT_EQ(threadCount(), threadsBefore) << "a thread of the pass outlived it";
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(VideoEncoderTest, ACutFileFailsAsUnreadableAndLeavesNoFile) {
    // The index at the front (as this pass writes it), the data cut off in the middle.
    const std::string data = contents(encode(barsClip(), VideoCodec::h264, "whole.mp4"));
    const fs::path cut = folder_ / "cut.mp4";
    put(cut, data.substr(0, data.size() * 2 / 3));
    const VideoSource source = VideoSource::load(cut);
    const fs::path output = folder_ / "from-cut.mp4";
    try {
        VideoEncoder::encode(source, {VideoCodec::h264, VideoRate::quality(0.6), source.naturalSize}, output, 60, 0.25,
                             nullptr, nullptr);
        FAIL() << "a cut file was encoded";
    } catch (const VideoError& error) {
        EXPECT_EQ(error, VideoError::unreadable("读取中断"));
    }
    EXPECT_FALSE(fs::exists(output));
}

TEST(VideoSettingsTest, RateFactorFallsAsQualityRises) {
    for (const VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
        double previous = 51;
        for (int step = 0; step <= 100; ++step) {
            const double crf = VideoSettings::constantRateFactor(codec, step / 100.0);
            EXPECT_LE(crf, previous) << codec.rawValue() << " at " << step;
            if (step >= 10) {
                EXPECT_LT(crf, previous) << codec.rawValue() << " at " << step;
            }
            EXPECT_GE(crf, 0);
            EXPECT_LE(crf, 51);
            previous = crf;
        }
        // Each level's quality gets a rate factor of its own, a good step apart.
        for (int level = 1; level < 6; ++level) {
            EXPECT_GT(VideoSettings::constantRateFactor(codec, VideoProfile::quality(level + 1)),
                      VideoSettings::constantRateFactor(codec, VideoProfile::quality(level)) + 2);
        }
        EXPECT_EQ(VideoSettings::constantRateFactor(codec, -1), VideoSettings::constantRateFactor(codec, 0));
        EXPECT_EQ(VideoSettings::constantRateFactor(codec, 2), VideoSettings::constantRateFactor(codec, 1));
    }
}

TEST(VideoSettingsTest, AudioShape) {
    const std::pair<double, int> rates[] = {{96000, 48000}, {48000, 48000}, {44100, 44100}, {22050, 22050},
                                            {37800, 44100}, {8000, 8000},   {0, 48000}};
    for (const auto& [source, written] : rates) EXPECT_EQ(VideoSettings::audioSampleRate(source), written) << source;
    EXPECT_EQ(VideoSettings::audioChannels(6), 2);
    EXPECT_EQ(VideoSettings::audioChannels(2), 2);
    EXPECT_EQ(VideoSettings::audioChannels(1), 1);
    EXPECT_EQ(VideoSettings::aacBitrate(48000, 2), 128000);
    EXPECT_EQ(VideoSettings::aacBitrate(48000, 1), 128000);
    EXPECT_EQ(VideoSettings::aacBitrate(8000, 1), 48000);  // 6144 bits per 1024 samples
    EXPECT_EQ(VideoSettings::aacBitrate(8000, 2), 96000);
}

TEST(DisplayMatchTest, PlansTheColourRoad) {
    using DisplayMatch::Conversion;
    struct Case {
        const char* name;
        DisplayMatch::Colours source;
        PixelSize picture;
        bool hdr, keepHDR;
        Conversion conversion;
        const char* pixelFormat;
        const char* transfer;
    };
    const Case cases[] = {
        {"BT.709 HD", {"bt709", "bt709", "bt709"}, {1920, 1080}, false, false, Conversion::none, "yuv420p", "bt709"},
        {"untagged HD", {}, {1280, 720}, false, false, Conversion::none, "yuv420p", "bt709"},
        {"untagged SD takes BT.601's matrix", {}, {640, 480}, false, false, Conversion::toBT709, "yuv420p", "bt709"},
        {"BT.601 transfer tag alone", {"bt709", "smpte170m", "bt709"}, {1920, 1080}, false, false, Conversion::none, "yuv420p", "bt709"},
        {"full range", {"bt709", "bt709", "bt709", true}, {1920, 1080}, false, false, Conversion::toBT709, "yuv420p", "bt709"},
        {"RGB pictures", {"", "", "", false, true}, {1920, 1080}, false, false, Conversion::toBT709, "yuv420p", "bt709"},
        {"sRGB transfer", {"bt709", "iec61966-2-1", "bt709"}, {1920, 1080}, false, false, Conversion::toBT709, "yuv420p", "bt709"},
        {"HLG kept", {"bt2020", "arib-std-b67", "bt2020nc"}, {1920, 1080}, true, true, Conversion::none, "yuv420p10le", "arib-std-b67"},
        {"PQ kept", {"bt2020", "smpte2084", "bt2020nc"}, {1920, 1080}, true, true, Conversion::none, "yuv420p10le", "smpte2084"},
        {"PQ with BT.709 primaries", {"bt709", "smpte2084", "bt709"}, {1920, 1080}, true, true, Conversion::toBT2020, "yuv420p10le", "smpte2084"},
        {"HLG to SDR", {"bt2020", "arib-std-b67", "bt2020nc"}, {1920, 1080}, true, false, Conversion::toneMapToBT709, "yuv420p", "bt709"},
    };
    for (const Case& c : cases) {
        const DisplayMatch::Plan plan = DisplayMatch::plan(c.source, c.picture, {640, 360}, c.hdr, c.keepHDR);
        EXPECT_EQ(plan.conversion, c.conversion) << c.name;
        EXPECT_EQ(plan.pixelFormat, c.pixelFormat) << c.name;
        EXPECT_EQ(plan.output.transfer, c.transfer) << c.name;
        EXPECT_NE(plan.filter.find("w=640:h=360"), std::string::npos) << c.name << ": " << plan.filter;
    }
}

}  // namespace
}  // namespace dorvex
