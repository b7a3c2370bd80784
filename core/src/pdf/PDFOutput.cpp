#include "pdf/PDFOutput.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <fmt/format.h>

#include <exception>

#include "platform/WorkFolder.h"

namespace dorvex::PDFOutput {

void write(QPDF& document, const std::filesystem::path& file, qpdf_object_stream_e packing) {
    // The writer puts the real count in place of whatever /Size holds, but only when there is one.
    QPDFObjectHandle trailer = document.getTrailer();
    if (!trailer.hasKey("/Size")) trailer.replaceKey("/Size", QPDFObjectHandle::newInteger(0));

    WorkFolder::makePrivateFile(file);  // qpdf keeps the mode of the file it truncates
    QPDFWriter writer(document, file.c_str());
    writer.setObjectStreamMode(packing);
    writer.setCompressStreams(true);
    writer.setDecodeLevel(qpdf_dl_generalized);
    writer.setRecompressFlate(false);
    writer.write();
}

std::optional<std::string> readBackProblem(const std::filesystem::path& file, std::size_t pageCount) {
    try {
        QPDF document;
        document.setSuppressWarnings(true);
        document.setAttemptRecovery(false);
        document.processFile(file.c_str());
        // Without recovery a damaged file throws; what qpdf still only warns about was repaired.
        const std::vector<QPDFExc> warnings = document.getWarnings();
        if (!warnings.empty()) return warnings.front().getMessageDetail();
        const std::size_t found = QPDFPageDocumentHelper(document).getAllPages().size();
        if (found != pageCount) return i18npf("读出 {} 页，原文件有 {} 页", "读出 {} 页，原文件有 {} 页", pageCount, found, pageCount);
        return std::nullopt;
    } catch (const QPDFExc& error) {
        return error.getMessageDetail();
    } catch (const std::exception& error) {
        return error.what();
    }
}

}  // namespace dorvex::PDFOutput
