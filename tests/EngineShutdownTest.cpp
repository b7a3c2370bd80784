// Ending the engine: shutdown() with image, video and PDF jobs under way returns within its bound
// and leaves no thread, child process or work folder behind, and the engine works again after it;
// cancelling a job ends the external encoder it is waiting for.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "dorvex/engine/Compressor.h"
#include "dorvex/platform/WorkPool.h"
#include "ProcessChecks.h"
#include "TestSupport.h"
#include "VideoClips.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;
using Clock = std::chrono::steady_clock;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("EngineShutdownTest-"));

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Asks `done` every 10 ms for up to `seconds`.
template <typename Done>
bool eventually(Done done, double seconds) {
    const Clock::time_point start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool isReady(const Compressor::Job& job) {
    return job.result().wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// This process's threads whose name starts with `prefix`.
std::size_t threadsNamed(const std::string& prefix) {
    const auto names = threadNames();
    return std::size_t(std::count_if(names.begin(), names.end(), [&](const std::string& n) { return n.starts_with(prefix); }));
}

CompressionOptions webp() {
    CompressionOptions o;
    o.format = OutputFormat::webp;
    return o;
}

class EngineShutdownTest : public ::testing::Test {
protected:
    // Work folders go to a temporary folder of the test's own, so that they can be counted.
    void SetUp() override {
        folder_ = makeTemporaryFolder(TestHome::root(), "shutdown-");
        fs::create_directories(temporary());
        ::setenv("TMPDIR", temporary().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    fs::path temporary() const { return folder_ / "tmp"; }

    // A cwebp that never finishes (and starts a process of its own, as a wrapper would).
    Toolchain hangingTools() const {
        const fs::path script = folder_ / "cwebp";
        put(script, "#!/bin/sh\nsleep 60\n");
        fs::permissions(script, fs::perms::owner_all);
        Toolchain tools;
        tools.cwebp = script.string();
        return tools;
    }

    fs::path copyOf(const fs::path& file, const std::string& name) const {
        fs::copy_file(file, folder_ / name);
        return folder_ / name;
    }

    fs::path folder_;
};

TEST_F(EngineShutdownTest, EndsRunningImageVideoAndPdfJobsWithinItsBound) {
    DORVEX_REQUIRE_FFMPEG_TOOL();
    const fs::path video = clip("shutdown-640x360.mp4",
                                "-f lavfi -i testsrc2=s=640x360:r=30:d=20 -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    const std::size_t threadsBefore = threadNames().size();
    const Toolchain tools = hangingTools();
    const fs::path image = copyOf(testMedia("images/goexif-sample1.jpg"), "photo.jpg");

    // More image jobs than workers, so that one waits in the queue; a video and a PDF beside them.
    std::vector<Compressor::Job> jobs;
    std::atomic<int> finished{0};
    const auto countFinished = [&](const CompressionResult&) { ++finished; };
    for (unsigned i = 0; i < WorkPool::workerCount() - 1; ++i)
        jobs.push_back(Compressor::compress(image, webp(), tools, nullptr, countFinished));
    std::atomic<bool> videoStarted{false};
    jobs.push_back(Compressor::compress(
        copyOf(video, "clip.mp4"), CompressionOptions{}, tools,
        [&](const CompressionEvent& e) { videoStarted = videoStarted || !std::holds_alternative<CompressionEvent::Started>(e.value); },
        countFinished));
    jobs.push_back(Compressor::compress(copyOf(testMedia("pdfs/audacity-manual.pdf"), "manual.pdf"), CompressionOptions{},
                                        tools, nullptr, countFinished));
    jobs.push_back(Compressor::compress(image, webp(), tools, nullptr, countFinished));
    ASSERT_TRUE(eventually([&] { return runningChildCount() >= 3 && videoStarted; }, 20));

    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(Compressor::shutdown(std::chrono::seconds(5)));
    EXPECT_LT(secondsSince(start), 2.0);

    for (const auto& job : jobs) {
        ASSERT_TRUE(isReady(job));
        const CompressionResult r = job.result().get();
        ASSERT_TRUE(r.failed());
        EXPECT_EQ(r.failed()->message, "已取消");
    }
    EXPECT_EQ(finished.load(), int(jobs.size()));  // every completion handler has run
    EXPECT_TRUE(hasNoChild());
    EXPECT_EQ(threadsNamed("dorvex-"), 0u);
    // Threads started from ours carry our names, so none of FFmpeg's or the encoders' is left
    // either; only libvips keeps idle workers of its own for its next call.
    EXPECT_TRUE(eventually([&] { return threadNames().size() - threadsNamed("libvips worker") <= threadsBefore; }, 2))
        << ::testing::PrintToString(threadNames());
    EXPECT_EQ(namesIn(temporary()), std::vector<std::string>{});
    EXPECT_EQ(namesIn(folder_), (std::vector<std::string>{"clip.mp4", "cwebp", "manual.pdf", "photo.jpg", "tmp"}));

    // The engine works again, and a second shutdown with nothing running is quick.
    const Toolchain realTools = Toolchain::locate();
    if (!realTools.cwebp) GTEST_SKIP() << "cwebp is not installed";
    const CompressionResult again = Compressor::compress(image, webp(), realTools, nullptr).wait();
    EXPECT_FALSE(again.failed()) << again.failed()->message;
    EXPECT_TRUE(Compressor::shutdown(std::chrono::seconds(5)));
    EXPECT_EQ(threadsNamed("dorvex-"), 0u);
}

// A completion handler that takes its time keeps a worker and a video thread past the bound:
// shutdown() says so, keeps them (never detached), the engine still runs new jobs, and a later
// shutdown() joins them.
TEST_F(EngineShutdownTest, ReturnsFalseAtItsBoundAndJoinsWhatIsLeftLater) {
    put(folder_ / "bad.jpg", "no picture");
    put(folder_ / "bad.mp4", "no video");
    const auto slowHandler = [](const CompressionResult&) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); };
    const Toolchain tools = hangingTools();
    const Compressor::Job image = Compressor::compress(folder_ / "bad.jpg", webp(), tools, nullptr, slowHandler);
    const Compressor::Job video = Compressor::compress(folder_ / "bad.mp4", CompressionOptions{}, tools, nullptr, slowHandler);
    image.wait();
    video.wait();

    Clock::time_point start = Clock::now();
    EXPECT_FALSE(Compressor::shutdown(std::chrono::milliseconds(300)));
    EXPECT_LT(secondsSince(start), 0.8);
    EXPECT_GE(threadsNamed("dorvex-worker"), 1u);
    EXPECT_EQ(threadsNamed("dorvex-video"), 1u);

    const CompressionResult meanwhile = Compressor::compress(folder_ / "bad.jpg", webp(), tools, nullptr).wait();
    ASSERT_TRUE(meanwhile.failed());
    EXPECT_NE(meanwhile.failed()->message, "已取消");

    EXPECT_TRUE(Compressor::shutdown(std::chrono::seconds(5)));
    EXPECT_EQ(threadsNamed("dorvex-"), 0u);
}

// A cancelled job returns within about a second of the cancellation, its encoder ended: a fake
// that never finishes, and cjxl at work on a 12-megapixel picture of noise.
TEST_F(EngineShutdownTest, CancellingAJobEndsItsRunningEncoder) {
    Toolchain real = Toolchain::locate();
    const fs::path noise = folder_ / "noise.jpg";
    ASSERT_EQ(std::system(("vips gaussnoise '" + noise.string() + "' 4000 3000").c_str()), 0);
    CompressionOptions jxl;
    jxl.format = OutputFormat::jxl;
    struct Case {
        const char* name;
        Toolchain tools;
        CompressionOptions options;
    };
    const Case cases[] = {{"hanging cwebp", hangingTools(), webp()}, {"cjxl", real, jxl}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.options.format == OutputFormat::jxl && !c.tools.cjxl) continue;  // cjxl is not installed
        const Compressor::Job job = Compressor::compress(noise, c.options, c.tools, nullptr);
        ASSERT_TRUE(eventually([] { return runningChildCount() > 0; }, 20));
        const Clock::time_point cancelled = Clock::now();
        job.cancel();
        ASSERT_EQ(job.result().wait_for(std::chrono::seconds(3)), std::future_status::ready);
        EXPECT_LT(secondsSince(cancelled), 1.2);
        const CompressionResult r = job.wait();
        ASSERT_TRUE(r.failed());
        EXPECT_EQ(r.failed()->message, "已取消");
        EXPECT_TRUE(hasNoChild());
        EXPECT_TRUE(eventually([&] { return namesIn(temporary()).empty(); }, 1));
    }
}

}  // namespace
}  // namespace dorvex
