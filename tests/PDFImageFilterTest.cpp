// The PDF profile, the image filter and per-page image bytes on documents the tests build with
// qpdf and on hostile ones.

#include "PDFTestSupport.h"

namespace dorvex {
namespace {

// ---- profile -------------------------------------------------------------------------------------

TEST(PDFProfile, LevelsGiveResolutionAndQuality) {
    struct Row {
        double level;
        int resolution;
        int quality;
        double compressionQuality;
        int jpegQuality;
    };
    const Row rows[] = {
        {0, 300, 104, 1.04, 100}, {1, 300, 94, 0.94, 94},  {1.99, 300, 84, 0.84, 84}, {2, 300, 84, 0.84, 84},
        {2.5, 207, 79, 0.79, 79}, {3, 144, 74, 0.74, 74},  {3.5, 121, 69, 0.69, 69},  {4, 101, 64, 0.64, 64},
        {4.99, 72, 54, 0.54, 54}, {5, 72, 54, 0.54, 54},   {6, 72, 44, 0.44, 44},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level);
        EXPECT_EQ(PDFProfile::resolution(row.level), row.resolution);
        EXPECT_EQ(PDFProfile::quality(row.level), row.quality);
        const PDFProfile::FilterSettings settings = PDFProfile::filterSettings(row.resolution, row.quality);
        EXPECT_DOUBLE_EQ(settings.compressionQuality, row.compressionQuality);
        EXPECT_EQ(settings.resolution, row.resolution);
        EXPECT_EQ(settings.jpegQuality(), row.jpegQuality);
        EXPECT_EQ(settings.name, "Dorvex");
        EXPECT_TRUE(settings.scaleInterpolate);
        EXPECT_EQ(settings.imageSizeMax, 0);
        EXPECT_EQ(settings.imageSizeMin, 0);
    }
}

// ---- the filter ----------------------------------------------------------------------------------

class PDFFilter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        source_ = filterSample();
        filtered_ = samples() / "filtered-144.pdf";
        outcome_ = PDFImageFilter::apply(source_, filtered_, PDFProfile::filterSettings(144, 74));
    }
    static inline fs::path source_, filtered_;
    static inline PDFImageFilter::Outcome outcome_;
};

TEST_F(PDFFilter, ImagesAboveTheResolutionComeOutAtIt) {
    auto out = open(filtered_);
    struct Row {
        int page;
        std::pair<int, int> size;
        const char* filter;
    };
    const Row rows[] = {
        {0, {1008, 630}, "/DCTDecode"},  // its largest use: 504×315 pt on page 4 = 7 × 4.375 in
        {1, {576, 360}, "/DCTDecode"},   // 4 × 2.5 in, from Flate
        {2, {288, 288}, "/DCTDecode"},   // 2 × 2 in, soft-masked
        {4, {1008, 630}, "/DCTDecode"},  // the same object as page 0
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.page);
        QPDFObjectHandle image = imageOnPage(*out, row.page, "/Im1");
        EXPECT_EQ(pixelSize(image), row.size);
        EXPECT_TRUE(image.getDict().getKey("/Filter").isNameAndEquals(row.filter));
        EXPECT_EQ(image.getDict().getKey("/BitsPerComponent").getIntValue(), 8);
    }
    // Nested forms: 300 × 200 units, scaled by 2 × 1.5 and then 0.5 → 300 × 150 pt = 600 × 300 px.
    QPDFObjectHandle nested = imageOnPage(*out, 3, "/Fm1").getDict().getKey("/Resources").getKey("/XObject")
                                  .getKey("/Fm2").getDict().getKey("/Resources").getKey("/XObject").getKey("/Im1");
    EXPECT_EQ(pixelSize(nested), std::make_pair(600, 300));
    EXPECT_EQ(outcome_.imagesDownsampled, 4);
    // The document's pictures are the user's: only we may read the filtered copy.
    EXPECT_EQ(fs::status(filtered_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // The result decodes to the stated size.
    VipsRuntime::start();
    const std::string jpeg = rawData(imageOnPage(*out, 1, "/Im1"));
    const vips::VImage decoded = vips::VImage::new_from_buffer(jpeg.data(), jpeg.size(), "");
    EXPECT_EQ(decoded.width(), 576);
    EXPECT_EQ(decoded.height(), 360);
    EXPECT_EQ(decoded.bands(), 3);
}

TEST_F(PDFFilter, SoftMaskFollowsItsImage) {
    auto out = open(filtered_);
    QPDFObjectHandle mask = imageOnPage(*out, 2, "/Im1").getDict().getKey("/SMask");
    ASSERT_TRUE(mask.isStream());
    EXPECT_EQ(pixelSize(mask), std::make_pair(288, 288));
    EXPECT_TRUE(mask.getDict().getKey("/Filter").isNameAndEquals("/FlateDecode"));  // masks stay lossless
    const auto samples = mask.getStreamData(qpdf_dl_generalized);
    ASSERT_EQ(samples->getSize(), 288u * 288u);
    // The gradient survives: dark top-left, light bottom-right.
    EXPECT_LT(samples->getBuffer()[0], 10);
    EXPECT_GT(samples->getBuffer()[288 * 288 - 1], 245);
}

TEST_F(PDFFilter, AnImageAlreadySmallIsKeptAsItWas) {
    auto in = open(source_);
    auto out = open(filtered_);
    QPDFObjectHandle before = imageOnPage(*in, 5, "/Im1"), after = imageOnPage(*out, 5, "/Im1");
    EXPECT_EQ(rawData(after), rawData(before));
    EXPECT_EQ(pixelSize(after), pixelSize(before));
    // No page draws more image bytes than before.
    const auto bytesBefore = PDFImageBytes::perPage(source_), bytesAfter = PDFImageBytes::perPage(filtered_);
    ASSERT_EQ(bytesBefore.size(), bytesAfter.size());
    for (std::size_t i = 0; i < bytesBefore.size(); ++i) EXPECT_LE(bytesAfter[i], bytesBefore[i]) << "page " << i;
    EXPECT_LT(fs::file_size(filtered_), fs::file_size(source_));
}

TEST_F(PDFFilter, TextAndVectorContentStayByteIdentical) {
    auto in = open(source_);
    auto out = open(filtered_);
    auto pages = QPDFPageDocumentHelper(*in).getAllPages();
    ASSERT_EQ(QPDFPageDocumentHelper(*out).getAllPages().size(), pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(decodedContents(*out, int(i)), decodedContents(*in, int(i)));
        auto fontOf = [&](QPDF& pdf) {
            return QPDFPageDocumentHelper(pdf).getAllPages()[i].getAttribute("/Resources", false)
                .getKey("/Font").unparseResolved();
        };
        EXPECT_EQ(fontOf(*out), fontOf(*in));
    }
}

TEST_F(PDFFilter, ImagesAtOrBelowTheResolutionKeepTheirPixelSize) {
    // At 300 ppi only the nested photo (1680 px over 4.17 in = 403 ppi) is above the resolution;
    // the wide photo (1920 px over 7 in at its largest use) is below it, the Flate photo and the
    // masked square are exactly at it.
    const fs::path out = samples() / "filtered-300.pdf";
    const PDFImageFilter::Outcome outcome = PDFImageFilter::apply(source_, out, PDFProfile::filterSettings(300, 94));
    EXPECT_EQ(outcome.imagesDownsampled, 1);
    auto in = open(source_);
    auto result = open(out);
    for (int page : {0, 1, 2, 4, 5}) {
        SCOPED_TRACE(page);
        EXPECT_EQ(pixelSize(imageOnPage(*result, page, "/Im1")), pixelSize(imageOnPage(*in, page, "/Im1")));
    }
}

TEST_F(PDFFilter, StopsBetweenImagesWhenCancelled) {
    const fs::path out = samples() / "cancelled.pdf";
    int asked = 0;
    const PDFImageFilter::Outcome outcome =
        PDFImageFilter::apply(source_, out, PDFProfile::filterSettings(144, 74), [&] { return ++asked >= 2; });
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_LE(outcome.imagesReplaced, 1);
    EXPECT_FALSE(fs::exists(out));
}

TEST(PDFFilterInput, UndecodableImagesAreLeftAlone) {
    // A CMYK image, a 16-bit image, an inverted /Decode, a colour-key mask and a stream whose data
    // is not the JPEG it claims to be: all drawn far above the resolution, none may change.
    DocumentBuilder b;
    const Photo cmyk{std::string(400 * 400 * 4, '\x40'), 400, 400, 4};
    QPDFObjectHandle cmykImage = b.image(cmyk, false);
    cmykImage.getDict().replaceKey("/ColorSpace", parse("/DeviceCMYK"));
    const Photo deep{std::string(400 * 400 * 2, '\x40'), 400, 400, 1};
    QPDFObjectHandle deepImage = b.image(deep, false);
    deepImage.getDict().replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(16));
    QPDFObjectHandle inverted = b.image(rawPhoto(corpus / "images/Dune.jpg", 400, 250), false);
    inverted.getDict().replaceKey("/Decode", parse("[1 0 1 0 1 0]"));
    QPDFObjectHandle keyed = b.image(rawPhoto(corpus / "images/Dune.jpg", 400, 250), false);
    keyed.getDict().replaceKey("/Mask", parse("[0 10 0 10 0 10]"));
    QPDFObjectHandle broken = b.image(Photo{"not a jpeg at all", 400, 250, 3}, true);
    QPDFObjectHandle unseen = b.image(rawPhoto(corpus / "images/Dune.jpg", 400, 250), false);  // drawn at no size
    b.page("q 20 0 0 20 72 72 cm /A Do Q q 20 0 0 20 100 72 cm /B Do Q q 20 0 0 20 130 72 cm /C Do Q "
           "q 20 0 0 20 160 72 cm /D Do Q q 20 0 0 20 190 72 cm /E Do Q q 0 0 0 0 0 0 cm /F Do Q",
           xobjects({{"/A", cmykImage}, {"/B", deepImage}, {"/C", inverted}, {"/D", keyed}, {"/E", broken},
                     {"/F", unseen}}),
           "odd");
    const fs::path source = samples() / "odd.pdf";
    b.write(source);
    const fs::path out = samples() / "odd-filtered.pdf";
    const PDFImageFilter::Outcome outcome = PDFImageFilter::apply(source, out, PDFProfile::filterSettings(72, 54));
    EXPECT_EQ(outcome.imagesFound, 6);
    EXPECT_LE(outcome.imagesReplaced, 1);  // only /F may be re-encoded, at its own size
    auto in = open(source);
    auto result = open(out);
    for (const char* name : {"/A", "/B", "/C", "/D", "/E"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(decodedData(imageOnPage(*result, 0, name)), decodedData(imageOnPage(*in, 0, name)));
        EXPECT_EQ(pixelSize(imageOnPage(*result, 0, name)), pixelSize(imageOnPage(*in, 0, name)));
    }
    EXPECT_EQ(pixelSize(imageOnPage(*result, 0, "/F")), std::make_pair(400, 250));
}

TEST(PDFFilterInput, AppearancesAreFollowedPatternsKeepTheirImages) {
    // A stamp whose appearance (100 × 100 units) is fitted into a one-inch square draws its image at
    // one inch; an image that fills a tiling pattern keeps its pixel size (pattern space is not followed).
    DocumentBuilder b;
    QPDFObjectHandle stampImage = b.image(rawPhoto(widePhoto(), 600, 600), false);
    QPDFObjectHandle appearance = b.form("q 100 0 0 100 0 0 cm /Im Do Q", xobjects({{"/Im", stampImage}}), "[1 0 0 1 0 0]");
    appearance.getDict().replaceKey("/BBox", parse("[0 0 100 100]"));
    QPDFObjectHandle patternImage = b.image(rawPhoto(corpus / "images/Dune.jpg", 600, 400), false);
    QPDFObjectHandle pattern = b.pdf().newStream("q 60 0 0 40 0 0 cm /Im Do Q");
    pattern.replaceDict(parse("<< /Type /Pattern /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 60 40] "
                              "/XStep 60 /YStep 40 /Resources << >> >>"));
    pattern.getDict().getKey("/Resources").replaceKey("/XObject", xobjects({{"/Im", patternImage}}));
    QPDFObjectHandle page = b.page("/Pattern cs /P1 scn 0 0 612 300 re f", QPDFObjectHandle::newNull(), "stamp");
    page.getKey("/Resources").replaceKey("/Pattern", QPDFObjectHandle::newDictionary({{"/P1", pattern}}));
    QPDFObjectHandle stamp = b.pdf().makeIndirectObject(parse("<< /Type /Annot /Subtype /Stamp /Rect [72 400 144 472] >>"));
    stamp.replaceKey("/AP", QPDFObjectHandle::newDictionary({{"/N", appearance}}));
    page.replaceKey("/Annots", QPDFObjectHandle::newArray({stamp}));
    const fs::path source = samples() / "stamp.pdf";
    b.write(source);
    const fs::path out = samples() / "stamp-filtered.pdf";
    PDFImageFilter::apply(source, out, PDFProfile::filterSettings(144, 74));
    auto result = open(out);
    QPDFObjectHandle annotation = QPDFPageDocumentHelper(*result).getAllPages()[0].getObjectHandle().getKey("/Annots").getArrayItem(0);
    QPDFObjectHandle filteredStamp = annotation.getKey("/AP").getKey("/N").getDict().getKey("/Resources").getKey("/XObject").getKey("/Im");
    EXPECT_EQ(pixelSize(filteredStamp), std::make_pair(144, 144));
    QPDFObjectHandle filteredPattern = QPDFPageDocumentHelper(*result).getAllPages()[0].getAttribute("/Resources", false)
                                           .getKey("/Pattern").getKey("/P1").getDict().getKey("/Resources").getKey("/XObject").getKey("/Im");
    EXPECT_EQ(pixelSize(filteredPattern), std::make_pair(600, 400));
}

TEST(PDFFilterInput, PatternsThatNameThemselvesEndQuickly) {
    // A pattern whose own resources list it ten times: walking them by levels alone would visit
    // 10^32 entries. Its image still keeps its pixel size.
    DocumentBuilder b;
    QPDFObjectHandle image = b.image(rawPhoto(corpus / "images/Dune.jpg", 600, 400), false);
    QPDFObjectHandle pattern = b.pdf().newStream("q 60 0 0 40 0 0 cm /Im Do Q");
    pattern.replaceDict(parse("<< /Type /Pattern /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 60 40] "
                              "/XStep 60 /YStep 40 /Resources << >> >>"));
    QPDFObjectHandle entries = QPDFObjectHandle::newDictionary();
    for (int i = 0; i < 10; ++i) entries.replaceKey("/P" + std::to_string(i), pattern);
    pattern.getDict().getKey("/Resources").replaceKey("/Pattern", entries);
    pattern.getDict().getKey("/Resources").replaceKey("/XObject", xobjects({{"/Im", image}}));
    QPDFObjectHandle page = b.page("/Pattern cs /P0 scn 0 0 612 300 re f", QPDFObjectHandle::newNull(), "selfpattern");
    page.getKey("/Resources").replaceKey("/Pattern", entries);
    const fs::path source = samples() / "selfpattern.pdf";
    b.write(source);
    const fs::path out = samples() / "selfpattern-filtered.pdf";
    PDFImageFilter::apply(source, out, PDFProfile::filterSettings(72, 54));
    auto result = open(out);
    QPDFObjectHandle filtered = QPDFPageDocumentHelper(*result).getAllPages()[0].getAttribute("/Resources", false)
                                    .getKey("/Pattern").getKey("/P0").getDict().getKey("/Resources").getKey("/XObject").getKey("/Im");
    EXPECT_EQ(pixelSize(filtered), std::make_pair(600, 400));
}

// A few hundred kilobytes of Flate that inflate far beyond what they claim are left as they are,
// without being read whole: an image whose samples run on past their declared size, and page
// content that inflates past the content bound (the images it draws keep their pixel size). Both
// images are drawn small enough to be brought down if they were read.
TEST(PDFFilterInput, InflationBombsAreLeftAsTheyAre) {
    DocumentBuilder b;
    const auto deflated = [](std::size_t bytes, char fill) {
        const std::string plain(bytes, fill);
        return PDFFlate::deflated(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    };
    QPDFObjectHandle bombImage = b.image(rawPhoto(corpus / "images/Dune.jpg", 400, 250), false);
    bombImage.replaceStreamData(deflated(64u << 20, '\x40'), parse("/FlateDecode"), QPDFObjectHandle::newNull());
    b.page("q 100 0 0 62 72 72 cm /A Do Q", xobjects({{"/A", bombImage}}), "image bomb");
    QPDFObjectHandle drawn = b.image(rawPhoto(corpus / "images/Dune.jpg", 400, 250), false);
    QPDFObjectHandle page = b.page("", xobjects({{"/B", drawn}}), "content bomb");
    QPDFObjectHandle content = b.pdf().newStream();
    content.replaceStreamData(deflated(PDFStreamBound::maxContentBytes + 4096, ' '), parse("/FlateDecode"),
                              QPDFObjectHandle::newNull());
    page.replaceKey("/Contents",
                    QPDFObjectHandle::newArray({b.pdf().newStream("q 100 0 0 62 72 72 cm /B Do Q"), content}));
    const fs::path source = samples() / "bombs.pdf";
    b.write(source);

    const fs::path out = samples() / "bombs-filtered.pdf";
    PDFImageFilter::apply(source, out, PDFProfile::filterSettings(72, 54));
    auto in = open(source);
    auto result = open(out);
    EXPECT_TRUE(rawData(imageOnPage(*result, 0, "/A")) == rawData(imageOnPage(*in, 0, "/A")));
    EXPECT_EQ(pixelSize(imageOnPage(*result, 1, "/B")), std::make_pair(400, 250));
    const auto bombContent = [](QPDF& pdf) {
        return rawData(QPDFPageDocumentHelper(pdf).getAllPages()[1].getObjectHandle().getKey("/Contents").getArrayItem(1));
    };
    EXPECT_TRUE(bombContent(*result) == bombContent(*in));
}

// ---- per-page image bytes --------------------------------------------------------------------------

TEST(PDFImageBytes, CountsImagesMasksAndFormsDownToSevenLevels) {
    DocumentBuilder b;
    const Photo grey{std::string(100 * 100, '\x80'), 100, 100, 1};
    QPDFObjectHandle mask = b.image(grey, false);
    QPDFObjectHandle masked = b.image(grey, false, mask);
    // Forms nested 1 to 8 deep, each holding one image at the bottom.
    std::vector<QPDFObjectHandle> nests;
    for (int levels = 1; levels <= 8; ++levels) {
        QPDFObjectHandle inner = b.form("/Im Do", xobjects({{"/Im", b.image(grey, false)}}), "[1 0 0 1 0 0]");
        for (int i = 1; i < levels; ++i) inner = b.form("/F Do", xobjects({{"/F", inner}}), "[1 0 0 1 0 0]");
        nests.push_back(inner);
    }
    b.page("/M Do", xobjects({{"/M", masked}}), "masked");
    for (QPDFObjectHandle& nest : nests) b.page("/F Do", xobjects({{"/F", nest}}), "nested");
    b.page("", QPDFObjectHandle::newNull(), "empty");
    const fs::path file = samples() / "bytes.pdf";
    b.write(file);

    // Stored lengths, as the written file has them (uncompressed grey: Flate-compressed by the writer).
    auto pdf = open(file);
    const auto length = [](QPDFObjectHandle stream) { return stream.getDict().getKey("/Length").getIntValue(); };
    QPDFObjectHandle written = imageOnPage(*pdf, 0, "/M");
    const std::int64_t imageLength = length(written), maskLength = length(written.getDict().getKey("/SMask"));
    ASSERT_GT(maskLength, 0);
    const auto bytes = PDFImageBytes::perPage(file);
    ASSERT_EQ(bytes.size(), 10u);
    EXPECT_EQ(bytes[0], imageLength + maskLength);
    for (int levels = 1; levels <= 8; ++levels) {
        SCOPED_TRACE(levels);
        // The image of `levels` forms sits at depth `levels`; depth 7 is the deepest that counts.
        if (levels <= PDFImageBytes::maxFormDepth) {
            EXPECT_GT(bytes[std::size_t(levels)], 0);
        } else {
            EXPECT_EQ(bytes[std::size_t(levels)], 0);
        }
    }
    EXPECT_EQ(bytes[9], 0);
}

TEST(PDFImageBytes, FormsThatDrawThemselvesEndQuickly) {
    // Every form lists itself ten times: counting by levels alone would visit 10^7 entries.
    DocumentBuilder b;
    QPDFObjectHandle form = b.form("/F0 Do /F1 Do", QPDFObjectHandle::newDictionary(), "[1 0 0 1 0 0]");
    QPDFObjectHandle entries = QPDFObjectHandle::newDictionary();
    for (int i = 0; i < 10; ++i) entries.replaceKey("/F" + std::to_string(i), form);
    form.getDict().getKey("/Resources").replaceKey("/XObject", entries);
    b.page("/F0 Do", xobjects({{"/F0", form}}), "loop");
    const fs::path file = samples() / "loop.pdf";
    b.write(file);
    EXPECT_EQ(PDFImageBytes::perPage(file), std::vector<std::int64_t>{0});
    // The filter walks the same file without looping.
    EXPECT_NO_THROW(PDFImageFilter::apply(file, samples() / "loop-filtered.pdf", PDFProfile::filterSettings(72, 54)));
}

TEST(PDFImageBytes, NothingForFilesThatAreNoPDF) {
    put(samples() / "garbage.pdf", "this is not a PDF file at all");
    EXPECT_TRUE(PDFImageBytes::perPage(samples() / "garbage.pdf").empty());
    EXPECT_TRUE(PDFImageBytes::perPage(samples() / "missing.pdf").empty());
    EXPECT_TRUE(PDFImageBytes::perPage(corpus / "pdfs/a-text-pass-peanuts.pdf").empty());
}

}  // namespace
}  // namespace dorvex
