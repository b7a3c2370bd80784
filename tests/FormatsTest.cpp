// Formats, file types and the small enumerations stored by raw value; results and pixel sizes.

#include <gtest/gtest.h>

#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/model/JsonCoding.h"
#include "dorvex/model/OutputFormat.h"

using namespace dorvex;

TEST(OutputFormat, TableOfCases) {
    struct Row {
        OutputFormat format;
        const char* raw;
        const char* extension;
        const char* name;
        const char* identifier;
    };
    const Row rows[] = {
        {OutputFormat::jpeg, "jpeg", "jpg", "JPEG", "public.jpeg"},
        {OutputFormat::png, "png", "png", "PNG", "public.png"},
        {OutputFormat::webp, "webp", "webp", "WebP", "org.webmproject.webp"},
        {OutputFormat::avif, "avif", "avif", "AVIF", "public.avif"},
        {OutputFormat::heic, "heic", "heic", "HEIC", "public.heic"},
        {OutputFormat::jxl, "jxl", "jxl", "JPEG XL", "public.jpeg-xl"},
        {OutputFormat::tiff, "tiff", "tiff", "TIFF", "public.tiff"},
        {OutputFormat::icns, "icns", "icns", "ICNS", "com.apple.icns"},
        {OutputFormat::mp4, "mp4", "mp4", "MP4", "public.mpeg-4"},
        {OutputFormat::mov, "mov", "mov", "MOV", "com.apple.quicktime-movie"},
        {OutputFormat::pdf, "pdf", "pdf", "PDF", "com.adobe.pdf"},
    };
    ASSERT_EQ(OutputFormat::allCases().size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        EXPECT_EQ(OutputFormat::allCases()[i], r.format);
        EXPECT_EQ(r.format.rawValue(), r.raw);
        EXPECT_EQ(OutputFormat::fromRawValue(r.raw), r.format);
        EXPECT_EQ(r.format.fileExtension(), r.extension);
        EXPECT_EQ(r.format.displayName(), r.name);
        EXPECT_EQ(r.format.fileType().identifier, r.identifier);
        EXPECT_EQ(r.format.isVideo(), r.format == OutputFormat::mp4 || r.format == OutputFormat::mov);
        EXPECT_EQ(r.format.isPDF(), r.format == OutputFormat::pdf);
        // Every format's own type maps back to it, and so does the type of its extension.
        EXPECT_EQ(OutputFormat::original(r.format.fileType()), r.format);
        EXPECT_EQ(OutputFormat::original(FileType::fromExtension(r.extension)), r.format);
    }
    EXPECT_EQ(OutputFormat::fromRawValue("jpg"), std::nullopt);
    EXPECT_EQ(OutputFormat::fromRawValue("JPEG"), std::nullopt);
    std::vector<OutputFormat> selectable(OutputFormat::selectable().begin(), OutputFormat::selectable().end());
    EXPECT_EQ(selectable, (std::vector<OutputFormat>{OutputFormat::jpeg, OutputFormat::png, OutputFormat::webp,
                                                     OutputFormat::avif, OutputFormat::heic, OutputFormat::jxl}));
}

TEST(OutputFormat, OriginalOfATypeOrNone) {
    struct Case {
        std::optional<FileType> type;
        OutputFormat expected;
    };
    const Case cases[] = {
        {std::nullopt, OutputFormat::jpeg},
        {FileType::data, OutputFormat::jpeg},
        {FileType::image, OutputFormat::jpeg},
        {FileType::movie, OutputFormat::jpeg},
        {FileType::fromPath("/x/IMG_1.JPEG"), OutputFormat::jpeg},
        {FileType::fromPath("/x/scan.TIF"), OutputFormat::tiff},
        {FileType::fromPath("/x/clip.MOV"), OutputFormat::mov},
        {FileType::fromPath("/x/photo.heif"), OutputFormat::heic},
        {FileType::fromPath("/x/notes.txt"), OutputFormat::jpeg},
        {FileType::fromIdentifier("public.png"), OutputFormat::png},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OutputFormat::original(c.type), c.expected) << (c.type ? c.type->identifier : "none");
    }
}

TEST(FileType, ExtensionsAndConformance) {
    EXPECT_EQ(FileType::fromExtension("JpG"), FileType::jpeg);
    EXPECT_EQ(FileType::fromExtension("jfif"), FileType::jpeg);
    EXPECT_EQ(FileType::fromExtension("tif"), FileType::tiff);
    EXPECT_EQ(FileType::fromExtension(""), std::nullopt);
    EXPECT_EQ(FileType::fromExtension("txt"), std::nullopt);
    EXPECT_EQ(FileType::fromPath("/x/archive.tar.gz"), std::nullopt);
    EXPECT_EQ(FileType::fromPath("/x/no-extension"), std::nullopt);
    EXPECT_EQ(FileType::fromPath("/x/.png"), std::nullopt);  // a hidden file, not a PNG
    EXPECT_EQ(FileType::fromIdentifier("public.nonsense"), std::nullopt);

    EXPECT_TRUE(FileType::jpeg.conforms(FileType::image));
    EXPECT_TRUE(FileType::jpeg.conforms(FileType::data));
    EXPECT_TRUE(FileType::heic.conforms(FileType::image));
    EXPECT_TRUE(FileType::quickTimeMovie.conforms(FileType::movie));
    EXPECT_TRUE(FileType::pdf.conforms(FileType::data));
    EXPECT_FALSE(FileType::pdf.conforms(FileType::image));
    EXPECT_FALSE(FileType::image.conforms(FileType::jpeg));  // a parent is not its child
    EXPECT_FALSE(FileType::png.conforms(FileType::jpeg));
}

TEST(Enumerations, RawValues) {
    EXPECT_EQ(TIFFCompression::fromRawValue("zip"), TIFFCompression::zip);
    EXPECT_EQ(TIFFCompression::fromRawValue("deflate"), std::nullopt);
    EXPECT_EQ(VideoCodec(VideoCodec::h264).displayName(), "H.264");
    EXPECT_EQ(VideoCodec::fromRawValue("hevc"), VideoCodec::hevc);
    EXPECT_EQ(VideoCodec::fromRawValue("h265"), std::nullopt);

    struct SkipRow {
        SkipReason reason;
        const char* raw;
        const char* text;
    };
    const SkipRow skips[] = {
        {SkipReason::noSavings, "no_savings", "无收益，已保留原图"},
        {SkipReason::lossySource, "lossy_source", "有损源，跳过无损 JXL"},
        {SkipReason::multiPage, "multi_page", "多页 TIFF，跳过无损 JXL"},
        {SkipReason::encrypted, "encrypted", "PDF 有密码，已跳过"},
        {SkipReason::tooManyColors, "too_many_colors", "PNG 色彩过多，已保留原图"},
    };
    for (const auto& s : skips) {
        EXPECT_EQ(s.reason.rawValue(), s.raw);
        EXPECT_EQ(s.reason.text(), s.text);
        EXPECT_EQ(SkipReason::fromRawValue(s.raw), s.reason);
    }
    EXPECT_EQ(SkipReason::fromRawValue("noSavings"), std::nullopt);

    using R = SearchStopReason;
    for (R reason : {R::alreadyMet, R::converged, R::roundBudgetExhausted, R::encodeBudgetExhausted,
                     R::unreachable, R::cancelled, R::encodeFailed}) {
        EXPECT_EQ(stopReasonFromRawValue(rawValue(reason)), reason);
    }
    EXPECT_EQ(rawValue(R::encodeBudgetExhausted), "encodeBudgetExhausted");
    EXPECT_EQ(stopReasonFromRawValue("done"), std::nullopt);
}

TEST(CompressionResult, SavedFractionAndEquality) {
    CompressionResult r;
    EXPECT_EQ(r.savedFraction(), 0);
    EXPECT_NE(r.failed(), nullptr);
    r.sourceBytes = -5;
    EXPECT_EQ(r.savedFraction(), 0);
    r.sourceBytes = 1000;
    r.outputBytes = 1200;
    EXPECT_DOUBLE_EQ(r.savedFraction(), -0.2);
    r.outputBytes = 250;
    EXPECT_DOUBLE_EQ(r.savedFraction(), 0.75);

    CompressionResult other = r;
    EXPECT_EQ(other, r);
    other.warnings.push_back("x");
    EXPECT_NE(other, r);
    other = r;
    other.status = CompressionResult::Skipped{SkipReason::noSavings};
    EXPECT_NE(other, r);
    ASSERT_NE(other.skipped(), nullptr);
    EXPECT_EQ(other.skipped()->reason, SkipReason::noSavings);
}

TEST(PixelSize, TextAndJson) {
    EXPECT_EQ(PixelSize({1920, 1080}).description(), "1920×1080");
    json::Json j = PixelSize{640, 480};
    EXPECT_EQ(j.dump(), R"({"width":640,"height":480})");
    EXPECT_EQ(decodePixelSize(j), (PixelSize{640, 480}));
    EXPECT_THROW(decodePixelSize(json::Json::parse(R"({"width":1})")), DecodingError);
    EXPECT_THROW(decodePixelSize(json::Json::parse(R"({"width":1,"height":1e10})")), DecodingError);
    EXPECT_NE(std::hash<PixelSize>()({1, 2}), std::hash<PixelSize>()({2, 1}));
}

TEST(CompressionEvent, CasesCompareByPayload) {
    CompressionEvent a{CompressionEvent::Attempt{1, 70, std::nullopt, 1234}};
    CompressionEvent b{CompressionEvent::Attempt{1, 70, PixelSize{10, 10}, 1234}};
    EXPECT_NE(a, b);
    const CompressionEvent video{CompressionEvent::VideoAttempt{0, VideoRate::quality(0.5), std::nullopt, 1}};
    EXPECT_EQ(video, video);
    EXPECT_NE(video, (CompressionEvent{CompressionEvent::VideoAttempt{0, VideoRate::quality(0.4), std::nullopt, 1}}));
    EXPECT_NE(VideoRate::quality(0.5), VideoRate::bitrate(0));
}
