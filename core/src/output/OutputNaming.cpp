#include "dorvex/output/OutputPlanner.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

namespace {

std::string_view suffixOf(const SaveLocation& location) {
    if (const auto* beside = std::get_if<SaveLocation::SourceFolder>(&location.value)) return beside->suffix;
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&location.value)) return folder->suffix;
    return {};
}

bool hasInvalidCharacters(std::string_view text) {
    return text.find('/') != std::string_view::npos || text.find('\0') != std::string_view::npos;
}

}  // namespace

NamingError NamingError::invalidCharacters() {
    return NamingError(Kind::invalidCharacters, i18n("文件名前缀和后缀不能包含 / 或空字符"));
}

void validateNaming(std::string_view prefix, const SaveLocation& location) {
    if (location.isOverwrite()) return;
    if (hasInvalidCharacters(prefix) || hasInvalidCharacters(suffixOf(location))) {
        throw NamingError::invalidCharacters();
    }
}

fs::path destination(const fs::path& source, OutputFormat format, const SaveLocation& location,
                     std::string_view prefix) {
    const std::string base = source.stem().string();
    const std::string extension(format.fileExtension());
    if (location.isOverwrite()) {
        const auto sourceType = FileType::fromPath(source.string());
        if (sourceType && sourceType->conforms(FileType::data) && sourceType->conforms(format.fileType())) {
            return source;
        }
        return source.parent_path() / (base + "." + extension);
    }
    const fs::path folder = std::holds_alternative<SaveLocation::Folder>(location.value)
                                ? std::get<SaveLocation::Folder>(location.value).folder
                                : source.parent_path();
    return folder / (std::string(prefix) + base + std::string(suffixOf(location)) + "." + extension);
}

}  // namespace dorvex::OutputPlanner
