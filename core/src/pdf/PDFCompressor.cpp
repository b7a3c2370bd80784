#include "pdf/PDFCompressor.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <fmt/format.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/WorkFolder.h"
#include "dorvex/output/OutputPlanner.h"
#include "pdf/PDFImageBytes.h"
#include "pdf/PDFImageFilter.h"
#include "dorvex/model/QualityModel.h"
#include "dorvex/image/FailureText.h"
#include "dorvex/image/ToolError.h"
#include "dorvex/model/SourceFile.h"
#include "dorvex/text/Translation.h"
#include "model/ResultMaking.h"
#include "pdf/PDFOutput.h"

namespace dorvex::PDFCompressor {

namespace fs = std::filesystem;

namespace {

using ResultMaking::cancelled;
using ResultMaking::failure;
using ResultMaking::finished;

// Opens a PDF for reading; nullptr when it needs a password. Throws for anything else.
std::unique_ptr<QPDF> openDocument(const fs::path& file) {
    auto document = std::make_unique<QPDF>();
    document->setSuppressWarnings(true);
    try {
        document->processFile(file.c_str());
    } catch (const QPDFExc& error) {
        if (error.getErrorCode() == qpdf_e_password) return nullptr;
        throw;
    }
    return document;
}

bool writeDocument(QPDF& document, const fs::path& file) {
    try {
        PDFOutput::write(document, file, qpdf_o_preserve);  // the packing the filtered file has
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Nothing is placed before it reads back, without repair, as all the source's pages: qpdf can write
// what it cannot open again. A candidate that does not is written once more, without object
// streams, from what qpdf recovers of it, into `unpacked`, which then takes its place. What still
// keeps it from reading back, or nothing.
std::optional<std::string> proveReadable(fs::path& candidate, std::size_t pageCount, const fs::path& unpacked) {
    std::optional<std::string> problem = PDFOutput::readBackProblem(candidate, pageCount);
    if (!problem) return problem;
    try {
        const std::unique_ptr<QPDF> recovered = openDocument(candidate);
        if (!recovered) return problem;
        PDFOutput::write(*recovered, unpacked, qpdf_o_disable);
    } catch (const std::exception&) {
        return problem;
    }
    problem = PDFOutput::readBackProblem(unpacked, pageCount);
    if (!problem) candidate = unpacked;
    return problem;
}

CompressionResult pipeline(const fs::path& source, const CompressionOptions& options, const CancelQuery& isCancelled,
                           const FilterPass& filter, const OutputPlanner::Handoff& handoff, WorkFolder& work,
                           CompressionResult& result) {
    try {
        OutputPlanner::validateNaming(options.filenamePrefix, options.saveLocation);
    } catch (const OutputPlanner::NamingError& error) {
        return finished(result, failure(error.what()));
    }

    std::unique_ptr<QPDF> document;
    bool locked = false;
    // A refused document is called damaged only when it can be opened at all: a permission error
    // or a file gone says so.
    const auto refused = [&](const std::string& detail) {
        const auto problem = SourceFile::readProblem(source);
        return finished(result, problem ? FailureText::unopenable(source, *problem)
                                        : CompressionResult::Failed{i18nf("无法打开 {}：文件已损坏或格式不受支持",
                                                                                source.filename().string()),
                                                                    detail});
    };
    std::error_code status;
    if (!fs::is_regular_file(source, status)) return refused({});
    try {
        document = openDocument(source);
        locked = document == nullptr;
        if (document) result.pageCount = int(QPDFPageDocumentHelper(*document).getAllPages().size());
    } catch (const std::exception& error) {
        return refused(error.what());
    }
    result.sourceBytes = fileSize(source);
    if (locked || document->isEncrypted()) return finished(result, CompressionResult::Skipped{SkipReason::encrypted});
    if (isCancelled()) return cancelled(result);

    int quality = 0;
    try {
        quality = PDFProfile::quality(options.level);
    } catch (const InvalidLevelError& error) {
        return finished(result, failure(error.what()));
    }
    const int resolution = PDFProfile::resolution(options.level);
    result.quality = quality;
    result.pdfResolution = resolution;

    std::error_code folderError;
    work.create(folderError);
    if (folderError) {
        return finished(result, FailureText::compressing(source, i18nf("无法创建临时文件夹：{}",
                                                                           FailureText::systemCause(folderError, true)),
                                                         work.path().string() + ": " + folderError.message()));
    }

    const fs::path filtered = work.path() / filteredFileName;
    try {
        if (!filter(source, filtered, PDFProfile::filterSettings(resolution, quality), isCancelled)) {
            return cancelled(result);
        }
        if (!fs::is_regular_file(filtered)) throw ToolError::writeFailed(filtered);
    } catch (const std::exception& error) {
        return finished(result, FailureText::compressing(source, i18n("无法重写其中的图片"), error.what()));
    }
    result.encodeCount = 1;
    if (isCancelled()) return cancelled(result);

    // Pages whose images came out heavier than they went in are taken back from the source.
    const std::vector<std::int64_t> before = PDFImageBytes::perPage(*document);
    const std::vector<std::int64_t> after = PDFImageBytes::perPage(filtered);
    std::vector<int> grown;
    if (before.size() == after.size()) {
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (before[i] < after[i]) grown.push_back(int(i));
        }
    }

    fs::path candidate = filtered;
    if (!grown.empty()) {
        const fs::path merged = work.path() / mergedFileName;
        bool written = false;
        try {
            std::unique_ptr<QPDF> target = openDocument(filtered);
            written = target && restore(grown, *document, *target) && writeDocument(*target, merged);
        } catch (const std::exception&) {
            written = false;
        }
        if (!written) return finished(result, FailureText::compressing(source, i18n("无法合并重写后的页面"), merged.string()));
        candidate = merged;
    }

    const auto savesNothing = [&] {
        result.outputBytes = fileSize(candidate);
        return OutputPlanner::isNoSavings(result.sourceBytes, result.outputBytes, true, std::nullopt);
    };
    if (savesNothing()) return finished(result, CompressionResult::Skipped{SkipReason::noSavings});
    const auto pageCount = std::size_t(result.pageCount.value_or(0));
    if (const auto problem = proveReadable(candidate, pageCount, work.path() / PDFOutput::unpackedFileName)) {
        return finished(result, CompressionResult::Failed{i18n(PDFOutput::unreadableText.data()), *problem});
    }
    if (savesNothing()) return finished(result, CompressionResult::Skipped{SkipReason::noSavings});
    if (isCancelled()) return cancelled(result);

    try {
        handoff(candidate, result);
    } catch (...) {
        return finished(result, FailureText::current(source));
    }
    return finished(result, CompressionResult::Success{});
}

// The compressor's own filter pass.
bool imageFilter(const fs::path& from, const fs::path& into, const PDFProfile::FilterSettings& settings,
                 const CancelQuery& cancelQuery) {
    return !PDFImageFilter::apply(from, into, settings, cancelQuery).cancelled;
}

}  // namespace

CompressionResult compress(const fs::path& source, const CompressionOptions& options,
                           const std::function<bool()>& isCancelled) {
    return compress(source, options, isCancelled, imageFilter);
}

CompressionResult compress(const fs::path& source, const CompressionOptions& options,
                           const std::function<bool()>& isCancelled, const FilterPass& filter) {
    const auto sourceAsRead = OutputPlanner::SourceIdentity::of(source);
    return produce(source, options, isCancelled, filter,
                   OutputPlanner::placing(source, options.saveLocation, options.filenamePrefix, sourceAsRead));
}

CompressionResult produce(const fs::path& source, const CompressionOptions& options,
                          const std::function<bool()>& isCancelled, const OutputPlanner::Handoff& handoff) {
    return produce(source, options, isCancelled, imageFilter, handoff);
}

CompressionResult produce(const fs::path& source, const CompressionOptions& options,
                          const std::function<bool()>& isCancelled, const FilterPass& filter,
                          const OutputPlanner::Handoff& handoff) {
    CompressionResult result;  // failed with an empty text until a step decides
    result.format = OutputFormat::pdf;
    const CancelQuery cancelQuery = isCancelled ? isCancelled : CancelQuery([] { return false; });
    try {
        WorkFolder work(workFolderPrefix);
        return pipeline(source, options, cancelQuery, filter, handoff, work, result);
    } catch (...) {
        return finished(result, FailureText::current(source));
    }
}

std::int64_t fileSize(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : std::int64_t(size);
}

}  // namespace dorvex::PDFCompressor
