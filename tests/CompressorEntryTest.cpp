// The engine's single entry: dispatch by file name, work off the caller's thread, one result per
// call, and cancellation of running and of waiting jobs.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <fmt/format.h>

#include "dorvex/engine/Compressor.h"
#include "TestSupport.h"
#include "dorvex/platform/WorkPool.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("CompressorEntryTest-"));

const fs::path corpus = testMedia("images");

// A cwebp that takes its time, so that jobs are still running (or waiting) when cancelled.
Toolchain slowTools(const fs::path& folder) {
    const fs::path script = folder / "cwebp";
    put(script, "#!/bin/sh\nsleep 0.4\nexec cwebp \"$@\"\n");
    fs::permissions(script, fs::perms::owner_all);
    Toolchain tools;
    tools.cwebp = script.string();
    return tools;
}

CompressionOptions webpWithLimit() {
    CompressionOptions o;
    o.format = OutputFormat::webp;
    o.maxBytes = 3000;
    return o;
}

class CompressorEntryTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = makeTemporaryFolder(TestHome::root(), "entry-"); }
    fs::path folder_;
};

TEST_F(CompressorEntryTest, DispatchByFileName) {
    struct Case {
        const char* name;
        const char* copyOf;  // a corpus file, or none for a file of text
        const char* failureStart;  // how the failure reads; none: no failure
        std::optional<OutputFormat> format;
    };
    const Case cases[] = {
        {"clip.mp4", nullptr, "无法读取视频 clip.mp4", std::nullopt},  // the video compressor's text
        {"clip.MOV", nullptr, "无法读取视频 clip.MOV", std::nullopt},
        {"doc.pdf", DORVEX_TEST_MEDIA_DIR "/pdfs/d-text.pdf", nullptr, OutputFormat::pdf},
        {"photo.weird", nullptr, "无法解码 photo.weird：文件已损坏或格式不受支持", std::nullopt},  // unknown: the image pipeline
        {"photo.jpg", DORVEX_TEST_MEDIA_DIR "/images/goexif-sample1.jpg", nullptr, OutputFormat::jpeg},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = folder_ / c.name;
        if (c.copyOf) {
            fs::copy_file(c.copyOf, file);
        } else {
            put(file, "this is no media file at all");
        }
        std::atomic<int> events{0};
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<bool> offCaller{false};
        const auto job = Compressor::compress(
            file, CompressionOptions{}, Toolchain::locate(), [&](const CompressionEvent&) { ++events; },
            [&](const CompressionResult&) { offCaller = std::this_thread::get_id() != caller; });
        const CompressionResult r = job.wait();
        if (c.failureStart) {
            ASSERT_TRUE(r.failed());
            EXPECT_TRUE(r.failed()->message.starts_with(c.failureStart)) << r.failed()->message;
        } else {
            EXPECT_FALSE(r.failed()) << r.failed()->message;
            EXPECT_EQ(r.format, c.format);
        }
        // Only images report events here: the video failed before encoding, PDFs send none.
        EXPECT_EQ(events.load() > 0, c.format == OutputFormat::jpeg);
        // The completion handler runs after the result is ready; give it a moment to finish.
        for (int i = 0; i < 200 && !offCaller; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(offCaller);
    }
}

// A source that cannot be opened names why, whatever its kind, before any decoder sees it.
// `expected` has "{}" where the file's name goes.
void expectFailureForEveryKind(const fs::path& folder, std::string_view expected) {
    for (const char* name : {"a.jpg", "a.mp4", "a.pdf"}) {
        const CompressionResult r =
            Compressor::compress(folder / name, CompressionOptions{}, Toolchain::locate(), nullptr).wait();
        ASSERT_TRUE(r.failed()) << name;
        EXPECT_EQ(r.failed()->message, fmt::format(fmt::runtime(expected), name)) << name;
    }
}

TEST_F(CompressorEntryTest, ASourceDeletedBeforeItsJobIsGone) {
    expectFailureForEveryKind(folder_, "找不到 {}：文件已被移动、改名或删除");
}

// Each way a job can end without an output names the file (never its folder) and the cause; the
// tool's own words go to the detail.
TEST_F(CompressorEntryTest, FailureTextsNameTheFileAndTheCause) {
    const auto fakeCwebp = [&](const std::string& name, const std::string& script) {
        put(folder_ / name, script);
        fs::permissions(folder_ / name, fs::perms::owner_all);
        Toolchain tools;
        tools.cwebp = (folder_ / name).string();
        return tools;
    };
    const Toolchain real = Toolchain::locate();
    Toolchain noPngquant = real;
    noPngquant.pngquant.reset();
    const fs::path png = corpus / "docdiff-screenshot-format-tty-xterm-en.png";
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;  // makes a.png
        Toolchain tools;
        std::optional<OutputFormat> format;
        const char* message;
        const char* detailPart;  // found in the detail
    };
    const std::vector<Case> cases{
        {"deleted while queued", [](const fs::path& f) { put(f, "x"), fs::remove(f); }, real, std::nullopt,
         "找不到 a.png：文件已被移动、改名或删除", ""},
        {"renamed while queued", [](const fs::path& f) { put(f, "x"), fs::rename(f, f.parent_path() / "b.png"); },
         real, std::nullopt, "找不到 a.png：文件已被移动、改名或删除", ""},
        {"damaged", [](const fs::path& f) { put(f, contents(corpus / "city.png").substr(0, 3000)); }, real,
         std::nullopt, "无法解码 a.png：文件已损坏或格式不受支持", ""},
        {"encoder missing", [&](const fs::path& f) { fs::copy_file(png, f); }, noPngquant, std::nullopt,
         "无法压缩 a.png：找不到编码器 pngquant，请先安装它", "DORVEX_PNGQUANT"},
        {"encoder refusal", [&](const fs::path& f) { fs::copy_file(png, f); },
         fakeCwebp("refusing", "#!/bin/sh\necho 'Unsupported color conversion' >&2\nexit 3\n"), OutputFormat::webp,
         "编码器 refusing 无法压缩 a.png（退出码 3）", "Unsupported color conversion"},
        {"encoder crash", [&](const fs::path& f) { fs::copy_file(png, f); }, fakeCwebp("crashing", "#!/bin/sh\nkill -SEGV $$\n"),
         OutputFormat::webp, "编码器 crashing 压缩 a.png 时崩溃（SEGV）", "SEGV"},
        {"encoder no program", [&](const fs::path& f) { fs::copy_file(png, f); }, fakeCwebp("script", "echo\n"),
         OutputFormat::webp, "无法启动编码器 script：不是可执行的程序", "Exec format error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = makeTemporaryFolder(folder_, "case-");
        c.make(folder / "a.png");
        CompressionOptions o;
        o.format = c.format;
        const CompressionResult r = Compressor::compress(folder / "a.png", o, c.tools, nullptr).wait();
        ASSERT_TRUE(r.failed());
        EXPECT_EQ(r.failed()->message, c.message);
        EXPECT_NE(r.failed()->detail.find(c.detailPart), std::string::npos) << r.failed()->detail;
        EXPECT_EQ(r.failed()->message.find(folder.string()), std::string::npos);
    }
}

// pngquant missing the level's lowest quality (a photo with transparency) leaves the source as it
// is, and says why: nothing was wrong with the file.
TEST_F(CompressorEntryTest, APhotoPngTooColourfulForItsLevelIsSkipped) {
    const Toolchain tools = Toolchain::locate();
    if (!tools.pngquant) GTEST_SKIP() << "pngquant is not installed";
    fs::copy_file(corpus / "tmshre_riaphotographs_alpha.png", folder_ / "a.png");
    CompressionOptions o;
    o.level = 1;
    const CompressionResult r = Compressor::compress(folder_ / "a.png", o, tools, nullptr).wait();
    ASSERT_TRUE(r.skipped()) << (r.failed() ? r.failed()->message : "written");
    EXPECT_EQ(r.skipped()->reason, SkipReason::tooManyColors);
    EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"a.png"});
}

TEST_F(CompressorEntryTest, ASourceWithoutReadPermissionSaysSo) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    for (const char* name : {"a.jpg", "a.mp4", "a.pdf"}) {
        fs::copy_file(name == std::string("a.pdf") ? DORVEX_TEST_MEDIA_DIR "/pdfs/d-text.pdf" : corpus / "Dune.jpg",
                      folder_ / name);
        fs::permissions(folder_ / name, fs::perms::none);
    }
    expectFailureForEveryKind(folder_, "无法读取 {}：没有读取权限，请检查文件的权限");
}

// The end of a batch flushes the filesystems new outputs went to (one whose folder went too);
// shutting down flushes what is left.
TEST_F(CompressorEntryTest, FinishingABatch) {
    CompressionOptions o;
    o.format = OutputFormat::webp;
    fs::copy_file(corpus / "goexif-sample1.jpg", folder_ / "a.jpg");
    EXPECT_EQ(Compressor::finishBatch(), std::vector<std::string>{});  // nothing waiting
    for (const fs::path& out : {folder_ / "kept", folder_ / "gone"}) {
        o.saveLocation = SaveLocation::folder(out, "");
        Compressor::compress(folder_ / "a.jpg", o, Toolchain::locate(), nullptr).wait();
    }
    fs::remove_all(folder_ / "gone");
    EXPECT_EQ(Compressor::finishBatch(), std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(folder_ / "kept" / "a.webp"));
    EXPECT_EQ(Compressor::shutdown(), (Compressor::ShutdownOutcome{true, {}}));
}

TEST_F(CompressorEntryTest, CancellingARunningJob) {
    const Toolchain tools = slowTools(folder_);
    fs::copy_file(corpus / "goexif-sample1.jpg", folder_ / "a.jpg");
    std::atomic<int> attempts{0};
    std::atomic<int> finished{0};
    std::optional<Compressor::Job> job;
    std::mutex lock;
    {
        std::lock_guard guard(lock);
        job = Compressor::compress(
            folder_ / "a.jpg", webpWithLimit(), tools,
            [&](const CompressionEvent& e) {
                if (std::holds_alternative<CompressionEvent::Attempt>(e.value) && ++attempts == 1) {
                    std::lock_guard g(lock);
                    job->cancel();  // from the job's own thread, as any observer may
                }
            },
            [&](const CompressionResult&) { ++finished; });
    }
    const CompressionResult r = job->wait();
    ASSERT_TRUE(r.failed());
    EXPECT_EQ(r.failed()->message, "已取消");
    EXPECT_TRUE(job->isCancelled());
    EXPECT_LE(attempts.load(), 2);  // the encode under way finishes; no further one starts
    for (int i = 0; i < 200 && finished == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(namesIn(folder_), (std::vector<std::string>{"a.jpg", "cwebp"}));
}

TEST_F(CompressorEntryTest, CancellingWaitingJobs) {
    const Toolchain tools = slowTools(folder_);
    fs::copy_file(corpus / "goexif-sample1.jpg", folder_ / "a.jpg");
    // More jobs than workers: the last ones wait in the queue and are cancelled there.
    const int count = int(WorkPool::workerCount()) + 2;
    std::vector<Compressor::Job> jobs;
    std::atomic<int> results{0};
    CompressionOptions o = webpWithLimit();
    o.saveLocation = SaveLocation::folder(folder_ / "out", "");
    for (int i = 0; i < count; ++i) {
        jobs.push_back(Compressor::compress(folder_ / "a.jpg", o, tools, nullptr,
                                            [&](const CompressionResult&) { ++results; }));
    }
    for (auto& job : jobs) job.cancel();
    for (auto& job : jobs) {
        const CompressionResult r = job.wait();
        ASSERT_TRUE(r.failed());
        EXPECT_EQ(r.failed()->message, "已取消");
        EXPECT_LE(r.encodeCount, 1);
    }
    for (int i = 0; i < 400 && results < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(results.load(), count);  // exactly one result each
    EXPECT_FALSE(fs::exists(folder_ / "out" / "a.webp"));
}

}  // namespace
}  // namespace dorvex
