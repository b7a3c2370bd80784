#pragma once

#include <vips/vips8>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "dorvex/model/FileType.h"

namespace dorvex {

// A file opened by its decoder: header read, pixels not decoded yet.
struct Opened {
    vips::VImage image;
    std::optional<std::string> typeIdentifier;
    int orientation = 1;
    int imageCount = 1;
    bool decodesUpright = false;  // the codec applies the orientation itself (HEIF, JPEG XL)
    bool isHeif = false;          // AVIF or HEIC: colours may be given as nclx instead of a profile
};

// How strictly JPEG data is read. libjpeg papers over damage with warnings: a JPEG whose data
// ends early but still carries an end marker decodes "successfully" with grey rows below the
// damage (and a patched header claiming 16 000² pixels decodes a gigabyte of grey). The first
// read fails on any warning; when the warning was not about a premature end (stray bytes before
// a marker, common in camera files), the file is read again tolerantly.
enum class JpegStrictness { anyWarningFails, truncationFails };

// True when a decoder's message says the data ended early.
bool isPrematureEnd(std::string_view decoderMessage);

// Opens `file` with the libvips loader for `type`; nullopt when `type` is none we read.
// Throws vips::VError when the loader refuses the file.
std::optional<Opened> openWithVips(const std::filesystem::path& file, const FileType& type, JpegStrictness strictness);

}  // namespace dorvex
