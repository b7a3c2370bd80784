// Compresses the PDFs of a media folder (and one photo book built from photos) with our compressor at
// levels 3 and 5, with Ghostscript's pdfwrite at /ebook and with `qpdf --optimize-images`, and prints
// for each output its bytes, the wall time, and how many outline items and internal links still
// lead to a page of the document.
//
//   PDFBench [media folder]      (default: tests/media; the PDFs are those of its pdfs folder)

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <vips/vips8>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BenchMedia.h"
#include "image/VipsRuntime.h"
#include "pdf/PDFCompressor.h"

using namespace dorvex;
namespace fs = std::filesystem;

namespace {

struct Census {
    int pages = 0;
    int outlineItems = 0;
    int outlineResolving = 0;
    int links = 0;
    int linksResolving = 0;
};

// Outline items and internal links (explicit or named destinations, directly or by a go-to action),
// and how many of them lead to a page that is in the page tree.
std::optional<Census> census(const fs::path& file) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(file.c_str());
        std::set<QPDFObjGen> pages;
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            pages.insert(page.getObjectHandle().getObjGen());
        }
        const int pageCount = int(pages.size());
        QPDFOutlineDocumentHelper outlines(pdf);
        const auto leadsToPage = [&](QPDFObjectHandle destination) {
            if (destination.isName() || destination.isString()) destination = outlines.resolveNamedDest(destination);
            if (destination.isDictionary()) destination = destination.getKey("/D");
            if (!destination.isArray() || destination.getArrayNItems() < 1) return false;
            QPDFObjectHandle page = destination.getArrayItem(0);
            return page.isIndirect() && pages.count(page.getObjGen()) != 0;
        };
        Census counts;
        counts.pages = pageCount;
        std::set<QPDFObjGen> seen;
        std::function<void(std::vector<QPDFOutlineObjectHelper>)> walk = [&](std::vector<QPDFOutlineObjectHelper> items) {
            for (QPDFOutlineObjectHelper& item : items) {
                if (!seen.insert(item.getObjectHandle().getObjGen()).second) continue;
                ++counts.outlineItems;
                if (leadsToPage(item.getDest())) ++counts.outlineResolving;
                walk(item.getKids());
            }
        };
        walk(outlines.getTopLevelOutlines());
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            QPDFObjectHandle annotations = page.getObjectHandle().getKey("/Annots");
            if (!annotations.isArray()) continue;
            for (QPDFObjectHandle& annotation : annotations.getArrayAsVector()) {
                if (!annotation.isDictionary() || !annotation.getKey("/Subtype").isNameAndEquals("/Link")) continue;
                QPDFObjectHandle action = annotation.getKey("/A");
                QPDFObjectHandle destination;
                if (action.isDictionary()) {
                    if (!action.getKey("/S").isNameAndEquals("/GoTo")) continue;  // URIs and the like
                    destination = action.getKey("/D");
                } else {
                    destination = annotation.getKey("/Dest");
                    if (destination.isNull()) continue;
                }
                ++counts.links;
                if (leadsToPage(destination)) ++counts.linksResolving;
            }
        }
        return counts;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string quoted(const fs::path& path) {
    std::string text = "'";
    for (char c : path.string()) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

struct Run {
    std::string tool;
    std::optional<std::int64_t> bytes;  // none: failed
    double seconds = 0;
    std::string note;
    std::optional<Census> counts;
};

Run external(const std::string& tool, const std::string& command, const fs::path& output) {
    Run run;
    run.tool = tool;
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    run.seconds = secondsSince(start);
    std::error_code error;
    if (fs::exists(output, error)) {
        run.bytes = std::int64_t(fs::file_size(output));
        run.counts = census(output);
    }
    if (status != 0) run.note = "exit " + std::to_string(WEXITSTATUS(status));
    return run;
}

Run ours(double level, const fs::path& source, const fs::path& folder) {
    Run run;
    run.tool = "dorvex level " + std::to_string(int(level));
    CompressionOptions options;
    options.level = level;
    options.saveLocation = SaveLocation::folder(folder, "-l" + std::to_string(int(level)));
    const auto start = std::chrono::steady_clock::now();
    const CompressionResult result = PDFCompressor::compress(source, options, {});
    run.seconds = secondsSince(start);
    if (result.isSuccess()) {
        run.bytes = result.outputBytes;
        run.counts = census(*result.output);
    } else if (result.skipped()) {
        run.bytes = result.sourceBytes;  // the source is kept
        run.note = std::string(result.skipped()->reason.rawValue()) +
                   (result.skipped()->reason == SkipReason::noSavings
                        ? " (rewrite " + std::to_string(result.outputBytes) + " B)"
                        : "");
        run.counts = census(source);
    } else {
        run.note = "failed: " + result.failed()->message;
    }
    return run;
}

// Six photos from 0.2 to 12 MP, each drawn 6 × 4 inches on a page of its own, stored as they are
// (JPEG): three of tests/media and three at camera sizes made from it.
fs::path buildPhotoBook(const fs::path& folder) {
    VipsRuntime::start();
    QPDF pdf;
    pdf.emptyPDF();
    QPDFPageDocumentHelper pages(pdf);
    const fs::path images = bench::testMedia("images");
    for (const fs::path& file :
         {bench::cameraPhoto(folder, 1920, 1200), images / "Dune.jpg", bench::cameraPhoto(folder, 4000, 3000),
          bench::cameraPhoto(folder, 3264, 2448), images / "IMG-20191006-WA0002.jpg", images / "goexif-sample1.jpg"}) {
        const vips::VImage header = vips::VImage::new_from_file(file.c_str());
        std::ifstream in(file, std::ios::binary);
        std::stringstream data;
        data << in.rdbuf();
        QPDFObjectHandle image = pdf.newStream(data.str());
        image.replaceDict(QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image /ColorSpace /DeviceRGB "
                                                  "/BitsPerComponent 8 /Filter /DCTDecode /Width " +
                                                  std::to_string(header.width()) + " /Height " +
                                                  std::to_string(header.height()) + " >>"));
        QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(
            "<< /Type /Page /MediaBox [0 0 612 792] /Resources << /XObject << >> >> >>"));
        page.getKey("/Resources").getKey("/XObject").replaceKey("/Im1", image);
        page.replaceKey("/Contents", pdf.newStream("q 432 0 0 288 90 300 cm /Im1 Do Q"));
        pages.addPage(QPDFPageObjectHelper(page), false);
    }
    const fs::path path = folder / "built-photo-book.pdf";
    QPDFWriter writer(pdf, path.c_str());
    writer.write();
    return path;
}

std::string describe(const std::optional<Census>& counts) {
    if (!counts) return "unreadable";
    char text[80];
    std::snprintf(text, sizeof text, "%3d pp, %d/%d outline, %d/%d links", counts->pages, counts->outlineResolving,
                  counts->outlineItems, counts->linksResolving, counts->links);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path media = argc > 1 ? fs::path(argv[1]) : bench::testMedia("");
    char pattern[] = "/tmp/dorvex-pdf-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path work = pattern;
    ::setenv("TMPDIR", work.c_str(), 1);

    std::vector<fs::path> sources;
    for (const auto& entry : fs::directory_iterator(media / "pdfs")) sources.push_back(entry.path());
    std::sort(sources.begin(), sources.end());
    sources.push_back(buildPhotoBook(work));

    std::map<std::string, std::pair<std::int64_t, double>> totals;  // tool → (bytes, seconds)
    std::int64_t sourceTotal = 0;
    std::printf("%-30s %-22s %10s %8s %7s  %-38s %s\n", "file", "tool", "bytes", "saved", "sec", "pages, still resolving",
                "note");
    for (const fs::path& source : sources) {
        const std::int64_t sourceBytes = std::int64_t(fs::file_size(source));
        const fs::path folder = work / source.stem();
        fs::create_directories(folder);
        std::vector<Run> runs;
        runs.push_back(Run{"source", sourceBytes, 0, "", census(source)});
        runs.push_back(ours(3, source, folder));
        runs.push_back(ours(5, source, folder));
        const fs::path gsOut = folder / "gs-ebook.pdf";
        runs.push_back(external("gs pdfwrite /ebook",
                                "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -dPDFSETTINGS=/ebook -sOutputFile=" +
                                    quoted(gsOut) + " " + quoted(source),
                                gsOut));
        const fs::path qpdfOut = folder / "qpdf-optimize-images.pdf";
        runs.push_back(external("qpdf --optimize-images",
                                "qpdf --optimize-images " + quoted(source) + " " + quoted(qpdfOut), qpdfOut));
        for (const Run& run : runs) {
            const double saved = run.bytes ? 100.0 * (1.0 - double(*run.bytes) / double(sourceBytes)) : 0;
            std::printf("%-30s %-22s %10s %7.1f%% %7.2f  %-38s %s\n", source.filename().c_str(), run.tool.c_str(),
                        run.bytes ? std::to_string(*run.bytes).c_str() : "-", saved, run.seconds,
                        describe(run.counts).c_str(), run.note.c_str());
            if (run.tool != "source") {
                totals[run.tool].first += run.bytes.value_or(sourceBytes);
                totals[run.tool].second += run.seconds;
            }
        }
        sourceTotal += sourceBytes;
        std::printf("\n");
    }
    std::printf("totals over %zu files, %lld source bytes (where a tool wrote nothing, the source it leaves counts):\n",
                sources.size(), static_cast<long long>(sourceTotal));
    for (const auto& [tool, total] : totals) {
        std::printf("  %-22s %10lld bytes  %6.2f s\n", tool.c_str(), static_cast<long long>(total.first), total.second);
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return 0;
}
