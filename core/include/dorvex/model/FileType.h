#pragma once
// FileType: a type identifier ("public.jpeg", "com.adobe.pdf", …) with the conformance between
// types, and the table from file-name extensions to types. Identifiers are the same as on other
// desktops so that stored data and texts agree; the table is ours and small on purpose.

#include <optional>
#include <string>
#include <string_view>

namespace dorvex {

struct FileType {
    std::string identifier;

    bool operator==(const FileType&) const = default;

    // The known type with this identifier; nullopt when the identifier names no known type.
    static std::optional<FileType> fromIdentifier(std::string_view identifier);
    // The type of a file-name extension (without the dot, any letter case); nullopt when unknown.
    static std::optional<FileType> fromExtension(std::string_view extension);
    // The type of a path's file-name extension; nullopt when it has none or it is unknown.
    static std::optional<FileType> fromPath(const std::string& path);

    // True when this type is `other` or descends from it.
    bool conforms(const FileType& other) const;

    // Well-known types.
    static const FileType data, image, movie, jpeg, png, webp, avif, heic, jxl, tiff, icns,
        mpeg4Movie, quickTimeMovie, pdf;
};

}  // namespace dorvex
