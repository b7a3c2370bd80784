// The PDF compressor on documents that the tests build with qpdf (photos stored as DCT and as
// Flate images, a soft mask, nested forms, an outline and links between pages) and on the corpus
// PDFs: the image filter, per-page image bytes, page restoration and the whole job.

#include <qpdf/Pl_String.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <vips/vips8>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/output/OutputPlanner.h"
#include "TestSupport.h"
#include "dorvex/image/VipsRuntime.h"
#include "dorvex/pdf/PDFCompressor.h"
#include "dorvex/pdf/PDFImageBytes.h"
#include "dorvex/pdf/PDFImageFilter.h"
#include "dorvex/pdf/PDFProfile.h"
#include "pdf/PDFFlate.h"
#include "pdf/PDFOutput.h"
#include "pdf/PDFStreamBound.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using testing::contents;
using testing::namesIn;
using testing::put;

const fs::path corpus = DORVEX_TEST_MEDIA_DIR;

// HOME, XDG_DATA_HOME and the temporary folder all point into the test's own folder, so that the
// jobs' work folders can be seen to go away.
class PDFTestHome : public testing::TestHome {
public:
    PDFTestHome() : TestHome("PDFCompressorTest-") {}
    void SetUp() override {
        TestHome::SetUp();
        fs::create_directories(temporary());
        ::setenv("TMPDIR", temporary().c_str(), 1);
    }
    static fs::path temporary() { return root() / "tmp"; }
};
[[maybe_unused]] auto* const home = ::testing::AddGlobalTestEnvironment(new PDFTestHome);

// ---- building documents ----------------------------------------------------------------------

QPDFObjectHandle parse(const std::string& text) { return QPDFObjectHandle::parse(text); }

struct Photo {
    std::string data;  // the stream data as stored
    int width;
    int height;
    int bands;
};

Photo jpegPhoto(const fs::path& file) {
    VipsRuntime::start();
    const vips::VImage header = vips::VImage::new_from_file(file.c_str());
    return {contents(file), header.width(), header.height(), header.bands()};
}

// Decoded samples of a photo, `width` wide, for images stored with Flate.
Photo rawPhoto(const fs::path& file, int width, int height) {
    VipsRuntime::start();
    vips::VImage image = vips::VImage::thumbnail(file.c_str(), width, vips::VImage::option()->set("size", VIPS_SIZE_FORCE)
                                                                            ->set("height", height));
    std::size_t size = 0;
    void* samples = image.write_to_memory(&size);
    Photo photo{std::string(static_cast<char*>(samples), size), image.width(), image.height(), image.bands()};
    g_free(samples);
    return photo;
}

class DocumentBuilder {
public:
    DocumentBuilder() {
        pdf_.emptyPDF();
        font_ = pdf_.makeIndirectObject(parse("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"));
    }

    QPDF& pdf() { return pdf_; }

    QPDFObjectHandle image(const Photo& photo, bool dct, std::optional<QPDFObjectHandle> softMask = std::nullopt) {
        QPDFObjectHandle stream = pdf_.newStream(photo.data);
        QPDFObjectHandle dictionary = stream.getDict();
        dictionary.replaceKey("/Type", parse("/XObject"));
        dictionary.replaceKey("/Subtype", parse("/Image"));
        dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(photo.width));
        dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(photo.height));
        dictionary.replaceKey("/ColorSpace", parse(photo.bands == 1 ? "/DeviceGray" : "/DeviceRGB"));
        dictionary.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
        if (dct) dictionary.replaceKey("/Filter", parse("/DCTDecode"));
        if (softMask) dictionary.replaceKey("/SMask", *softMask);
        return stream;
    }

    QPDFObjectHandle form(const std::string& content, QPDFObjectHandle xobjects, const std::string& matrix) {
        QPDFObjectHandle stream = pdf_.newStream(content);
        QPDFObjectHandle dictionary = stream.getDict();
        dictionary.replaceKey("/Type", parse("/XObject"));
        dictionary.replaceKey("/Subtype", parse("/Form"));
        dictionary.replaceKey("/BBox", parse("[0 0 1000 1000]"));
        dictionary.replaceKey("/Matrix", parse(matrix));
        QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
        resources.replaceKey("/XObject", xobjects);
        dictionary.replaceKey("/Resources", resources);
        return stream;
    }

    // A letter-size page with a line of text, a filled rectangle and `drawing` in between.
    QPDFObjectHandle page(const std::string& drawing, QPDFObjectHandle xobjects, const std::string& label) {
        const std::string content = "q 0 0 1 rg 72 72 200 50 re f Q\n" + drawing +
                                    "\nBT /F1 18 Tf 72 740 Td (" + label + ") Tj ET\n";
        QPDFObjectHandle page = pdf_.makeIndirectObject(parse("<< /Type /Page /MediaBox [0 0 612 792] >>"));
        QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
        QPDFObjectHandle fonts = QPDFObjectHandle::newDictionary();
        fonts.replaceKey("/F1", font_);
        resources.replaceKey("/Font", fonts);
        if (xobjects.isDictionary()) resources.replaceKey("/XObject", xobjects);
        page.replaceKey("/Resources", resources);
        page.replaceKey("/Contents", pdf_.newStream(content));
        QPDFPageDocumentHelper(pdf_).addPage(QPDFPageObjectHelper(page), false);
        return QPDFPageDocumentHelper(pdf_).getAllPages().back().getObjectHandle();
    }

    QPDFObjectHandle pageAt(int index) {
        return QPDFPageDocumentHelper(pdf_).getAllPages()[std::size_t(index)].getObjectHandle();
    }

    void link(int from, QPDFObjectHandle destinationOrAction, bool asAction) {
        QPDFObjectHandle annotation =
            pdf_.makeIndirectObject(parse("<< /Type /Annot /Subtype /Link /Rect [72 600 200 620] /Border [0 0 0] >>"));
        annotation.replaceKey(asAction ? "/A" : "/Dest", destinationOrAction);
        QPDFObjectHandle page = pageAt(from);
        if (!page.getKey("/Annots").isArray()) page.replaceKey("/Annots", QPDFObjectHandle::newArray());
        page.getKey("/Annots").appendItem(annotation);
    }

    QPDFObjectHandle fitDestination(int page) {
        return QPDFObjectHandle::newArray({pageAt(page), parse("/XYZ"), QPDFObjectHandle::newReal(36, 1),
                                           QPDFObjectHandle::newReal(700, 1), QPDFObjectHandle::newNull()});
    }
    static QPDFObjectHandle goTo(QPDFObjectHandle destination) {
        QPDFObjectHandle action = parse("<< /S /GoTo >>");
        action.replaceKey("/D", destination);
        return action;
    }

    void namedDestination(const std::string& name, int page) {
        QPDFObjectHandle root = pdf_.getRoot();
        if (!root.getKey("/Names").isDictionary()) {
            root.replaceKey("/Names", pdf_.makeIndirectObject(parse("<< /Dests << /Names [] >> >>")));
        }
        QPDFObjectHandle names = root.getKey("/Names").getKey("/Dests").getKey("/Names");
        names.appendItem(QPDFObjectHandle::newString(name));
        names.appendItem(fitDestination(page));
    }

    // Outline items in order; each is (title, destination or action, is action, parent item or -1).
    struct Item {
        std::string title;
        QPDFObjectHandle target;
        bool asAction;
        int parent;
    };
    void outline(const std::vector<Item>& items) {
        QPDFObjectHandle root = pdf_.makeIndirectObject(parse("<< /Type /Outlines >>"));
        std::vector<QPDFObjectHandle> made;
        std::map<int, std::vector<int>> children;
        for (std::size_t i = 0; i < items.size(); ++i) {
            QPDFObjectHandle item = pdf_.makeIndirectObject(QPDFObjectHandle::newDictionary());
            item.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(items[i].title));
            item.replaceKey(items[i].asAction ? "/A" : "/Dest", items[i].target);
            made.push_back(item);
            children[items[i].parent].push_back(int(i));
        }
        for (auto& [parent, kids] : children) {
            QPDFObjectHandle owner = parent < 0 ? root : made[std::size_t(parent)];
            for (std::size_t k = 0; k < kids.size(); ++k) {
                QPDFObjectHandle item = made[std::size_t(kids[k])];
                item.replaceKey("/Parent", owner);
                if (k > 0) item.replaceKey("/Prev", made[std::size_t(kids[k - 1])]);
                if (k + 1 < kids.size()) item.replaceKey("/Next", made[std::size_t(kids[k + 1])]);
            }
            owner.replaceKey("/First", made[std::size_t(kids.front())]);
            owner.replaceKey("/Last", made[std::size_t(kids.back())]);
            owner.replaceKey("/Count", QPDFObjectHandle::newInteger(int(kids.size())));
        }
        pdf_.getRoot().replaceKey("/Outlines", root);
    }

    void write(const fs::path& file) {
        fs::create_directories(file.parent_path());
        QPDFWriter writer(pdf_, file.c_str());
        writer.write();
    }

private:
    QPDF pdf_;
    QPDFObjectHandle font_;
};

QPDFObjectHandle xobjects(const std::map<std::string, QPDFObjectHandle>& entries) {
    return QPDFObjectHandle::newDictionary(entries);
}

// ---- reading documents -------------------------------------------------------------------------

std::unique_ptr<QPDF> open(const fs::path& file) {
    auto pdf = std::make_unique<QPDF>();
    pdf->setSuppressWarnings(true);
    pdf->processFile(file.c_str());
    return pdf;
}

int pageIndexOf(QPDF& pdf, QPDFObjectHandle page) {
    if (!page.isIndirect()) return -1;
    auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].getObjectHandle().getObjGen() == page.getObjGen()) return int(i);
    }
    return -1;
}

// The page index a destination (explicit or named) leads to; -1 when it leads nowhere.
int destinationIndex(QPDF& pdf, QPDFObjectHandle destination) {
    if (destination.isName() || destination.isString()) {
        QPDFOutlineDocumentHelper outlines(pdf);
        destination = outlines.resolveNamedDest(destination);
    }
    if (destination.isDictionary()) destination = destination.getKey("/D");
    if (!destination.isArray() || destination.getArrayNItems() < 1) return -1;
    return pageIndexOf(pdf, destination.getArrayItem(0));
}

// Outline items depth first, each as the page index it leads to.
std::vector<int> outlineTargets(QPDF& pdf) {
    std::vector<int> targets;
    QPDFOutlineDocumentHelper outlines(pdf);
    std::function<void(std::vector<QPDFOutlineObjectHelper>)> walk = [&](std::vector<QPDFOutlineObjectHelper> items) {
        for (QPDFOutlineObjectHelper& item : items) {
            targets.push_back(pageIndexOf(pdf, item.getDestPage()));
            walk(item.getKids());
        }
    };
    walk(outlines.getTopLevelOutlines());
    return targets;
}

// Internal links page by page, each as (page, the page index it leads to).
std::vector<std::pair<int, int>> linkTargets(QPDF& pdf) {
    std::vector<std::pair<int, int>> targets;
    auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
    for (std::size_t i = 0; i < pages.size(); ++i) {
        QPDFObjectHandle annotations = pages[i].getObjectHandle().getKey("/Annots");
        if (!annotations.isArray()) continue;
        for (QPDFObjectHandle& annotation : annotations.getArrayAsVector()) {
            if (!annotation.getKey("/Subtype").isNameAndEquals("/Link")) continue;
            QPDFObjectHandle action = annotation.getKey("/A");
            if (action.isDictionary() && !action.getKey("/S").isNameAndEquals("/GoTo")) continue;
            QPDFObjectHandle destination = action.isDictionary() ? action.getKey("/D") : annotation.getKey("/Dest");
            targets.emplace_back(int(i), destinationIndex(pdf, destination));
        }
    }
    return targets;
}

QPDFObjectHandle imageOnPage(QPDF& pdf, int page, const std::string& name) {
    return QPDFPageDocumentHelper(pdf).getAllPages()[std::size_t(page)].getAttribute("/Resources", false)
        .getKey("/XObject")
        .getKey(name);
}

std::pair<int, int> pixelSize(QPDFObjectHandle image) {
    return {int(image.getDict().getKey("/Width").getIntValue()), int(image.getDict().getKey("/Height").getIntValue())};
}

std::string decodedContents(QPDF& pdf, int page) {
    std::string data;
    Pl_String sink("contents", nullptr, data);
    QPDFPageDocumentHelper(pdf).getAllPages()[std::size_t(page)].pipeContents(&sink);
    return data;
}

// The data with the lossless general filters undone (DCT data stays as stored).
std::string decodedData(QPDFObjectHandle stream) {
    std::string data;
    Pl_String sink("data", nullptr, data);
    stream.pipeStreamData(&sink, nullptr, 0, qpdf_dl_generalized, true, false);
    return data;
}

std::string rawData(QPDFObjectHandle stream) {
    const auto buffer = stream.getRawStreamData();
    return std::string(reinterpret_cast<const char*>(buffer->getBuffer()), buffer->getSize());
}

// ---- shared sample documents ---------------------------------------------------------------------

fs::path samples() { return PDFTestHome::root() / "samples"; }

// A second photo, 1920×1200 and stored as a camera stores it (JPEG at quality 90): Dune enlarged
// and mirrored, made once per test process, so that the documents hold two different photos.
const fs::path& widePhoto() {
    static const fs::path file = [] {
        VipsRuntime::start();
        const fs::path path = samples() / "wide.jpg";
        fs::create_directories(samples());
        vips::VImage::new_from_file((corpus / "images/Dune.jpg").c_str())
            .resize(1920.0 / 1680.0)
            .flip(VIPS_DIRECTION_HORIZONTAL)
            .jpegsave(path.c_str(), vips::VImage::option()->set("Q", 90));
        return path;
    }();
    return file;
}

// Page by page:
//  0: the wide photo (1920×1200) as DCT, drawn 432×270 pt (6 × 3.75 in);
//  1: Dune (1200×750) as Flate, drawn 288×180 pt (4 × 2.5 in);
//  2: a 600×600 Flate image with a 600×600 soft mask, drawn 144×144 pt;
//  3: Dune as DCT inside two nested forms (0.5 and then 2 × 1.5 scales), drawn 300×200 in form space;
//  4: the same wide photo as page 0, drawn at 72×45 pt and at 504×315 pt;
//  5: a 40×25 JPEG made at quality 20, drawn across the page (already small: below any resolution).
const fs::path& filterSample() {
    static const fs::path file = [] {
        DocumentBuilder b;
        const Photo wide = jpegPhoto(widePhoto());
        const Photo duneJPEG = jpegPhoto(corpus / "images/Dune.jpg");
        const Photo duneRaw = rawPhoto(corpus / "images/Dune.jpg", 1200, 750);
        const Photo squareRGB = rawPhoto(widePhoto(), 600, 600);
        std::string maskSamples(600 * 600, '\0');
        for (int y = 0; y < 600; ++y) {
            for (int x = 0; x < 600; ++x) maskSamples[std::size_t(y * 600 + x)] = char((x + y) * 255 / 1198);
        }
        const Photo maskPhoto{maskSamples, 600, 600, 1};

        QPDFObjectHandle wideImage = b.image(wide, true);
        b.page("q 432 0 0 270 72 400 cm /Im1 Do Q", xobjects({{"/Im1", wideImage}}), "DCT photo");
        b.page("q 288 0 0 180 72 400 cm /Im1 Do Q", xobjects({{"/Im1", b.image(duneRaw, false)}}), "Flate photo");
        QPDFObjectHandle mask = b.image(maskPhoto, false);
        b.page("q 144 0 0 144 72 400 cm /Im1 Do Q", xobjects({{"/Im1", b.image(squareRGB, false, mask)}}),
               "Soft mask");
        QPDFObjectHandle inner = b.form("q 300 0 0 200 0 0 cm /Im1 Do Q", xobjects({{"/Im1", b.image(duneJPEG, true)}}),
                                        "[2 0 0 1.5 0 0]");
        QPDFObjectHandle outer = b.form("q /Fm2 Do Q", xobjects({{"/Fm2", inner}}), "[0.5 0 0 0.5 0 0]");
        b.page("q 1 0 0 1 72 300 cm /Fm1 Do Q", xobjects({{"/Fm1", outer}}), "Nested forms");
        b.page("q 72 0 0 45 72 600 cm /Im1 Do Q q 504 0 0 315 54 200 cm /Im1 Do Q", xobjects({{"/Im1", wideImage}}),
               "Two sizes");
        VipsRuntime::start();
        vips::VImage tiny = vips::VImage::thumbnail((corpus / "images/Dune.jpg").c_str(), 40);
        VipsBlob* blob = tiny.jpegsave_buffer(vips::VImage::option()->set("Q", 20)->set("strip", true)->set("optimize_coding", true));
        std::size_t length = 0;
        const void* bytes = vips_blob_get(blob, &length);
        const Photo small{std::string(static_cast<const char*>(bytes), length), tiny.width(), tiny.height(), 3};
        vips_area_unref(reinterpret_cast<VipsArea*>(blob));
        b.page("q 612 0 0 382 0 200 cm /Im1 Do Q", xobjects({{"/Im1", b.image(small, true)}}), "Small image");
        const fs::path path = samples() / "filter.pdf";
        b.write(path);
        return path;
    }();
    return file;
}

// Three pages with an outline and links:
//  0: the wide photo as DCT; links to page 1 (explicit) and page 2 (go-to action);
//  1: Dune as DCT; a link to page 0 and a link to the named destination "two" (page 1);
//  2: text only; a link to "two".
// Outline: One → 0, Two → 1 with child "Two again" → "two" by action, Three → 2.
fs::path linkedSample(const std::string& name) {
    DocumentBuilder b;
    b.page("q 432 0 0 270 72 400 cm /Im1 Do Q", xobjects({{"/Im1", b.image(jpegPhoto(widePhoto()), true)}}),
           "One");
    b.page("q 432 0 0 270 72 400 cm /Im1 Do Q", xobjects({{"/Im1", b.image(jpegPhoto(corpus / "images/Dune.jpg"), true)}}),
           "Two");
    b.page("", QPDFObjectHandle::newNull(), "Three");
    b.namedDestination("two", 1);
    b.link(0, b.fitDestination(1), false);
    b.link(0, DocumentBuilder::goTo(b.fitDestination(2)), true);
    b.link(1, b.fitDestination(0), false);
    b.link(1, QPDFObjectHandle::newString("two"), false);
    b.link(2, DocumentBuilder::goTo(QPDFObjectHandle::newString("two")), true);
    b.outline({{"One", b.fitDestination(0), false, -1},
               {"Two", b.fitDestination(1), false, -1},
               {"Two again", DocumentBuilder::goTo(QPDFObjectHandle::newString("two")), true, 1},
               {"Three", b.fitDestination(2), false, -1}});
    const fs::path path = testing::makeTemporaryFolder(PDFTestHome::root(), "linked-") / name;
    b.write(path);
    return path;
}

const std::vector<int> linkedOutline{0, 1, 1, 2};
const std::vector<std::pair<int, int>> linkedLinks{{0, 1}, {0, 2}, {1, 0}, {1, 1}, {2, 1}};

fs::path copyOf(const fs::path& file, const std::string& name) {
    const fs::path folder = testing::makeTemporaryFolder(PDFTestHome::root(), "job-");
    fs::copy_file(file, folder / name);
    return folder / name;
}

CompressionOptions optionsAt(double level) {
    CompressionOptions options;
    options.level = level;
    return options;
}

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

// ---- restoring pages ---------------------------------------------------------------------------

// A filtered version of `source` in which page `grow` draws a heavier image: its JPEG is replaced
// by the decoded samples, stored without compression.
void writeGrown(const fs::path& source, const fs::path& filtered, int grow) {
    const fs::path shrunk = filtered.parent_path() / "shrunk.pdf";
    PDFImageFilter::apply(source, shrunk, PDFProfile::filterSettings(144, 74));
    auto pdf = open(shrunk);
    auto original = open(source);
    QPDFObjectHandle image = imageOnPage(*pdf, grow, "/Im1");
    QPDFObjectHandle sourceImage = imageOnPage(*original, grow, "/Im1");
    const auto samples = sourceImage.getStreamData(qpdf_dl_all);
    image.replaceStreamData(std::string(reinterpret_cast<const char*>(samples->getBuffer()), samples->getSize()),
                            QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull());
    image.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(sourceImage.getDict().getKey("/Width").getIntValue()));
    image.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(sourceImage.getDict().getKey("/Height").getIntValue()));
    QPDFWriter writer(*pdf, filtered.c_str());
    writer.setCompressStreams(false);
    writer.write();
    fs::remove(shrunk);
}

TEST(PDFRestore, PutsPagesBackAndKeepsOutlineAndLinks) {
    const fs::path source = linkedSample("linked.pdf");
    const fs::path filtered = source.parent_path() / "grown.pdf";
    writeGrown(source, filtered, 1);
    {
        auto grownPDF = open(filtered);
        ASSERT_EQ(outlineTargets(*grownPDF), linkedOutline);
        ASSERT_EQ(linkTargets(*grownPDF), linkedLinks);
    }
    auto original = open(source);
    auto target = open(filtered);
    ASSERT_TRUE(PDFCompressor::restore({1}, *original, *target));
    const fs::path merged = source.parent_path() / "merged.pdf";
    QPDFWriter(*target, merged.c_str()).write();

    auto result = open(merged);
    ASSERT_EQ(QPDFPageDocumentHelper(*result).getAllPages().size(), 3u);
    EXPECT_EQ(rawData(imageOnPage(*result, 1, "/Im1")), rawData(imageOnPage(*original, 1, "/Im1")));
    EXPECT_NE(rawData(imageOnPage(*result, 0, "/Im1")), rawData(imageOnPage(*original, 0, "/Im1")));  // still filtered
    EXPECT_EQ(decodedContents(*result, 1), decodedContents(*original, 1));
    EXPECT_EQ(outlineTargets(*result), linkedOutline);
    EXPECT_EQ(linkTargets(*result), linkedLinks);
    EXPECT_EQ(destinationIndex(*result, QPDFObjectHandle::newString("two")), 1);
}

TEST(PDFRestore, RestoresEveryPageAskedFor) {
    const fs::path source = linkedSample("linked.pdf");
    const fs::path filtered = source.parent_path() / "grown.pdf";
    writeGrown(source, filtered, 1);
    auto original = open(source);
    auto target = open(filtered);
    ASSERT_TRUE(PDFCompressor::restore({2, 0, 1, 1}, *original, *target));  // any order, repeats harmless
    const fs::path merged = source.parent_path() / "merged.pdf";
    QPDFWriter(*target, merged.c_str()).write();
    auto result = open(merged);
    for (int page = 0; page < 3; ++page) EXPECT_EQ(decodedContents(*result, page), decodedContents(*original, page));
    EXPECT_EQ(rawData(imageOnPage(*result, 0, "/Im1")), rawData(imageOnPage(*original, 0, "/Im1")));
    EXPECT_EQ(outlineTargets(*result), linkedOutline);
    EXPECT_EQ(linkTargets(*result), linkedLinks);
}

TEST(PDFRestore, RefusesDocumentsThatDoNotMatch) {
    const fs::path source = linkedSample("linked.pdf");
    auto original = open(source);
    {
        auto target = open(source);
        EXPECT_FALSE(PDFCompressor::restore({3}, *original, *target));
        EXPECT_FALSE(PDFCompressor::restore({-1}, *original, *target));
    }
    auto other = open(filterSample());  // six pages against three
    EXPECT_FALSE(PDFCompressor::restore({0}, *original, *other));
    auto target = open(source);
    EXPECT_TRUE(PDFCompressor::restore({}, *original, *target));
}

// ---- the whole job ---------------------------------------------------------------------------------

bool noWorkFolderLeft() {
    for (const std::string& name : namesIn(PDFTestHome::temporary())) {
        if (name.rfind(std::string(PDFCompressor::workFolderPrefix), 0) == 0) return false;
    }
    return true;
}

TEST(PDFCompressor, CompressesAndWritesBesideTheSource) {
    const fs::path source = copyOf(filterSample(), "report.pdf");
    const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {});
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.format, OutputFormat::pdf);
    EXPECT_EQ(result.output, source.parent_path() / "report-min.pdf");
    EXPECT_EQ(result.sourceBytes, std::int64_t(fs::file_size(source)));
    EXPECT_EQ(result.outputBytes, std::int64_t(fs::file_size(*result.output)));
    EXPECT_LT(result.outputBytes, result.sourceBytes);
    EXPECT_EQ(result.pageCount, 6);
    EXPECT_EQ(result.quality, 74);
    EXPECT_EQ(result.pdfResolution, 144);
    EXPECT_EQ(result.encodeCount, 1);
    EXPECT_FALSE(result.videoCodec.has_value());
    EXPECT_FALSE(result.duration.has_value());
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_TRUE(OutputPlanner::isOptimized(*result.output));
    auto out = open(*result.output);
    EXPECT_EQ(pixelSize(imageOnPage(*out, 1, "/Im1")), std::make_pair(576, 360));
    EXPECT_TRUE(noWorkFolderLeft());
}

TEST(PDFCompressor, AGrownPageIsRestoredWithItsLinksAndOutline) {
    const fs::path source = linkedSample("linked.pdf");
    bool filterRan = false;
    const PDFCompressor::FilterPass growSecondPage = [&](const fs::path& from, const fs::path& into,
                                                         const PDFProfile::FilterSettings&, const PDFCompressor::CancelQuery&) {
        filterRan = true;
        EXPECT_EQ(into.filename(), "filtered.pdf");
        EXPECT_EQ(into.parent_path().filename().string().rfind("dorvex-pdf-", 0), 0u);
        writeGrown(from, into, 1);
        return true;
    };
    const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {}, growSecondPage);
    ASSERT_TRUE(filterRan);
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    auto out = open(*result.output);
    auto original = open(source);
    EXPECT_EQ(rawData(imageOnPage(*out, 1, "/Im1")), rawData(imageOnPage(*original, 1, "/Im1")));
    EXPECT_LT(rawData(imageOnPage(*out, 0, "/Im1")).size(), rawData(imageOnPage(*original, 0, "/Im1")).size());
    EXPECT_EQ(outlineTargets(*out), linkedOutline);
    EXPECT_EQ(linkTargets(*out), linkedLinks);
    EXPECT_TRUE(noWorkFolderLeft());
}

TEST(PDFCompressor, EncryptedDocumentsAreSkipped) {
    // Owner password only: opens, but is encrypted.
    const fs::path ownerOnly = testing::makeTemporaryFolder(PDFTestHome::root(), "enc-") / "owner.pdf";
    {
        auto pdf = open(filterSample());
        QPDFWriter writer(*pdf, ownerOnly.c_str());
        writer.setR6EncryptionParameters("", "owner", true, true, true, true, true, false, qpdf_r3p_full, true);
        writer.write();
    }
    struct Row {
        fs::path file;
        std::optional<int> pageCount;
    };
    const Row rows[] = {
        {corpus / "pdfs/a-text-pass-peanuts.pdf", std::nullopt},
        {corpus / "pdfs/conv-aes256-userpw-a-text.pdf", std::nullopt},
        {ownerOnly, 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const fs::path source = copyOf(row.file, "locked.pdf");
        const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {});
        ASSERT_NE(result.skipped(), nullptr);
        EXPECT_EQ(result.skipped()->reason, SkipReason::encrypted);
        EXPECT_EQ(result.sourceBytes, std::int64_t(fs::file_size(source)));
        EXPECT_EQ(result.pageCount, row.pageCount);
        EXPECT_EQ(result.encodeCount, 0);
        EXPECT_EQ(namesIn(source.parent_path()), std::vector<std::string>{"locked.pdf"});
    }
    EXPECT_TRUE(noWorkFolderLeft());
}

TEST(PDFCompressor, FilesThatAreNoReadablePDFFail) {
    const fs::path folder = testing::makeTemporaryFolder(PDFTestHome::root(), "bad-");
    put(folder / "garbage.pdf", std::string(5000, 'x'));
    put(folder / "empty.pdf", "");
    const std::string truncated = contents(corpus / "pdfs/d-text.pdf").substr(0, 20);
    put(folder / "truncated.pdf", truncated);
    for (const char* name : {"garbage.pdf", "empty.pdf", "truncated.pdf", "missing.pdf"}) {
        SCOPED_TRACE(name);
        const CompressionResult result = PDFCompressor::compress(folder / name, optionsAt(3), {});
        ASSERT_NE(result.failed(), nullptr);
        EXPECT_EQ(result.failed()->message, std::string_view(name) == "missing.pdf"
                                                ? "找不到 missing.pdf：文件已被移动、改名或删除"
                                                : std::string("无法打开 ") + name + "：文件已损坏或格式不受支持");
        EXPECT_EQ(result.format, OutputFormat::pdf);
        EXPECT_EQ(result.encodeCount, 0);
    }
    EXPECT_TRUE(noWorkFolderLeft());
}

TEST(PDFCompressor, WithoutImagesItIsWrittenOnlyWhenSmaller) {
    for (const char* name : {"d-text.pdf", "debian-edu-itil-manual.pdf"}) {
        SCOPED_TRACE(name);
        const fs::path source = copyOf(corpus / "pdfs" / name, name);
        const auto bytes = PDFImageBytes::perPage(source);
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), std::ptrdiff_t(bytes.size()));
        const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {});
        EXPECT_EQ(result.encodeCount, 1);
        if (result.skipped()) {
            EXPECT_EQ(result.skipped()->reason, SkipReason::noSavings);
            EXPECT_GE(result.outputBytes, result.sourceBytes);
            EXPECT_EQ(namesIn(source.parent_path()).size(), 1u);
        } else {
            ASSERT_TRUE(result.isSuccess()) << result.failed()->message;
            EXPECT_LT(result.outputBytes, result.sourceBytes);
            EXPECT_EQ(std::int64_t(fs::file_size(*result.output)), result.outputBytes);
        }
    }
}

TEST(PDFCompressor, NotSmallerMeansSkipped) {
    // A filter pass that only copies: the candidate weighs what the source weighs.
    const fs::path source = copyOf(filterSample(), "same.pdf");
    const PDFCompressor::FilterPass copy = [](const fs::path& from, const fs::path& into, const PDFProfile::FilterSettings&,
                                              const PDFCompressor::CancelQuery&) {
        fs::copy_file(from, into);
        return true;
    };
    const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {}, copy);
    ASSERT_NE(result.skipped(), nullptr);
    EXPECT_EQ(result.skipped()->reason, SkipReason::noSavings);
    EXPECT_EQ(result.outputBytes, result.sourceBytes);
    EXPECT_EQ(result.encodeCount, 1);
    EXPECT_FALSE(result.output.has_value());
    EXPECT_EQ(namesIn(source.parent_path()), std::vector<std::string>{"same.pdf"});
}

TEST(PDFCompressor, CancellationAtEachCheck) {
    // A filter that does not ask itself, so that the compressor's own checks are counted: before
    // filtering, after it, and before the output is written.
    int filterRuns = 0;
    const PDFCompressor::FilterPass filter = [&](const fs::path& from, const fs::path& into,
                                                 const PDFProfile::FilterSettings& settings, const PDFCompressor::CancelQuery&) {
        ++filterRuns;
        PDFImageFilter::apply(from, into, settings);
        return true;
    };
    for (int cancelAt = 1; cancelAt <= 3; ++cancelAt) {
        SCOPED_TRACE(cancelAt);
        const fs::path source = copyOf(filterSample(), "c.pdf");
        filterRuns = 0;
        int asked = 0;
        const CompressionResult result =
            PDFCompressor::compress(source, optionsAt(3), [&] { return ++asked == cancelAt; }, filter);
        ASSERT_NE(result.failed(), nullptr);
        EXPECT_EQ(result.failed()->message, "已取消");
        EXPECT_EQ(asked, cancelAt);
        EXPECT_EQ(filterRuns, cancelAt == 1 ? 0 : 1);
        EXPECT_EQ(namesIn(source.parent_path()), std::vector<std::string>{"c.pdf"});
        EXPECT_TRUE(noWorkFolderLeft());
    }
    // The filter pass itself stops between images.
    const fs::path source = copyOf(filterSample(), "c.pdf");
    int asked = 0;
    const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), [&] { return ++asked == 3; });
    ASSERT_NE(result.failed(), nullptr);
    EXPECT_EQ(result.failed()->message, "已取消");
    EXPECT_EQ(result.encodeCount, 0);
}

TEST(PDFCompressor, FailuresOfTheSteps) {
    const fs::path source = copyOf(filterSample(), "f.pdf");
    {
        CompressionOptions options = optionsAt(3);
        options.filenamePrefix = "a/b";
        const CompressionResult result = PDFCompressor::compress(source, options, {});
        ASSERT_NE(result.failed(), nullptr);
        EXPECT_EQ(result.failed()->message, OutputPlanner::NamingError::invalidCharacters().what());
    }
    {
        const PDFCompressor::FilterPass failing = [](const fs::path&, const fs::path&, const PDFProfile::FilterSettings&,
                                                     const PDFCompressor::CancelQuery&) -> bool {
            throw std::runtime_error("disk full");
        };
        const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {}, failing);
        ASSERT_NE(result.failed(), nullptr);
        EXPECT_EQ(result.failed()->message, "无法压缩 f.pdf：无法重写其中的图片");
        EXPECT_EQ(result.failed()->detail, "disk full");
        EXPECT_EQ(result.encodeCount, 0);
        EXPECT_EQ(result.quality, 74);
    }
    {
        // A filtered file whose page count differs cannot take pages back.
        const PDFCompressor::FilterPass fewerPages = [](const fs::path& from, const fs::path& into,
                                                        const PDFProfile::FilterSettings&, const PDFCompressor::CancelQuery&) {
            auto pdf = open(from);
            QPDFPageDocumentHelper pages(*pdf);
            pages.removePage(pages.getAllPages().back());
            QPDFWriter writer(*pdf, into.c_str());
            writer.setCompressStreams(false);
            writer.setDecodeLevel(qpdf_dl_all);
            writer.write();
            return true;
        };
        const CompressionResult result = PDFCompressor::compress(source, optionsAt(3), {}, fewerPages);
        // Different lengths: nothing is collected, so nothing is restored; the bigger file is skipped.
        ASSERT_NE(result.skipped(), nullptr);
        EXPECT_EQ(result.skipped()->reason, SkipReason::noSavings);
    }
    {
        const CompressionResult result = PDFCompressor::compress(source, optionsAt(std::nan("")), {});
        ASSERT_NE(result.failed(), nullptr);
        EXPECT_EQ(result.failed()->message.rfind("压缩等级无效", 0), 0u);
    }
    EXPECT_EQ(namesIn(source.parent_path()), std::vector<std::string>{"f.pdf"});
    EXPECT_TRUE(noWorkFolderLeft());
}

// Blanks the /Size of a trailer qpdf wrote (a cross-reference table, no object streams): qpdf then
// reads the file only by repairing it.
void dropSize(const fs::path& file) {
    std::string bytes = contents(file);
    const std::size_t size = bytes.rfind("/Size "), end = bytes.find_first_of("/>", size + 1);
    bytes.replace(size, end - size, std::string(end - size, ' '));
    put(file, bytes);
}

TEST(PDFCompressor, OnlyAnOutputThatReadsBackIsPlaced) {
    // qpdf wrote a source it had to repair, packed into object streams, as a file it cannot open.
    const fs::path damaged = linkedSample("damaged.pdf");
    dropSize(damaged);
    // The image filter's output written again unpacked, without its /Size or without its last page.
    const auto rewrite = [](bool lastPage) -> PDFCompressor::FilterPass {
        return [lastPage](const fs::path& from, const fs::path& into, const PDFProfile::FilterSettings& settings,
                          const PDFCompressor::CancelQuery&) {
            const fs::path first = into.parent_path() / "first.pdf";
            PDFImageFilter::apply(from, first, settings);
            auto pdf = open(first);
            if (lastPage) QPDFPageDocumentHelper(*pdf).removePage(QPDFPageDocumentHelper(*pdf).getAllPages().back());
            QPDFWriter writer(*pdf, into.c_str());
            writer.setObjectStreamMode(qpdf_o_disable);
            writer.write();
            if (!lastPage) dropSize(into);
            return true;
        };
    };
    struct Row {
        fs::path source;
        PDFCompressor::FilterPass filter;  // none: the image filter
        std::size_t pages;
        std::string failure;  // the detail of the failure; none: placed, and it reads back
    };
    const Row rows[] = {
        {damaged, {}, 3, ""},
        {filterSample(), rewrite(false), 6, ""},  // written once more, from what qpdf recovers
        {filterSample(), rewrite(true), 6, "读出 5 页，原文件有 6 页"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        const fs::path source = copyOf(row.source, "r.pdf");
        const CompressionResult result = row.filter ? PDFCompressor::compress(source, optionsAt(3), {}, row.filter)
                                                    : PDFCompressor::compress(source, optionsAt(3), {});
        if (row.failure.empty()) {
            ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
            EXPECT_EQ(PDFOutput::readBackProblem(*result.output, row.pages), std::nullopt);
        } else {
            ASSERT_NE(result.failed(), nullptr);
            EXPECT_EQ(result.failed()->message, PDFOutput::unreadableText);
            EXPECT_EQ(result.failed()->detail, row.failure);
            EXPECT_EQ(namesIn(source.parent_path()), std::vector<std::string>{"r.pdf"});
        }
    }
    EXPECT_TRUE(noWorkFolderLeft());
}

TEST(PDFCompressor, OverwriteGivesThePDFExtension) {
    const fs::path source = copyOf(filterSample(), "scan.bin");
    CompressionOptions options = optionsAt(5);
    options.saveLocation = SaveLocation::overwrite();
    const CompressionResult result = PDFCompressor::compress(source, options, {});
    ASSERT_TRUE(result.isSuccess()) << (result.failed() ? result.failed()->message : "skipped");
    EXPECT_EQ(result.output, source.parent_path() / "scan.pdf");
    EXPECT_FALSE(fs::exists(source));  // in the trash
    EXPECT_EQ(result.pdfResolution, 72);
    EXPECT_EQ(result.quality, 54);
}

TEST(PDFCompressor, CorpusDocumentsKeepTheirOutlineAndLinks) {
    for (const char* name : {"audacity-manual.pdf", "debian-edu-itil-manual.pdf", "d-text.pdf"}) {
        SCOPED_TRACE(name);
        const fs::path source = copyOf(corpus / "pdfs" / name, name);
        const CompressionResult result = PDFCompressor::compress(source, optionsAt(5), {});
        ASSERT_FALSE(result.failed()) << result.failed()->message;
        EXPECT_EQ(result.encodeCount, 1);
        if (!result.isSuccess()) continue;
        auto before = open(source);
        auto after = open(*result.output);
        EXPECT_EQ(outlineTargets(*after), outlineTargets(*before));
        EXPECT_EQ(linkTargets(*after), linkTargets(*before));
        for (std::size_t page = 0; page < QPDFPageDocumentHelper(*before).getAllPages().size(); ++page) {
            ASSERT_EQ(decodedContents(*after, int(page)), decodedContents(*before, int(page))) << "page " << page;
        }
    }
}

}  // namespace
}  // namespace dorvex
