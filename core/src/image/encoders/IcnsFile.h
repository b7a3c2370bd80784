#pragma once
// IcnsFile: an icon family file (ICNS) as its ordered elements — read with strict bounds checks,
// written back with its table of contents kept in step, decoded element by element to Pictures,
// and recompressed losslessly for ICNS output. A malformed file is an IcnsError, never an
// over-read; an element that cannot be decoded is simply not an image.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/Picture.h"
#include "dorvex/model/PixelSize.h"

namespace dorvex {

struct IcnsError : std::runtime_error {
    enum class Kind { unreadable, malformed, writeFailed };

    // "cannot read <path>"
    static IcnsError unreadable(const std::filesystem::path& file);
    // "<path> is not a valid ICNS file: <detail>" (without a path: "not a valid ICNS file: …")
    static IcnsError malformed(const std::filesystem::path& file, const std::string& detail);
    // "cannot write <path>"
    static IcnsError writeFailed(const std::filesystem::path& file);

    Kind kind;
    std::filesystem::path file;

private:
    IcnsError(Kind errorKind, const std::string& text) : std::runtime_error(text), kind(errorKind) {}
};

struct IcnsElement {
    // What the payload holds, told from the type and the payload's first bytes.
    enum class Kind {
        png,              // a PNG file
        jpeg2000,         // a JP2 file or a bare JPEG 2000 codestream
        argb,             // "ARGB" and four run-length coded planes (ic04, ic05, icsb, …)
        rgb,              // three run-length coded planes, or plain xRGB (is32, il32, ih32, it32)
        mask,             // 8-bit alpha, one byte per pixel (s8mk, l8mk, h8mk, t8mk)
        tableOfContents,  // "TOC ": the type and length of the other elements
        other,            // version, name, legacy 1/4/8-bit icons, nested families, …
    };

    std::string type;               // four bytes, e.g. "ic08", "is32", "TOC "
    std::vector<std::uint8_t> data;  // the payload, without the eight-byte element header

    bool operator==(const IcnsElement&) const = default;

    Kind kind() const;
    bool isImage() const;  // png, jpeg2000, argb or rgb
};

struct IcnsFile {
    std::vector<IcnsElement> elements;  // in file order

    bool operator==(const IcnsFile&) const = default;

    // Throws IcnsError::malformed (without a path) when the bytes are not a well-formed family.
    // Bytes past the length declared in the header are ignored.
    static IcnsFile parse(std::span<const std::uint8_t> bytes);
    // Throws IcnsError::unreadable or IcnsError::malformed.
    static IcnsFile read(const std::filesystem::path& file);

    // The file's bytes. The lengths listed by a table of contents are brought up to date with
    // the elements; its entries otherwise stay as they are. Throws std::invalid_argument for a
    // type that is not four bytes long or a family too large for the format.
    std::vector<std::uint8_t> serialize() const;
    // Throws IcnsError::writeFailed; a partly written file is removed.
    static void write(const IcnsFile& icns, const std::filesystem::path& file);

    // Elements that hold an image (png, jpeg2000, argb, rgb): the family's image count.
    std::size_t imageCount() const;
    // The pixel size of an image element, from its type or its payload's header; nullopt when
    // the element is not an image or its header cannot be read.
    std::optional<PixelSize> pixelSize(std::size_t index) const;
    // The element as a Picture (raw RGB elements take their alpha from the matching mask);
    // nullopt when it is not an image or cannot be decoded.
    std::optional<Picture> decode(std::size_t index) const;
    // The largest image that decodes (the first of equal sizes); nullopt when none does.
    std::optional<Picture> decodeLargest() const;

    // Every element in the same order, each re-encoded as compactly as we can without changing
    // a decoded pixel: PNG payloads recompressed, JPEG 2000 payloads of PNG-capable types turned
    // into PNG, run-length planes recoded optimally. A payload is replaced only by a smaller one,
    // so the result is never larger than the input.
    static IcnsFile recompressed(const IcnsFile& source);
    // read, recompressed, write: throws what they throw.
    static void recompress(const std::filesystem::path& source, const std::filesystem::path& output);
};

}  // namespace dorvex
