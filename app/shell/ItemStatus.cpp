#include "shell/ItemStatus.h"

#include "dorvex/text/Format.h"
#include "model/CompressionItem.h"
#include "model/UiText.h"

namespace dorvex::app {

ItemStatus itemStatus(const CompressionItem& item) {
    using Style = ItemStatus::Style;
    const CompressionResult* result = item.result();
    if (result == nullptr) return {ui("压缩中…"), Style::secondary};
    if (const auto* skipped = result->skipped())
        return {QString::fromUtf8(skipped->reason.text().data(), qsizetype(skipped->reason.text().size())),
                Style::secondary};
    if (result->failed()) return {ui("失败"), Style::failure};
    const Format::Change change = Format::change(*result);
    return {QString::fromStdString(change.text), change.grew ? Style::grew : Style::good};
}

}  // namespace dorvex::app
