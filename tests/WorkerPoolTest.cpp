// Worker processes through the engine's entry: a worker that aborts, crashes, allocates without
// bound or hangs fails only its own job, and the jobs after it in the same process succeed in a
// worker started afresh; a worker cannot write outside its own folder.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "dorvex/engine/Compressor.h"
#include "engine/worker/WorkerPool.h"

namespace dorvex {
namespace {

using namespace dorvex::testing;
using namespace std::chrono_literals;

class WorkerPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        WorkerPool::Testing::useProgram(fs::path(DORVEX_FAULTY_WORKER));
        WorkerPool::Testing::setSilenceLimit(5s);
    }
    void TearDown() override {
        WorkerPool::Testing::useProgram(std::nullopt);
        WorkerPool::Testing::setSilenceLimit(std::nullopt);
    }
    TemporaryFolder folder_;
};

TEST_F(WorkerPoolTest, AFailingWorkerFailsOnlyItsJob) {
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer catches the fault itself, reports it and exits.
    const std::vector<std::string_view> segvTexts{WorkerPool::crashedText, WorkerPool::exitedText};
#else
    const std::vector<std::string_view> segvTexts{WorkerPool::crashedText};
#endif
    const std::vector<std::string_view> anyFailure{WorkerPool::crashedText, WorkerPool::killedText,
                                                   WorkerPool::exitedText, outOfMemoryText};
    const struct {
        std::string name;
        std::vector<std::string_view> texts;  // empty: a success
    } jobs[] = {
        {"first", {}},
        {"abort", {WorkerPool::crashedText}},
        {"second", {}},
        {"segv", segvTexts},
        {"third", {}},
        {"alloc", anyFailure},
        {"fourth", {}},
        {"hang", {WorkerPool::silentText}},
        {"fifth", {}},
    };
    CompressionOptions options;
    options.format = OutputFormat::webp;
    for (const auto& job : jobs) {
        const fs::path source = folder_.path() / (job.name + ".jpg");
        fs::copy_file(testMedia("images") / "IMG-20191006-WA0002.jpg", source);
        const CompressionResult r = Compressor::compress(source, options, Toolchain::locate(), nullptr).wait();
        if (job.texts.empty()) {
            ASSERT_TRUE(r.isSuccess()) << job.name << ": " << (r.failed() ? r.failed()->message : "skipped");
            EXPECT_TRUE(fs::exists(folder_.path() / (job.name + "-min.webp"))) << job.name;
        } else {
            ASSERT_TRUE(r.failed()) << job.name;
            EXPECT_NE(std::find(job.texts.begin(), job.texts.end(), r.failed()->message), job.texts.end())
                << job.name << ": " << r.failed()->message;
            EXPECT_FALSE(fs::exists(folder_.path() / (job.name + "-min.webp"))) << job.name;
        }
        EXPECT_TRUE(fs::exists(source)) << job.name;
    }
}

// The worker writes beside its source before it works; its sandbox refuses that, while the
// output it hands over is placed there by the engine.
TEST_F(WorkerPoolTest, AWorkerWritesOnlyInItsOwnFolder) {
    const fs::path source = folder_.path() / "escape.jpg";
    fs::copy_file(testMedia("images") / "IMG-20191006-WA0002.jpg", source);
    CompressionOptions options;
    options.format = OutputFormat::webp;
    const CompressionResult r = Compressor::compress(source, options, Toolchain::locate(), nullptr).wait();
    ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
    EXPECT_TRUE(fs::exists(folder_.path() / "escape-min.webp"));
    if (fs::exists(folder_.path() / "escaped")) {
        GTEST_SKIP() << "this kernel has no Landlock: writing is not confined here";
    }
}

}  // namespace
}  // namespace dorvex
