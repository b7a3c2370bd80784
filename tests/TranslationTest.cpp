// The engine's texts in English: the catalogue built beside the program, with English asked for
// in the environment. Translation is process-wide, so this program has no test that expects the
// source texts once it is on.

#include "dorvex/text/Translation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "TestSupport.h"
#include "dorvex/engine/Compressor.h"
#include "dorvex/image/FailureText.h"
#include "image/encoders/ToolRunner.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/SourceFile.h"
#include "dorvex/text/Format.h"
#include "video/VideoSource.h"

namespace dorvex {
namespace {

using testing::executableFolder;
using testing::TemporaryFolder;

CompressionResult pdf(int pages) {
    CompressionResult r;
    r.status = CompressionResult::Success{};
    r.sourceBytes = 3'000'000;
    r.outputBytes = 1'500'000;
    r.pageCount = pages;
    return r;
}

TEST(Translation, EngineTextsInEnglish) {
    const std::filesystem::path photo = "/photos/a.png";
    const auto unreadable = [&] { return FailureText::unopenable(photo, SourceFile::problemText(EACCES)).message; };

    // Off: the texts as written.
    EXPECT_EQ(unreadable(), "无法读取 a.png：没有读取权限，请检查文件的权限");
    EXPECT_EQ(Format::fileCount(1, true), "1 张");
    EXPECT_EQ(Translation::language(), "zh_CN");

    ::setenv("LANGUAGE", "en", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    Translation::useUserLanguage(executableFolder().parent_path() / "share" / "locale");
    ASSERT_STREQ(i18n("已取消"), "Cancelled") << "no English catalogue beside the program";
    EXPECT_EQ(Translation::language(), "en");  // what Qt's own texts follow

    // A cause translated on its way still picks the sentence made for it.
    EXPECT_EQ(unreadable(), "Cannot read a.png: no permission to read it; check the file's permissions");
    EXPECT_EQ(FailureText::unopenable(photo, SourceFile::problemText(ENOENT)).message,
              "Cannot find a.png: the file was moved, renamed or deleted");
    EXPECT_TRUE(isCancellation(cancelledMessage()));
    EXPECT_TRUE(isCancellation(cancelledText));

    // Counts.
    EXPECT_EQ(Format::fileCount(1, true), "1 image");
    EXPECT_EQ(Format::fileCount(3, false), "3 files");
    EXPECT_EQ(Format::statusLine(pdf(1)), "3.00 MB → 1.50 MB · 1 page");
    EXPECT_EQ(Format::statusLine(pdf(12)), "3.00 MB → 1.50 MB · 12 pages");
    EXPECT_EQ(ToolTimeoutError("/opt/bin/cjpeg", std::chrono::minutes(1)).what(),
              std::string("Encoder timed out: cjpeg did not finish within 1 minute"));
    EXPECT_EQ(Format::totalSaved(600, 1000), "600 B saved in total (60%)");
    EXPECT_EQ(Format::levelName(3), "Balanced");
    CompressionResult skipped;
    skipped.status = CompressionResult::Skipped{SkipReason::noSavings};
    EXPECT_EQ(Format::statusLine(skipped), "No savings, original kept");

    // Texts made in the video module (its own copy of the engine) and in a worker process.
    TemporaryFolder folder;
    for (const char* name : {"clip.mp4", "photo.png"}) std::ofstream(folder / name) << "this is no media file at all";
    try {
        VideoSource::load(folder / "clip.mp4");
        ADD_FAILURE() << "a text file loaded as a video";
    } catch (const VideoError& error) {
        EXPECT_STREQ(error.what(), "Cannot read this video (the format is not supported or the file is copy-protected)");
    }
    const CompressionResult r =
        Compressor::compress(folder / "photo.png", CompressionOptions{}, Toolchain::locate(), nullptr).wait();
    ASSERT_TRUE(r.failed());
    EXPECT_EQ(r.failed()->message, "Cannot decode photo.png: the file is damaged or its format is not supported");
}

}  // namespace
}  // namespace dorvex
