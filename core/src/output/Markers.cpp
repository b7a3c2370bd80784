#include <sys/xattr.h>

#include <cerrno>
#include <string>

#include "output/Markers.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

namespace {

bool hasAttribute(const fs::path& file, std::string_view name) {
    return ::getxattr(file.c_str(), std::string(name).c_str(), nullptr, 0) >= 0;
}

// The whole value of an attribute; nullopt when it is absent or cannot be read.
std::optional<std::string> readAttribute(const fs::path& file, std::string_view name) {
    const std::string attribute(name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = ::getxattr(file.c_str(), attribute.c_str(), nullptr, 0);
        if (size < 0) return std::nullopt;
        std::string value(std::size_t(size), '\0');
        const ssize_t read = ::getxattr(file.c_str(), attribute.c_str(), value.data(), value.size());
        if (read >= 0) {
            value.resize(std::size_t(read));
            return value;
        }
        if (errno != ERANGE) return std::nullopt;  // ERANGE: it grew meanwhile, ask again
    }
    return std::nullopt;
}

}  // namespace

bool isOptimized(const fs::path& file) {
    return hasAttribute(file, optimizedAttribute) || hasAttribute(file, legacyOptimizedAttribute);
}

void markOptimized(const fs::path& file, std::string_view value, const std::optional<fs::path>& source) {
    writeMarkers(
        [&](std::string_view attribute, std::string_view text) {
            ::setxattr(file.c_str(), std::string(attribute).c_str(), text.data(), text.size(), 0);
        },
        value, source);
}

bool isReplaceableOutput(const fs::path& file, const fs::path& source) {
    bool marked = false;
    for (std::string_view name : kOptimizedAttributes) {
        if (!hasAttribute(file, name)) continue;
        marked = true;
        // Markers are short: a value that does not fit 64 bytes is not "1" either.
        std::array<char, 64> buffer{};
        const ssize_t length = ::getxattr(file.c_str(), std::string(name).c_str(), buffer.data(), buffer.size());
        if (length < 0 || std::string_view(buffer.data(), std::size_t(length)) != normalMarker) return false;
    }
    if (!marked) return false;
    if (!hasAttribute(file, sourceAttribute)) return true;  // written before sources were recorded
    const auto recorded = readAttribute(file, sourceAttribute);
    return recorded && isSameFile(fs::path(*recorded), source);
}

}  // namespace dorvex::OutputPlanner
