#include "dorvex/model/FormatProfile.h"

namespace dorvex {

const SearchBudget SearchBudget::standard{16, 6, 3, 0.97};
const SearchBudget SearchBudget::slow{8, 4, 2, 0.9};

FormatProfile FormatProfile::of(OutputFormat format, bool jxlLossless) {
    switch (format) {
        case OutputFormat::jpeg: return {30, 100, SearchBudget::standard};
        case OutputFormat::png: return {10, 100, SearchBudget::standard};
        case OutputFormat::webp: return {30, 100, SearchBudget::standard};
        case OutputFormat::avif: return {40, 100, SearchBudget::slow};
        case OutputFormat::heic: return {30, 100, SearchBudget::standard};
        case OutputFormat::jxl:
            if (jxlLossless) return {0, 100, std::nullopt};
            return {30, 94, SearchBudget::slow};
        case OutputFormat::tiff:
        case OutputFormat::icns:
        case OutputFormat::mp4:
        case OutputFormat::mov:
        case OutputFormat::pdf: return {0, 100, std::nullopt};
    }
    return {0, 100, std::nullopt};
}

}  // namespace dorvex
