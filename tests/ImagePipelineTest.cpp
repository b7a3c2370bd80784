// The image pipeline end to end, with the real encoders on real files in temporary folders:
// which files are written where, what is skipped and why, the byte-limit search as the user
// sees it, cancellation, the overwrite mode with the desktop trash, and failures.

#include "image/ImagePipeline.h"

#include <gtest/gtest.h>

#include <vips/vips8>

#include <atomic>
#include <cmath>
#include <functional>

#include <fmt/format.h>

#include "dorvex/output/OutputPlanner.h"
#include "TestSupport.h"
#include "dorvex/image/Thumbnail.h"
#include "image/VipsRuntime.h"
#include "image/PerceptualScoring.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("ImagePipelineTest-"));

const fs::path corpus = testMedia("images");

const Toolchain& tools() {
    static const Toolchain toolchain = Toolchain::locate(processEnvironment(), fs::path(DORVEX_RESOURCE_DIR) / "bin");
    return toolchain;
}

CompressionOptions options(std::optional<OutputFormat> format = std::nullopt, double level = 3) {
    CompressionOptions o;
    o.level = level;
    o.format = format;
    return o;
}

PixelSize decodedSize(const fs::path& file) {
    VipsRuntime::start();
    vips::VImage image = vips::VImage::new_from_file(file.c_str());
    return {image.width(), image.height()};
}

class ImagePipelineTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = makeTemporaryFolder(TestHome::root(), "job-"); }

    // A corpus file copied into the test's folder (under another name when given).
    fs::path copy(const std::string& name, const std::string& as = "") {
        const fs::path target = folder_ / (as.empty() ? name : as);
        fs::copy_file(corpus / name, target);
        return target;
    }

    CompressionResult run(const fs::path& source, const CompressionOptions& o,
                          const CancelQuery& isCancelled = nullptr) {
        events_.clear();
        return ImagePipeline::run(source, o, tools(), [&](const CompressionEvent& e) { events_.push_back(e); },
                               isCancelled);
    }

    std::vector<CompressionEvent::Attempt> attempts() const {
        std::vector<CompressionEvent::Attempt> found;
        for (const auto& e : events_) {
            if (const auto* a = std::get_if<CompressionEvent::Attempt>(&e.value)) found.push_back(*a);
        }
        return found;
    }

    fs::path folder_;
    std::vector<CompressionEvent> events_;
};

const std::string& failureText(const CompressionResult& r) {
    static const std::string none = "(not failed)";
    return r.failed() ? r.failed()->message : none;
}

const std::string& failureDetail(const CompressionResult& r) {
    static const std::string none = "(not failed)";
    return r.failed() ? r.failed()->detail : none;
}

TEST_F(ImagePipelineTest, WritesBesideTheSourceWithEventsInOrder) {
    const fs::path source = copy("IMG-20191006-WA0002.jpg");
    const CompressionResult r = run(source, options(OutputFormat::webp));
    ASSERT_TRUE(r.isSuccess()) << failureText(r);
    EXPECT_EQ(r.output, folder_ / "IMG-20191006-WA0002-min.webp");
    EXPECT_EQ(r.format, OutputFormat::webp);
    EXPECT_EQ(r.quality, 74);
    EXPECT_EQ(r.encodeCount, 1);
    EXPECT_EQ(r.maxSizeMet, std::nullopt);
    EXPECT_EQ(r.stopReason, std::nullopt);
    EXPECT_EQ(r.sourcePixelSize, (PixelSize{1024, 768}));
    EXPECT_EQ(r.pixelSize, r.sourcePixelSize);
    EXPECT_EQ(r.sourceBytes, std::int64_t(fs::file_size(source)));
    EXPECT_EQ(r.outputBytes, std::int64_t(fs::file_size(*r.output)));
    EXPECT_TRUE(r.warnings.empty());
    EXPECT_TRUE(OutputPlanner::isOptimized(*r.output));
    EXPECT_EQ(decodedSize(*r.output), (PixelSize{1024, 768}));

    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[0], (CompressionEvent{CompressionEvent::Started{{1024, 768}}}));
    EXPECT_EQ(events_[1], (CompressionEvent{CompressionEvent::Attempt{0, 74, std::nullopt, r.outputBytes}}));
}

TEST_F(ImagePipelineTest, TheNoSavingsRuleNeedsTheSameFormat) {
    // A JPEG saved at a low quality only grows when re-encoded at level 1: skipped, nothing written.
    VipsRuntime::start();
    const fs::path small = folder_ / "small.jpg";
    vips::VImage::new_from_file((corpus / "goexif-sample1.jpg").c_str())
        .jpegsave(small.c_str(), vips::VImage::option()->set("Q", 25));
    const CompressionResult same = run(small, options(std::nullopt, 1));
    ASSERT_TRUE(same.skipped()) << failureText(same);
    EXPECT_EQ(same.skipped()->reason, SkipReason::noSavings);
    EXPECT_GE(same.outputBytes, same.sourceBytes);
    EXPECT_EQ(same.output, std::nullopt);
    EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"small.jpg"});

    // A tiny palette PNG grows as lossy WebP, but a conversion is written anyway.
    const fs::path png = copy("docdiff-screenshot-format-tty-xterm-en.png");
    const CompressionResult converted = run(png, options(OutputFormat::webp));
    ASSERT_TRUE(converted.isSuccess()) << failureText(converted);
    EXPECT_GT(converted.outputBytes, converted.sourceBytes);
    EXPECT_LT(converted.savedFraction(), 0);
    EXPECT_TRUE(fs::exists(*converted.output));
}

TEST_F(ImagePipelineTest, AByteLimitIsMetBySearching) {
    const fs::path source = copy("goexif-sample1.jpg");
    CompressionOptions o = options(OutputFormat::jpeg);
    o.maxBytes = 20000;
    const CompressionResult r = run(source, o);
    ASSERT_TRUE(r.isSuccess()) << failureText(r);
    EXPECT_EQ(r.maxSizeMet, true);
    ASSERT_TRUE(r.stopReason);
    EXPECT_NE(*r.stopReason, SearchStopReason::alreadyMet);
    EXPECT_LE(r.outputBytes, 20000);
    EXPECT_EQ(std::int64_t(fs::file_size(*r.output)), r.outputBytes);
    EXPECT_LT(*r.quality, 74);
    EXPECT_GT(r.encodeCount, 1);

    // One attempt event per encode, indices 0, 1, 2 …, the kept one among them.
    const auto seen = attempts();
    ASSERT_EQ(int(seen.size()), r.encodeCount);
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].index, int(i));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](const auto& a) {
        return a.quality == *r.quality && a.bytes == r.outputBytes;
    }));

    // A limit above the first encode: met at once, one encode.
    o.maxBytes = 10'000'000;
    const CompressionResult easy = run(source, o);
    ASSERT_TRUE(easy.isSuccess() || easy.skipped()) << failureText(easy);
    EXPECT_EQ(easy.stopReason, SearchStopReason::alreadyMet);
    EXPECT_EQ(easy.maxSizeMet, true);
    EXPECT_EQ(easy.encodeCount, 1);
}

TEST_F(ImagePipelineTest, KeepDimensionsForbidsTheDownscale) {
    const fs::path source = copy("goexif-sample1.jpg");
    CompressionOptions o = options(OutputFormat::webp);
    o.maxBytes = 2500;  // below anything this photo gives at full size

    o.keepDimensions = true;
    const CompressionResult kept = run(source, o);
    ASSERT_TRUE(kept.isSuccess()) << failureText(kept);
    EXPECT_EQ(kept.stopReason, SearchStopReason::unreachable);
    EXPECT_EQ(kept.maxSizeMet, false);
    EXPECT_EQ(kept.pixelSize, (PixelSize{500, 375}));
    EXPECT_EQ(decodedSize(*kept.output), (PixelSize{500, 375}));

    o.keepDimensions = false;
    const CompressionResult shrunk = run(source, o);
    ASSERT_TRUE(shrunk.isSuccess()) << failureText(shrunk);
    EXPECT_EQ(shrunk.maxSizeMet, true);
    EXPECT_LT(shrunk.pixelSize.width, 500);
    EXPECT_EQ(decodedSize(*shrunk.output), shrunk.pixelSize);
    EXPECT_LE(shrunk.outputBytes, 2500);
}

TEST_F(ImagePipelineTest, FormatsWithoutAQualityIgnoreTheLimit) {
    const fs::path source = copy("kodim07-lzw.tif");
    CompressionOptions o = options();
    o.maxBytes = 1000;
    o.tiffCompression = TIFFCompression::zip;
    const CompressionResult r = run(source, o);
    ASSERT_FALSE(r.failed()) << failureText(r);
    EXPECT_EQ(r.format, OutputFormat::tiff);
    EXPECT_EQ(r.quality, std::nullopt);
    EXPECT_EQ(r.maxSizeMet, std::nullopt);
    EXPECT_EQ(r.stopReason, std::nullopt);
    EXPECT_EQ(r.encodeCount, 1);
}

TEST_F(ImagePipelineTest, LosslessJpegXlGate) {
    struct Case {
        const char* file;
        std::optional<OutputFormat> format;
        std::optional<SkipReason> skip;  // none: written
    };
    const Case cases[] = {
        {"goexif-sample1.jpg", OutputFormat::jxl, std::nullopt},          // transcoded losslessly
        {"drawing-screenshot_color_palette.png", OutputFormat::jxl, std::nullopt},
        {"sunset-lossy.webp", OutputFormat::jxl, SkipReason::lossySource},
        {"sdl2-sample.avif", OutputFormat::jxl, SkipReason::lossySource},
        {"leptonica-multipage.tiff", OutputFormat::jxl, SkipReason::multiPage},
        {"sdl2-sample.jxl", std::nullopt, std::nullopt},                  // no gate without an explicit jxl
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path source = copy(c.file);
        CompressionOptions o = options(c.format);
        o.jxlLossless = true;
        const CompressionResult r = run(source, o);
        if (c.skip) {
            ASSERT_TRUE(r.skipped()) << failureText(r);
            EXPECT_EQ(r.skipped()->reason, *c.skip);
            EXPECT_EQ(r.encodeCount, 0);
        } else {
            EXPECT_FALSE(r.failed()) << failureText(r);
        }
    }
}

TEST_F(ImagePipelineTest, CancellationDuringTheSearch) {
    const fs::path source = copy("goexif-sample1.jpg");
    CompressionOptions o = options(OutputFormat::jpeg);
    o.maxBytes = 15000;
    // Let the first encode and one search encode through, then cancel.
    const CompressionResult r = run(source, o, [&] { return attempts().size() >= 2; });
    ASSERT_TRUE(r.failed());
    EXPECT_EQ(r.failed()->message, "已取消");
    EXPECT_GE(attempts().size(), 2u);
    EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"goexif-sample1.jpg"});

    // Cancelled before any encode.
    const CompressionResult early = run(source, o, [] { return true; });
    EXPECT_EQ(failureText(early), "已取消");
    EXPECT_TRUE(attempts().empty());
}

TEST_F(ImagePipelineTest, OverwriteModeSendsTheSourceToTheTrash) {
    const auto trashed = [] { return namesIn(TestHome::trashFiles()); };
    const std::size_t before = trashed().size();

    // Same extension: the output takes the source's name, the source goes to the trash first.
    const fs::path jpeg = copy("IMG-20191006-WA0002.jpg", "Photo.JPG");
    const std::string original = contents(jpeg);
    CompressionOptions o = options(OutputFormat::jpeg, 5);
    o.saveLocation = SaveLocation::overwrite();
    const CompressionResult same = run(jpeg, o);
    ASSERT_TRUE(same.isSuccess()) << failureText(same);
    EXPECT_EQ(same.output, jpeg);
    EXPECT_NE(contents(jpeg), original);
    EXPECT_TRUE(same.warnings.empty());
    EXPECT_EQ(trashed().size(), before + 1);

    // Another extension: written beside, then the source goes to the trash.
    const fs::path png = copy("drawing-screenshot_color_palette.png");
    o.format = OutputFormat::webp;
    const CompressionResult other = run(png, o);
    ASSERT_TRUE(other.isSuccess()) << failureText(other);
    EXPECT_EQ(other.output, folder_ / "drawing-screenshot_color_palette.webp");
    EXPECT_FALSE(fs::exists(png));
    EXPECT_EQ(trashed().size(), before + 2);
}

// An encoder that exits 0 after writing nothing usable must not take the source's place: in the
// overwrite mode the source stays where it is, untouched, and the job fails saying why.
TEST_F(ImagePipelineTest, AnUnusableEncoderOutputNeverReplacesTheSource) {
    // cwebp's arguments end with "-o OUT IN", pngquant's with "--output OUT IN", cjpeg's with
    // "-outfile OUT IN".
    const std::string findOutput =
        "while [ $# -gt 0 ]; do case $1 in -o|--output|-outfile) out=$2;; esac; shift; done\n";
    struct Tool {
        OutputFormat format;
        std::optional<std::string> Toolchain::*path;
    };
    struct Case {
        const char* what;
        std::string body;
        std::string problem;
    };
    for (const Tool tool : {Tool{OutputFormat::webp, &Toolchain::cwebp}, Tool{OutputFormat::png, &Toolchain::pngquant},
                            Tool{OutputFormat::jpeg, &Toolchain::cjpeg}}) {
        const std::string name = fs::path(*(tools().*tool.path)).filename();
        const std::string extension(tool.format.fileExtension());
        const fs::path small = folder_ / ("small." + extension);
        const fs::path cut = folder_ / ("cut." + extension);
        vips::VImage::black(8, 8).write_to_file(small.c_str());
        // A black JPEG is mostly headers: noise gives its cut something to cut into.
        (tool.format == OutputFormat::jpeg ? vips::VImage::gaussnoise(460, 188).cast(VIPS_FORMAT_UCHAR)
                                           : vips::VImage::black(460, 188))
            .write_to_file(cut.c_str());
        fs::resize_file(cut, fs::file_size(cut) / 2);
        const std::vector<Case> cases{
            {"nothing written", "", "it is missing"},
            {"an empty file", ": > \"$out\"\n", "it is empty"},
            {"garbage", "echo 'not a picture at all' > \"$out\"\n", "it does not decode"},
            {"a file cut off", "cp '" + cut.string() + "' \"$out\"\n", "it does not decode"},
            {"a picture of another size", "cp '" + small.string() + "' \"$out\"\n",
             "it holds 8×8 pixels, not 460×188"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(name + ": " + c.what);
            const fs::path fake = folder_ / name;
            put(fake, "#!/bin/sh\n" + findOutput + c.body + "exit 0\n");
            fs::permissions(fake, fs::perms::owner_all);
            Toolchain faulty = tools();
            faulty.*tool.path = fake.string();
            const fs::path source = copy("docdiff-screenshot-format-tty-xterm-en.png", "screen.png");
            const std::string before = contents(source);
            CompressionOptions o = options(tool.format);
            o.saveLocation = SaveLocation::overwrite();
            const CompressionResult r = ImagePipeline::run(source, o, faulty, nullptr, nullptr);
            EXPECT_EQ(failureText(r), "编码器 " + name + " 为 screen.png 写出的文件无法使用");
            EXPECT_EQ(failureDetail(r), name + " wrote an unusable file: " + c.problem);
            EXPECT_EQ(contents(source), before);
            if (tool.format != OutputFormat::png) {  // a PNG's destination is the source, checked above
                EXPECT_FALSE(fs::exists(folder_ / ("screen." + extension)));
            }
            fs::remove(source);
        }
    }
}

TEST_F(ImagePipelineTest, AFailingTrashKeepsTheSourceWithAWarning) {
    const fs::path png = copy("drawing-screenshot_color_palette.png");
    CompressionOptions o = options(OutputFormat::webp);
    o.saveLocation = SaveLocation::overwrite();
    // A file where the trash folder should be: GIO cannot trash anything.
    const fs::path trash = TestHome::root() / "home" / ".local" / "share" / "Trash";
    const fs::path aside = TestHome::root() / "Trash.aside";
    if (fs::exists(trash)) fs::rename(trash, aside);
    put(trash, "not a folder");
    const CompressionResult r = run(png, o);
    fs::remove(trash);
    if (fs::exists(aside)) fs::rename(aside, trash);

    ASSERT_TRUE(r.isSuccess()) << failureText(r);
    EXPECT_TRUE(fs::exists(png));
    EXPECT_TRUE(fs::exists(*r.output));
    ASSERT_EQ(r.warnings.size(), 1u);
}

TEST_F(ImagePipelineTest, ASecondRunReplacesTheFirstRunsOutputsSilently) {
    const fs::path out = folder_ / "out";
    const fs::path a = copy("goexif-sample1.jpg");
    const fs::path b = copy("drawing-screenshot_color_palette.png");
    CompressionOptions o = options(OutputFormat::webp);
    o.saveLocation = SaveLocation::folder(out, "");
    for (int run_ = 0; run_ < 2; ++run_) {
        for (const auto& source : {a, b}) {
            const CompressionResult r = run(source, o);
            ASSERT_TRUE(r.isSuccess()) << failureText(r);
            EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
        }
        o.level = 5;  // a different output the second time
    }
    EXPECT_EQ(namesIn(out), (std::vector<std::string>{"drawing-screenshot_color_palette.webp", "goexif-sample1.webp"}));
    EXPECT_FALSE(fs::exists(TestHome::trashFiles() / "goexif-sample1.webp"));
}

TEST_F(ImagePipelineTest, FailuresAreResultsWithTheirTexts) {
    const fs::path source = copy("goexif-sample1.jpg");

    // An unwritable destination: the folder's parent is a file. The source stays as it was.
    const std::string original = contents(source);
    put(folder_ / "blocker", "x");
    CompressionOptions o = options(OutputFormat::webp);
    o.saveLocation = SaveLocation::folder(folder_ / "blocker" / "out", "");
    const CompressionResult blocked = run(source, o);
    ASSERT_TRUE(blocked.failed());
    EXPECT_EQ(blocked.failed()->message, "无法创建文件夹 out：路径中有一项不是文件夹");
    EXPECT_NE(blocked.failed()->detail.find("Not a directory"), std::string::npos) << blocked.failed()->detail;
    EXPECT_EQ(contents(source), original);

    // A text file named like a photo.
    const fs::path fake = folder_ / "notes.jpg";
    put(fake, "just text");
    EXPECT_EQ(failureText(run(fake, options())), "无法解码 notes.jpg：文件已损坏或格式不受支持");

    // Naming options that make no file name.
    CompressionOptions badName = options();
    badName.filenamePrefix = "a/b";
    EXPECT_EQ(failureText(run(source, badName)), "文件名前缀和后缀不能包含 / 或空字符");

    // A level without a quality.
    CompressionOptions nan = options();
    nan.level = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(failureText(run(source, nan)).starts_with("压缩等级无效"));

    // A missing encoder, and an encoder that crashes on every run.
    Toolchain none;
    const CompressionResult missing = ImagePipeline::run(source, options(OutputFormat::png), none, nullptr, nullptr);
    EXPECT_EQ(failureText(missing), "无法压缩 goexif-sample1.jpg：找不到编码器 pngquant，请先安装它");
    EXPECT_EQ(failureDetail(missing), "apt install pngquant, or set DORVEX_PNGQUANT");

    const fs::path crashing = folder_ / "cwebp";
    put(crashing, "#!/bin/sh\necho 'Segmentation fault' >&2\nkill -SEGV $$\n");
    fs::permissions(crashing, fs::perms::owner_all);
    Toolchain broken = tools();
    broken.cwebp = crashing.string();
    const CompressionResult crashed = ImagePipeline::run(source, options(OutputFormat::webp), broken, nullptr, nullptr);
    EXPECT_EQ(failureText(crashed), "编码器 cwebp 压缩 goexif-sample1.jpg 时崩溃（SEGV）");
    EXPECT_EQ(failureDetail(crashed), "cwebp terminated by signal SEGV: Segmentation fault");
    EXPECT_EQ(crashed.encodeCount, 0);
}

// Every written picture is scored against its source; nothing else is.
TEST_F(ImagePipelineTest, WrittenPicturesCarryAPerceptualScore) {
    const fs::path photo = copy("goexif-sample1.jpg");
    const CompressionResult best = run(photo, options(OutputFormat::jpeg, 1));
    const CompressionResult smallest = run(photo, options(OutputFormat::jpeg, 6));
    ASSERT_TRUE(best.perceptual && smallest.perceptual) << failureText(best) << failureText(smallest);
    EXPECT_TRUE(std::isfinite(best.perceptual->butteraugli) && std::isfinite(smallest.perceptual->pnorm3));
    EXPECT_LT(best.perceptual->butteraugli, 2.0);
    EXPECT_LT(best.perceptual->pnorm3, best.perceptual->butteraugli);
    EXPECT_GT(smallest.perceptual->butteraugli, 1.5 * best.perceptual->butteraugli);
    EXPECT_GT(smallest.perceptual->pnorm3, 1.5 * best.perceptual->pnorm3);

    // Alpha over white, grey expanded, a turned source, an icon family: each has its score.
    for (const auto& [name, format] : std::vector<std::pair<std::string, std::optional<OutputFormat>>>{
             {"tmshre_riaphotographs_alpha.png", OutputFormat::webp},
             {"bw-gopher_ccittGroup4.tiff", OutputFormat::png},
             {"orientation_8.jpg", OutputFormat::avif},
             {"etmlogo.icns", std::nullopt}}) {
        const CompressionResult r = run(copy(name), options(format));
        ASSERT_TRUE(r.isSuccess()) << name << ": " << failureText(r);
        EXPECT_TRUE(r.perceptual && r.perceptual->butteraugli < 10) << name;
    }

    // A picture above the bound, scaled down further by a byte limit: compared at a bounded size.
    CompressionOptions limited = options(OutputFormat::jpeg);
    limited.maxBytes = 20'000;
    const CompressionResult reduced = run(copy("IMG-20191006-WA0002.jpg"), limited);
    ASSERT_TRUE(reduced.isSuccess()) << failureText(reduced);
    EXPECT_NE(reduced.pixelSize, reduced.sourcePixelSize);
    EXPECT_TRUE(reduced.perceptual && reduced.perceptual->butteraugli > 0);
    EXPECT_EQ(PerceptualScoring::scoredSize({400, 300}), (PixelSize{400, 300}));
    const PixelSize camera = PerceptualScoring::scoredSize({8000, 6000});
    EXPECT_LE(std::int64_t(camera.width) * camera.height, PerceptualScoring::maxScoredPixels);
    EXPECT_NEAR(double(camera.width) / camera.height, 4.0 / 3, 0.01);
    EXPECT_EQ(PerceptualScoring::scoredSize({1'000'000, 1}), (PixelSize{250'000, 1}));

    CompressionOptions off = options(OutputFormat::jpeg);
    off.perceptualScore = false;
    const CompressionResult unscored = run(photo, off);
    ASSERT_TRUE(unscored.isSuccess()) << failureText(unscored);
    EXPECT_EQ(unscored.perceptual, std::nullopt);

    VipsRuntime::start();
    const fs::path lowQuality = folder_ / "low.jpg";
    vips::VImage::new_from_file(photo.c_str()).jpegsave(lowQuality.c_str(), vips::VImage::option()->set("Q", 25));
    const CompressionResult skipped = run(lowQuality, options(std::nullopt, 1));
    ASSERT_TRUE(skipped.skipped());
    EXPECT_EQ(skipped.perceptual, std::nullopt);
    put(folder_ / "blocker", "x");
    CompressionOptions blocked = options(OutputFormat::webp);
    blocked.saveLocation = SaveLocation::folder(folder_ / "blocker" / "out", "");
    const CompressionResult failed = run(photo, blocked);
    ASSERT_TRUE(failed.failed());
    EXPECT_EQ(failed.perceptual, std::nullopt);
}

// Pictures a few pixels across (a 1×1 tracking pixel, a 7-pixel divider) go through every format,
// with and without a limit that asks for a downscale, and make thumbnails: no step may shrink
// them to nothing, which libvips answers by ending the process.
TEST_F(ImagePipelineTest, TinyPicturesInEveryFormat) {
    VipsRuntime::start();
    const auto colour = [](int w, int h) {
        return (vips::VImage::black(w, h) + std::vector<double>{200, 40, 90}).cast(VIPS_FORMAT_UCHAR).copy(
            vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    };
    const struct {
        std::string kind;
        std::function<void(const vips::VImage&, const fs::path&)> save;
    } kinds[] = {
        {"rgb", [](const vips::VImage& i, const fs::path& f) { i.pngsave(f.c_str()); }},
        {"palette", [](const vips::VImage& i, const fs::path& f) { i.pngsave(f.c_str(), vips::VImage::option()->set("palette", true)); }},
        {"grey", [](const vips::VImage& i, const fs::path& f) { i.colourspace(VIPS_INTERPRETATION_B_W).pngsave(f.c_str()); }},
        {"tiff", [](const vips::VImage& i, const fs::path& f) { i.tiffsave(f.c_str()); }},
    };
    const PixelSize sizes[] = {{1, 1}, {1, 7}, {7, 1}, {7, 7}, {8, 8}};
    for (const auto& kind : kinds) {
        for (const PixelSize size : sizes) {
            const fs::path source = folder_ / fmt::format("{}-{}x{}.{}", kind.kind, size.width, size.height,
                                                          kind.kind == "tiff" ? "tif" : "png");
            kind.save(colour(size.width, size.height), source);
            EXPECT_TRUE(imageThumbnail(source, 4).has_value()) << source;
            std::vector<std::optional<OutputFormat>> formats{std::nullopt};
            for (OutputFormat f : OutputFormat::selectable()) formats.emplace_back(f);
            for (const std::optional<OutputFormat>& format : formats) {
                for (const std::optional<std::int64_t> limit : {std::optional<std::int64_t>{}, std::optional<std::int64_t>{40}}) {
                    CompressionOptions o = options(format, 6);
                    o.maxBytes = limit;
                    const CompressionResult r = run(source, o);
                    const std::string what = fmt::format("{} as {} limit {}", source.filename().string(),
                                                         format ? format->rawValue() : "original", limit.value_or(0));
                    EXPECT_FALSE(r.failed()) << what << ": " << failureText(r);
                    if (r.output) {
                        EXPECT_EQ(decodedSize(*r.output), r.pixelSize) << what;
                        fs::remove(*r.output);
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace dorvex
