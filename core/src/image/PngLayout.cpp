#include "image/PngLayout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <string_view>

namespace dorvex {

namespace fs = std::filesystem;

namespace {

// The chunks that may stand before the image data of a plain PNG: text, time, resolution, EXIF
// (whose orientation the caller checks), significant bits and background colour. Tools and
// libvips read the pixels of such a file alike; anything else (gAMA, sRGB, iCCP, cHRM, PLTE,
// tRNS, acTL, unknown chunks) makes the file not plain.
constexpr std::array<std::string_view, 8> plainChunks{"pHYs", "tEXt", "zTXt", "iTXt", "tIME", "eXIf", "sBIT", "bKGD"};

std::uint32_t bigEndian32(const unsigned char* bytes) {
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
}

}  // namespace

PngLayout pngLayout(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<char, 8> signature{};
    if (!in.read(signature.data(), signature.size()) ||
        std::string_view(signature.data(), signature.size()) != std::string_view("\x89PNG\r\n\x1a\n", 8)) {
        return PngLayout::other;
    }
    bool exif = false;
    for (bool first = true;; first = false) {
        std::array<unsigned char, 8> header{};
        if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) return PngLayout::other;
        const std::uint32_t length = bigEndian32(header.data());
        const std::string_view type(reinterpret_cast<const char*>(header.data() + 4), 4);
        if (first != (type == "IHDR")) return PngLayout::other;
        if (type == "IHDR") {
            std::array<unsigned char, 13> fields{};
            if (length != fields.size() || !in.read(reinterpret_cast<char*>(fields.data()), fields.size())) {
                return PngLayout::other;
            }
            const unsigned depth = fields[8], colour = fields[9];
            if (depth != 8 || (colour != 2 && colour != 6)) return PngLayout::other;
            in.seekg(4, std::ios::cur);  // the CRC
            continue;
        }
        if (type == "IDAT") return exif ? PngLayout::plainWithExif : PngLayout::plain;
        if (std::find(plainChunks.begin(), plainChunks.end(), type) == plainChunks.end()) return PngLayout::other;
        exif = exif || type == "eXIf";
        in.seekg(std::streamoff(length) + 4, std::ios::cur);
    }
}

}  // namespace dorvex
