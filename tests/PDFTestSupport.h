#pragma once

// The PDF compressor on documents that the tests build with qpdf (photos stored as DCT and as
// Flate images, a soft mask, nested forms, an outline and links between pages) and on the corpus
// PDFs: what the tests of the image filter, page restoration and the whole job share.

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
#include "image/VipsRuntime.h"
#include "pdf/PDFCompressor.h"
#include "pdf/PDFImageBytes.h"
#include "pdf/PDFImageFilter.h"
#include "pdf/PDFProfile.h"
#include "pdf/PDFFlate.h"
#include "pdf/PDFOutput.h"
#include "pdf/PDFStreamBound.h"

namespace dorvex {

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

inline QPDFObjectHandle parse(const std::string& text) { return QPDFObjectHandle::parse(text); }

struct Photo {
    std::string data;  // the stream data as stored
    int width;
    int height;
    int bands;
};

inline Photo jpegPhoto(const fs::path& file) {
    VipsRuntime::start();
    const vips::VImage header = vips::VImage::new_from_file(file.c_str());
    return {contents(file), header.width(), header.height(), header.bands()};
}

// Decoded samples of a photo, `width` wide, for images stored with Flate.
inline Photo rawPhoto(const fs::path& file, int width, int height) {
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

inline QPDFObjectHandle xobjects(const std::map<std::string, QPDFObjectHandle>& entries) {
    return QPDFObjectHandle::newDictionary(entries);
}

// ---- reading documents -------------------------------------------------------------------------

inline std::unique_ptr<QPDF> open(const fs::path& file) {
    auto pdf = std::make_unique<QPDF>();
    pdf->setSuppressWarnings(true);
    pdf->processFile(file.c_str());
    return pdf;
}

inline int pageIndexOf(QPDF& pdf, QPDFObjectHandle page) {
    if (!page.isIndirect()) return -1;
    auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].getObjectHandle().getObjGen() == page.getObjGen()) return int(i);
    }
    return -1;
}

// The page index a destination (explicit or named) leads to; -1 when it leads nowhere.
inline int destinationIndex(QPDF& pdf, QPDFObjectHandle destination) {
    if (destination.isName() || destination.isString()) {
        QPDFOutlineDocumentHelper outlines(pdf);
        destination = outlines.resolveNamedDest(destination);
    }
    if (destination.isDictionary()) destination = destination.getKey("/D");
    if (!destination.isArray() || destination.getArrayNItems() < 1) return -1;
    return pageIndexOf(pdf, destination.getArrayItem(0));
}

// Outline items depth first, each as the page index it leads to.
inline std::vector<int> outlineTargets(QPDF& pdf) {
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
inline std::vector<std::pair<int, int>> linkTargets(QPDF& pdf) {
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

inline QPDFObjectHandle imageOnPage(QPDF& pdf, int page, const std::string& name) {
    return QPDFPageDocumentHelper(pdf).getAllPages()[std::size_t(page)].getAttribute("/Resources", false)
        .getKey("/XObject")
        .getKey(name);
}

inline std::pair<int, int> pixelSize(QPDFObjectHandle image) {
    return {int(image.getDict().getKey("/Width").getIntValue()), int(image.getDict().getKey("/Height").getIntValue())};
}

inline std::string decodedContents(QPDF& pdf, int page) {
    std::string data;
    Pl_String sink("contents", nullptr, data);
    QPDFPageDocumentHelper(pdf).getAllPages()[std::size_t(page)].pipeContents(&sink);
    return data;
}

// The data with the lossless general filters undone (DCT data stays as stored).
inline std::string decodedData(QPDFObjectHandle stream) {
    std::string data;
    Pl_String sink("data", nullptr, data);
    stream.pipeStreamData(&sink, nullptr, 0, qpdf_dl_generalized, true, false);
    return data;
}

inline std::string rawData(QPDFObjectHandle stream) {
    const auto buffer = stream.getRawStreamData();
    return std::string(reinterpret_cast<const char*>(buffer->getBuffer()), buffer->getSize());
}

// ---- shared sample documents ---------------------------------------------------------------------

inline fs::path samples() { return PDFTestHome::root() / "samples"; }

// A second photo, 1920×1200 and stored as a camera stores it (JPEG at quality 90): Dune enlarged
// and mirrored, made once per test process, so that the documents hold two different photos.
inline const fs::path& widePhoto() {
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
inline const fs::path& filterSample() {
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
inline fs::path linkedSample(const std::string& name) {
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

inline fs::path copyOf(const fs::path& file, const std::string& name) {
    const fs::path folder = testing::makeTemporaryFolder(PDFTestHome::root(), "job-");
    fs::copy_file(file, folder / name);
    return folder / name;
}

inline CompressionOptions optionsAt(double level) {
    CompressionOptions options;
    options.level = level;
    return options;
}

// A filtered version of `source` in which page `grow` draws a heavier image: its JPEG is replaced
// by the decoded samples, stored without compression.
inline void writeGrown(const fs::path& source, const fs::path& filtered, int grow) {
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

}  // namespace dorvex
