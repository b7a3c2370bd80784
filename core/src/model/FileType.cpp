#include "dorvex/model/FileType.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <initializer_list>

namespace dorvex {

namespace {

struct TypeEntry {
    std::string_view identifier;
    std::array<std::string_view, 2> parents;  // empty views are unused slots
    std::initializer_list<std::string_view> extensions;
};

// Every type we know, with its direct parents and the extensions that name it. ".heif"/".hif"
// files are HEVC-coded HEIF in practice and are read and written like ".heic".
const std::array<TypeEntry, 20>& table() {
    static const std::array<TypeEntry, 20> entries{{
        {"public.item", {}, {}},
        {"public.content", {}, {}},
        {"public.data", {"public.item"}, {}},
        {"public.image", {"public.data", "public.content"}, {}},
        {"public.audiovisual-content", {"public.data", "public.content"}, {}},
        {"public.movie", {"public.audiovisual-content"}, {}},
        {"public.composite-content", {"public.content"}, {}},
        {"public.heif-standard", {"public.image"}, {}},
        {"public.jpeg", {"public.image"}, {"jpg", "jpeg", "jpe", "jfif"}},
        {"public.png", {"public.image"}, {"png"}},
        {"org.webmproject.webp", {"public.image"}, {"webp"}},
        {"public.avif", {"public.image"}, {"avif"}},
        {"public.heic", {"public.heif-standard"}, {"heic", "heif", "hif"}},
        {"public.jpeg-xl", {"public.image"}, {"jxl"}},
        {"public.tiff", {"public.image"}, {"tif", "tiff"}},
        {"com.apple.icns", {"public.image"}, {"icns"}},
        {"public.mpeg-4", {"public.movie"}, {"mp4"}},
        {"com.apple.quicktime-movie", {"public.movie"}, {"mov", "qt"}},
        {"com.adobe.pdf", {"public.data", "public.composite-content"}, {"pdf"}},
        {"public.folder", {"public.item"}, {}},
    }};
    return entries;
}

const TypeEntry* find(std::string_view identifier) {
    for (const auto& entry : table()) {
        if (entry.identifier == identifier) return &entry;
    }
    return nullptr;
}

bool descends(std::string_view from, std::string_view to, int depth = 0) {
    if (from == to) return true;
    const TypeEntry* entry = find(from);
    if (!entry || depth > 8) return false;
    return std::any_of(entry->parents.begin(), entry->parents.end(), [&](std::string_view parent) {
        return !parent.empty() && descends(parent, to, depth + 1);
    });
}

}  // namespace

const FileType FileType::data{"public.data"};
const FileType FileType::image{"public.image"};
const FileType FileType::movie{"public.movie"};
const FileType FileType::jpeg{"public.jpeg"};
const FileType FileType::png{"public.png"};
const FileType FileType::webp{"org.webmproject.webp"};
const FileType FileType::avif{"public.avif"};
const FileType FileType::heic{"public.heic"};
const FileType FileType::jxl{"public.jpeg-xl"};
const FileType FileType::tiff{"public.tiff"};
const FileType FileType::icns{"com.apple.icns"};
const FileType FileType::mpeg4Movie{"public.mpeg-4"};
const FileType FileType::quickTimeMovie{"com.apple.quicktime-movie"};
const FileType FileType::pdf{"com.adobe.pdf"};

std::optional<FileType> FileType::fromIdentifier(std::string_view identifier) {
    if (const TypeEntry* entry = find(identifier)) return FileType{std::string(entry->identifier)};
    return std::nullopt;
}

std::optional<FileType> FileType::fromExtension(std::string_view extension) {
    if (extension.empty()) return std::nullopt;
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const auto& entry : table()) {
        for (std::string_view candidate : entry.extensions) {
            if (candidate == lower) return FileType{std::string(entry.identifier)};
        }
    }
    return std::nullopt;
}

std::optional<FileType> FileType::fromPath(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2) return std::nullopt;
    return fromExtension(std::string_view(extension).substr(1));
}

bool FileType::conforms(const FileType& other) const { return descends(identifier, other.identifier); }

}  // namespace dorvex
