// Ending the engine: shutdown() with image, video and PDF jobs under way returns within its bound
// and leaves no thread, child process or work folder; past its bound it keeps the late threads for
// a later call; the engine works again after it. A cancelled job ends its running encoder.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dorvex/engine/Compressor.h"
#include "dorvex/platform/WorkPool.h"
#include "ProcessChecks.h"
#include "VideoClips.h"

namespace dorvex {
namespace {

using namespace dorvex::testing;
using Clock = std::chrono::steady_clock;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("EngineShutdownTest-"));

// Under ThreadSanitizer decoding real media takes minutes: the cases timed on it are left out.
#ifdef __SANITIZE_THREAD__
#define SKIP_TIMING_UNDER_TSAN() GTEST_SKIP() << "timed on real media, too slow under ThreadSanitizer"
#else
#define SKIP_TIMING_UNDER_TSAN()
#endif

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

template <typename Done>
bool eventually(Done done, double seconds) {
    const Clock::time_point start = Clock::now();
    while (!done() && secondsSince(start) < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

std::size_t threadsNamed(const std::string& prefix) {
    const auto names = threadNames();
    return std::size_t(std::count_if(names.begin(), names.end(), [&](const auto& n) { return n.starts_with(prefix); }));
}

CompressionOptions as(OutputFormat format) {
    CompressionOptions o;
    o.format = format;
    return o;
}

class EngineShutdownTest : public ::testing::Test {
protected:
    // Work folders go to a temporary folder of the test's own, where they can be counted; the
    // cwebp never finishes.
    void SetUp() override {
        folder_ = makeTemporaryFolder(TestHome::root(), "shutdown-");
        fs::create_directories(folder_ / "tmp");
        ::setenv("TMPDIR", (folder_ / "tmp").c_str(), 1);
        put(folder_ / "cwebp", "#!/bin/sh\nsleep 60\n");
        fs::permissions(folder_ / "cwebp", fs::perms::owner_all);
        hanging_.cwebp = (folder_ / "cwebp").string();
    }
    // A test that stopped early leaves nothing running into the next or into the process's exit.
    void TearDown() override { Compressor::shutdown(std::chrono::seconds(30)); }

    fs::path folder_;
    Toolchain hanging_;
};

TEST_F(EngineShutdownTest, EndsRunningImageVideoAndPdfJobsWithinItsBound) {
    SKIP_TIMING_UNDER_TSAN();
    DORVEX_REQUIRE_FFMPEG_TOOL();
    const fs::path video = clip("shutdown-640x360.mp4",
                                "-f lavfi -i testsrc2=s=640x360:r=30:d=20 -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    const std::size_t threadsBefore = threadNames().size();
    const fs::path image = folder_ / "photo.jpg";
    fs::copy_file(testMedia("images/goexif-sample1.jpg"), image);
    fs::copy_file(video, folder_ / "clip.mp4");
    fs::copy_file(testMedia("pdfs/audacity-manual.pdf"), folder_ / "manual.pdf");

    // More image jobs than workers, so that the last one waits in the queue.
    std::vector<Compressor::Job> jobs;
    std::atomic<int> finished{0};
    std::atomic<bool> encodingVideo{false};
    const auto count = [&](const CompressionResult&) { ++finished; };
    for (unsigned i = 1; i < WorkPool::workerCount(); ++i)
        jobs.push_back(Compressor::compress(image, as(OutputFormat::webp), hanging_, nullptr, count));
    jobs.push_back(Compressor::compress(folder_ / "clip.mp4", {}, hanging_, [&](const CompressionEvent& e) {
        if (!std::holds_alternative<CompressionEvent::Started>(e.value)) encodingVideo = true;
    }, count));
    jobs.push_back(Compressor::compress(folder_ / "manual.pdf", {}, hanging_, nullptr, count));
    jobs.push_back(Compressor::compress(image, as(OutputFormat::webp), hanging_, nullptr, count));
    ASSERT_TRUE(eventually([&] { return runningChildCount() >= 3 && encodingVideo; }, 20));

    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(Compressor::shutdown(std::chrono::seconds(5)));
    EXPECT_LT(secondsSince(start), 2.0);
    for (const auto& job : jobs) {
        ASSERT_EQ(job.result().wait_for(std::chrono::seconds(0)), std::future_status::ready);
        ASSERT_TRUE(job.wait().failed());
        EXPECT_EQ(job.wait().failed()->message, "已取消");
    }
    EXPECT_EQ(finished.load(), int(jobs.size()));
    EXPECT_TRUE(hasNoChild());
    // Threads inherit their creator's name, so FFmpeg's and the encoders' count here too; only
    // libvips keeps idle workers of its own (renamed) for its next call.
    EXPECT_EQ(threadsNamed("dorvex-"), 0u);
    EXPECT_TRUE(eventually([&] { return threadNames().size() - threadsNamed("libvips worker") <= threadsBefore; }, 2))
        << ::testing::PrintToString(threadNames());
    EXPECT_EQ(leftoversIn(folder_ / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(namesIn(folder_), (std::vector<std::string>{"clip.mp4", "cwebp", "manual.pdf", "photo.jpg", "tmp"}));
}

// Slow completion handlers keep a worker and a video thread past the bound; the engine still
// runs jobs meanwhile.
TEST_F(EngineShutdownTest, PastItsBoundKeepsTheLateThreadsForALaterCall) {
    put(folder_ / "bad.jpg", "no picture");
    put(folder_ / "bad.mp4", "no video");
    const auto slow = [](const CompressionResult&) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); };
    Compressor::compress(folder_ / "bad.jpg", {}, hanging_, nullptr, slow).wait();
    Compressor::compress(folder_ / "bad.mp4", {}, hanging_, nullptr, slow).wait();

    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(Compressor::shutdown(std::chrono::milliseconds(300)));
    EXPECT_LT(secondsSince(start), 0.8);
    EXPECT_GE(threadsNamed("dorvex-worker"), 1u);
    EXPECT_EQ(threadsNamed("dorvex-video"), 1u);

    const CompressionResult meanwhile = Compressor::compress(folder_ / "bad.jpg", {}, hanging_, nullptr).wait();
    ASSERT_TRUE(meanwhile.failed());
    EXPECT_NE(meanwhile.failed()->message, "已取消");
    EXPECT_TRUE(Compressor::shutdown());
    EXPECT_EQ(threadsNamed("dorvex-"), 0u);
}

// cjxl at work on 12 megapixels of noise (seconds of work) ends within a second of the cancel.
TEST_F(EngineShutdownTest, CancellingAJobEndsItsRunningEncoder) {
    SKIP_TIMING_UNDER_TSAN();
    const Toolchain tools = Toolchain::locate();
    if (!tools.cjxl) GTEST_SKIP() << "cjxl is not installed";
    const fs::path noise = folder_ / "noise.jpg";
    ASSERT_EQ(std::system(("vips gaussnoise '" + noise.string() + "' 4000 3000").c_str()), 0);
    const Compressor::Job job = Compressor::compress(noise, as(OutputFormat::jxl), tools, nullptr);
    ASSERT_TRUE(eventually([] { return runningGrandchildCount() > 0; }, 20));
    const Clock::time_point cancelled = Clock::now();
    job.cancel();
    ASSERT_EQ(job.result().wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_LT(secondsSince(cancelled), 1.0);
    ASSERT_TRUE(job.wait().failed());
    EXPECT_EQ(job.wait().failed()->message, "已取消");
    // The worker stays for the next job; what it ran for this one is gone, and so is its work.
    EXPECT_EQ(runningGrandchildCount(), 0);
    const std::vector<std::string> workers = leftoversIn(folder_ / "tmp");
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_TRUE(workers[0].starts_with("dorvex-worker-"));
    EXPECT_TRUE(eventually([&] { return leftoversIn(folder_ / "tmp" / workers[0]).empty(); }, 1));
    EXPECT_TRUE(Compressor::shutdown());
    EXPECT_TRUE(hasNoChild());
    EXPECT_TRUE(leftoversIn(folder_ / "tmp").empty());
}

}  // namespace
}  // namespace dorvex
