#pragma once
// SourceFile: the first look at a file a job is to read — whether it can be opened, and which
// image format its first bytes name. The engine reads an image with the decoder of that format
// and names its output from it; the command line plans destinations from the same answer, so the
// two cannot disagree about a photo.png that holds a JPEG. The texts are what the user sees when
// a source cannot be read.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dorvex/model/FileType.h"
#include "dorvex/text/Translation.h"

namespace dorvex::SourceFile {

// The texts as written; they are shown in the user's language (i18n).
inline constexpr std::string_view noPermissionText = i18nMark("没有读取权限");
inline constexpr std::string_view goneText = i18nMark("文件已不存在");
inline constexpr std::string_view damagedText = i18nMark("文件已损坏或格式不受支持");

// "文件已损坏或格式不受支持（<detail>）", the decoder's or library's own words in the brackets;
// without them when `detail` is empty.
std::string damaged(std::string_view detail = {});

// The text for a failed open or listing, in the user's language: noPermissionText for EACCES and
// EPERM, goneText for ENOENT and ENOTDIR, "符号链接形成了循环" for ELOOP, the system's message otherwise.
std::string problemText(int errorNumber);

// Why `file` cannot be opened for reading (problemText), checked by opening it; nullopt when it
// opens. A pipe does not block the check.
std::optional<std::string> readProblem(const std::filesystem::path& file);

// How many leading bytes imageType looks at.
inline constexpr std::size_t headSize = 256;

// The image type named by a file's first bytes: JPEG, PNG, WebP, AVIF or HEIC (by the brands of
// the HEIF file-type box: AVIF when they name AV1, otherwise HEIC), JPEG XL (bare codestream or
// container), TIFF (BigTIFF too) or ICNS. nullopt for anything else, a cut-off signature
// included.
std::optional<FileType> imageType(std::span<const unsigned char> head);

// The same for the first headSize bytes of a regular file; nullopt when it cannot be read.
std::optional<FileType> imageType(const std::filesystem::path& file);

}  // namespace dorvex::SourceFile
