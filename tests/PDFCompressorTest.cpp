// The whole PDF job: compressing, skipping, failing and cancelling, on built and corpus PDFs.

#include "PDFTestSupport.h"

namespace dorvex {
namespace {


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
