#include "pdf/PDFImageBytes.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <map>
#include <utility>

namespace dorvex::PDFImageBytes {

namespace {

std::int64_t lengthOf(QPDFObjectHandle stream) {
    QPDFObjectHandle length = stream.getDict().getKey("/Length");
    return length.isInteger() ? std::int64_t(length.getIntValue()) : 0;
}

// Sums per (form, depth): a form's total at a given depth never changes, and remembering it keeps
// files whose forms list one another many times over from taking exponential time.
class Counter {
public:
    std::int64_t entries(QPDFObjectHandle resources, int depth) {
        if (!resources.isDictionary()) return 0;
        QPDFObjectHandle xobjects = resources.getKey("/XObject");
        if (!xobjects.isDictionary()) return 0;
        std::int64_t total = 0;
        for (auto [name, entry] : xobjects.ditems()) total += measure(entry, depth);
        return total;
    }

private:
    std::int64_t measure(QPDFObjectHandle entry, int depth) {
        if (!entry.isStream()) return 0;
        QPDFObjectHandle dictionary = entry.getDict();
        QPDFObjectHandle subtype = dictionary.getKey("/Subtype");
        if (subtype.isNameAndEquals("/Image")) {
            std::int64_t bytes = lengthOf(entry);
            QPDFObjectHandle mask = dictionary.getKey("/SMask");
            if (mask.isStream()) bytes += lengthOf(mask);
            return bytes;
        }
        if (!subtype.isNameAndEquals("/Form") || depth + 1 > maxFormDepth) return 0;
        const auto key = std::make_pair(entry.getObjGen(), depth);
        if (entry.isIndirect()) {
            if (const auto known = memo_.find(key); known != memo_.end()) return known->second;
        }
        const std::int64_t bytes = entries(dictionary.getKey("/Resources"), depth + 1);
        if (entry.isIndirect()) memo_[key] = bytes;
        return bytes;
    }

    std::map<std::pair<QPDFObjGen, int>, std::int64_t> memo_;
};

}  // namespace

std::vector<std::int64_t> perPage(QPDF& document) {
    std::vector<std::int64_t> bytes;
    Counter counter;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(document).getAllPages()) {
        bytes.push_back(counter.entries(page.getAttribute("/Resources", false), 0));
    }
    return bytes;
}

std::vector<std::int64_t> perPage(const std::filesystem::path& file) {
    try {
        QPDF document;
        document.setSuppressWarnings(true);
        document.processFile(file.c_str());
        return perPage(document);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace dorvex::PDFImageBytes
